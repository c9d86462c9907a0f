// The process-wide numbering of disks. Number 0 always stands for the disk that
// holds the running system; every other whole disk gets 1, 2, ... in the order
// it is first seen, and a number never comes to mean another disk while the
// program runs: a card that is taken out and put back gets a new number. A
// plain file can be registered as a disk too (a card image).
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
    int registerFile(const QString &path);

    // The present disks (system disk and registered files included), by number.
    QList<int> numbers() const;
    // The node (/dev/sdb) or file path of a number; empty when it is unknown or gone.
    QString path(int number) const;
    bool isFile(int number) const;
    // What the disk or file of the number was when it was listed: device
    // number and disk sequence number of a disk, device and inode of a file.
    // An open handle is checked against it (fileIdentity, diskplatform's
    // identityOf), so that a card changed since is not taken for it.
    QString identity(int number) const;
    // The identity of the file open on this descriptor; empty for anything
    // but a regular file.
    static QString fileIdentity(int fd);
    // -1 when the node is not a present disk.
    int numberOf(const QString &path) const;
    // False for a disk that holds a mounted system file system (/, /boot,
    // /boot/efi, /usr, /var) or an active swap area, whatever its number, and
    // for numbers that stand for nothing.
    bool mayWrite(int number) const;

    // Takes a disk node or a file as a removable card with these properties,
    // whatever the system says of it, so that a test or a demonstration can
    // use its own loop devices and card images as cards. It changes what the
    // card list shows, never what may be written: mayWrite() still refuses the
    // system's disks. The declaration holds for the path until it is
    // withdrawn. Returns the number, or -1 when the path is neither a present
    // disk nor a file.
    int declareCard(const QString &path, const DiskProperties &properties);
    void withdrawCard(const QString &path);
    // The properties a declared card was given; false for any other number.
    bool declaredCard(int number, DiskProperties *properties) const;

private:
    DiskRegistry() = default;
    struct Entry {
        QString path;
        QString identity;
        bool file = false;
        bool present = false;
    };

    mutable QMutex lock;
    QHash<int, Entry> entries;
    // By node or absolute file path.
    QHash<QString, DiskProperties> declared;
    int nextNumber = 1;
};
