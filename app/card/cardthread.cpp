#include "cardthread.h"

#include <QDebug>
#include <QtEndian>
#include <cstring>

#include "carddisk.h"
#include "diskplatform.h"
#include "diskregistry.h"
#include "image.h"
#include "imagefile.h"
#include "parttable.h"

namespace {

QString fieldText(const char *field, size_t room) {
    return QString::fromLatin1(field, int(strnlen(field, room)));
}

}  // namespace

CardThread::CardThread(ImageFile *image, CardDisk *card) : KelThread(image), card(card) {}

CardThread::~CardThread() {
    stopAndWait();
}

bool CardThread::imageIsSafe(const QString &diskPath) const {
    DiskRegistry &registry = DiskRegistry::instance();
    const int n = card->diskNumber();
    const DiskHandle h = openFileHandle(image->path(), DiskAccess::Read);
    if (h == kInvalidDisk) {
        qCritical().noquote() << "Failed to open image file" << image->path();
        return false;
    }
    const bool same = registry.isFile(n) && DiskRegistry::fileIdentity(h) == registry.identity(n);
    closeDiskHandle(h);
    if (same) {
        qCritical().noquote() << "The image" << image->path()
                              << "is the card itself; writing it would destroy it";
        return false;
    }
    if (!registry.isFile(n) && diskplatform::disksOfPath(image->path()).contains(diskPath)) {
        qCritical().noquote() << "The image" << image->path() << "lies on the card" << diskPath
                              << "; writing the card would destroy it";
        return false;
    }
    return true;
}

bool CardThread::invalidateCard() {
    // Whatever the card said it holds stops being true with the first data
    // byte: the mark and the old table go first, so that a job that ends
    // half-way leaves a card that shows nothing rather than the old image over
    // half of the new one. Sector 0 whole (mark, MBR partitions), the primary
    // GPT header and the backup header where the primary says and at the end.
    const quint64 ss = sectorSize;
    const quint64 last = diskSize / ss - 1;
    QList<quint64> sectors{0, 1, last};
    bool ok = false;
    const QByteArray primary = readSectors(diskHandle, 1, 1, ss, &ok);
    if (ok && primary.startsWith("EFI PART") && primary.size() >= 40) {
        const quint64 alternate = qFromLittleEndian<quint64>(primary.constData() + 32);
        if (alternate > 1 && alternate < last) {
            sectors << alternate;
        }
    }
    const QByteArray zero(int(ss), '\0');
    for (quint64 s : sectors) {
        if (!writeSectorsRetry(diskHandle, zero.constData(), s, 1, ss)) {
            qCritical().noquote() << "Failed to clear sector" << s << "of the card";
            return false;
        }
    }
    return flushDisk(diskHandle);
}

void CardThread::run() {
    emit threadIsStart();
    const int n = card->diskNumber();
    qDebug().noquote() << "\nMake bringup SDcard" << n << "from" << image->path() << "\n";

    const QString diskPath = DiskRegistry::instance().path(n);
    // The image must survive the job: neither the card itself nor a file on it.
    if (!imageIsSafe(diskPath)) {
        emit threadIsFailed();
        return;
    }
    diskHandle = openDiskForWriting(n);
    if (diskHandle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            qWarning().noquote() << "Permission denied to write disk device.\nYou need to run cmd "
                                    "with 'administrator' permission.\n";
        }
        // Any other reason (the card has gone, is write-protected or busy)
        // fails the job just as well, with its own message logged.
        emit threadIsFailed();
        return;
    }
    // Everything below ends through finish(), which closes what is open.
    auto closeHandles = [this] {
        closeDiskHandle(diskHandle);
        closeDiskHandle(imageHandle);
        diskHandle = imageHandle = kInvalidDisk;
    };
    auto finish = [&](bool ok) {
        closeHandles();
        if (!ok) {
            emit threadIsFailed();
        }
    };

    const quint64 sectors = diskSectorCount(diskHandle, &sectorSize);
    if (sectors == 0) {
        qCritical() << "Failed to read sector information";
        finish(false);
        return;
    }
    diskSize = sectors * sectorSize;

    imageHandle = openFileHandle(image->path(), DiskAccess::Read);
    if (imageHandle == kInvalidDisk) {
        qCritical().noquote() << "Failed to open image file" << image->path();
        finish(false);
        return;
    }
    const FwcMeta *records = image->meta();
    partitions = image->partitions();
    partitionCount = image->partitionCount();
    if (!records || !partitions) {
        finish(false);
        return;
    }

    // A list or a component that does not fit this card is refused while the
    // card is still as it was, not after half the components are on it.
    if (!checkGptTable(diskHandle, diskPath, partitions, int(partitionCount), diskSize,
                       sectorSize)) {
        finish(false);
        return;
    }
    for (quint32 i = 0; i < image->fwcCount(); ++i) {
        if (isWritten(records[i]) && !writeComponent(records[i], true)) {
            finish(false);
            return;
        }
    }
    if (!invalidateCard()) {
        finish(false);
        return;
    }

    progress = 0;
    emit threadIsRunning(0);
    for (quint32 i = 0; i < image->fwcCount(); ++i) {
        QMutexLocker lock(&mutex);
        if (isInterruptionRequested()) {
            closeHandles();  // stopped between components: no result
            return;
        }
        const FwcMeta &record = records[i];
        const QString name = fieldText(record.name, sizeof(record.name));
        qDebug().noquote() << "Meta" << i << name << "...";
        if (!isWritten(record)) {
            continue;
        }
        if (!writeComponent(record, false)) {
            finish(false);
            return;
        }
    }

    // The data on the card before the table that describes it, and the mark,
    // which says the card is whole, last of all.
    if (!flushDisk(diskHandle) ||
        !generateGptTable(diskHandle, diskPath, partitions, int(partitionCount), diskSize,
                          sectorSize)) {
        finish(false);
        return;
    }
    if (!card->writeImageMark(image, diskHandle)) {
        qWarning() << "Failed to write the image mark; the card is usable without it";
    }
    finish(true);
    qDebug().noquote() << "\nMake bringup SDcard successfully!";
    emit threadIsSuccessful();
}

