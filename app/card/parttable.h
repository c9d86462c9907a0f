// The partition tables the card jobs give a card: a GPT that follows the
// image's partition list (bring-up card), the formatter's one-partition GPT or
// MBR for a FAT32 volume, an empty GPT, and two raw rewrites of sector 0.
//
// A disk is its open handle (read and write, volumes dismounted) plus the path
// of its node or file, which only names it in messages. Tables are built and
// written by libfdisk on that very handle; afterwards the system is made to
// see the new partitions. Every failure logs its own line and returns false,
// and gives its reason in *why where the caller passes one.
// Sizes and offsets are bytes, 64-bit.
#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

#include "diskaccess.h"

struct PartitionEntry;

// The disk GUID of every GPT this program writes.
extern const char *const CARD_DISK_GUID;

// On success *isGpt tells whether the card carries a GPT (an MBR or no table
// at all counts as not GPT).
bool parsePartTable(DiskHandle handle, const QString &path, bool *isGpt, Failure *why = nullptr);
// One partition per list entry, in list order, each where the list places it
// (the same offsets the components are copied to). A list that cannot be laid
// out on this card is refused before anything is written.
bool generateGptTable(DiskHandle handle, const QString &path, const PartitionEntry *list, int count,
                      quint64 diskSize, quint64 sectorSize, Failure *why = nullptr);
// Whether generateGptTable would accept this list on this card; writes nothing.
// The card writer asks before it copies the first component.
bool checkGptTable(DiskHandle handle, const QString &path, const PartitionEntry *list, int count,
                   quint64 diskSize, quint64 sectorSize, Failure *why = nullptr);
// The formatter's tables; each retries for up to 5 seconds.
bool writeGptTable(DiskHandle handle, const QString &path, quint64 diskSize, quint64 sectorSize,
                   Failure *why = nullptr);
bool writeMbrTable(DiskHandle handle, const QString &path, quint64 diskSize, quint64 sectorSize,
                   Failure *why = nullptr);
struct TablePartition {
    quint64 start = 0;   // bytes
    quint64 length = 0;  // bytes
    QString name;
};
// The partitions of the card's GPT in table order, and its disk GUID (upper
// case); false when the card has no readable GPT.
bool readGptPartitions(DiskHandle handle, const QString &path, QVector<TablePartition> *parts,
                       QString *diskGuid, Failure *why = nullptr);
// Where the first partition lies, in bytes.
bool firstPartitionSpan(DiskHandle handle, const QString &path, quint64 *start, quint64 *length,
                        Failure *why = nullptr);
// A GPT without partitions.
bool cleanGptPart(DiskHandle handle, const QString &path, quint64 diskSize, quint64 sectorSize,
                  Failure *why = nullptr);
// Sector 0: the MBR's partition table cleared and the disk signature set,
// boot code and marker kept.
bool resetMbrPartitions(DiskHandle handle, quint64 sectorSize, Failure *why = nullptr);
// Sector 0: its first half zeroed.
bool clearBootCode(DiskHandle handle, quint64 sectorSize, Failure *why = nullptr);
