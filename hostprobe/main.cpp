#include <QApplication>
#include <QFont>
#include <QFontDatabase>

#include "hostprobe.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const int fontId =
        QFontDatabase::addApplicationFont(QStringLiteral(":/font/DroidSansFallback.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    if (!families.isEmpty()) {
        QFont font(families.first());
        font.setPixelSize(14);
        app.setFont(font);
    }
    HostProbe window;
    window.show();
    return app.exec();
}
