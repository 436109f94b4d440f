#include "log/LogRows.h"

#include <algorithm>
#include <vector>

namespace lintaro {
namespace {

// No horizontal scrolling: what lies past the window's width is never seen, and eliding a
// long merged row costs its whole length at every paint.
constexpr qsizetype DisplayLimit = 1000;

}  // namespace

TLogRows::TLogRows(qsizetype maxRows, qsizetype maxBytes, QObject* parent)
    : QAbstractListModel(parent), FMaxRows(std::max<qsizetype>(1, maxRows)), FMaxBytes(maxBytes) {}

void TLogRows::Append(const QStringList& lines) {
    if (lines.isEmpty()) return;
    // A batch larger than the limits keeps its newest lines (at least the last one).
    std::vector<QByteArray> incoming;
    incoming.reserve(static_cast<std::size_t>(std::min(lines.size(), FMaxRows)));
    qsizetype incomingBytes = 0;
    for (qsizetype i = std::max<qsizetype>(0, lines.size() - FMaxRows); i < lines.size(); ++i) {
        incoming.push_back(lines[i].toUtf8());
        incoming.back().squeeze();  // the conversion leaves room for three bytes a character
        incomingBytes += incoming.back().size();
    }
    std::size_t first = 0;
    while (incomingBytes > FMaxBytes && first + 1 < incoming.size())
        incomingBytes -= incoming[first++].size();
    const auto count = static_cast<qsizetype>(incoming.size() - first);

    const auto held = static_cast<qsizetype>(FRows.size());
    qsizetype drop = std::max<qsizetype>(0, held + count - FMaxRows);
    qsizetype bytes = FBytes + incomingBytes;
    for (qsizetype i = 0; i < drop; ++i) bytes -= FRows[static_cast<std::size_t>(i)].size();
    while (bytes > FMaxBytes && drop < held)
        bytes -= FRows[static_cast<std::size_t>(drop++)].size();
    // Old lines go in steps of a hundredth, so that views hear of it rarely.
    if (drop > 0) drop = std::min(held, std::max(drop, FMaxRows / 100));
    if (drop > 0) {
        beginRemoveRows({}, NoteRows(), NoteRows() + static_cast<int>(drop) - 1);
        for (qsizetype i = 0; i < drop; ++i) {
            FBytes -= FRows.front().size();
            FRows.pop_front();
        }
        endRemoveRows();
    }
    if (const qsizetype gone = drop + (lines.size() - count); gone > 0) {
        if (FDropped == 0) {
            beginInsertRows({}, 0, 0);
            FDropped = gone;
            endInsertRows();
        } else {
            FDropped += gone;
            Q_EMIT dataChanged(index(0), index(0));
        }
    }

    const int at = rowCount();
    beginInsertRows({}, at, at + static_cast<int>(count) - 1);
    for (std::size_t i = first; i < incoming.size(); ++i) {
        FBytes += incoming[i].size();
        FRows.push_back(std::move(incoming[i]));
    }
    endInsertRows();
}

void TLogRows::Clear() {
    beginResetModel();
    FRows.clear();
    FBytes = 0;
    FDropped = 0;
    endResetModel();
}

QStringList TLogRows::Lines() const {
    QStringList lines;
    lines.reserve(rowCount());
    if (FDropped > 0) lines.append(NoteRow());
    for (const QByteArray& row : FRows) lines.append(QString::fromUtf8(row));
    return lines;
}

int TLogRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FRows.size()) + NoteRows();
}

QVariant TLogRows::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
    if (index.row() < NoteRows()) return NoteRow();
    const QByteArray& row = FRows[static_cast<std::size_t>(index.row() - NoteRows())];
    return QString::fromUtf8(row.size() > DisplayLimit ? row.left(DisplayLimit) : row);
}

QString TLogRows::NoteRow() const {
    return QStringLiteral("Удалено старых строк: %1").arg(FDropped);
}

}  // namespace lintaro
