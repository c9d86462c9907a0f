#include "carddisk.h"

#include <QDebug>
#include <cstring>

#include "diskaccess.h"
#include "image.h"
#include "imagefile.h"

namespace {

const char kAdminNeeded[] = "You need 'administrator' permission.\n";

// Closes the handle on every way out of a mark operation.
struct HandleGuard {
    DiskHandle handle;
    ~HandleGuard() {
        if (handle != kInvalidDisk) {
            closeDiskHandle(handle);
        }
    }
};

void putText(char *field, const QString &text) {
    const QByteArray bytes = text.toLatin1().left(IMAGE_HDR_TEXT_LEN);
    memset(field, 0, IMAGE_HDR_TEXT_LEN);
    memcpy(field, bytes.constData(), size_t(bytes.size()));
}

// Opens the disk and reads its sector 0, with the mark operations' messages
// for each failure; the handle is the caller's to close, also on failure.
bool openSector0(const DiskNode &disk, DiskAccess access, DiskHandle *handle, quint64 *sectorSize,
                 QByteArray *sector) {
    *handle = openDiskHandle(disk, access, true);
    if (*handle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            qCritical().noquote() << kAdminNeeded;
        }
        return false;
    }
    if (diskSectorCount(*handle, sectorSize) == 0) {
        qCritical() << "Failed to read sector information";
        return false;
    }
    bool ok = false;
    *sector = readSectors(*handle, 0, 1, *sectorSize, &ok);
    if (!ok || sector->size() < CardDisk::kMarkSize) {
        qCritical() << "Failed to read" << *sectorSize;
        return false;
    }
    return true;
}

}  // namespace

bool CardDisk::checkDiskNumber(int number) {
    if (number > 0) {
        return true;
    }
    if (number == 0) {
        qWarning() << "Are you crazy? Dont't touch Disk 0!";
    } else {
        qWarning() << "Invalid Disk ID" << number;
    }
    return false;
}

bool CardDisk::setDisk(const DiskNode &disk) {
    if (!checkDiskNumber(disk.number)) {
        return false;
    }
    node = disk;
    return true;
}

bool CardDisk::checkAdmin() const {
    if (!checkDiskNumber(node.number)) {
        return false;
    }
    // Only the rights are asked here: a card that is mounted now (the job
    // unmounts it first), write-protected or changed is the job's to report.
    const DiskHandle handle = openDiskHandle(node, DiskAccess::ReadWrite, false);
    if (handle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            reportSystemError("Get handle on the device");
            qWarning().noquote() << kAdminNeeded;
            return false;
        }
        return true;
    }
    closeDiskHandle(handle);
    return true;
}

bool CardDisk::readImageMark() {
    hasMark = false;
    if (!checkDiskNumber(node.number)) {
        return false;
    }
    HandleGuard disk{kInvalidDisk};
    quint64 sectorSize = 0;
    QByteArray sector;
    if (!openSector0(node, DiskAccess::Read, &disk.handle, &sectorSize, &sector)) {
        return false;
    }
    if (memcmp(sector.constData(), IMAGE_MAGIC, IMAGE_MAGIC_CMP_LEN) != 0) {
        qWarning() << "Failed to find magic number";
        return false;
    }
    memcpy(mark, sector.constData(), kMarkSize);
    hasMark = true;
    return true;
}

bool CardDisk::writeImageMark(ImageFile *image) {
    if (!image || !checkDiskNumber(node.number)) {
        return false;
    }
    HandleGuard disk{openDiskHandle(node, DiskAccess::ReadWrite, true)};
    if (disk.handle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            qCritical().noquote() << kAdminNeeded;
        }
        return false;
    }
    return writeImageMark(image, disk.handle);
}

bool CardDisk::writeImageMark(ImageFile *image, int handle) {
    if (!image || handle == kInvalidDisk) {
        return false;
    }
    quint64 sectorSize = 0;
    if (diskSectorCount(handle, &sectorSize) == 0) {
        qCritical() << "Failed to read sector information";
        return false;
    }
    bool ok = false;
    QByteArray sector = readSectors(handle, 0, 1, sectorSize, &ok);
    if (!ok || sector.size() < kMarkSize) {
        qCritical() << "Failed to read" << sectorSize;
        return false;
    }
    char *bytes = sector.data();
    memset(bytes + 6, 0, kMarkSize - 6);
    memcpy(bytes, IMAGE_MAGIC, IMAGE_MAGIC_CMP_LEN);
    putText(bytes + IMAGE_HDR_PLATFORM, image->platform());
    putText(bytes + IMAGE_HDR_PRODUCT, image->product());
    putText(bytes + IMAGE_HDR_VERSION, image->version());
    // The mark is what the card list shows; it has to be on the card, not in a
    // cache, before the card may be taken out.
    if (!writeSectors(handle, sector.constData(), 0, 1, sectorSize) || !flushDisk(handle)) {
        qCritical() << "Failed to write" << sectorSize;
        return false;
    }
    putText(mark + IMAGE_HDR_PLATFORM, image->platform());
    putText(mark + IMAGE_HDR_PRODUCT, image->product());
    putText(mark + IMAGE_HDR_VERSION, image->version());
    return true;
}

bool CardDisk::isSameImage(ImageFile *image) const {
    if (!image || !hasMark) {
        return false;
    }
    return markPlatform() == image->platform().left(IMAGE_HDR_TEXT_LEN) &&
           markProduct() == image->product().left(IMAGE_HDR_TEXT_LEN) &&
           markVersion() == image->version().left(IMAGE_HDR_TEXT_LEN);
}

QString CardDisk::markText(int offset) const {
    if (!hasMark) {
        return QString();
    }
    const char *field = mark + offset;
    return QString::fromLatin1(field, int(strnlen(field, IMAGE_HDR_TEXT_LEN)));
}

QString CardDisk::markPlatform() const {
    return markText(IMAGE_HDR_PLATFORM);
}

QString CardDisk::markProduct() const {
    return markText(IMAGE_HDR_PRODUCT);
}

QString CardDisk::markVersion() const {
    return markText(IMAGE_HDR_VERSION);
}
