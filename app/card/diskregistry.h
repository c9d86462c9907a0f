// The card list's numbering of disks. Number 0 always stands for the disk that
// holds the running system; every other whole disk gets 1, 2, ... in the order
// it is first seen, and a number never comes to mean another disk while the
// program runs: a card that is taken out and put back gets a new number. A
// plain file can be listed as a disk too (a card image).
//
// The numbers are for the list and its texts only. What a list hands out is a
// DiskNode (the node and what stood there when it was listed), which is all
// the card engine takes: a job never looks a disk up by its number.
#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include "diskaccess.h"

class DiskRegistry {
public:
    static DiskRegistry &instance();

    // Reads the system's disks again. Disks that have gone keep their numbers
    // unused; new ones are numbered on.
    void refresh();
    // A plain file as a disk; the same file keeps its number, another file
    // put in its place gets a new one, like a card that was changed.
    DiskNode registerFile(const QString &path);

    // The present disks (system disk and registered files included), by number.
    QList<int> numbers() const;
    // The disk of a number as it was listed; invalid when it is unknown or gone.
    DiskNode disk(int number) const;
    // The present disk listed under this node or file path; invalid when none.
    DiskNode diskOf(const QString &path) const;

    // Takes a disk node or a file as a removable card with these properties,
    // whatever the system says of it, so that a test or a demonstration can
    // use its own loop devices and card images as cards. It changes what the
    // card list shows, never what may be written: the system's disks are
    // still refused (mayWriteDisk). The declaration holds for the path until
    // it is withdrawn. Returns the listed disk, invalid when the path is
    // neither a present disk nor a file.
    DiskNode declareCard(const QString &path, const DiskProperties &properties);
    void withdrawCard(const QString &path);
    // The properties a declared card was given; false for any other disk.
    bool declaredCard(const DiskNode &disk, DiskProperties *properties) const;
    // What the card list shows of a disk: a declared card's properties, else
    // what the system says (queryDeviceProperties).
    bool properties(const DiskNode &disk, DiskProperties *properties) const;

private:
    DiskRegistry() = default;
    struct Entry {
        DiskNode disk;
        bool present = false;
    };

    mutable QMutex lock;
    QHash<int, Entry> entries;
    // By node or absolute file path.
    QHash<QString, DiskProperties> declared;
    int nextNumber = 1;
};
