#include "imagedigest.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>

#include <atomic>

namespace {
struct Entry {
    qint64 size = -1;
    qint64 mtimeMs = 0;
    QString digest;
};

QMutex cacheMutex;
QHash<QString, Entry> cache;
std::atomic<int> computed{0};
}  // namespace

namespace ImageDigest {

QString sha256(const QString &path, QString *error) {
    const QFileInfo info(path);
    const QString key = info.absoluteFilePath();
    if (!info.isFile()) {
        if (error)
            *error = QStringLiteral("%1 is not a readable file").arg(path);
        return QString();
    }
    const qint64 size = info.size();
    const qint64 mtime = info.lastModified().toMSecsSinceEpoch();
    {
        QMutexLocker lock(&cacheMutex);
        const auto it = cache.constFind(key);
        if (it != cache.constEnd() && it->size == size && it->mtimeMs == mtime)
            return it->digest;
    }
    // Read outside the lock: an image of gigabytes must not hold up the others.
    QFile file(key);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return QString();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
            if (error)
                *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return QString();
        }
        if (n == 0)
            break;
        hash.addData(chunk.constData(), int(n));
        total += n;
    }
    ++computed;
    const QString digest = QString::fromLatin1(hash.result().toHex());
    // A file that changed while it was read gives a digest of neither state:
    // it is returned but not kept, so the next look-up reads the file again.
    const QFileInfo after(key);
    if (total == size && after.size() == size &&
        after.lastModified().toMSecsSinceEpoch() == mtime) {
        QMutexLocker lock(&cacheMutex);
        cache.insert(key, Entry{size, mtime, digest});
    }
    return digest;
}

int computedCount() {
    return computed.load();
}

void clearCache() {
    QMutexLocker lock(&cacheMutex);
    cache.clear();
}

}  // namespace ImageDigest
