#include "kelformatsdcard.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include "carddisk.h"
#include "diskaccess.h"
#include "failureline.h"
#include "parttable.h"
#include "volumeformat.h"

namespace {

// How long the card's new volume may take to show up.
constexpr int kVolumeWaitMs = 5000;
constexpr int kVolumePollMs = 100;

// After the format command the volume's sectors must be on the card before the
// operator is told it may be taken out.
bool flushPath(const QString &path, Failure *why) {
    const DiskHandle h = openFileHandle(path, DiskAccess::Read, why);
    if (h == kInvalidDisk) {
        return false;
    }
    const bool ok = flushDisk(h, why);
    closeDiskHandle(h);
    return ok;
}

}  // namespace

KelFormatSDCard::KelFormatSDCard(bool useMbr, CardDisk *card, QObject *parent)
    : KelThread(nullptr), useMbr(useMbr), card(card) {
    setParent(parent);
}

KelFormatSDCard::~KelFormatSDCard() {
    // There is no stop: the format runs to its end, which the owner waits for.
    wait();
}

void KelFormatSDCard::run() {
    clearFailure();
    emit threadIsStart();
    const DiskNode &disk = card->disk();
    qDebug() << "Format SDcard" << disk.number;
    Failure why;
    auto interrupted = [&] {
        if (!isInterruptionRequested()) {
            return false;
        }
        FailureLine(&why, Failure::Interrupted).noquote() << "The format was interrupted";
        return true;
    };
    // A stop request (the command line's Ctrl-C) is honoured between steps.
    const bool done = writeTable(disk, &why) && !interrupted() && formatVolume(disk, &why);
    if (!done) {
        qDebug().noquote() << "Failed to format SDCard!\n";
        fail(why ? why : Failure(Failure::Internal, QStringLiteral("the format failed")));
        return;
    }
    emit threadIsRunning(100);
    qDebug().noquote() << "Format SDCard successfully!\n";
    emit threadIsSuccessful();
}

bool KelFormatSDCard::writeTable(const DiskNode &disk, Failure *why) {
    // The card's own file systems unmounted, the card had exclusively: a card
    // something else still holds, or a write-protected one, fails here with
    // its reason, before its table is touched.
    DiskHandle handle = openDiskForWriting(disk, why);
    if (handle == kInvalidDisk) {
        if (lastErrorIsAccessDenied()) {
            qWarning().noquote() << "Permission denied to write disk device.\nYou need to run cmd "
                                    "with 'administrator' permission.\n";
        }
        return false;
    }
    // The format command has the new volume exclusively, which it cannot while
    // this handle holds the whole card.
    struct Closer {
        DiskHandle h;
        ~Closer() { closeDiskHandle(h); }
    } closer{handle};
    quint64 sectorSize = 0;
    const quint64 sectors = diskSectorCount(handle, &sectorSize, why);
    if (sectors == 0) {
        FailureLine(why, Failure::DiskIo) << "Failed to read sector information";
        return false;
    }
    const quint64 diskSize = sectors * sectorSize;
    const QString &path = disk.path;
    if (!parsePartTable(handle, path, &currentIsGpt, why)) {
        return false;
    }
    emit threadIsRunning(10);

    bool cleared = true;
    if (!useMbr) {
        cleared = clearBootCode(handle, sectorSize, why);
    } else if (currentIsGpt) {
        cleared = cleanGptPart(handle, path, diskSize, sectorSize, why) &&
                  resetMbrPartitions(handle, sectorSize, why);
    }
    if (!cleared) {
        return false;
    }
    emit threadIsRunning(20);
    QThread::msleep(1000);
    if (isInterruptionRequested()) {
        FailureLine(why, Failure::Interrupted).noquote() << "The format was interrupted";
        return false;
    }
    const bool written = useMbr ? writeMbrTable(handle, path, diskSize, sectorSize, why)
                                : writeGptTable(handle, path, diskSize, sectorSize, why);
    if (written) {
        emit threadIsRunning(50);
    }
    return written;
}

bool KelFormatSDCard::formatVolume(const DiskNode &disk, Failure *why) {
    volumeformat::Target target;
    if (disk.file) {
        // A card image has no partition nodes: the command writes at the
        // partition's place inside the file.
        target.node = disk.path;
        const DiskHandle h = openFileHandle(target.node, DiskAccess::Read, why);
        const bool found = h != kInvalidDisk && diskSectorCount(h, &target.sectorSize, why) != 0 &&
                           firstPartitionSpan(h, target.node, &target.offset, &target.length, why);
        closeDiskHandle(h);
        if (!found) {
            return false;
        }
    } else {
        QElapsedTimer clock;
        clock.start();
        while (!findVolumeOfDisk(disk, &target.node)) {
            if (clock.hasExpired(kVolumeWaitMs)) {
                FailureLine(why, Failure::DiskIo)
                    << "Find volume id of disk" << disk.number << "timeout";
                return false;
            }
            QThread::msleep(kVolumePollMs);
        }
        // The volume must lie on the card, never on a disk of the system.
        if (!mayWriteDisk(disk)) {
            qWarning().noquote() << "Invalid volume ID:" << target.node;
            qWarning().noquote() << "Re-plug the SDCard, and try format again...\n";
            return keepFailure(why,
                               Failure(Failure::CardUnavailable,
                                       QStringLiteral("Invalid volume ID: %1").arg(target.node)));
        }
    }
    command = volumeformat::fat32Command(target);
    qDebug().noquote() << "Format" << target.node << ": with FAT32";
    if (!runCommand(command, why) || !flushPath(target.node, why)) {
        FailureLine(why, Failure::DiskIo).noquote()
            << "Failed to do:" << command.join(QLatin1Char(' '));
        return false;
    }
    return true;
}

bool KelFormatSDCard::runCommand(const QStringList &argv, Failure *why) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(argv.first(), argv.mid(1));
    if (!process.waitForStarted(-1)) {
        // mkfs.fat (dosfstools) missing is the host's to mend, not the card's.
        FailureLine(why, Failure::Host).noquote()
            << argv.first() << "could not be started:" << process.errorString();
        return false;
    }
    process.waitForFinished(-1);
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (!output.isEmpty()) {
        qDebug().noquote() << output;
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        return true;
    }
    const QString said = output.section(QLatin1Char('\n'), -1).trimmed();
    return keepFailure(
        why,
        Failure(Failure::DiskIo,
                QStringLiteral("%1 failed: %2")
                    .arg(argv.first(),
                         said.isEmpty() ? QStringLiteral("exit status %1").arg(process.exitCode())
                                        : said)));
}
