#include "imagefile.h"

#include <QDebug>
#include <cstdlib>
#include <cstring>

#include "pathcodec.h"

ImageFile::ImageFile() {
    memset(m_header, 0, sizeof(m_header));
}

ImageFile::~ImageFile() {
    release();
}

void ImageFile::release() {
    free(m_meta);
    m_meta = nullptr;
    image_partition_release(m_partitions);
    m_partitions = nullptr;
    m_partitionCount = 0;
}

int ImageFile::setPath(const QString &path) {
    m_path = path;
    memset(m_header, 0, sizeof(m_header));
    return 0;
}

QString ImageFile::path() const {
    return m_path;
}

int ImageFile::loadHeader() {
    release();
    const QByteArray native = libraryPath(m_path);
    const char *why = nullptr;
    const int rc = image_hdr_read(native.constData(), m_header, &why);
    noteRead(why);
    if (rc != 0)
        return -1;
    m_fwcCount = image_hdr_word(m_header, IMAGE_HDR_META_SIZE) / IMAGE_META_RECORD_SIZE;
    return 0;
}

QString ImageFile::headerText(int offset) const {
    const char *field = reinterpret_cast<const char *>(m_header + offset);
    return QString::fromLatin1(field, static_cast<int>(strnlen(field, IMAGE_HDR_TEXT_LEN)));
}

QString ImageFile::platform() const {
    return headerText(IMAGE_HDR_PLATFORM);
}

QString ImageFile::product() const {
    return headerText(IMAGE_HDR_PRODUCT);
}

QString ImageFile::version() const {
    return headerText(IMAGE_HDR_VERSION);
}

QString ImageFile::mediaType() const {
    return headerText(IMAGE_HDR_MEDIA_TYPE);
}

QString ImageFile::mediaId() const {
    return headerText(IMAGE_HDR_MEDIA_ID);
}

quint32 ImageFile::headerWord264() const {
    return image_hdr_word(m_header, IMAGE_HDR_WORD264);
}

quint32 ImageFile::fwcCount() const {
    return m_fwcCount;
}

quint32 ImageFile::fileSize() const {
    return image_hdr_word(m_header, IMAGE_HDR_FILE_SIZE);
}

quint32 ImageFile::partitionCount() const {
    return m_partitionCount;
}

const FwcMeta *ImageFile::meta() {
    if (m_meta || m_fwcCount == 0)
        return m_meta;
    m_meta = static_cast<FwcMeta *>(calloc(m_fwcCount, sizeof(FwcMeta)));
    if (!m_meta) {
        qCritical() << "Failed to malloc()";
        return nullptr;
    }
    const QByteArray native = libraryPath(m_path);
    const char *why = nullptr;
    const int rc = image_meta_read(native.constData(), m_meta, m_fwcCount, &why);
    noteRead(why);
    if (rc != 0) {
        qCritical() << "Failed to read meta data";
        free(m_meta);
        m_meta = nullptr;
    }
    return m_meta;
}

PartitionEntry *ImageFile::partitions() {
    if (m_partitions || m_fwcCount == 0)
        return m_partitions;
    const FwcMeta *records = meta();
    if (!records)
        return nullptr;
    const FwcMeta *env = nullptr;
    for (quint32 i = 0; i < m_fwcCount; ++i) {
        if (strncmp(records[i].name, IMAGE_ENV_COMPONENT, sizeof(records[i].name)) == 0) {
            env = &records[i];
            break;
        }
    }
    if (!env)
        return nullptr;
    const QByteArray native = libraryPath(m_path);
    const char *why = nullptr;
    m_partitions =
        image_partition_read(native.constData(), IMAGE_ENV_PARTS_MMC, env->offset, env->size, &why);
    noteRead(why);
    if (!m_partitions) {
        qWarning() << "Failed to parse the partition table";
        return nullptr;
    }
    m_partitionCount = static_cast<quint32>(image_partition_count(m_partitions));
    return m_partitions;
}

void ImageFile::noteRead(const char *why) {
    m_readError = why ? QString::fromLocal8Bit(why) : QString();
}
