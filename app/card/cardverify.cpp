#include "cardverify.h"

#include <QVector>
#include <cstring>

#include "cardthread.h"
#include "diskaccess.h"
#include "image.h"
#include "imagefile.h"
#include "parttable.h"

namespace {

QString nameOf(const char *field, size_t room) {
    return QString::fromLatin1(field, int(strnlen(field, room)));
}

struct Handles {
    DiskHandle disk = kInvalidDisk;
    DiskHandle image = kInvalidDisk;
    ~Handles() {
        closeDiskHandle(disk);
        closeDiskHandle(image);
    }
};

bool compareComponent(const Handles &h, const FwcMeta &record, const PartitionEntry &entry,
                      quint64 ss, quint64 *done, const std::function<bool(quint64)> &progress,
                      QString *why) {
    const quint64 target = entry.start / ss;
    const quint64 count = (quint64(record.size) + ss - 1) / ss;
    for (quint64 at = 0; at < count;) {
        const quint64 chunk = qMin(count - at, CardThread::kChunkSectors);
        bool okImage = false;
        bool okCard = false;
        const QByteArray want =
            readSectors(h.image, record.offset + at * ss, chunk * ss, 1, &okImage);
        const QByteArray got = readSectors(h.disk, target + at, chunk, ss, &okCard);
        if (!okImage || !okCard) {
            *why = QStringLiteral("cannot read %1 back from the %2").arg(nameOf(record.name, sizeof(record.name)),
                                                                   okImage ? QStringLiteral("card") : QStringLiteral("image"));
            return false;
        }
        if (want != got) {
            int i = 0;
            while (i < want.size() && want[i] == got[i]) {
                ++i;
            }
            *why = QStringLiteral("%1 differs on the card in partition %2 at byte %3")
                       .arg(nameOf(record.name, sizeof(record.name)),
                            nameOf(entry.name, sizeof(entry.name)))
                       .arg((target + at) * ss + quint64(i));
            return false;
        }
        at += chunk;
        *done += chunk * ss;
        if (progress && !progress(*done)) {
            *why = QStringLiteral("interrupted");
            return false;
        }
    }
    return true;
}

bool compareTable(const Handles &h, const QString &path, const PartitionEntry *list,
                  quint32 count, QString *why) {
    QVector<TablePartition> parts;
    QString guid;
    if (!readGptPartitions(h.disk, path, &parts, &guid)) {
        *why = QStringLiteral("the card has no readable GPT");
        return false;
    }
    if (guid.compare(QLatin1String(CARD_DISK_GUID), Qt::CaseInsensitive) != 0) {
        *why = QStringLiteral("the GPT's disk GUID is %1, not %2").arg(guid, CARD_DISK_GUID);
        return false;
    }
    if (quint32(parts.size()) != count) {
        *why = QStringLiteral("the GPT has %1 partitions, the image's list %2")
                   .arg(parts.size())
                   .arg(count);
        return false;
    }
    const PartitionEntry *entry = list;
    for (quint32 i = 0; i < count && entry; ++i, entry = entry->next) {
        const PartitionEntry &e = *entry;
        const TablePartition &p = parts[int(i)];
        const QString name = nameOf(e.name, sizeof(e.name));
        if (p.name != name || p.start != e.start || (e.size != 0 && p.length != e.size)) {
            *why = QStringLiteral("GPT partition %1 is %2 at %3 (%4 bytes), the list says %5 at "
                                  "%6 (%7 bytes)")
                       .arg(i + 1)
                       .arg(p.name)
                       .arg(p.start)
                       .arg(p.length)
                       .arg(name)
                       .arg(e.start)
                       .arg(e.size);
            return false;
        }
    }
    return true;
}

}  // namespace

bool verifyBringupCard(ImageFile *image, const DiskNode &disk,
                       const std::function<bool(quint64)> &progress, QString *why) {
    Handles h;
    h.disk = openDiskHandle(disk, DiskAccess::Read, true);
    h.image = openFileHandle(image->path(), DiskAccess::Read);
    quint64 ss = 0;
    if (h.disk == kInvalidDisk || h.image == kInvalidDisk || diskSectorCount(h.disk, &ss) == 0) {
        *why = h.image == kInvalidDisk ? QStringLiteral("cannot open the image")
                                       : QStringLiteral("cannot open the card");
        return false;
    }
    const FwcMeta *records = image->meta();
    const PartitionEntry *list = image->partitions();
    if (!records || !list) {
        *why = QStringLiteral("cannot read the image's components and partition list");
        return false;
    }
    const quint32 count = image->partitionCount();
    // A component written to several partitions, or a partition written by
    // several components, is checked as the job left it: the last writer wins.
    QVector<QPair<const FwcMeta *, const PartitionEntry *>> last;
    for (quint32 i = 0; i < image->fwcCount(); ++i) {
        if (!CardThread::isWritten(records[i])) {
            continue;
        }
        for (const PartitionEntry *entry : CardThread::targetsOf(records[i], list, count)) {
            for (int k = 0; k < last.size(); ++k) {
                if (last[k].second == entry) {
                    last.remove(k);
                    break;
                }
            }
            last.append(qMakePair(&records[i], entry));
        }
    }
    quint64 done = 0;
    for (const auto &pair : last) {
        if (!compareComponent(h, *pair.first, *pair.second, ss, &done, progress, why)) {
            return false;
        }
    }
    return compareTable(h, disk.path, list, count, why);
}
