#include <QApplication>
#include <QFont>

#include "hostprobe.h"
#include "resourcefont.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const QStringList families = addResourceFont(QStringLiteral(":/font/DroidSansFallback.ttf"));
    if (!families.isEmpty()) {
        QFont font(families.first());
        font.setPixelSize(14);
        app.setFont(font);
    }
    HostProbe window;
    window.show();
    return app.exec();
}
