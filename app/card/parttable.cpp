#include "parttable.h"

#include <QElapsedTimer>
#include <QtEndian>
#include <QThread>
#include <QVector>
#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <libfdisk/libfdisk.h>

#include "image.h"
#include "failureline.h"
#include "parttableplatform.h"

const char *const CARD_DISK_GUID = "53F56311-B6BF-11D0-94F2-00A0C91EFB8B";

namespace {

const char *const kBasicDataType = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
const char *const kLinuxReservedType = "8DA63339-0007-60C0-C436-083AC8230908";
const char *const kMbrDiskSignature = "0x000033c3";
const unsigned kFat32Type = 0x0B;
const quint64 kGptEntries = 128;
const quint64 kGptEntrySize = 128;
// Sectors the GPT forms leave free behind the partition that takes the rest.
const quint64 kTailSectors = 68;
const quint64 kMbrFirstSector = 128;
const quint64 kFormatterGptFirstSector = 34;
const int kGptNameLength = 36;

struct LayoutEntry {
    quint64 start = 0;   // bytes
    quint64 length = 0;  // bytes
    QByteArray name;     // UTF-8 for libfdisk; GPT only
    QByteArray type;     // GUID for GPT, hexadecimal code for MBR
};

struct Layout {
    bool gpt = true;
    QVector<LayoutEntry> entries;
};

// libfdisk's notes go to the log instead of the terminal.
int askHandler(fdisk_context *, fdisk_ask *ask, void *) {
    switch (fdisk_ask_get_type(ask)) {
    case FDISK_ASKTYPE_INFO:
        qDebug().noquote() << fdisk_ask_print_get_mesg(ask);
        return 0;
    case FDISK_ASKTYPE_WARN:
    case FDISK_ASKTYPE_WARNX:
        qWarning().noquote() << fdisk_ask_print_get_mesg(ask);
        return 0;
    default:
        return -EINVAL;
    }
}

void reportFdiskError(const char *operation, int rc, Failure *why) {
    const int code = rc < 0 ? -rc : rc;
    FailureLine(why, Failure::DiskIo).noquote()
        << operation << "error:" << QString::fromLocal8Bit(strerror(code)) << "Code:" << code;
}

// libfdisk on the caller's own handle: the table is read and written through
// the descriptor that was opened (and checked against the system disk) by the
// disk access, never through a second open of a path that might by then name
// another device. The handle stays open when the session ends.
class FdiskSession {
public:
    FdiskSession(DiskHandle handle, const QString &path, quint64 sectorSize, bool readOnly,
                 Failure *why = nullptr) {
        if (handle == kInvalidDisk) {
            reportFdiskError("Open partition table", -EBADF, why);
            return;
        }
        cxt = fdisk_new_context();
        if (!cxt) {
            reportFdiskError("Create partitioning context", -ENOMEM, why);
            return;
        }
        fdisk_set_ask(cxt, askHandler, nullptr);
        if (sectorSize != 0) {
            fdisk_save_user_sector_size(cxt, unsigned(sectorSize), unsigned(sectorSize));
        }
        const int rc = fdisk_assign_device_by_fd(cxt, handle, path.toLocal8Bit().constData(),
                                                 readOnly ? 1 : 0);
        if (rc != 0) {
            reportFdiskError("Open partition table", rc, why);
            return;
        }
        assigned = true;
    }
    ~FdiskSession() {
        if (cxt) {
            fdisk_set_script(cxt, nullptr);
            if (assigned) {
                // The caller flushes and tells the system itself.
                fdisk_deassign_device(cxt, 1);
            }
            fdisk_unref_context(cxt);
        }
        if (script) {
            fdisk_unref_script(script);
        }
    }
    FdiskSession(const FdiskSession &) = delete;
    FdiskSession &operator=(const FdiskSession &) = delete;

