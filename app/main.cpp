#include <QApplication>

#include "kelflash.h"
#include "qttranslations.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    installQtTranslations(app);
    int rc;
    {
        // The window, and with it the upgrade library, goes before the application.
        KelFlash window;
        window.show();
        rc = app.exec();
    }
    return rc;
}
