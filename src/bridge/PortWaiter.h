// Tells the connection session when the open port has bytes to read, room to write, or
// has hung up, so that the relay sleeps while there is nothing to do and moves a byte as
// soon as it arrives.
#pragma once

#include <QObject>
#include <string>

#include "serial/COMUtils.h"

namespace lintaro {

class PortWaiter : public QObject {
    Q_OBJECT
public:
    explicit PortWaiter(QObject* parent = nullptr);
    ~PortWaiter() override;

    // `name` is the port's name, whose folder is watched where names are paths.
    void Attach(COMHandle handle, const std::string& name = {});
    void Detach();

    // Readable and Writable come only while watched; a hang-up is told while attached.
    void Watch(bool read, bool write);

    // Called when a read after Readable found nothing: tells (and signals HungUp) whether
    // the port has hung up, read as end of file or failed.
    bool CheckHangUp();

    // How many bytes the port takes now without making the caller wait (0: none).
    int WriteRoom() const;
    bool CanWrite() const { return WriteRoom() > 0; }

    // How often the presence test must run as the fallback for what the platform cannot
    // tell by itself, in milliseconds.
    static int PresenceIntervalMs();

Q_SIGNALS:
    void Readable();
    void Writable();
    // The port itself reported a hang-up, end of file or an I/O error: it is gone, even
    // if a port of the same name is present again.
    void HungUp();
    // Something changed in the port's folder: its presence is worth asking now.
    void FolderChanged();

private:
    struct Private;
    Private* d;
};

}  // namespace lintaro
