// The log window's rows: a bounded list of lines, offered to a list view as its model.
// Appending costs what the appended lines cost, however many rows are held. When a limit
// is reached the oldest lines go first, and a first row says how many went.
// A row of relayed data keeps only its bytes, its time and its direction; its text is
// formed when a view paints it or the lines are asked for.
#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QStringList>
#include <QTime>
#include <deque>
#include <functional>
#include <vector>

namespace lintaro {

class TLogRows : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr qsizetype DefaultMaxRows = 100000;
    // Merged data rows can be long: the text held is bounded too (bytes of the UTF-8 of
    // the lines as shown).
    static constexpr qsizetype DefaultMaxBytes = 16 * 1024 * 1024;

    explicit TLogRows(qsizetype maxRows = DefaultMaxRows, qsizetype maxBytes = DefaultMaxBytes,
                      QObject* parent = nullptr);

    // Lines kept as they are.
    void Append(const QStringList& lines);
    // One entry of relayed bytes that came at `date` `time` (local) in `direction`: the
    // lines FormLogLines makes of it in the main window's layout, one stamp for all.
    void AppendData(QDate date, QTime time, const QString& direction, const QByteArray& bytes);
    void Clear();
    // Every row, the note of dropped lines first when there is one.
    QStringList Lines() const;
    // The same lines one at a time, so that only one is formed at once.
    void ForEachLine(const std::function<void(const QString&)>& take) const;
    qsizetype Dropped() const { return FDropped; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    struct Row {
        quint64 head;  // day, milliseconds and direction; or the mark of a plain line
        quint32 block;
        quint32 offset;
        quint32 size;
        quint32 shown;  // what the line counts against the byte limit
    };
    struct NewRow {
        quint64 head;
        QByteArrayView bytes;
        qsizetype shown;
    };

    void Insert(const std::vector<NewRow>& rows);
    Row Store(const NewRow& row);
    QByteArrayView Bytes(const Row& row) const;
    QString Text(const Row& row, qsizetype limit) const;
    QString NoteRow() const;
    int NoteRows() const { return FDropped > 0 ? 1 : 0; }

    qsizetype FMaxRows;
    qsizetype FMaxBytes;
    std::deque<Row> FRows;
    // The rows' bytes, packed one after another; a block goes when its last row does.
    std::deque<QByteArray> FBlocks;
    quint32 FFirstBlock = 0;  // serial number of FBlocks.front()
    std::vector<QString> FDirections;
    qsizetype FBytes = 0;
    qsizetype FDropped = 0;
};

}  // namespace lintaro
