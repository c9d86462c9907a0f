// The yardstick: a minimal Qt widgets window of the same size, reporting its first
// paint.
#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "first_paint.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(800, 490);
    QVBoxLayout *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel("Hello"));
    FirstPaint reporter;
    window.installEventFilter(&reporter);
    window.show();
    return app.exec();
}
