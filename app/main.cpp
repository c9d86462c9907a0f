#include <QApplication>
#include <QDebug>

#include "filesplace.h"
#include "kelflash.h"
#include "qttranslations.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    installQtTranslations(app);
    // Before the window: it opens the settings, the history and the log.
    const QString place = chooseFilesPlace(app.arguments().contains(QStringLiteral("--user-data")));
    int rc;
    {
        // The window, and with it the upgrade library, goes before the application.
        KelFlash window;
        if (!place.isEmpty()) {
            qInfo().noquote() << place;
        }
        window.show();
        rc = app.exec();
    }
    return rc;
}
