#include <QApplication>
#include <QDebug>

#include "filesplace.h"
#include "kelflash.h"
#include "language.h"
#include "settings.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    // Before the window: it opens the settings, the history and the log.
    const QString place = chooseFilesPlace(app.arguments().contains(QStringLiteral("--user-data")));
    // The settings are read from the folder chosen above.
    installLanguage(app, chooseLanguage(app.arguments(), Settings::instance()));
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
