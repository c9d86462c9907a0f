#include "kelformatsdcard.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QProcess>

#include "carddisk.h"
#include "diskaccess.h"
#include "diskregistry.h"
#include "parttable.h"
#include "volumeformat.h"

namespace {

// How long the card's new volume may take to show up.
constexpr int kVolumeWaitMs = 5000;
constexpr int kVolumePollMs = 100;

// After the format command the volume's sectors must be on the card before the
// operator is told it may be taken out.
bool flushPath(const QString &path) {
    const DiskHandle h = openFileHandle(path, DiskAccess::Read);
    if (h == kInvalidDisk) {
        return false;
    }
    const bool ok = flushDisk(h);
    closeDiskHandle(h);
    return ok;
}

}  // namespace

KelFormatSDCard::KelFormatSDCard(bool useMbr, CardDisk *card, QObject *parent)
    : QThread(parent), useMbr(useMbr), card(card) {}

KelFormatSDCard::~KelFormatSDCard() {
    // There is no stop: the format runs to its end, which the owner waits for.
    wait();
}

void KelFormatSDCard::run() {
    emit threadIsStart();
    const int n = card->diskNumber();
    qDebug() << "Format SDcard" << n;
    const QString path = DiskRegistry::instance().path(n);

    DiskHandle handle = kInvalidDisk;
    auto fail = [&] {
        qDebug().noquote() << "Failed to format SDCard!\n";
        emit threadIsFailed();
        closeDiskHandle(handle);
        handle = kInvalidDisk;
    };

    // The card's own file systems unmounted, the card had exclusively: a card
    // something else still holds, or a write-protected one, fails here with
    // its reason, before its table is touched.
    handle = openDiskForWriting(n);
    if (handle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            qWarning().noquote() << "Permission denied to write disk device.\nYou need to run cmd "
                                    "with 'administrator' permission.\n";
        }
        fail();
        return;
    }
    // A stop request (the command line's Ctrl-C) is honoured between steps.
    auto interrupted = [&] {
        if (!isInterruptionRequested()) {
            return false;
        }
        qCritical().noquote() << "The format was interrupted";
        fail();
        return true;
    };
    quint64 sectorSize = 0;
    const quint64 sectors = diskSectorCount(handle, &sectorSize);
    if (sectors == 0) {
        qCritical() << "Failed to read sector information";
        fail();
        return;
    }
    const quint64 diskSize = sectors * sectorSize;
    if (!parsePartTable(handle, path, &currentIsGpt)) {
        fail();
        return;
    }
    emit threadIsRunning(10);

    bool cleared = true;
    if (!useMbr) {
        cleared = clearBootCode(handle, sectorSize);
    } else if (currentIsGpt) {
        cleared = cleanGptPart(handle, path, diskSize, sectorSize) &&
                  resetMbrPartitions(handle, sectorSize);
    }
    if (!cleared) {
        fail();
        return;
    }
    emit threadIsRunning(20);
    QThread::msleep(1000);
    if (interrupted()) {
        return;
    }

    const bool written = useMbr ? writeMbrTable(handle, path, diskSize, sectorSize)
                                : writeGptTable(handle, path, diskSize, sectorSize);
    if (!written) {
        fail();
        return;
    }
    emit threadIsRunning(50);
    // The format command has the new volume exclusively, which it cannot while
    // this handle holds the whole card.
    closeDiskHandle(handle);
    handle = kInvalidDisk;
    if (interrupted()) {
        return;
    }
    if (!formatVolume(n)) {
        fail();
        return;
    }
    emit threadIsRunning(100);
    qDebug().noquote() << "Format SDCard successfully!\n";
    emit threadIsSuccessful();
}

bool KelFormatSDCard::formatVolume(int diskNumber) {
    DiskRegistry &registry = DiskRegistry::instance();
    volumeformat::Target target;
    if (registry.isFile(diskNumber)) {
        // A card image has no partition nodes: the command writes at the
        // partition's place inside the file.
        target.node = registry.path(diskNumber);
        const DiskHandle h = openFileHandle(target.node, DiskAccess::Read);
        const bool found = h != kInvalidDisk && diskSectorCount(h, &target.sectorSize) != 0 &&
                           firstPartitionSpan(h, target.node, &target.offset, &target.length);
        closeDiskHandle(h);
        if (!found) {
            return false;
        }
    } else {
        QElapsedTimer clock;
        clock.start();
        while (!findVolumeOfDisk(diskNumber, &target.node)) {
            if (clock.hasExpired(kVolumeWaitMs)) {
                qCritical() << "Find volume id of disk" << diskNumber << "timeout";
                return false;
            }
            QThread::msleep(kVolumePollMs);
        }
        // The volume must lie on the card, never on a disk of the system.
        if (!registry.mayWrite(diskNumber)) {
            qWarning().noquote() << "Invalid volume ID:" << target.node;
            qWarning().noquote() << "Re-plug the SDCard, and try format again...\n";
            return false;
        }
    }
    command = volumeformat::fat32Command(target);
    qDebug().noquote() << "Format" << target.node << ": with FAT32";
    if (!runCommand(command) || !flushPath(target.node)) {
        qCritical().noquote() << "Failed to do:" << command.join(QLatin1Char(' '));
        return false;
    }
    return true;
}

bool KelFormatSDCard::runCommand(const QStringList &argv) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(argv.first(), argv.mid(1));
    if (!process.waitForStarted(-1)) {
        qCritical().noquote() << argv.first() << "could not be started:" << process.errorString();
        return false;
    }
    process.waitForFinished(-1);
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (!output.isEmpty()) {
        qDebug().noquote() << output;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
