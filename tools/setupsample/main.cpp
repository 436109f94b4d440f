#include <QApplication>

#include "SetupSampleForm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TSetupSampleForm form;
    form.show();
    return app.exec();
}
