// setup.ini: decoding in every mode, the look-up and the program name rule.
#include "FuzzCheck.h"
#include "bridge/SetupIni.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the mode and the length of the key taken from the file itself.
    const bool utf8 = (data[0] & 1) != 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1),
                           static_cast<qsizetype>(size - 1));
    const QString text = lintaro::DecodeSetupIni(bytes, utf8);
    const QString key = text.left(data[0] >> 1);
    const QString value = lintaro::SetupIniValue(text, key);
    // A value is what follows a "=" on some line of the text.
    FUZZ_CHECK(value.isEmpty() || text.contains(QLatin1Char('=') + value));
    if (lintaro::IsPlainProgramName(value)) {
        FUZZ_CHECK(!value.contains(QLatin1Char('/')) && !value.contains(QLatin1Char('\\')) &&
                   !value.contains(QLatin1String("..")) && !value.contains(QLatin1Char(':')));
        for (const QChar c : value) FUZZ_CHECK(c.unicode() >= 32 && c.unicode() != 127);
    }
    return 0;
}
