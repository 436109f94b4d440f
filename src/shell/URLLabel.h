// A text label that looks like a link: blue, underlined, no hover effect, arrow pointer.
#pragma once

#include <QLabel>

namespace lintaro {

class TURLLabel : public QLabel {
    Q_OBJECT
public:
    explicit TURLLabel(QWidget* parent = nullptr);

    // The connection state lives here, as the label's tag.
    int Tag() const { return FTag; }
    void SetTag(int tag) { FTag = tag; }

Q_SIGNALS:
    void Click();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int FTag = 0;
    bool FPressed = false;
};

}  // namespace lintaro
