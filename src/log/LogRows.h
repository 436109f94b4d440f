// The log window's rows: a bounded list of lines, offered to a list view as its model.
// Appending costs what the appended lines cost, however many rows are held. When a limit
// is reached the oldest lines go first, and a first row says how many went.
#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QStringList>
#include <deque>

namespace lintaro {

class TLogRows : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr qsizetype DefaultMaxRows = 100000;
    // Merged data rows can be long: the text held is bounded too (bytes of UTF-8).
    static constexpr qsizetype DefaultMaxBytes = 16 * 1024 * 1024;

    explicit TLogRows(qsizetype maxRows = DefaultMaxRows, qsizetype maxBytes = DefaultMaxBytes,
                      QObject* parent = nullptr);

    void Append(const QStringList& lines);
    void Clear();
    // Every row, the note of dropped lines first when there is one.
    QStringList Lines() const;
    qsizetype Dropped() const { return FDropped; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    QString NoteRow() const;
    int NoteRows() const { return FDropped > 0 ? 1 : 0; }
    void DropOldest(qsizetype count);

    qsizetype FMaxRows;
    qsizetype FMaxBytes;
    // UTF-8: a log line is mostly ASCII, half the size of UTF-16.
    std::deque<QByteArray> FRows;
    qsizetype FBytes = 0;
    qsizetype FDropped = 0;
};

}  // namespace lintaro
