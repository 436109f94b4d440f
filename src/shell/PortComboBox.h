// The port list's box. Port names on Linux are long paths that differ at their end
// (/dev/serial/by-id/usb-FTDI_…-if00-port0): the box shows the end, eliding the middle.
#pragma once

#include <QComboBox>

namespace lintaro {

class TPortComboBox : public QComboBox {
public:
    explicit TPortComboBox(QWidget* parent = nullptr);

    // The selected port as the box shows it in its width.
    QString DisplayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace lintaro
