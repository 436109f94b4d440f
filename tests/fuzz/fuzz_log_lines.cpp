// Log lines formed from any bytes (traffic and names from files and settings).
#include "FuzzCheck.h"
#include "log/CodePage.h"
#include "log/LogLines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = lintaro::BytesToText(bytes);
    const QStringList pieces = lintaro::SplitLogText(text);
    const bool cut = text.left(text.indexOf(QChar(0)) < 0 ? text.size() : text.indexOf(QChar(0)))
                         .contains(QLatin1Char('\r'));
    qsizetype total = 0;
    for (const QString& piece : pieces) {
        FUZZ_CHECK(!piece.contains(QChar(0)));
        if (cut)
            FUZZ_CHECK(!piece.contains(QLatin1Char('\r')) && !piece.contains(QLatin1Char('\n')));
        total += piece.size();
    }
    FUZZ_CHECK(total <= text.size());
    // The log window cuts the bytes themselves, where the text would be cut.
    const std::vector<lintaro::LogPiece> spans = lintaro::SplitLogBytes(bytes);
    FUZZ_CHECK(spans.size() == static_cast<std::size_t>(pieces.size()));
    for (std::size_t i = 0; i < spans.size() && i < static_cast<std::size_t>(pieces.size()); ++i)
        FUZZ_CHECK(lintaro::BytesToText(bytes.mid(spans[i].start, spans[i].size)) == pieces[i]);
    int stamps = 0;
    const QStringList lines = lintaro::FormLogLines(text, QStringLiteral("COM->TCP"),
                                                    lintaro::LogLayout::MainWindow, [&stamps] {
                                                        ++stamps;
                                                        return QStringLiteral("00:00:00.000");
                                                    });
    FUZZ_CHECK(stamps == lines.size());
    return 0;
}
