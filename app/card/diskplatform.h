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

// The whole disks the system has now, in the system's order.
QList<Disk> wholeDisks();
// The nodes of the disks under the mounted system file systems and the active
// swap areas; the disk under "/" comes first (empty when "/" lies on no disk).
QStringList systemDisks();
// Sysfs view of a disk; false when the node is no disk (any more).
bool properties(const QString &node, DiskProperties *properties);
// The mount points of the file systems on the disk and on its partitions.
QStringList mountPointsOn(const QString &node);
// The node of the disk's first partition, or empty.
QString firstPartition(const QString &node);

}  // namespace diskplatform