    fdisk_context *cxt = nullptr;
    fdisk_script *script = nullptr;
    bool assigned = false;
};

quint64 gptTableSectors(quint64 sectorSize) {
    // Protective MBR, header and the entry array.
    return 2 + (kGptEntries * kGptEntrySize + sectorSize - 1) / sectorSize;
}

quint64 labelItem(fdisk_context *cxt, int id) {
    quint64 value = 0;
    fdisk_labelitem *item = fdisk_new_labelitem();
    if (item && fdisk_get_disklabel_item(cxt, id, item) == 0) {
        uint64_t v = 0;
        if (fdisk_labelitem_get_data_u64(item, &v) == 0) {
            value = v;
        }
    }
    fdisk_unref_labelitem(item);
    return value;
}

bool createLabel(FdiskSession &s, const Layout &layout, quint64 sectorSize, Failure *why) {
    s.script = fdisk_new_script(s.cxt);
    if (!s.script) {
        reportFdiskError("Create partition table", -ENOMEM, why);
        return false;
    }
    int rc = fdisk_script_set_header(s.script, "label", layout.gpt ? "gpt" : "dos");
    if (rc == 0 && layout.gpt) {
        // Partitions may begin right behind the table, not at the alignment
        // libfdisk would choose for a new disk.
        const QByteArray first = QByteArray::number(gptTableSectors(sectorSize));
        rc = fdisk_script_set_header(s.script, "first-lba", first.constData());
    }
    if (rc == 0) {
        rc = fdisk_script_set_header(s.script, "label-id",
                                     layout.gpt ? CARD_DISK_GUID : kMbrDiskSignature);
    }
    if (rc == 0) {
        rc = fdisk_apply_script_headers(s.cxt, s.script);
    }
    if (rc == 0) {
        // Signatures of an earlier table or file system go with the new table.
        rc = fdisk_enable_wipe(s.cxt, 1);
    }
    if (rc != 0) {
        reportFdiskError("Create partition table", rc, why);
        return false;
    }
    return true;
}

// Refuses a layout whose partitions the table could not describe on this disk.
bool checkLayout(const Layout &layout, quint64 firstUsable, quint64 endUsable, quint64 sectorSize,
                 Failure *why) {
    for (int i = 0; i < layout.entries.size(); ++i) {
        const LayoutEntry &e = layout.entries[i];
        const QString name = QString::fromUtf8(e.name);
        if (e.start < firstUsable) {
            FailureLine(why, Failure::ImageMismatch).noquote()
                << "Partition" << i << name << "starts at" << e.start
                << "inside the partition table, which ends at" << firstUsable;
            return false;
        }
        if (e.start % sectorSize != 0 || e.length % sectorSize != 0) {
            FailureLine(why, Failure::ImageMismatch).noquote()
                << "Partition" << i << name << "is not on a sector boundary of" << sectorSize
                << "bytes";
            return false;
        }
        if (e.length == 0) {
            FailureLine(why, Failure::ImageMismatch).noquote()
                << "Partition" << i << name << "is empty";
            return false;
        }
        if (e.start > endUsable || e.length > endUsable - e.start) {
            FailureLine(why, Failure::ImageMismatch).noquote()
                << "Partition" << i << name << "ends at" << e.start + e.length
                << "past the usable end of the card at" << endUsable;
            return false;
        }
        for (int j = 0; j < i; ++j) {
            const LayoutEntry &o = layout.entries[j];
            if (e.start < o.start + o.length && o.start < e.start + e.length) {
                FailureLine(why, Failure::ImageCorrupt).noquote()
                    << "Partition" << i << name << "overlaps partition" << j
                    << QString::fromUtf8(o.name);
                return false;
            }
        }
    }
    return true;
}

bool addPartitions(FdiskSession &s, const Layout &layout, quint64 sectorSize, Failure *why) {
    fdisk_label *label = fdisk_get_label(s.cxt, nullptr);
    for (int i = 0; i < layout.entries.size(); ++i) {
        const LayoutEntry &e = layout.entries[i];
        fdisk_parttype *type = fdisk_label_parse_parttype(label, e.type.constData());
        fdisk_partition *pa = fdisk_new_partition();
        int rc = (type && pa) ? 0 : -ENOMEM;
        if (rc == 0) {
            fdisk_partition_set_partno(pa, size_t(i));
            fdisk_partition_set_start(pa, e.start / sectorSize);
            fdisk_partition_set_size(pa, e.length / sectorSize);
            // Exactly the given size: no rounding to libfdisk's alignment.
            fdisk_partition_size_explicit(pa, 1);
            fdisk_partition_set_type(pa, type);
            if (layout.gpt) {
                fdisk_partition_set_name(pa, e.name.constData());
            }
            rc = fdisk_add_partition(s.cxt, pa, nullptr);
        }
        fdisk_unref_partition(pa);
        fdisk_unref_parttype(type);
        if (rc != 0) {
            reportFdiskError("Add partition", rc, why);
            return false;
        }
    }
    return true;
}

// Builds the table in memory, checks it against the disk, and only then
// writes it; afterwards the system is made to see the new partitions. A dry
// run stops before the write: nothing on the disk changes.
bool setDiskLayout(DiskHandle handle, const QString &path, const Layout &layout, quint64 diskSize,
                   quint64 sectorSize, Failure *why, bool dryRun = false) {
    if (sectorSize == 0 || diskSize % sectorSize != 0) {
        FailureLine(why, Failure::DiskIo).noquote()
            << "Invalid card geometry:" << diskSize << "bytes in sectors of" << sectorSize;
        return false;
    }
    {
        FdiskSession s(handle, path, sectorSize, false, why);
        if (!s.assigned) {
            return false;
        }
        const quint64 sectors = fdisk_get_nsectors(s.cxt);
        if (fdisk_get_sector_size(s.cxt) != sectorSize || sectors * sectorSize != diskSize) {
            FailureLine(why, Failure::DiskIo).noquote()
                << path << "has" << sectors << "sectors of" << fdisk_get_sector_size(s.cxt)
                << "bytes, not" << diskSize << "bytes in sectors of" << sectorSize;
            return false;
        }
        if (!createLabel(s, layout, sectorSize, why)) {
            return false;
        }
        quint64 firstUsable = sectorSize;
        quint64 endUsable = diskSize;
        if (layout.gpt) {
            firstUsable = labelItem(s.cxt, GPT_LABELITEM_FIRSTLBA) * sectorSize;
            endUsable = (labelItem(s.cxt, GPT_LABELITEM_LASTLBA) + 1) * sectorSize;
        }
        if (!checkLayout(layout, firstUsable, endUsable, sectorSize, why) ||
            !addPartitions(s, layout, sectorSize, why)) {
            return false;
        }
        if (dryRun) {
            return true;
        }
        const int rc = fdisk_write_disklabel(s.cxt);
        if (rc != 0) {
            reportFdiskError("Write partition table", rc, why);
            return false;
        }
    }
    if (!flushDisk(handle, why)) {
        return false;
    }
    QVector<parttableplatform::Span> spans;
    for (const LayoutEntry &e : layout.entries) {
        parttableplatform::Span span;
        span.start = e.start;
        span.length = e.length;
        spans.append(span);
    }
    return parttableplatform::showPartitions(handle, spans, why);
}

// The formatter's tables: the system may still hold the card for a moment
// after its volumes were dismounted.
// The formatter's tables: a card that was just unmounted may still be busy for
// a moment, so the write is tried again for up to 5 s; then `timeoutMessage`.
bool setDiskLayoutWithin5s(DiskHandle handle, const QString &path, const Layout &layout,
                           quint64 diskSize, quint64 sectorSize, const char *timeoutMessage,
                           Failure *why) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        // The last try's reason is the one that counts.
        Failure attempt;
        if (setDiskLayout(handle, path, layout, diskSize, sectorSize, &attempt)) {
            return true;
        }
        if (clock.hasExpired(5000)) {
            qCritical().noquote() << timeoutMessage;
            return keepFailure(why, attempt);
        }
        QThread::msleep(100);
    }
}

