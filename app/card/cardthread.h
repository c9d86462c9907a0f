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
    // Each step below returns false with the reason logged and kept in `why`.
    //
    // False when the image is the card itself or a file on it.
    bool imageIsSafe();
    // Opens the card and the image and refuses, while the card is still as it
    // was, a list or a component that does not fit it.
    bool prepare();
    // Clears the mark and both GPT headers before the first data byte.
    bool invalidateCard();
    // Copies every component; false also when stopped (Interrupted).
    bool writeComponents();
    // Whether the component's sectors lie inside the entry and the card.
    bool fits(const FwcMeta &record, const PartitionEntry &entry);
    // With checkOnly, only asks fits() of every target: nothing is written.
    bool writeComponent(const FwcMeta &record, bool checkOnly);
    bool copyComponent(const FwcMeta &record, const PartitionEntry &entry);
    void closeHandles();

    CardDisk *card;
    // Valid during run() only.
    Failure why;
    DiskHandle diskHandle = kInvalidDisk;
    DiskHandle imageHandle = kInvalidDisk;
    quint64 sectorSize = 0;
    quint64 diskSize = 0;
    QByteArray buffer;  // one chunk
    const PartitionEntry *partitions = nullptr;
    quint32 partitionCount = 0;
};
