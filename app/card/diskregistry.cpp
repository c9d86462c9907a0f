#include "diskregistry.h"

#include <QFileInfo>
#include <QMutexLocker>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskplatform.h"

DiskRegistry &DiskRegistry::instance() {
    static DiskRegistry registry;
    static const bool scanned = [] {
        registry.refresh();
        return true;
    }();
    Q_UNUSED(scanned);
    return registry;
}

void DiskRegistry::refresh() {
    const QStringList system = diskplatform::systemDisks();
    const QList<diskplatform::Disk> disks = diskplatform::wholeDisks();
    QMutexLocker locker(&lock);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!it->file) {
            it->present = false;
        }
    }
    for (const diskplatform::Disk &disk : disks) {
        int found = -1;
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
            if (!it->file && it->path == disk.node && it->identity == disk.identity) {
                found = it.key();
                break;
            }
        }
        if (found < 0) {
            // The system's own disk is 0, wherever it sits in the list; a disk
            // that held it before and came back as another device does not.
            const bool root = !system.isEmpty() && disk.node == system.first() &&
                              !entries.contains(0);
            found = root ? 0 : nextNumber++;
        }
        entries[found] = Entry{disk.node, disk.identity, false, true};
    }
    // A file that was removed is gone like a card.
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->file && it->present) {
            it->present = QFileInfo(it->path).isFile();
        }
    }
}

QString DiskRegistry::fileIdentity(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return QString();
    }
    return QStringLiteral("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
}

int DiskRegistry::registerFile(const QString &path) {
    // A link is followed once, here: the file it names is the card.
    QFileInfo info(path);
    const QString absolute = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    QString identity;
    const int fd = ::open(QFile::encodeName(absolute).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        identity = fileIdentity(fd);
        ::close(fd);
    }
    QMutexLocker locker(&lock);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->file && it->path == absolute) {
            if (it->identity == identity) {
                it->present = true;
                return it.key();
            }
            it->present = false;  // another file now: the old number stands for nothing
        }
    }
    const int number = nextNumber++;
    entries[number] = Entry{absolute, identity, true, true};
    return number;
}

QList<int> DiskRegistry::numbers() const {
    QMutexLocker locker(&lock);
    QList<int> present;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (it->present) {
            present << it.key();
        }
    }
    std::sort(present.begin(), present.end());
    return present;
}

QString DiskRegistry::path(int number) const {
    QMutexLocker locker(&lock);
    const auto it = entries.constFind(number);
    return it != entries.constEnd() && it->present ? it->path : QString();
}

QString DiskRegistry::identity(int number) const {
    QMutexLocker locker(&lock);
    const auto it = entries.constFind(number);
    return it != entries.constEnd() && it->present ? it->identity : QString();
}

bool DiskRegistry::isFile(int number) const {
    QMutexLocker locker(&lock);
    const auto it = entries.constFind(number);
    return it != entries.constEnd() && it->file;
}

int DiskRegistry::numberOf(const QString &path) const {
    QMutexLocker locker(&lock);
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (it->present && it->path == path) {
            return it.key();
        }
    }
    return -1;
}

bool DiskRegistry::mayWrite(int number) const {
    if (number == 0) {
        return false;
    }
    const QString where = path(number);
    if (where.isEmpty()) {
        return false;
    }
    if (isFile(number)) {
        return true;
    }
    // Asked anew each time: a file system may have been mounted since the scan.
    return !diskplatform::systemDisks().contains(where);
}

int DiskRegistry::declareCard(const QString &path, const DiskProperties &properties) {
    const QFileInfo info(path);
    const QString key = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    int number = -1;
    if (info.isFile()) {
        number = registerFile(key);
    } else {
        refresh();
        number = numberOf(key);
    }
    if (number < 0) {
        return -1;
    }
    QMutexLocker locker(&lock);
    declared.insert(key, properties);
    return number;
}

void DiskRegistry::withdrawCard(const QString &path) {
    QMutexLocker locker(&lock);
    const QFileInfo info(path);
    declared.remove(info.exists() ? info.canonicalFilePath() : info.absoluteFilePath());
}

bool DiskRegistry::declaredCard(int number, DiskProperties *properties) const {
    QMutexLocker locker(&lock);
    const auto it = entries.constFind(number);
    if (it == entries.constEnd() || !it->present) {
        return false;
    }
    const auto found = declared.constFind(it->path);
    if (found == declared.constEnd()) {
        return false;
    }
    if (properties) {
        *properties = *found;
    }
    return true;
}