// The GPT name: the 8-bit name widened character by character, 36 at most.
QByteArray gptName(const char *name, size_t room) {
    return QString::fromLatin1(name, int(strnlen(name, room))).left(kGptNameLength).toUtf8();
}

bool rewriteSector0(DiskHandle handle, quint64 sectorSize, Failure *why,
                    void (*change)(QByteArray &)) {
    bool ok = false;
    QByteArray sector = readSectors(handle, 0, 1, sectorSize, &ok, why);
    if (!ok || quint64(sector.size()) != sectorSize || sectorSize < 512) {
        FailureLine(why, Failure::DiskIo).noquote() << "Failed to read" << sectorSize;
        return false;
    }
    change(sector);
    if (!writeSectors(handle, sector.constData(), 0, 1, sectorSize, why)) {
        FailureLine(why, Failure::DiskIo).noquote() << "Failed to write" << sectorSize;
        return false;
    }
    return true;
}

}  // namespace

bool parsePartTable(DiskHandle handle, const QString &path, bool *isGpt, Failure *why) {
    qDebug().noquote() << "Parse the current partition table";
    FdiskSession s(handle, path, 0, true, why);
    if (!s.assigned) {
        FailureLine(why, Failure::DiskIo).noquote()
            << "parsePartTable"
            << "Failed to read the partition table of" << path;
        return false;
    }
    fdisk_table *table = nullptr;
    if (fdisk_has_label(s.cxt) && fdisk_get_partitions(s.cxt, &table) != 0) {
        fdisk_unref_table(table);
        FailureLine(why, Failure::DiskIo).noquote() << "parsePartTable"
                                                    << "Failed to read the partitions of" << path;
        return false;
    }
    const size_t count = table ? fdisk_table_get_nents(table) : 0;
    fdisk_unref_table(table);
    // The card jobs only ever handle tables of up to 32 partitions.
    if (count > 32) {
        FailureLine(why, Failure::DiskIo).noquote()
            << "parsePartTable" << path << "has" << count << "partitions, more than 32";
        return false;
    }
    const bool gpt = fdisk_is_labeltype(s.cxt, FDISK_DISKLABEL_GPT) != 0;
    if (isGpt) {
        *isGpt = gpt;
    }
    qDebug().noquote() << "The SDCard is" << (gpt ? "GPT" : "MBR") << "format.";
    return true;
}

