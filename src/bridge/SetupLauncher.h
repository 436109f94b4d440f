// The configuration program launcher on explicit inputs. The main window's
// StartSetupProgram / StopSetupProgram pass its own folder and fields; tests pass a folder
// of their own.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

#include "bridge/ProcessInformation.h"

namespace lintaro {

// Shows a failure in the error box ("Ошибка") and returns once it is closed.
using ShowErrorFunction = std::function<void(const QString& text)>;

// The folder of the running executable, with a trailing separator.
QString ProgramFolder();

enum class SetupStart {
    Started,
    NotFound,  // no program for this model: the bridge cycle says so
    Reported,  // a program was found but could not be started; `showError` said why
};

// Looks the device's model up in `programFolder` + "setup.ini", copies the program named
// there to the temporary folder and starts the copy (a Windows program through Wine where
// that is how it runs). When started, `procInfo` and `setupFile` describe it. Missing
// temporary folder or "setup.ini" are shown through `showError` (and give NotFound); a
// "setup.ini" that exists but cannot be read (or is no regular file, or is larger than
// 1 MiB) throws LintaroError. A copy that cannot be prepared or started is shown with
// its reason and never left behind. Every failure is named in a line given to `log`; for
// NotFound `missing` (when given) says for the box what was looked for and where.
SetupStart StartSetupProgramFrom(const QString& programFolder, const ShowErrorFunction& showError,
                                 const QByteArray& verInfo, TProcessInformation& procInfo,
                                 QString& setupFile, const std::function<void(const QString&)>& log,
                                 QString* missing = nullptr);

// The most "setup.ini" may hold.
inline constexpr std::size_t SetupIniLimit = 1024 * 1024;

// Kills the started program at once and deletes its copy; `procInfo` is cleared.
void StopSetupProgramOf(TProcessInformation& procInfo, const QString& setupFile);

// When the started program has ended by itself: reaps it (no zombie waits for the stop)
// and gives its exit code, once. Never blocks.
std::optional<int> ReapEndedSetupProgram(TProcessInformation& procInfo);

// Watches a started program while the connection runs and says once that it ended by
// itself. The connection and its state stay as they are: the user ends them.
class SetupExitWatch : public QObject {
    Q_OBJECT
public:
    explicit SetupExitWatch(QObject* parent = nullptr);
    // The program to watch (owned by the caller); nullptr stops watching.
    void Watch(TProcessInformation* procInfo);

Q_SIGNALS:
    void Ended(int exitCode);

private:
    void Check();

    // Where the system cannot wake the watch, it asks this often.
    static constexpr int kPollInterval = 250;  // ms
    QTimer FTimer;
    QObject* FNotifier = nullptr;
    TProcessInformation* FProcInfo = nullptr;
};

// The log line for a program that ended by itself.
QString SetupEndedLogLine(int exitCode);

}  // namespace lintaro
