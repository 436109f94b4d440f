// The configuration program launcher on explicit inputs. The main window's
// StartSetupProgram / StopSetupProgram pass its own folder and fields; tests pass a folder
// of their own.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

#include "bridge/ProcessInformation.h"

namespace lintaro {

// Shows a failure in the error box ("Ошибка") and returns once it is closed.
using ShowErrorFunction = std::function<void(const QString& text)>;

// The folder of the running executable, with a trailing separator.
QString ProgramFolder();

// Looks the device's model up in `programFolder` + "setup.ini", copies the program named
// there to the temporary folder and starts the copy. True when it was started; then
// `procInfo` and `setupFile` describe it. Missing temporary folder or "setup.ini" are shown
// through `showError`; a "setup.ini" that exists but cannot be read (or is no regular
// file, or is larger than 1 MiB) throws LintaroError. Every other failure shows nothing
// (the bridge cycle reports it); a value that is no plain file name and a copy that cannot
// be prepared or started are named in a line given to `log`.
bool StartSetupProgramFrom(const QString& programFolder, const ShowErrorFunction& showError,
                           const QByteArray& verInfo, TProcessInformation& procInfo,
                           QString& setupFile, const std::function<void(const QString&)>& log);

// The most "setup.ini" may hold.
inline constexpr std::size_t SetupIniLimit = 1024 * 1024;

// Kills the started program at once and deletes its copy; `procInfo` is cleared.
void StopSetupProgramOf(TProcessInformation& procInfo, const QString& setupFile);

}  // namespace lintaro