namespace {

// The bring-up card's layout from the image's partition list; false, with the
// reason logged, for a list that cannot be laid out at all.
bool gptLayoutOf(const PartitionEntry *list, int count, quint64 diskSize, quint64 sectorSize,
                 Layout *layout, Failure *why) {
    bool valid = count > 0 && quint64(count) <= kGptEntries && list && sectorSize != 0;
    if (!valid) {
        FailureLine(why, Failure::ImageCorrupt).noquote()
            << "A partition list of" << count << "entries cannot be laid out";
    }
    const PartitionEntry *e = list;
    for (int i = 0; valid && i < count; ++i, e = e->next) {
        if (!e) {
            FailureLine(why, Failure::ImageCorrupt).noquote()
                << "The partition list has fewer than" << count << "entries";
            valid = false;
            break;
        }
        LayoutEntry entry;
        entry.start = e->start;
        entry.name = gptName(e->name, sizeof(e->name));
        entry.type = qstrcmp(e->name, "user") == 0 ? kBasicDataType : kLinuxReservedType;
        if (e->size != 0) {
            entry.length = e->size;
        } else if (i != count - 1) {
            FailureLine(why, Failure::ImageCorrupt).noquote()
                << "Partition" << i << entry.name
                << "takes the rest of the card but is not the last one";
            valid = false;
        } else if (e->start < diskSize && diskSize - e->start > kTailSectors * sectorSize) {
            entry.length = diskSize - e->start - kTailSectors * sectorSize;
        } else {
            FailureLine(why, Failure::ImageMismatch).noquote()
                << "Partition" << i << entry.name << "starts at" << e->start
                << "with no room left on a card of" << diskSize << "bytes";
            valid = false;
        }
        qDebug().noquote() << "Partition" << i << entry.name << ", size" << e->size;
        layout->entries.append(entry);
    }
    return valid;
}

}  // namespace