bool CardThread::isWritten(const FwcMeta &record) {
    // The updater's own components drive a board's upgrade; a card boots
    // without them. A component without a partition has nowhere to go.
    return !fieldText(record.name, sizeof(record.name)).contains(QLatin1String("updater")) &&
           record.partition[0] != '\0';
}

bool CardThread::fits(const FwcMeta &record, const PartitionEntry &entry) const {
    const QString what = fieldText(record.name, sizeof(record.name));
    const QString where = fieldText(entry.name, sizeof(entry.name));
    // Written as whole sectors, so the bytes behind a component's end count too.
    const quint64 bytes = (quint64(record.size) + sectorSize - 1) / sectorSize * sectorSize;
    if (entry.size != 0 && record.size > entry.size) {
        qCritical().noquote() << "Component" << what << "of" << record.size
                              << "bytes does not fit partition" << where << "of" << entry.size
                              << "bytes";
        return false;
    }
    if (entry.start > diskSize || bytes > diskSize - entry.start) {
        qCritical().noquote() << "Component" << what << "at" << entry.start << "ends past the end of the card at"
                              << diskSize;
        return false;
    }
    return true;
}

QList<const PartitionEntry *> CardThread::targetsOf(const FwcMeta &record,
                                                   const PartitionEntry *list, quint32 count,
                                                   QStringList *missing) {
    QList<const PartitionEntry *> targets;
    const QByteArray field(record.partition,
                           int(strnlen(record.partition, sizeof(record.partition))));
    // Empty names are kept: they match no entry and are reported like any
    // other missing partition.
    for (const QByteArray &wanted : field.split(';')) {
        bool found = false;
        const PartitionEntry *e = list;
        for (quint32 j = 0; e && j < count; ++j, e = e->next) {
            if (wanted == QByteArray(e->name, int(strnlen(e->name, sizeof(e->name))))) {
                targets.append(e);
                found = true;
            }
        }
        if (!found && missing) {
            missing->append(QString::fromLatin1(wanted));
        }
    }
    return targets;
}

quint64 CardThread::plannedBytes(ImageFile *image, quint64 sectorSize) {
    const FwcMeta *records = image->meta();
    const PartitionEntry *list = image->partitions();
    if (!records || !list || sectorSize == 0) {
        return 0;
    }
    quint64 total = 0;
    for (quint32 i = 0; i < image->fwcCount(); ++i) {
        if (!isWritten(records[i])) {
            continue;
        }
        const quint64 bytes = (quint64(records[i].size) + sectorSize - 1) / sectorSize * sectorSize;
        total += bytes * quint64(targetsOf(records[i], list, image->partitionCount()).size());
    }
    return total;
}

bool CardThread::writeComponent(const FwcMeta &record, bool checkOnly) {
    QStringList missing;
    for (const PartitionEntry *entry : targetsOf(record, partitions, partitionCount, &missing)) {
        if (!(checkOnly ? fits(record, *entry) : copyComponent(record, *entry))) {
            return false;
        }
    }
    if (!checkOnly) {
        for (const QString &name : missing) {
            qWarning().noquote() << "Failed to find part:" << ('"' + name + '"');
        }
    }
    return true;
}

bool CardThread::copyComponent(const FwcMeta &record, const PartitionEntry &entry) {
    const QString name = fieldText(record.name, sizeof(record.name));
    qDebug().noquote() << name << "->" << fieldText(entry.name, sizeof(entry.name))
                       << "size:" << record.size;
    const quint64 ss = sectorSize;
    const quint64 target = quint64(entry.start) / ss;
    const quint64 count = (quint64(record.size) + ss - 1) / ss;
    qDebug().noquote() << "  Src offset" << record.offset << "-> Dst offset" << target * ss;
    if (count == 0) {
        return true;
    }
    if (isStopped()) {
        return false;
    }
    for (quint64 done = 0;;) {
        if (!waitIfPaused()) {
            return false;
        }
        const quint64 chunk = qMin(count - done, kChunkSectors);
        qDebug().noquote() << "  Offset" << done << ", SectorCnt:" << chunk;
        // The image's own byte offset: an image lays its components out in
        // 512-byte steps, which need not be sectors of this card.
        if (!readSectorsInto(imageHandle, &buffer, record.offset + done * ss, chunk * ss, 1)) {
            qCritical().noquote() << "Failed to read" << chunk << "*" << ss;
            return false;
        }
        if (!writeSectors(diskHandle, buffer.constData(), target + done, chunk, ss)) {
            qCritical().noquote() << "Failed to write" << chunk << "*" << ss << "\n";
            if (!writeSectorsRetry(diskHandle, buffer.constData(), target + done, chunk, ss)) {
                qCritical().noquote() << "Failed to rewrite!\n";
                return false;
            }
        }
        advanceProgress(chunk * ss);
        done += chunk;
        if (done >= count) {
            return true;
        }
        if (isStopped()) {
            return false;
        }
    }
}
