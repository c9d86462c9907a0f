// Disk access over the Linux block layer: /dev nodes, pread/pwrite at 64-bit
// offsets, the block-device ioctls, umount2.
#include "diskaccess.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskplatform.h"
#include "diskregistry.h"

namespace {

constexpr quint64 kFileSectorSize = 512;
constexpr int kWriteTries = 3;
// How long a new partition's node may take to appear after a new table.
constexpr int kVolumeWaitMs = 3000;
constexpr int kVolumeSliceMs = 50;

int openFlags(DiskAccess access) {
    return (access == DiskAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
}

}  // namespace

void reportSystemError(const char *operation) {
    const int code = errno;
    qCritical().noquote() << operation << "error:" << QString::fromLocal8Bit(strerror(code))
                          << "Code:" << code;
    errno = code;
}

DiskHandle openFileHandle(const QString &path, DiskAccess access) {
    const int flags = access == DiskAccess::ReadWrite ? O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC
                                                       : O_RDONLY | O_CLOEXEC;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0644);
    if (fd < 0) {
        reportSystemError("Get handle on file");
    }
    return fd;
}

namespace {

void reportRefusal(const char *operation, int code, const QString &why) {
    errno = code;
    reportSystemError(operation);
    qCritical().noquote() << why;
    errno = code;
}

// Whether the handle reaches what the registry listed under the number.
bool isListed(int fd, bool file, const QString &identity) {
    const QString now = file ? DiskRegistry::fileIdentity(fd) : diskplatform::identityOf(fd);
    return !now.isEmpty() && now == identity;
}

// Refuses the disk with the last error `code` (EROFS, ESTALE), and says why.
DiskHandle refuse(bool report, int code, const QString &path, bool file) {
    if (report) {
        reportRefusal("Get handle on the device", code,
                      code == EROFS ? QStringLiteral("%1 is write-protected (the card's lock switch, "
                                                     "or a read-only device); nothing was written")
                                          .arg(path)
                                    : QStringLiteral("%1 is no longer the %2 that was chosen (it "
                                                     "was changed since); nothing was written")
                                          .arg(path, file ? QStringLiteral("file")
                                                          : QStringLiteral("card")));
    }
    errno = code;
    return kInvalidDisk;
}

bool readOnlyDevice(int fd) {
    int ro = 0;
    return ioctl(fd, BLKROGET, &ro) == 0 && ro != 0;
}

}  // namespace

DiskHandle openDiskHandle(int diskNumber, DiskAccess access, bool report) {
    DiskRegistry &registry = DiskRegistry::instance();
    const QString path = registry.path(diskNumber);
    const char *operation = "Get handle on the device";
    if (path.isEmpty()) {
        errno = ENODEV;
        if (report) {
            reportSystemError(operation);
        }
        return kInvalidDisk;
    }
    // The system's own disks are never written, whatever the caller asks.
    if (access == DiskAccess::ReadWrite && !registry.mayWrite(diskNumber)) {
        errno = EPERM;
        if (report) {
            reportSystemError(operation);
        }
        return kInvalidDisk;
    }
    const bool file = registry.isFile(diskNumber);
    const QString identity = registry.identity(diskNumber);
    const QByteArray native = QFile::encodeName(path);
    int flags = openFlags(access) | O_NOFOLLOW;
    if (access == DiskAccess::ReadWrite && !file) {
        flags |= O_EXCL;
    }
    const int fd = ::open(native.constData(), flags);
    if (fd < 0 && errno != ELOOP) {
        const int code = errno;
        // A system that refuses to open a read-only disk for writing says
        // "permission denied"; it is the card's lock switch, not the user's rights.
        if (!file && access == DiskAccess::ReadWrite && (code == EACCES || code == EPERM || code == EROFS)) {
            const int probe = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            const bool ro = probe >= 0 && isListed(probe, false, identity) && readOnlyDevice(probe);
            if (probe >= 0) {
                ::close(probe);
            }
            if (ro) {
                return refuse(report, EROFS, path, file);
            }
        }
        errno = code;
        if (report) {
            if (code == EBUSY) {
                const QStringList users = diskplatform::usersOf(path);
                reportRefusal(operation, code,
                              QStringLiteral("%1 is in use by %2; nothing was written")
                                  .arg(path, users.isEmpty()
                                                 ? QStringLiteral("the system (a file system mounted "
                                                                  "elsewhere, a swap area or a volume manager)")
                                                 : users.join(QLatin1String(", "))));
            } else {
                reportSystemError(operation);
            }
        }
        return kInvalidDisk;
    }
    // A link put where the card was is another card too.
    if (fd < 0 && errno == ELOOP) {
        return refuse(report, ESTALE, path, file);
    }
    if (fd >= 0 && !isListed(fd, file, identity)) {
        ::close(fd);
        return refuse(report, ESTALE, path, file);
    }
    if (access == DiskAccess::ReadWrite && !file && readOnlyDevice(fd)) {
        ::close(fd);
        return refuse(report, EROFS, path, file);
    }
    return fd;
}

