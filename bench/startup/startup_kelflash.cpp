// KelFlash's own start-up (as app/main.cpp), reporting its first paint.
#include <QApplication>

#include "first_paint.h"
#include "kelflash.h"
#include "qttranslations.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    installQtTranslations(app);
    KelFlash window;
    FirstPaint reporter;
    window.installEventFilter(&reporter);
    window.show();
    return app.exec();
}
