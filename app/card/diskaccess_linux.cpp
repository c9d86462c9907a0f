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

Failure systemFailure(const char *operation, Failure::Code code) {
    const int error = errno;
    return Failure(code, QStringLiteral("%1 error: %2 Code: %3")
                             .arg(QLatin1String(operation), QString::fromLocal8Bit(strerror(error)))
                             .arg(error));
}

Failure reportSystemError(const char *operation, Failure::Code code) {
    const int error = errno;
    const Failure failure = systemFailure(operation, code);
    qCritical().noquote() << failure.message();
    errno = error;
    return failure;
}

bool keepFailure(Failure *why, const Failure &failure) {
    if (why && !why->isFailure()) {
        *why = failure;
    }
    return false;
}

DiskHandle openFileHandle(const QString &path, DiskAccess access, Failure *why) {
    const int flags = access == DiskAccess::ReadWrite ? O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC
                                                       : O_RDONLY | O_CLOEXEC;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0644);
    if (fd < 0) {
        keepFailure(why, reportSystemError("Get handle on file"));
    }
    return fd;
}

DiskNode diskNodeOf(const QString &path) {
    DiskNode disk;
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return disk;
    }
    disk.identity = diskplatform::fileIdentityOf(fd);
    disk.file = !disk.identity.isEmpty();
    if (!disk.file) {
        disk.identity = diskplatform::identityOf(fd);
    }
    ::close(fd);
    if (!disk.identity.isEmpty()) {
        disk.path = path;
    }
    return disk;
}

bool mayWriteDisk(const DiskNode &disk) {
    if (!disk.isValid()) {
        return false;
    }
    return disk.file || !diskplatform::systemDisks().contains(disk.path);
}

namespace {

// The code of a refusal to open a disk, by the system's error.
Failure::Code openFailureCode(int error) {
    switch (error) {
        case EBUSY:
            return Failure::CardInUse;
        case ESTALE:
            return Failure::CardChanged;
        default:
            return Failure::CardUnavailable;
    }
}

// The system's error of a refused open, logged when `report`, as a value.
Failure openFailure(bool report, const char *operation) {
    const int code = errno;
    const Failure failure = report ? reportSystemError(operation, openFailureCode(code))
                                   : systemFailure(operation, openFailureCode(code));
    errno = code;
    return failure;
}

// The system's error and then the sentence that says what it means; the
// sentence is the reason.
Failure reportRefusal(bool report, const char *operation, int code, const QString &why) {
    errno = code;
    if (report) {
        reportSystemError(operation);
        qCritical().noquote() << why;
    }
    errno = code;
    return Failure(openFailureCode(code), why);
}

// Whether the handle reaches what was listed.
bool isListed(int fd, const DiskNode &disk) {
    const QString now = disk.file ? diskplatform::fileIdentityOf(fd) : diskplatform::identityOf(fd);
    return !now.isEmpty() && now == disk.identity;
}

// Refuses the disk with the last error `code` (EROFS, ESTALE), and says why.
DiskHandle refuse(bool report, int code, const DiskNode &disk, Failure *why) {
    keepFailure(why,
                reportRefusal(report, "Get handle on the device", code,
                              code == EROFS
                                  ? QStringLiteral("%1 is write-protected (the card's lock switch, "
                                                   "or a read-only device); nothing was written")
                                        .arg(disk.path)
                                  : QStringLiteral("%1 is no longer the %2 that was chosen (it "
                                                   "was changed since); nothing was written")
                                        .arg(disk.path, disk.file ? QStringLiteral("file")
                                                                  : QStringLiteral("card"))));
    errno = code;
    return kInvalidDisk;
}

bool readOnlyDevice(int fd) {
    int ro = 0;
    return ioctl(fd, BLKROGET, &ro) == 0 && ro != 0;
}

}  // namespace

DiskHandle openDiskHandle(const DiskNode &disk, DiskAccess access, bool report, Failure *why) {
    const QString &path = disk.path;
    const char *operation = "Get handle on the device";
    if (path.isEmpty()) {
        errno = ENODEV;
        keepFailure(why, openFailure(report, operation));
        return kInvalidDisk;
    }
    // The system's own disks are never written, whatever the caller asks.
    if (access == DiskAccess::ReadWrite && !mayWriteDisk(disk)) {
        errno = EPERM;
        keepFailure(why, openFailure(report, operation));
        return kInvalidDisk;
    }
    const bool file = disk.file;
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
            const bool ro = probe >= 0 && isListed(probe, disk) && readOnlyDevice(probe);
            if (probe >= 0) {
                ::close(probe);
            }
            if (ro) {
                return refuse(report, EROFS, disk, why);
            }
        }
        errno = code;
        if (code == EBUSY) {
            const QStringList users = diskplatform::usersOf(path);
            keepFailure(why,
                        reportRefusal(
                            report, operation, code,
                            QStringLiteral("%1 is in use by %2; nothing was written")
                                .arg(path, users.isEmpty()
                                               ? QStringLiteral(
                                                     "the system (a file system mounted "
                                                     "elsewhere, a swap area or a volume manager)")
                                               : users.join(QLatin1String(", ")))));
        } else {
            keepFailure(why, openFailure(report, operation));
        }
        errno = code;
        return kInvalidDisk;
    }
    // A link put where the card was is another card too.
    if (fd < 0 && errno == ELOOP) {
        return refuse(report, ESTALE, disk, why);
    }
    if (fd >= 0 && !isListed(fd, disk)) {
        ::close(fd);
        return refuse(report, ESTALE, disk, why);
    }
    if (access == DiskAccess::ReadWrite && !file && readOnlyDevice(fd)) {
        ::close(fd);
        return refuse(report, EROFS, disk, why);
    }
    return fd;
}

