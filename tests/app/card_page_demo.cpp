// The main window on its card page with one card listed: a card image file or
// a loop device, declared to the disk registry as a removable card, so that the
// page can be looked at (scripts/screenshot) and used without a card reader. A
// loop device comes and goes as a card does when it is attached and detached.
//   card_page_demo CARD_FILE|LOOP_DEVICE
#include <QApplication>
#include <QTabWidget>

#include <cstdio>

#include "diskregistry.h"
#include "kelflash.h"

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: card_page_demo CARD_FILE|LOOP_DEVICE\n");
        return 2;
    }
    DiskProperties card;
    card.removable = true;
    card.vendor = QStringLiteral("Generic");
    card.model = QStringLiteral("SD/MMC Reader");
    card.busType = 7;
    if (DiskRegistry::instance().declareCard(QString::fromLocal8Bit(argv[1]), card) < 0) {
        fprintf(stderr, "card_page_demo: %s is neither a file nor a disk\n", argv[1]);
        return 1;
    }
    KelFlash window;
    window.show();
    window.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    return app.exec();
}
