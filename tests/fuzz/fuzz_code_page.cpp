// The 8-bit code page: every byte string survives the trip to text and back, and any text
// becomes bytes.
#include "FuzzCheck.h"
#include "log/CodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = lintaro::BytesToText(bytes);
    FUZZ_CHECK(text.size() == bytes.size());
    FUZZ_CHECK(lintaro::TextToBytes(text) == bytes);
    const QString any = QString::fromUtf16(reinterpret_cast<const char16_t*>(data),
                                           static_cast<qsizetype>(size / 2));
    FUZZ_CHECK(lintaro::TextToBytes(any).size() == any.size());
    return 0;
}
