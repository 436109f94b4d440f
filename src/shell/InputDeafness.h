// Keeps the window deaf to the user while the device is identified (as a blocking read
// would), yet lets it repaint. Input is dropped rather than queued, so a click made
// during the wait cannot land on the link once it reads "Отключить". A close request is
// kept and carried out afterwards.
#pragma once

#include <QObject>

class QWidget;

namespace lintaro {

class InputDeafness : public QObject {
public:
    explicit InputDeafness(QWidget* window);
    ~InputDeafness() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* FWindow;
    bool FCloseRequested = false;
};

}  // namespace lintaro
