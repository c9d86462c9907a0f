// What the partition tables need of the system besides the disk access: making
// it see the partitions of a table just written.
#pragma once

#include <QVector>
#include <QtGlobal>

#include "diskaccess.h"

namespace parttableplatform {

struct Span {
    quint64 start = 0;   // bytes
    quint64 length = 0;  // bytes
};

// Partition n + 1 is partitions[n]. Nothing to do for a plain file. False, with
// the system's error logged (and in *why), when the system could not be
// brought to see them.
bool showPartitions(DiskHandle handle, const QVector<Span> &partitions, Failure *why = nullptr);

}  // namespace parttableplatform