bool checkGptTable(DiskHandle handle, const QString &path, const PartitionEntry *list, int count,
                   quint64 diskSize, quint64 sectorSize, Failure *why) {
    Layout layout;
    if (!gptLayoutOf(list, count, diskSize, sectorSize, &layout, why) ||
        !setDiskLayout(handle, path, layout, diskSize, sectorSize, why, true)) {
        FailureLine(why, Failure::ImageMismatch).noquote()
            << "The partition list cannot be laid out on" << path;
        return false;
    }
    return true;
}

bool readGptPartitions(DiskHandle handle, const QString &path, QVector<TablePartition> *parts,
                       QString *diskGuid, Failure *why) {
    FdiskSession s(handle, path, 0, true, why);
    if (!s.assigned || !fdisk_is_labeltype(s.cxt, FDISK_DISKLABEL_GPT)) {
        FailureLine(why, Failure::DiskIo).noquote() << "No GPT on" << path;
        return false;
    }
    char *id = nullptr;
    if (fdisk_get_disklabel_id(s.cxt, &id) == 0 && id) {
        *diskGuid = QString::fromLatin1(id);
    }
    free(id);
    fdisk_table *table = nullptr;
    if (fdisk_get_partitions(s.cxt, &table) != 0) {
        fdisk_unref_table(table);
        FailureLine(why, Failure::DiskIo).noquote() << "Failed to read the partitions of" << path;
        return false;
    }
    const quint64 ss = fdisk_get_sector_size(s.cxt);
    fdisk_iter *it = fdisk_new_iter(FDISK_ITER_FORWARD);
    fdisk_partition *pa = nullptr;
    while (it && fdisk_table_next_partition(table, it, &pa) == 0) {
        TablePartition p;
        p.start = fdisk_partition_get_start(pa) * ss;
        p.length = fdisk_partition_get_size(pa) * ss;
        const char *name = fdisk_partition_get_name(pa);
        p.name = QString::fromUtf8(name ? name : "");
        parts->append(p);
    }
    fdisk_free_iter(it);
    fdisk_unref_table(table);
    return true;
}

bool firstPartitionSpan(DiskHandle handle, const QString &path, quint64 *start, quint64 *length,
                        Failure *why) {
    FdiskSession s(handle, path, 0, true, why);
    fdisk_partition *pa = nullptr;
    bool found = false;
    if (s.assigned && fdisk_has_label(s.cxt) && fdisk_get_partition(s.cxt, 0, &pa) == 0 &&
        fdisk_partition_has_start(pa) && fdisk_partition_has_size(pa)) {
        const quint64 ss = fdisk_get_sector_size(s.cxt);
        *start = fdisk_partition_get_start(pa) * ss;
        *length = fdisk_partition_get_size(pa) * ss;
        found = *length > 0;
    }
    fdisk_unref_partition(pa);
    if (!found) {
        FailureLine(why, Failure::DiskIo).noquote() << "No first partition on" << path;
    }
    return found;
}

bool generateGptTable(DiskHandle handle, const QString &path, const PartitionEntry *list, int count,
                      quint64 diskSize, quint64 sectorSize, Failure *why) {
    qDebug().noquote() << "\nGenerate and write the GPT table ...\n";
    Layout layout;
    if (!gptLayoutOf(list, count, diskSize, sectorSize, &layout, why) ||
        !setDiskLayout(handle, path, layout, diskSize, sectorSize, why)) {
        FailureLine(why, Failure::DiskIo).noquote() << "generateGptTable"
                                                    << "Failed to write GPT table.";
        return false;
    }
    return true;
}

