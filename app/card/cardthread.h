// Makes a bring-up card from an image of storage type "mmc": every component
// goes to the start of each partition its record names, then a GPT that
// describes those partitions, then the image mark in sector 0.
#pragma once

#include <QList>
#include <QStringList>

#include "diskaccess.h"
#include "kelthread.h"

class CardDisk;
struct FwcMeta;
struct PartitionEntry;

class CardThread : public KelThread {
    Q_OBJECT

public:
    // Neither the image nor the card disk is owned; both must outlive the job.
    CardThread(ImageFile *image, CardDisk *card);
    ~CardThread() override;

    // Sectors moved per read and write.
    static constexpr quint64 kChunkSectors = 1024;

    // Whether the component goes onto a card at all.
    static bool isWritten(const FwcMeta &record);
    // The list entries a component is written to, in the order it is written:
    // for each name of its partition field (split at ";"), every entry of that
    // name. Names that match nothing go to `missing`.
    static QList<const PartitionEntry *> targetsOf(const FwcMeta &record,
                                                   const PartitionEntry *list, quint32 count,
                                                   QStringList *missing = nullptr);
    // The bytes a job writes for this image on a card of that sector size.
    static quint64 plannedBytes(ImageFile *image, quint64 sectorSize);

protected:
    void run() override;

private:
    // False, with the reason logged, when the image is the card itself or a
    // file on it.
    bool imageIsSafe(const QString &diskPath) const;
    // Clears the mark and both GPT headers before the first data byte.
    bool invalidateCard();
    // Whether the component's sectors lie inside the entry and the card.
    bool fits(const FwcMeta &record, const PartitionEntry &entry) const;
    // With checkOnly, only asks fits() of every target: nothing is written.
    bool writeComponent(const FwcMeta &record, bool checkOnly);
    bool copyComponent(const FwcMeta &record, const PartitionEntry &entry);

    CardDisk *card;
    // Valid during run() only.
    DiskHandle diskHandle = kInvalidDisk;
    DiskHandle imageHandle = kInvalidDisk;
    quint64 sectorSize = 0;
    quint64 diskSize = 0;
    QByteArray buffer;  // one chunk
    const PartitionEntry *partitions = nullptr;
    quint32 partitionCount = 0;
};
