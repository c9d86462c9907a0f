// What the disk registry and the disk access need to know of the system's
// storage; the platform's code lives in diskplatform_<platform>.cpp.
#pragma once

#include <QString>
#include <QStringList>

struct DiskProperties;

namespace diskplatform {

struct Disk {
    QString node;      // /dev/sdb
    QString identity;  // changes when the device or its medium is replaced
};

// The identity wholeDisks() gives the disk that is open on this descriptor;
// empty when it is no block device. The kernel's disk sequence number where
// it has one (a new medium or a new attachment gets a new one), otherwise the
// device number with the size and the serial.
QString identityOf(int fd);
// The identity of the regular file open on this descriptor (its file system's
// device and its inode); empty for anything else.
QString fileIdentityOf(int fd);

// The whole disks the system has now, in the system's order.
QList<Disk> wholeDisks();
// The nodes of the disks under the mounted system file systems and the active
// swap areas; the disk under "/" comes first (empty when "/" lies on no disk).
// A file system is followed down to the disks it rests on: the layers of an
// overlay, the file behind a loop device, the members of a device-mapper or md
// volume.
QStringList systemDisks();
// The disks under the file system that holds this file, followed down the same
// way; empty when it lies on no disk (tmpfs, a network file system).
QStringList disksOfPath(const QString &path);
// What holds the disk or its partitions open for itself, for the message of a
// disk that cannot be had: mount points, swap areas, device-mapper and md
// volumes.
QStringList usersOf(const QString &node);
// Sysfs view of a disk; false when the node is no disk (any more).
bool properties(const QString &node, DiskProperties *properties);
// The mount points of the file systems on the disk and on its partitions.
QStringList mountPointsOn(const QString &node);
// The node of the disk's first partition, or empty.
QString firstPartition(const QString &node);

}  // namespace diskplatform
