#include "filesplace.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

// Only a real attempt tells: permissions do not stop root, and a read-only
// file system or a folder such as /proc refuses whatever they say.
bool canCreateFilesIn(const QString &dir) {
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".kelflash-XXXXXX")));
    return probe.open();
}

}  // namespace

QString chooseFilesPlace(bool userData) {
    const QString start = QDir::currentPath();
    if (!userData && canCreateFilesIn(start)) {
        return QString();
    }
    const QString data = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                             .filePath(QStringLiteral("KelFlash"));
    if (!QDir().mkpath(data) || !QDir::setCurrent(data)) {
        return QStringLiteral("Cannot use %1 for the program's files; they stay in %2")
            .arg(data, start);
    }
    return userData ? QStringLiteral("Files are kept in the user's data directory %1").arg(data)
                    : QStringLiteral("Files are kept in %1: %2 is not writable").arg(data, start);
}
