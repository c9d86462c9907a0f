// The minimal window again, but with what KelFlash's look needs before any of
// its own widgets: KelUI with the libraries it links, KelFlash's two embedded
// fonts (text and icons) registered through it, the text font made the
// application's font, and a label of Chinese text. The gap between this and the
// plain window is what the look itself costs at start-up.
#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "first_paint.h"
#include "fontawesome.h"
#include "resourcefont.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    const QStringList families = addResourceFont(":/res/font/DroidSansFallback.ttf");
    FontAwesome::getInstance();
    if (!families.isEmpty()) {
        QFont font(families.first());
        font.setPixelSize(14);
        QApplication::setFont(font);
    }
    window.setFixedSize(800, 490);
    QVBoxLayout *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("烧写镜像 Hello")));
    FirstPaint reporter;
    window.installEventFilter(&reporter);
    window.show();
    return app.exec();
}
