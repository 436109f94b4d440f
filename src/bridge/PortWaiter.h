// Tells the connection session when the open port's name may have gone (something changed
// in its folder), and how often the timed presence test must run where nothing tells. The
// port's own readiness and hang-up are the relay thread's (bridge/RelayThread.h).
#pragma once

#include <QObject>
#include <string>

namespace lintaro {

class PortWaiter : public QObject {
    Q_OBJECT
public:
    explicit PortWaiter(QObject* parent = nullptr);
    ~PortWaiter() override;

    // `name` is the port's name, whose folder is watched where names are paths.
    void Attach(const std::string& name);
    void Detach();

    // How often the presence test must run as the fallback for what the platform cannot
    // tell by itself, in milliseconds; 0 when it tells everything.
    int PresenceIntervalMs() const;

Q_SIGNALS:
    // Something changed in the port's folder: its presence is worth asking now.
    void FolderChanged();

private:
    struct Private;
    Private* d;
};

}  // namespace lintaro