bool isDiskWriteProtected(const DiskNode &disk) {
    if (disk.file) {
        return false;
    }
    const DiskHandle h = openDiskHandle(disk, DiskAccess::Query, false);
    const bool ro = h != kInvalidDisk && readOnlyDevice(h);
    closeDiskHandle(h);
    return ro;
}

DiskHandle openDiskForWriting(const DiskNode &disk, Failure *why) {
    // The card must be the one that was chosen before anything of it is unmounted.
    const DiskHandle probe = openDiskHandle(disk, DiskAccess::Query, true, why);
    if (probe == kInvalidDisk) {
        return kInvalidDisk;
    }
    const bool ro = !disk.file && readOnlyDevice(probe);
    closeDiskHandle(probe);
    if (ro) {
        return refuse(true, EROFS, disk, why);
    }
    if (!dismountDiskVolumes(disk, why)) {
        errno = EBUSY;
        return kInvalidDisk;
    }
    return openDiskHandle(disk, DiskAccess::ReadWrite, true, why);
}

void closeDiskHandle(DiskHandle handle) {
    if (handle >= 0) {
        ::close(handle);
    }
}

bool lastErrorIsAccessDenied() {
    return errno == EACCES || errno == EPERM;
}

bool findVolumeOfDisk(const DiskNode &disk, QString *volume) {
    if (!disk.isValid() || disk.file) {
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const QString part = diskplatform::firstPartition(disk.path);
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

bool dismountDiskVolumes(const DiskNode &disk, Failure *why) {
    const QString &node = disk.path;
    if (node.isEmpty() || disk.file) {
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
            const QString text =
                QStringLiteral("Cannot unmount %1 (on %2): %3; nothing was written")
                    .arg(point, node, QString::fromLocal8Bit(strerror(code)));
            qCritical().noquote() << text;
            keepFailure(why, Failure(Failure::CardInUse, text));
            errno = code;
            return false;
        }
    }
    return true;
}

bool readSectorsInto(DiskHandle handle, QByteArray *buffer, quint64 first, quint64 count,
                     quint64 sectorSize, Failure *why) {
    const quint64 bytes = count * sectorSize;
    if (sectorSize == 0 || count > quint64(INT32_MAX) / sectorSize) {
        errno = EINVAL;
        return keepFailure(why, reportSystemError("Read data from handle"));
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
            return keepFailure(why, reportSystemError("Read data from handle"));
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
                       bool *ok, Failure *why) {
    QByteArray buf;
    const bool read = readSectorsInto(handle, &buf, first, count, sectorSize, why);
    if (ok) {
        *ok = read;
    }
    return read ? buf : QByteArray();
}

bool writeSectors(DiskHandle handle, const char *data, quint64 first, quint64 count,
                  quint64 sectorSize, Failure *why) {
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
            return keepFailure(why, reportSystemError("Write data to handle"));
        }
        done += quint64(n);
    }
    return true;
}

bool writeSectorsRetry(DiskHandle handle, const char *data, quint64 first, quint64 count,
                       quint64 sectorSize, Failure *why) {
    for (int i = 0; i < kWriteTries; ++i) {
        if (writeSectors(handle, data, first, count, sectorSize, why)) {
            return true;
        }
    }
    return false;
}

bool flushDisk(DiskHandle handle, Failure *why) {
    if (::fsync(handle) != 0) {
        return keepFailure(why, reportSystemError("Flush the device"));
    }
    return true;
}

quint64 diskSectorCount(DiskHandle handle, quint64 *sectorSize, Failure *why) {
    struct stat st;
    if (fstat(handle, &st) != 0) {
        keepFailure(why, reportSystemError("Get the device's geometry"));
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
        keepFailure(why, reportSystemError("Get the device's geometry"));
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

bool queryDeviceProperties(const DiskNode &disk, DiskProperties *properties) {
    if (!disk.isValid() || !properties) {
        return false;
    }
    if (disk.file) {
        // A card image on a disk of the computer: nothing to take out.
        *properties = DiskProperties();
        properties->model = QStringLiteral("File");
        return true;
    }
    return diskplatform::properties(disk.path, properties);
}
