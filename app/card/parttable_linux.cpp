// The kernel's view of a card's partitions after a new table: it re-reads the
// table itself when it can; where it has no parser for the table or a
// partition of the disk is busy, the partitions are set one by one, as partx
// does.
#include "parttableplatform.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <cerrno>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace parttableplatform {

namespace {

quint64 readSysNumber(const QString &file, bool *ok) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *ok = false;
        return 0;
    }
    return f.readAll().trimmed().toULongLong(ok);
}

// The partitions the kernel has now, by number; sysfs counts in 512-byte units.
QMap<int, Span> kernelPartitions(dev_t disk) {
    QMap<int, Span> found;
    const QDir dir(QStringLiteral("/sys/dev/block/%1:%2").arg(major(disk)).arg(minor(disk)));
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString sub = dir.filePath(name);
        bool okNumber = true, okStart = true, okSize = true;
        const int number = int(readSysNumber(sub + "/partition", &okNumber));
        Span span;
        span.start = readSysNumber(sub + "/start", &okStart) * 512;
        span.length = readSysNumber(sub + "/size", &okSize) * 512;
        if (okNumber && okStart && okSize) {
            found.insert(number, span);
        }
    }
    return found;
}

bool sameSpan(const Span &a, const Span &b) {
    return a.start == b.start && a.length == b.length;
}

bool matches(const QMap<int, Span> &kernel, const QVector<Span> &partitions) {
    if (kernel.size() != partitions.size()) {
        return false;
    }
    for (int i = 0; i < partitions.size(); ++i) {
        if (!kernel.contains(i + 1) || !sameSpan(kernel.value(i + 1), partitions[i])) {
            return false;
        }
    }
    return true;
}

bool changePartition(DiskHandle handle, int op, int number, const Span &span, Failure *why) {
    blkpg_partition part{};
    part.pno = number;
    part.start = qint64(span.start);
    part.length = qint64(span.length);
    blkpg_ioctl_arg arg{};
    arg.op = op;
    arg.datalen = sizeof(part);
    arg.data = &part;
    if (ioctl(handle, BLKPG, &arg) != 0) {
        return keepFailure(why, reportSystemError(op == BLKPG_ADD_PARTITION ? "Add partition"
                                                                            : "Delete partition"));
    }
    return true;
}

}  // namespace

bool showPartitions(DiskHandle handle, const QVector<Span> &partitions, Failure *why) {
    struct stat st {};
    if (fstat(handle, &st) != 0) {
        return keepFailure(why, reportSystemError("Get disk kind"));
    }
    if (!S_ISBLK(st.st_mode)) {
        return true;
    }
    if (ioctl(handle, BLKRRPART) == 0 && matches(kernelPartitions(st.st_rdev), partitions)) {
        return true;
    }
    // Busy, the kernel has no parser for this table, or the disk does not scan
    // for partitions by itself (a loop device set up without partition
    // scanning refuses BLKRRPART but takes partitions one by one).
    const QMap<int, Span> kernel = kernelPartitions(st.st_rdev);
    bool ok = true;
    for (auto it = kernel.constBegin(); it != kernel.constEnd(); ++it) {
        const int n = it.key();
        if (n > partitions.size() || !sameSpan(it.value(), partitions[n - 1])) {
            ok = changePartition(handle, BLKPG_DEL_PARTITION, n, it.value(), why) && ok;
        }
    }
    for (int i = 0; i < partitions.size(); ++i) {
        if (!kernel.contains(i + 1) || !sameSpan(kernel.value(i + 1), partitions[i])) {
            ok = changePartition(handle, BLKPG_ADD_PARTITION, i + 1, partitions[i], why) && ok;
        }
    }
    return ok;
}

}  // namespace parttableplatform
