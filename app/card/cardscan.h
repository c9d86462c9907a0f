// The cards an operator may pick: the removable disks that hold a medium,
// never a disk of the running system. The card tab and the command line list
// the same cards.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include "diskaccess.h"

struct CardInfo {
    // As listed: the node, its identity and the list's number.
    DiskNode disk;
    DiskProperties properties;
    quint64 sectorCount = 0;
    quint64 sectorSize = 0;

    quint64 size() const { return sectorCount * sectorSize; }
};

// Refreshes the disk registry, then lists the cards in number order.
QList<CardInfo> scanCards();

// The card list's names of the bus types: 0 "Unknown" ... 17 "Nvme"; empty
// beyond.
QString busTypeName(int busType);
