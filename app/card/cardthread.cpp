#include "cardthread.h"

#include <QDebug>
#include <QtEndian>
#include <cstring>

#include "carddisk.h"
#include "diskplatform.h"
#include "failureline.h"
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

bool CardThread::imageIsSafe() {
    const DiskNode &disk = card->disk();
    const DiskHandle h = openFileHandle(m_image->path(), DiskAccess::Read);
    if (h == kInvalidDisk) {
        FailureLine(&why, Failure::ImageUnreadable).noquote()
            << "Failed to open image file" << m_image->path();
        return false;
    }
    const bool same = disk.file && diskplatform::fileIdentityOf(h) == disk.identity;
    closeDiskHandle(h);
    if (same) {
        FailureLine(&why, Failure::CardInUse).noquote()
            << "The image" << m_image->path() << "is the card itself; writing it would destroy it";
        return false;
    }
    if (!disk.file && diskplatform::disksOfPath(m_image->path()).contains(disk.path)) {
        FailureLine(&why, Failure::CardInUse).noquote()
            << "The image" << m_image->path() << "lies on the card" << disk.path
            << "; writing the card would destroy it";
        return false;
    }
    return true;
}

bool CardThread::prepare() {
    const QString &diskPath = card->disk().path;
    const quint64 sectors = diskSectorCount(diskHandle, &sectorSize, &why);
    if (sectors == 0) {
        FailureLine(&why, Failure::DiskIo) << "Failed to read sector information";
        return false;
    }
    diskSize = sectors * sectorSize;

    imageHandle = openFileHandle(m_image->path(), DiskAccess::Read);
    if (imageHandle == kInvalidDisk) {
        FailureLine(&why, Failure::ImageUnreadable).noquote()
            << "Failed to open image file" << m_image->path();
        return false;
    }
    const FwcMeta *records = m_image->meta();
    partitions = m_image->partitions();
    partitionCount = m_image->partitionCount();
    if (!records || !partitions) {
        return keepFailure(&why, Failure(Failure::ImageCorrupt,
                                         QStringLiteral("cannot read the image's components and "
                                                        "partition list")));
    }
    // A list or a component that does not fit this card is refused while the
    // card is still as it was, not after half the components are on it.
    if (!checkGptTable(diskHandle, diskPath, partitions, int(partitionCount), diskSize, sectorSize,
                       &why)) {
        return false;
    }
    for (quint32 i = 0; i < m_image->fwcCount(); ++i) {
        if (isWritten(records[i]) && !writeComponent(records[i], true)) {
            return false;
        }
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
        if (!writeSectorsRetry(diskHandle, zero.constData(), s, 1, ss, &why)) {
            FailureLine(&why, Failure::DiskIo).noquote()
                << "Failed to clear sector" << s << "of the card";
            return false;
        }
    }
    return flushDisk(diskHandle, &why);
}

bool CardThread::writeComponents() {
    const FwcMeta *records = m_image->meta();
    m_progress = 0;
    emit threadIsRunning(0);
    for (quint32 i = 0; i < m_image->fwcCount(); ++i) {
        QMutexLocker lock(&m_mutex);
        if (isInterruptionRequested()) {
            return false;  // stopped between components: no result
        }
        const FwcMeta &record = records[i];
        const QString name = fieldText(record.name, sizeof(record.name));
        qDebug().noquote() << "Meta" << i << name << "...";
        if (isWritten(record) && !writeComponent(record, false)) {
            return false;
        }
    }
    return true;
}

void CardThread::closeHandles() {
    closeDiskHandle(diskHandle);
    closeDiskHandle(imageHandle);
    diskHandle = imageHandle = kInvalidDisk;
}

