#include "bridge/ModelKey.h"

namespace lintaro {

namespace {

bool IsBlank(QChar c) {
    return c.unicode() >= 1 && c.unicode() <= 32;
}

}  // namespace

std::optional<QString> DeriveModelKey(const QString& verInfoText) {
    QString text = verInfoText;
    text.remove(QLatin1Char('"'));
    const qsizetype comma = text.indexOf(QLatin1Char(','));
    if (comma >= 0) text.remove(0, comma + 1);

    // Only the first field matters: skip the blanks before it, then take everything up to
    // the next comma or blank. A comma straight away encloses an empty first field.
    qsizetype start = 0;
    while (start < text.size() && IsBlank(text[start])) ++start;
    if (start == text.size()) return std::nullopt;
    qsizetype end = start;
    while (end < text.size() && text[end] != QLatin1Char(',') && !IsBlank(text[end])) ++end;
    const QString field = text.mid(start, end - start);

    const qsizetype stop = field.indexOf(QLatin1Char('.'));
    return stop < 0 ? QString() : field.left(stop);
}

}  // namespace lintaro
