// Cards of a test's own (plain files, or loop devices over them) and the
// tools that read them back without sharing code with the writers.
#pragma once

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "diskaccess.h"
#include "diskregistry.h"
#include "loop_device.h"

namespace {

QString run(const QString &program, const QStringList &args) {
    QProcess p;
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(30000)) << program.toStdString();
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

QJsonObject sfdisk(const QString &path) {
    return QJsonDocument::fromJson(run("sfdisk", {"--json", path}).toUtf8())
        .object()
        .value("partitiontable")
        .toObject();
}

// A card of the test's own: a plain file, or a loop device over one.
struct Card {
    Card(quint64 size, int sectorSize, bool loop) {
        file = QDir::current().absoluteFilePath(QString("card%1.img").arg(serial++));
        QFile f(file);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.resize(qint64(size));
        f.close();
        DiskRegistry &registry = DiskRegistry::instance();
        if (loop) {
            device = std::make_unique<LoopDevice>(file, sectorSize, true);
            registry.refresh();
            disk = registry.diskOf(device->node);
            path = device->node;
        } else {
            disk = registry.registerFile(file);
            path = file;
        }
        // Not exclusive: the test reads and changes the card while a job has it.
        handle = !disk.isValid() ? kInvalidDisk
                                 : ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
        diskSize = diskSectorCount(handle, &sectorBytes) * sectorBytes;
    }
    ~Card() {
        closeDiskHandle(handle);
        device.reset();
        QFile::remove(file);
    }
    // The card as its handle reads it (a loop device's file may lag behind).
    QByteArray bytes() const {
        return readSectors(handle, 0, diskSize / sectorBytes, sectorBytes);
    }
    bool usable() const { return handle != kInvalidDisk; }

    static int serial;
    QString file, path;
    // As the card list had it when the card was made.
    DiskNode disk;
    std::unique_ptr<LoopDevice> device;
    DiskHandle handle = kInvalidDisk;
    quint64 sectorBytes = 0, diskSize = 0;
};
int Card::serial = 0;

#define NEED_CARD(card)                                                                  \
    if (!(card).usable()) {                                                              \
        GTEST_SKIP() << "no loop device could be attached (needs root)";                 \
    }

}  // namespace
