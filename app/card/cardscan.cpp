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
        CardInfo card;
        card.disk = registry.disk(n);
        if (n == 0 || !mayWriteDisk(card.disk) ||
            (card.disk.file && !registry.declaredCard(card.disk, nullptr))) {
            continue;
        }
        if (!registry.properties(card.disk, &card.properties) || !card.properties.removable) {
            continue;
        }
        const DiskHandle handle = openDiskHandle(card.disk, DiskAccess::Query, false);
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
