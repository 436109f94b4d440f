// The model key derived from an identification reply.
#include "FuzzCheck.h"
#include "bridge/ModelKey.h"
#include "log/CodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QString> key = lintaro::DeriveModelKey(lintaro::BytesToText(bytes));
    if (!key) return 0;
    // A part of one field before its first full stop, quotes removed (fields end at
    // characters 1 to 32; NUL is none of them).
    for (const QChar c : *key) {
        FUZZ_CHECK((c.unicode() == 0 || c.unicode() > 32) && c != QLatin1Char(',') &&
                   c != QLatin1Char('.') && c != QLatin1Char('"'));
    }
    return 0;
}
