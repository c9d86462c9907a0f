// The selected firmware image as the program sees it: header fields, the FWC
// records and the partition list, each read from the file on first demand.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "image.h"

class ImageFile {
public:
    ImageFile();
    ~ImageFile();
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;

    int setPath(const QString &path);
    QString path() const;
    // Reads and checks the header; 0 on success, -1 on failure.
    int loadHeader();

    QString platform() const;
    QString product() const;
    QString version() const;
    QString mediaType() const;
    QString mediaId() const;
    quint32 headerWord264() const;
    quint32 fwcCount() const;
    quint32 fileSize() const;
    quint32 partitionCount() const;

    // fwcCount() records, read on first call; none on failure.
    const FwcMeta *meta();
    // The list of the "image.updater.env" component, parsed on first call; none
    // when the image has no such component or the list does not parse.
    PartitionEntry *partitions();

    // Why the last read that failed (header, records, partition list) failed,
    // as the image reader says it ("not a firmware image"); empty while none
    // has, and again after a read that succeeds.
    QString readError() const { return m_readError; }

private:
    // Keeps the reader's reason for the read just made (none: it succeeded).
    void noteRead(const char *why);

    void release();
    QString headerText(int offset) const;

    QString m_path;
    quint32 m_fwcCount = 0;
    FwcMeta *m_meta = nullptr;
    quint32 m_partitionCount = 0;
    PartitionEntry *m_partitions = nullptr;
    unsigned char m_header[IMAGE_HEADER_SIZE];
    QString m_readError;
};