bool isDiskWriteProtected(int diskNumber) {
    if (DiskRegistry::instance().isFile(diskNumber)) {
        return false;
    }
    const DiskHandle h = openDiskHandle(diskNumber, DiskAccess::Query, false);
    const bool ro = h != kInvalidDisk && readOnlyDevice(h);
    closeDiskHandle(h);
    return ro;
}

DiskHandle openDiskForWriting(int diskNumber) {
    // The card must be the one that was chosen before anything of it is unmounted.
    const DiskHandle probe = openDiskHandle(diskNumber, DiskAccess::Query, true);
    if (probe == kInvalidDisk) {
        return kInvalidDisk;
    }
    const bool ro = !DiskRegistry::instance().isFile(diskNumber) && readOnlyDevice(probe);
    closeDiskHandle(probe);
    if (ro) {
        return refuse(true, EROFS, DiskRegistry::instance().path(diskNumber), false);
    }
    if (!dismountDiskVolumes(diskNumber)) {
        errno = EBUSY;
        return kInvalidDisk;
    }
    return openDiskHandle(diskNumber, DiskAccess::ReadWrite, true);
}

void closeDiskHandle(DiskHandle handle) {
    if (handle >= 0) {
        ::close(handle);
    }
}

bool lastErrorIsAccessDenied() {
    return errno == EACCES || errno == EPERM;
}

bool lastErrorIsWriteProtected() {
    return errno == EROFS;
}

bool lastErrorIsBusy() {
    return errno == EBUSY;
}

bool lastErrorIsChanged() {
    return errno == ESTALE;
}

bool findVolumeOfDisk(int diskNumber, QString *volume) {
    const QString node = DiskRegistry::instance().path(diskNumber);
    if (node.isEmpty() || DiskRegistry::instance().isFile(diskNumber)) {
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const QString part = diskplatform::firstPartition(node);
        if (!part.isEmpty() && QFile::exists(part)) {
            *volume = part;
            return true;
        }
        if (clock.hasExpired(kVolumeWaitMs)) {
            return false;
        }
        QThread::msleep(kVolumeSliceMs);
    }
}

bool dismountDiskVolumes(int diskNumber) {
    const QString node = DiskRegistry::instance().path(diskNumber);
    if (node.isEmpty() || DiskRegistry::instance().isFile(diskNumber)) {
        return true;
    }
    // The deepest first: a file system mounted inside another one holds it.
    QStringList points = diskplatform::mountPointsOn(node);
    std::sort(points.begin(), points.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &point : points) {
        if (umount2(QFile::encodeName(point).constData(), 0) != 0) {
            const int code = errno;
            reportSystemError("Dismount the volume");
            qCritical().noquote() << QStringLiteral("Cannot unmount %1 (on %2): %3; nothing was written")
                                         .arg(point, node, QString::fromLocal8Bit(strerror(code)));
            errno = code;
            return false;
        }
    }
    return true;
}

