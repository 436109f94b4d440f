// The phone number check: what it accepts can add no command and no voice call.
#include "FuzzCheck.h"
#include "bridge/DialString.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString phone =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!lintaro::IsDialString(phone)) return 0;
    FUZZ_CHECK(phone.size() <= lintaro::DialStringLimit);
    for (const QChar c : phone) {
        FUZZ_CHECK(c.unicode() >= 32 && c.unicode() < 127 && c != QLatin1Char(';') &&
                   c != QLatin1Char('=') && (!c.isLetter() || QStringLiteral("WwPp").contains(c)));
    }
    return 0;
}
