#include <QApplication>
#include <QDir>

#include "SetupSampleForm.h"

int main(int argc, char** argv) {
    // The wizard starts a copy of this program from the temporary folder, with the program
    // folder as its working folder: Qt's plugins are found there, not beside the copy.
    QCoreApplication::addLibraryPath(QDir::currentPath());
    QApplication app(argc, argv);
    TSetupSampleForm form;
    form.show();
    return app.exec();
}
