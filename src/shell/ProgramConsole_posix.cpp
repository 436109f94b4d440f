#include <QtGlobal>
#include <cstdio>

#include "shell/ProgramConsole.h"

namespace lintaro {

void WriteToConsole(const QString& text, bool error) {
    std::FILE* stream = error ? stderr : stdout;
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

bool GraphicalDisplayMissing(bool displayGiven) {
#if defined(Q_OS_LINUX)
    // Without any of these Qt's xcb plugin aborts the program with its own English text.
    return !displayGiven && qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
#else
    Q_UNUSED(displayGiven);
    return false;
#endif
}

QString NoDisplayMessage() {
    return QStringLiteral(
        "Lintaro: нет графического дисплея. Задайте переменную DISPLAY или запустите "
        "программу в сеансе рабочего стола.\n");
}

}  // namespace lintaro
