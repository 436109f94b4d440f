// Wakes the bridge when the open port has bytes to read or room to write, so that the
// relay sleeps while there is nothing to do and moves a byte as soon as it arrives.
#pragma once

#include <QObject>

#include "COMUtils.h"

namespace lintaro {

class PortWaiter : public QObject {
    Q_OBJECT
public:
    explicit PortWaiter(QObject* parent = nullptr);
    ~PortWaiter() override;

    void Attach(COMHandle handle);
    void Detach();

    // Notifications are delivered only while watched: a port that stays readable (or has
    // vanished and reads as end of file) must not wake the window over and over.
    void Watch(bool read, bool write);

    // How many bytes the port takes now without making the caller wait (0: none).
    int WriteRoom() const;
    bool CanWrite() const { return WriteRoom() > 0; }

Q_SIGNALS:
    void Readable();
    void Writable();

private:
    struct Private;
    Private* d;
};

}  // namespace lintaro
