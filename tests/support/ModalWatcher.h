// Answers the modal dialogs that the code under test opens, and records what they said.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <functional>
#include <ostream>
#include <vector>

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace lintaro::test {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString detail;  // the informative text beneath
};

class ModalWatcher {
public:
    // `other` answers modal widgets that are not message boxes (file dialogs); without it
    // they are rejected.
    explicit ModalWatcher(std::function<void(QWidget*)> other = {});
    ~ModalWatcher();

    const std::vector<SeenBox>& Seen() const { return FSeen; }
    int Count() const { return static_cast<int>(FSeen.size()); }
    // Waits (pumping events) until at least n boxes were answered.
    bool WaitForCount(int n, int timeoutMs = 15000) const;

private:
    void Poll();
    std::vector<SeenBox> FSeen;
    std::function<void(QWidget*)> FOther;
    QTimer FTimer;
};

// Pumps events until `condition` holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 15000);

}  // namespace lintaro::test
