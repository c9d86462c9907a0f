#include "diskregistry.h"

#include <QFileInfo>
#include <QMutexLocker>

#include <algorithm>

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
        if (!it->disk.file) {
            it->present = false;
        }
    }
    for (const diskplatform::Disk &found : disks) {
        int number = -1;
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
            if (!it->disk.file && it->disk.path == found.node &&
                it->disk.identity == found.identity) {
                number = it.key();
                break;
            }
        }
        if (number < 0) {
            // The system's own disk is 0, wherever it sits in the list; a disk
            // that held it before and came back as another device does not.
            const bool root =
                !system.isEmpty() && found.node == system.first() && !entries.contains(0);
            number = root ? 0 : nextNumber++;
        }
        DiskNode disk;
        disk.path = found.node;
        disk.identity = found.identity;
        disk.number = number;
        entries[number] = Entry{disk, true};
    }
    // A file that was removed is gone like a card.
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->disk.file && it->present) {
            it->present = QFileInfo(it->disk.path).isFile();
        }
    }
}

DiskNode DiskRegistry::registerFile(const QString &path) {
    // A link is followed once, here: the file it names is the card.
    QFileInfo info(path);
    const QString absolute = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    DiskNode disk = diskNodeOf(absolute);
    disk.path = absolute;
    disk.file = true;
    QMutexLocker locker(&lock);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->disk.file && it->disk.path == absolute) {
            if (it->disk.identity == disk.identity) {
                it->present = true;
                return it->disk;
            }
            it->present = false;  // another file now: the old number stands for nothing
        }
    }
    disk.number = nextNumber++;
    entries[disk.number] = Entry{disk, true};
    return disk;
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

DiskNode DiskRegistry::disk(int number) const {
    QMutexLocker locker(&lock);
    const auto it = entries.constFind(number);
    return it != entries.constEnd() && it->present ? it->disk : DiskNode();
}

DiskNode DiskRegistry::diskOf(const QString &path) const {
    QMutexLocker locker(&lock);
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (it->present && it->disk.path == path) {
            return it->disk;
        }
    }
    return DiskNode();
}

DiskNode DiskRegistry::declareCard(const QString &path, const DiskProperties &properties) {
    const QFileInfo info(path);
    const QString key = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    DiskNode disk;
    if (info.isFile()) {
        disk = registerFile(key);
    } else {
        refresh();
        disk = diskOf(key);
    }
    if (!disk.isValid()) {
        return disk;
    }
    QMutexLocker locker(&lock);
    declared.insert(key, properties);
    return disk;
}

void DiskRegistry::withdrawCard(const QString &path) {
    QMutexLocker locker(&lock);
    const QFileInfo info(path);
    declared.remove(info.exists() ? info.canonicalFilePath() : info.absoluteFilePath());
}

bool DiskRegistry::declaredCard(const DiskNode &disk, DiskProperties *properties) const {
    QMutexLocker locker(&lock);
    const auto found = declared.constFind(disk.path);
    if (!disk.isValid() || found == declared.constEnd()) {
        return false;
    }
    if (properties) {
        *properties = *found;
    }
    return true;
}

bool DiskRegistry::properties(const DiskNode &disk, DiskProperties *properties) const {
    return declaredCard(disk, properties) || queryDeviceProperties(disk, properties);
}