bool readSectorsInto(DiskHandle handle, QByteArray *buffer, quint64 first, quint64 count,
                     quint64 sectorSize) {
    const quint64 bytes = count * sectorSize;
    if (sectorSize == 0 || count > quint64(INT32_MAX) / sectorSize) {
        errno = EINVAL;
        reportSystemError("Read data from handle");
        return false;
    }
    // Same size as last time: the memory is reused, not allocated and
    // faulted in again for every chunk.
    buffer->resize(int(bytes));
    char *data = buffer->data();
    quint64 done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(handle, data + done, bytes - done, off_t(first * sectorSize + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            reportSystemError("Read data from handle");
            return false;
        }
        if (n == 0) {
            memset(data + done, 0, bytes - done);  // the end of a file reads as zeros
            break;
        }
        done += quint64(n);
    }
    return true;
}

QByteArray readSectors(DiskHandle handle, quint64 first, quint64 count, quint64 sectorSize,
                       bool *ok) {
    QByteArray buf;
    const bool read = readSectorsInto(handle, &buf, first, count, sectorSize);
    if (ok) {
        *ok = read;
    }
    return read ? buf : QByteArray();
}

bool writeSectors(DiskHandle handle, const char *data, quint64 first, quint64 count,
                  quint64 sectorSize) {
    const quint64 bytes = count * sectorSize;
    quint64 done = 0;
    while (done < bytes) {
        const ssize_t n = ::pwrite(handle, data + done, bytes - done, off_t(first * sectorSize + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A write that stops short (the end of the device, a card pulled
            // out) leaves the sectors as they were: it is no success.
            if (n == 0) {
                errno = ENOSPC;
            }
            reportSystemError("Write data to handle");
            return false;
        }
        done += quint64(n);
    }
    return true;
}

bool writeSectorsRetry(DiskHandle handle, const char *data, quint64 first, quint64 count,
                       quint64 sectorSize) {
    for (int i = 0; i < kWriteTries; ++i) {
        if (writeSectors(handle, data, first, count, sectorSize)) {
            return true;
        }
    }
    return false;
}

bool flushDisk(DiskHandle handle) {
    if (::fsync(handle) != 0) {
        reportSystemError("Flush the device");
        return false;
    }
    return true;
}

quint64 diskSectorCount(DiskHandle handle, quint64 *sectorSize) {
    struct stat st;
    if (fstat(handle, &st) != 0) {
        reportSystemError("Get the device's geometry");
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        if (sectorSize) {
            *sectorSize = kFileSectorSize;
        }
        return quint64(st.st_size) / kFileSectorSize;
    }
    uint64_t bytes = 0;
    int logical = 0;
    if (ioctl(handle, BLKGETSIZE64, &bytes) != 0 || ioctl(handle, BLKSSZGET, &logical) != 0 ||
        logical <= 0) {
        reportSystemError("Get the device's geometry");
        return 0;
    }
    if (sectorSize) {
        *sectorSize = quint64(logical);
    }
    return bytes / quint64(logical);
}

bool isDiskMedia(DiskHandle handle) {
    struct stat st;
    if (fstat(handle, &st) != 0) {
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        return true;
    }
    uint64_t bytes = 0;
    return S_ISBLK(st.st_mode) && ioctl(handle, BLKGETSIZE64, &bytes) == 0 && bytes > 0;
}

bool queryDeviceProperties(int diskNumber, DiskProperties *properties) {
    DiskRegistry &registry = DiskRegistry::instance();
    const QString path = registry.path(diskNumber);
    if (path.isEmpty() || !properties) {
        return false;
    }
    if (registry.declaredCard(diskNumber, properties)) {
        return true;
    }
    if (registry.isFile(diskNumber)) {
        // A card image on a disk of the computer: nothing to take out.
        *properties = DiskProperties();
        properties->model = QStringLiteral("File");
        return true;
    }
    return diskplatform::properties(path, properties);
}