void CardThread::run() {
    clearFailure();
    why = Failure();
    emit threadIsStart();
    const DiskNode &disk = card->disk();
    qDebug().noquote() << "\nMake bringup SDcard" << disk.number << "from" << m_image->path() << "\n";

    // The image must survive the job: neither the card itself nor a file on it.
    if (!imageIsSafe()) {
        fail(why);
        return;
    }
    // The card had exclusively, and still the one that was listed: a card
    // changed, gone, write-protected or busy fails here with its reason.
    diskHandle = openDiskForWriting(disk, &why);
    if (diskHandle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            qWarning().noquote() << "Permission denied to write disk device.\nYou need to run cmd "
                                    "with 'administrator' permission.\n";
        }
        fail(why);
        return;
    }
    bool done = prepare() && invalidateCard() && writeComponents();
    if (!done && !why && isInterruptionRequested()) {
        closeHandles();  // stopped between components: no result
        return;
    }
    // The data on the card before the table that describes it, and the mark,
    // which says the card is whole, last of all.
    done = done && flushDisk(diskHandle, &why) &&
           generateGptTable(diskHandle, disk.path, partitions, int(partitionCount), diskSize,
                            sectorSize, &why);
    if (done && !card->writeImageMark(m_image, diskHandle)) {
        qWarning() << "Failed to write the image mark; the card is usable without it";
    }
    closeHandles();
    if (!done) {
        fail(why ? why : Failure(Failure::Internal, QStringLiteral("the card was not written")));
        return;
    }
    qDebug().noquote() << "\nMake bringup SDcard successfully!";
    emit threadIsSuccessful();
}

bool CardThread::isWritten(const FwcMeta &record) {
    // The updater's own components drive a board's upgrade; a card boots
    // without them. A component without a partition has nowhere to go.
    return !fieldText(record.name, sizeof(record.name)).contains(QLatin1String("updater")) &&
           record.partition[0] != '\0';
}

bool CardThread::fits(const FwcMeta &record, const PartitionEntry &entry) {
    const QString what = fieldText(record.name, sizeof(record.name));
    const QString where = fieldText(entry.name, sizeof(entry.name));
    // Written as whole sectors, so the bytes behind a component's end count too.
    const quint64 bytes = (quint64(record.size) + sectorSize - 1) / sectorSize * sectorSize;
    if (entry.size != 0 && record.size > entry.size) {
        FailureLine(&why, Failure::ImageMismatch).noquote()
            << "Component" << what << "of" << record.size << "bytes does not fit partition" << where
            << "of" << entry.size << "bytes";
        return false;
    }
    if (entry.start > diskSize || bytes > diskSize - entry.start) {
        FailureLine(&why, Failure::ImageMismatch).noquote()
            << "Component" << what << "at" << entry.start << "ends past the end of the card at"
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
    const Failure stopped(Failure::Interrupted,
                          QStringLiteral("stopped while writing %1; the card was not written "
                                         "completely")
                              .arg(name));
    if (isStopped()) {
        return keepFailure(&why, stopped);
    }
    for (quint64 done = 0;;) {
        if (!waitIfPaused()) {
            return keepFailure(&why, stopped);
        }
        const quint64 chunk = qMin(count - done, kChunkSectors);
        qDebug().noquote() << "  Offset" << done << ", SectorCnt:" << chunk;
        // The image's own byte offset: an image lays its components out in
        // 512-byte steps, which need not be sectors of this card.
        Failure readFailure;
        if (!readSectorsInto(imageHandle, &buffer, record.offset + done * ss, chunk * ss, 1,
                             &readFailure)) {
            keepFailure(&why, Failure(Failure::ImageUnreadable, readFailure.message()));
            FailureLine(&why, Failure::ImageUnreadable).noquote()
                << "Failed to read" << chunk << "*" << ss;
            return false;
        }
        if (!writeSectors(diskHandle, buffer.constData(), target + done, chunk, ss, &why)) {
            qCritical().noquote() << "Failed to write" << chunk << "*" << ss << "\n";
            if (!writeSectorsRetry(diskHandle, buffer.constData(), target + done, chunk, ss)) {
                qCritical().noquote() << "Failed to rewrite!\n";
                return false;
            }
            why = Failure();  // the retry went through
        }
        advanceProgress(chunk * ss);
        done += chunk;
        if (done >= count) {
            return true;
        }
        if (isStopped()) {
            return keepFailure(&why, stopped);
        }
    }
}
