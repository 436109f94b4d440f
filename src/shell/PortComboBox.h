// The port list's box. Port names on Linux are long paths that differ at their end
// (/dev/serial/by-id/usb-FTDI_…-if00-port0): the box shows the end, eliding the middle.
// The closed box also names the adapter behind the selected port, and its tooltip is
// the selected item's.
#pragma once

#include <QComboBox>

namespace lintaro {

class TPortComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QString displayedText READ DisplayedText)

public:
    // An item's adapter (maker, model, serial number) in one line; empty when unknown.
    static constexpr int AdapterRole = Qt::UserRole + 1;

    explicit TPortComboBox(QWidget* parent = nullptr);

    // The selected port as the box shows it in its width.
    QString DisplayedText() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace lintaro
