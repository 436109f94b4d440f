#include "log/LogRows.h"

#include <algorithm>
#include <limits>

#include "log/CodePage.h"
#include "log/LogLines.h"
#include "log/TimeFuncs.h"

namespace lintaro {
namespace {

// No horizontal scrolling: what lies past the window's width is never seen, and eliding a
// long merged row costs its whole length at every paint.
constexpr qsizetype DisplayLimit = 1000;
constexpr qsizetype NoLimit = std::numeric_limits<qsizetype>::max();

// A row's head: the Julian day, the milliseconds of that day and the direction's number.
constexpr int DirectionBits = 12;
constexpr int MsecsBits = 27;
constexpr int DayShift = DirectionBits + MsecsBits;
constexpr quint64 PlainLine = (quint64(1) << DirectionBits) - 1;
constexpr qint64 DayLimit = qint64(1) << (64 - DayShift);

constexpr qsizetype BlockSize = 64 * 1024;

QString BytesText(QByteArrayView bytes) {
    return BytesToText(QByteArray::fromRawData(bytes.data(), bytes.size()));
}

qsizetype ShownSize(QByteArrayView bytes) {
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; }))
        return bytes.size();
    return BytesText(bytes).toUtf8().size();
}

}  // namespace

TLogRows::TLogRows(qsizetype maxRows, qsizetype maxBytes, QObject* parent)
    : QAbstractListModel(parent), FMaxRows(std::max<qsizetype>(1, maxRows)), FMaxBytes(maxBytes) {}

void TLogRows::Append(const QStringList& lines) {
    std::vector<QByteArray> utf8;
    utf8.reserve(static_cast<std::size_t>(lines.size()));
    std::vector<NewRow> rows;
    rows.reserve(static_cast<std::size_t>(lines.size()));
    for (const QString& line : lines) {
        utf8.push_back(line.toUtf8());
        rows.push_back({PlainLine, utf8.back(), utf8.back().size()});
    }
    Insert(rows);
}

void TLogRows::AppendData(QDate date, QTime time, const QString& direction,
                          const QByteArray& bytes) {
    const QString stamp = FormatTimeStamp(date, time, TimeStampSeparator());
    auto number = static_cast<quint64>(
        std::find(FDirections.begin(), FDirections.end(), direction) - FDirections.begin());
    if (number == FDirections.size() && number < PlainLine) FDirections.push_back(direction);
    const qint64 day = date.toJulianDay();
    if (number >= PlainLine || !time.isValid() || day < 0 || day >= DayLimit) {
        // Beyond what a head holds (never in practice): kept as formed lines.
        Append(FormLogLines(BytesToText(bytes), direction, LogLayout::MainWindow,
                            [&stamp] { return stamp; }));
        return;
    }
    const quint64 head =
        quint64(day) << DayShift | quint64(time.msecsSinceStartOfDay()) << DirectionBits | number;
    const qsizetype prefix =
        FormLogLine(stamp, direction, {}, LogLayout::MainWindow).toUtf8().size();
    std::vector<NewRow> rows;
    for (const LogPiece& piece : SplitLogBytes(bytes)) {
        const QByteArrayView text = QByteArrayView(bytes).sliced(piece.start, piece.size);
        rows.push_back({head, text, prefix + ShownSize(text)});
    }
    Insert(rows);
}