bool writeGptTable(DiskHandle handle, const QString &path, quint64 diskSize, quint64 sectorSize,
                   Failure *why) {
    qDebug().noquote() << "Generate and write the GPT table";
    Layout layout;
    LayoutEntry entry;
    // At sector 34 on any card, as on a 512-byte card, up to 34 sectors before
    // the end.
    entry.start = kFormatterGptFirstSector * sectorSize;
    entry.length = diskSize > kTailSectors * sectorSize ? diskSize - kTailSectors * sectorSize : 0;
    entry.name = "Basic data partition";
    entry.type = kBasicDataType;
    layout.entries.append(entry);
    return setDiskLayoutWithin5s(handle, path, layout, diskSize, sectorSize,
                                 "Write GPT table timeout", why);
}

namespace {

// A GPT's headers say the disk has a GPT to every tool that looks, beside an
// MBR too: both go when an MBR is written. The backup lies where the primary
// says, normally in the last sector.
bool wipeGptHeaders(DiskHandle handle, quint64 diskSize, quint64 sectorSize, Failure *why) {
    if (sectorSize < 512 || diskSize / sectorSize < 3) {
        return true;
    }
    const quint64 last = diskSize / sectorSize - 1;
    QList<quint64> sectors{1, last};
    bool ok = false;
    const QByteArray primary = readSectors(handle, 1, 1, sectorSize, &ok);
    if (ok && primary.startsWith("EFI PART")) {
        const quint64 alternate = qFromLittleEndian<quint64>(primary.constData() + 32);
        if (alternate > 1 && alternate < last) {
            sectors << alternate;
        }
    }
    const QByteArray zero(int(sectorSize), '\0');
    for (quint64 s : sectors) {
        const QByteArray sector = readSectors(handle, s, 1, sectorSize, &ok, why);
        if (!ok) {
            FailureLine(why, Failure::DiskIo).noquote() << "Failed to read" << sectorSize;
            return false;
        }
        if (sector.startsWith("EFI PART") &&
            !writeSectors(handle, zero.constData(), s, 1, sectorSize, why)) {
            FailureLine(why, Failure::DiskIo).noquote() << "Failed to write" << sectorSize;
            return false;
        }
    }
    return true;
}

}  // namespace

bool writeMbrTable(DiskHandle handle, const QString &path, quint64 diskSize, quint64 sectorSize,
                   Failure *why) {
    qDebug().noquote() << "Generate and write the MBR table";
    if (!wipeGptHeaders(handle, diskSize, sectorSize, why)) {
        return false;
    }
    Layout layout;
    layout.gpt = false;
    LayoutEntry entry;
    entry.start = kMbrFirstSector * sectorSize;
    entry.length = diskSize > entry.start ? diskSize - entry.start : 0;
    entry.type = QByteArray::number(kFat32Type, 16);
    layout.entries.append(entry);
    return setDiskLayoutWithin5s(handle, path, layout, diskSize, sectorSize,
                                 "Write MBR table timeout", why);
}

bool cleanGptPart(DiskHandle handle, const QString &path, quint64 diskSize, quint64 sectorSize,
                  Failure *why) {
    qDebug().noquote() << "Clean the GPT table";
    if (!setDiskLayout(handle, path, Layout(), diskSize, sectorSize, why)) {
        FailureLine(why, Failure::DiskIo).noquote() << "cleanGptPart"
                                                    << "Failed to write GPT table.";
        return false;
    }
    return true;
}

bool resetMbrPartitions(DiskHandle handle, quint64 sectorSize, Failure *why) {
    return rewriteSector0(handle, sectorSize, why, [](QByteArray &sector) {
        // The low two bytes of the little-endian disk signature 0x33C3.
        sector[440] = char(0xC3);
        sector[441] = char(0x33);
        memset(sector.data() + 446, 0, 64);
    });
}

bool clearBootCode(DiskHandle handle, quint64 sectorSize, Failure *why) {
    return rewriteSector0(handle, sectorSize, why, [](QByteArray &sector) {
        memset(sector.data(), 0, size_t(sector.size() / 2));
    });
}
