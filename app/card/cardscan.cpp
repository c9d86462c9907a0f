#include "cardscan.h"

#include "diskregistry.h"
#include "simcards.h"

QList<CardInfo> scanCards() {
    DiskRegistry &registry = DiskRegistry::instance();
    registry.refresh();
    declareSimulatedCards(registry);
    QList<CardInfo> cards;
    for (int n : registry.numbers()) {
        // The system's disks are no cards even when they say they are removable
        // (a computer started from a USB stick), and card images are only cards
        // when named explicitly or declared as cards.
        if (!registry.mayWrite(n) || (registry.isFile(n) && !registry.declaredCard(n, nullptr))) {
            continue;
        }
        CardInfo card;
        card.number = n;
        card.node = registry.path(n);
        if (!queryDeviceProperties(n, &card.properties) || !card.properties.removable) {
            continue;
        }
        const DiskHandle handle = openDiskHandle(n, DiskAccess::Query, false);
        if (handle == kInvalidDisk) {
            continue;
        }
        if (isDiskMedia(handle)) {
            card.sectorCount = diskSectorCount(handle, &card.sectorSize);
        }
        closeDiskHandle(handle);
        if (card.sectorCount != 0) {
            cards.append(card);
        }
    }
    return cards;
}

QString busTypeName(int busType) {
    static const char *const kNames[] = {
        "Unknown", "Scsi", "Atapi",   "Ata",   "1394",  "Ssa",
        "Fibre",   "Usb",  "RAID",    "iScsi", "Sas",   "Sata",
        "Sd",      "Mmc",  "Virtual", "FileBackedVirtual", "Spaces", "Nvme",
    };
    if (busType < 0 || busType >= int(sizeof(kNames) / sizeof(kNames[0]))) {
        return QString();
    }
    return QString::fromLatin1(kNames[busType]);
}
