// The disk registry and the disk access on this machine's real disks (asked,
// never written), on plain files, and on loop devices the test attaches itself.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include "cardscan.h"
#include "diskaccess.h"
#include "diskplatform.h"
#include "diskregistry.h"
#include "loop_device.h"
#include "msg_capture.h"

namespace {

QString makeFile(const QString &name, qint64 size) {
    QFile f(name);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    EXPECT_TRUE(f.resize(size));
    return QDir::current().absoluteFilePath(name);
}

}  // namespace

TEST(DiskRegistry, TheSystemDiskIsNumberZeroAndIsNeverOpenedForWriting) {
    DiskRegistry &registry = DiskRegistry::instance();
    registry.refresh();
    const QStringList system = diskplatform::systemDisks();
    if (system.isEmpty()) {
        GTEST_SKIP() << "the root file system lies on no disk here";
    }
    EXPECT_EQ(registry.disk(0).path, system.first());
    DiskProperties card;
    card.removable = true;
    for (const QString &node : system) {
        // Not even when declared a card.
        const DiskNode disk = registry.declareCard(node, card);
        ASSERT_TRUE(disk.isValid()) << node.toStdString();
        EXPECT_FALSE(mayWriteDisk(disk)) << node.toStdString();
        for (const CardInfo &listed : scanCards()) {
            EXPECT_NE(listed.disk.path, disk.path) << node.toStdString();
        }
        MsgCapture msgs;
        Failure why;
        EXPECT_EQ(openDiskHandle(disk, DiskAccess::ReadWrite, true, &why), kInvalidDisk);
        EXPECT_TRUE(lastErrorIsAccessDenied());
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Get handle on the device error:"));
        EXPECT_EQ(why.code(), Failure::CardUnavailable);
        registry.withdrawCard(node);
    }
    // Asking is allowed: the card scan reads what the system disk is.
    DiskProperties props;
    EXPECT_TRUE(queryDeviceProperties(registry.disk(0), &props));
}

TEST(DiskAccess, AFileServesAsADisk) {
    DiskRegistry &registry = DiskRegistry::instance();
    const QString path = makeFile("card.img", 1 << 20);
    const DiskNode disk = registry.registerFile(path);
    const int number = disk.number;
    EXPECT_GE(number, 1);
    EXPECT_EQ(registry.registerFile("card.img").number, number);
    EXPECT_TRUE(mayWriteDisk(disk));
    EXPECT_TRUE(registry.numbers().contains(number));

    DiskHandle h = openDiskHandle(disk, DiskAccess::ReadWrite, true);
    ASSERT_NE(h, kInvalidDisk);
    quint64 sectorSize = 0;
    EXPECT_EQ(diskSectorCount(h, &sectorSize), 2048u);
    EXPECT_EQ(sectorSize, 512u);
    EXPECT_TRUE(isDiskMedia(h));
    QByteArray data(3 * 512, 'k');
    ASSERT_TRUE(writeSectorsRetry(h, data.constData(), 2046, 2, 512));
    ASSERT_TRUE(flushDisk(h));
    bool ok = false;
    // Two sectors were written at the end; a third read past it is zero.
    const QByteArray back = readSectors(h, 2046, 3, 512, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(back, QByteArray(1024, 'k') + QByteArray(512, '\0'));
    closeDiskHandle(h);

    // A write that cannot be made is tried three times, each reported.
    // The reason comes back with the first failure's system text.
    h = openDiskHandle(disk, DiskAccess::Read, true);
    MsgCapture msgs;
    Failure why;
    EXPECT_FALSE(writeSectorsRetry(h, data.constData(), 0, 1, 512, &why));
    EXPECT_EQ(msgs.count("Write data to handle error:"), 3);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Code: " + QString::number(EBADF)));
    EXPECT_EQ(why.code(), Failure::DiskIo);
    EXPECT_EQ(why.message(), msgs.of(QtCriticalMsg).first());
    closeDiskHandle(h);

    QFile::remove(path);
    registry.refresh();
    EXPECT_FALSE(registry.numbers().contains(number));
    EXPECT_EQ(openDiskHandle(disk, DiskAccess::Read, false), kInvalidDisk);
}

TEST(DiskAccess, LoopDevicesAreNumberedOnceAndReadWithTheirSectorSize) {
    const QString file = makeFile("loop.img", 8 << 20);
    LoopDevice loop(file, 4096);
    if (loop.node.isEmpty()) {
        GTEST_SKIP() << "no loop device could be attached (needs root)";
    }
    DiskRegistry &registry = DiskRegistry::instance();
    registry.refresh();
    const DiskNode disk = registry.diskOf(loop.node);
    const int number = disk.number;
    ASSERT_GE(number, 1);
    EXPECT_TRUE(mayWriteDisk(disk));
    DiskProperties props;
    ASSERT_TRUE(queryDeviceProperties(disk, &props));
    EXPECT_EQ(props.busType, 14);
    EXPECT_FALSE(props.removable);

    DiskHandle h = openDiskHandle(disk, DiskAccess::ReadWrite, true);
    ASSERT_NE(h, kInvalidDisk);
    quint64 sectorSize = 0;
    EXPECT_EQ(diskSectorCount(h, &sectorSize), 2048u);
    EXPECT_EQ(sectorSize, 4096u);
    const QByteArray data(4096, 'x');
    EXPECT_TRUE(writeSectors(h, data.constData(), 1, 1, 4096));
    EXPECT_TRUE(flushDisk(h));
    closeDiskHandle(h);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    f.seek(4096);
    EXPECT_EQ(f.read(4096), data);

    // The same node attached anew is another disk: it never takes the old number.
    loop.detach();
    registry.refresh();
    EXPECT_FALSE(registry.numbers().contains(number));
    LoopDevice again(file, 512);
    ASSERT_FALSE(again.node.isEmpty());
    registry.refresh();
    const int second = registry.diskOf(again.node).number;
    EXPECT_GE(second, 1);
    EXPECT_NE(second, number);
    // And what was listed before does not open it.
    Failure why;
    EXPECT_EQ(openDiskHandle(disk, DiskAccess::Query, false, &why), kInvalidDisk);
    EXPECT_EQ(why.code(), Failure::CardChanged) << why.message().toStdString();
}