void TLogRows::Insert(const std::vector<NewRow>& rows) {
    if (rows.empty()) return;
    const auto lines = static_cast<qsizetype>(rows.size());
    // A batch larger than the limits keeps its newest lines (at least the last one).
    std::size_t first = static_cast<std::size_t>(std::max<qsizetype>(0, lines - FMaxRows));
    qsizetype incomingBytes = 0;
    for (std::size_t i = first; i < rows.size(); ++i) incomingBytes += rows[i].shown;
    while (incomingBytes > FMaxBytes && first + 1 < rows.size())
        incomingBytes -= rows[first++].shown;
    const auto count = static_cast<qsizetype>(rows.size() - first);

    const auto held = static_cast<qsizetype>(FRows.size());
    qsizetype drop = std::max<qsizetype>(0, held + count - FMaxRows);
    qsizetype bytes = FBytes + incomingBytes;
    for (qsizetype i = 0; i < drop; ++i) bytes -= FRows[static_cast<std::size_t>(i)].shown;
    while (bytes > FMaxBytes && drop < held) bytes -= FRows[static_cast<std::size_t>(drop++)].shown;
    // Old lines go in steps of a hundredth, so that views hear of it rarely.
    if (drop > 0) drop = std::min(held, std::max(drop, FMaxRows / 100));
    if (drop > 0) {
        beginRemoveRows({}, NoteRows(), NoteRows() + static_cast<int>(drop) - 1);
        for (qsizetype i = 0; i < drop; ++i) {
            FBytes -= FRows.front().shown;
            FRows.pop_front();
        }
        const quint32 kept = FRows.empty() ? FFirstBlock + static_cast<quint32>(FBlocks.size())
                                           : FRows.front().block;
        for (; FFirstBlock < kept; ++FFirstBlock) FBlocks.pop_front();
        endRemoveRows();
    }
    if (const qsizetype gone = drop + (lines - count); gone > 0) {
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
    for (std::size_t i = first; i < rows.size(); ++i) {
        FBytes += rows[i].shown;
        FRows.push_back(Store(rows[i]));
    }
    endInsertRows();
}

TLogRows::Row TLogRows::Store(const NewRow& row) {
    if (FBlocks.empty() || FBlocks.back().size() + row.bytes.size() > FBlocks.back().capacity()) {
        FBlocks.emplace_back();
        FBlocks.back().reserve(std::max(BlockSize, row.bytes.size()));
    }
    QByteArray& block = FBlocks.back();
    const Row stored = {row.head, FFirstBlock + static_cast<quint32>(FBlocks.size() - 1),
                        static_cast<quint32>(block.size()), static_cast<quint32>(row.bytes.size()),
                        static_cast<quint32>(row.shown)};
    block.append(row.bytes);
    return stored;
}

QByteArrayView TLogRows::Bytes(const Row& row) const {
    if (row.size == 0) return {};
    return QByteArrayView(FBlocks[row.block - FFirstBlock]).sliced(row.offset, row.size);
}

QString TLogRows::Text(const Row& row, qsizetype limit) const {
    const QByteArrayView bytes = Bytes(row);
    const quint64 number = row.head & PlainLine;
    if (number == PlainLine) return QString::fromUtf8(bytes.first(std::min(limit, bytes.size())));
    const QString stamp = FormatTimeStamp(
        QDate::fromJulianDay(static_cast<qint64>(row.head >> DayShift)),
        QTime::fromMSecsSinceStartOfDay(
            static_cast<int>(row.head >> DirectionBits & ((quint64(1) << MsecsBits) - 1))),
        TimeStampSeparator());
    // Every byte is at least one byte of UTF-8: the limit's worth of them is enough.
    const QString line =
        FormLogLine(stamp, FDirections[number],
                    BytesText(bytes.first(std::min(limit, bytes.size()))), LogLayout::MainWindow);
    if (row.shown <= limit) return line;
    return QString::fromUtf8(line.toUtf8().left(limit));
}

void TLogRows::Clear() {
    beginResetModel();
    FRows.clear();
    FBlocks.clear();
    FFirstBlock = 0;
    FDirections.clear();
    FBytes = 0;
    FDropped = 0;
    endResetModel();
}

QStringList TLogRows::Lines() const {
    QStringList lines;
    lines.reserve(rowCount());
    ForEachLine([&lines](const QString& line) { lines.append(line); });
    return lines;
}

void TLogRows::ForEachLine(const std::function<void(const QString&)>& take) const {
    if (FDropped > 0) take(NoteRow());
    for (const Row& row : FRows) take(Text(row, NoLimit));
}

int TLogRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FRows.size()) + NoteRows();
}

QVariant TLogRows::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
    if (index.row() < NoteRows()) return NoteRow();
    return Text(FRows[static_cast<std::size_t>(index.row() - NoteRows())], DisplayLimit);
}

QString TLogRows::NoteRow() const {
    return QStringLiteral("Удалено старых строк: %1").arg(FDropped);
}

}  // namespace lintaro
