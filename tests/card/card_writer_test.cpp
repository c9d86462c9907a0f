// Bring-up cards and formats made by the card workers on plain files and loop
// devices, read back with sfdisk, sgdisk, blkid, fsck.fat and mtools.
#include <QMutex>
#include <QJsonArray>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

#include "card_fixture.h"
#include "carddisk.h"
#include "cardthread.h"
#include "cardverify.h"
#include "imagefile.h"
#include "kelformatsdcard.h"
#include "msg_capture.h"
#include "qt_wait.h"
#include "pack_sample.h"
#include "parttable.h"

namespace {

const quint64 kMiB = 1 << 20;

struct Comp {
    const char *name;
    const char *partition;
    size_t size;
};

// An image for SD cards with the given partition list and components; the
// filler is different for every component.
QString makeImage(const QString &path, const std::string &parts, const std::vector<Comp> &comps) {
    ImagePackSpec spec = packtest::evbSpec();
    spec.components.push_back(image_pack_env_component({"parts_mmc=" + parts}));
    uint32_t seed = 1;
    for (const Comp &c : comps) {
        spec.components.push_back(packtest::component(
            c.name, c.partition, packtest::fillBytes(c.size, seed++, 7), "burn"));
    }
    std::string error;
    EXPECT_EQ(image_pack_write(spec, path.toStdString(), &error), 0) << error;
    return path;
}

// One job on a card, its signals recorded as the worker sent them.
struct Job {
    QList<qint64> progress;
    bool failed = false, succeeded = false;
    QMutex lock;
    template <class Worker> void watch(Worker &w) {
        QObject::connect(&w, &Worker::threadIsRunning, &w, [this](qint64 p) {
            QMutexLocker l(&lock);
            progress << p;
        }, Qt::DirectConnection);
        QObject::connect(&w, &Worker::threadIsFailed, &w, [this] { failed = true; },
                         Qt::DirectConnection);
        QObject::connect(&w, &Worker::threadIsSuccessful, &w, [this] { succeeded = true; },
                         Qt::DirectConnection);
    }
};

DiskNode nodeOf(const Card &card) {
    return card.device ? DiskRegistry::instance().diskOf(card.path)
                       : DiskRegistry::instance().registerFile(card.file);
}

// The card's bytes in [at, at + n).
QByteArray cardBytes(const Card &card, quint64 at, quint64 n) {
    const quint64 ss = card.sectorBytes;
    return readSectors(card.handle, at / ss, (at % ss + n + ss - 1) / ss, ss)
        .mid(int(at % ss), int(n));
}

struct WriterCase {
    const char *what;
    bool loop;
    int sectorSize;
    std::string parts;
};

class BringupCard : public ::testing::TestWithParam<WriterCase> {};

TEST_P(BringupCard, ComponentsLieAtTheirPartitionsTheTableDescribesThemAndTheMarkIsSet) {
    const WriterCase &c = GetParam();
    Card card(64 * kMiB, c.sectorSize, c.loop);
    NEED_CARD(card);
    // A card that was used before: whatever is not written keeps its bytes.
    const QByteArray old(int(card.diskSize), '\x5A');
    ASSERT_TRUE(writeSectors(card.handle, old.constData(), 0, card.diskSize / card.sectorBytes,
                             card.sectorBytes));
    const QString path = makeImage("card_image.img", c.parts,
                                   {{"spl", "spl", 40000},
                                    {"uboot", "boot;boot_bak", 700001},
                                    {"image.target.kernel", "kernel;missing", 3 * kMiB},
                                    {"image.updater.script", "rootfs", 4096},
                                    {"unplaced", "", 4096},
                                    {"empty", "rootfs", 0}});
    ImageFile image;
    image.setPath(path);
    ASSERT_EQ(image.loadHeader(), 0);
    CardDisk disk;
    ASSERT_TRUE(disk.setDisk(nodeOf(card)));

    MsgCapture msgs;
    Job job;
    {
        CardThread worker(&image, &disk);
        job.watch(worker);
        worker.start();
        worker.wait();
    }
    ASSERT_TRUE(job.succeeded) << msgs.of(QtCriticalMsg).join('\n').toStdString();
    EXPECT_FALSE(job.failed);
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Failed to find part: \"missing\""));
    EXPECT_EQ(quint64(job.progress.last()), CardThread::plannedBytes(&image, card.sectorBytes));
    EXPECT_TRUE(std::is_sorted(job.progress.begin(), job.progress.end()));

    // Each written component where sfdisk says its partition begins.
    const QJsonObject t = sfdisk(card.path);
    EXPECT_EQ(t.value("id").toString(), CARD_DISK_GUID);
    QHash<QString, quint64> start;
    QSet<QString> uuids;
    for (const QJsonValue &v : t.value("partitions").toArray()) {
        const QJsonObject p = v.toObject();
        start[p.value("name").toString()] = quint64(p.value("start").toDouble()) * card.sectorBytes;
        uuids.insert(p.value("uuid").toString());
    }
    EXPECT_EQ(uuids.size(), 5);
    const FwcMeta *meta = image.meta();
    QFile img(path);
    ASSERT_TRUE(img.open(QIODevice::ReadOnly));
    const QByteArray all = img.readAll();
    auto data = [&](int i) { return all.mid(int(meta[i].offset), int(meta[i].size)); };
    EXPECT_EQ(cardBytes(card, start["spl"], 40000), data(1));
    EXPECT_EQ(cardBytes(card, start["boot"], 700001), data(2));
    EXPECT_EQ(cardBytes(card, start["boot_bak"], 700001), data(2));
    EXPECT_EQ(cardBytes(card, start["kernel"], 3 * kMiB), data(3));
    EXPECT_EQ(cardBytes(card, start["rootfs"], 8192), old.left(8192)) << "updater written";
    EXPECT_TRUE(run("sgdisk", {"-v", card.path}).contains("No problems found"));
    EXPECT_TRUE(run("blkid", {"-p", card.path}).contains("PTTYPE=\"gpt\""));

    // The mark: the first 200 bytes only; the protective MBR stays.
    const QByteArray s0 = cardBytes(card, 0, 512);
    EXPECT_EQ(s0.left(7), QByteArray("KEL.FW\0", 7));
    EXPECT_EQ(quint8(s0[446 + 4]), 0xEE);
    EXPECT_EQ(s0.mid(510, 2), QByteArray("\x55\xAA", 2));
    EXPECT_TRUE(disk.markPlatform().isNull()) << "writing alone proves nothing";
    ASSERT_TRUE(disk.readImageMark());
    EXPECT_TRUE(disk.isSameImage(&image));
    EXPECT_EQ(disk.markVersion(), "2.1.0");

    QString why;
    EXPECT_FALSE(verifyBringupCard(
        &image, disk.disk(), [](quint64) { return false; }, &why));
    EXPECT_EQ(why, "interrupted");
    EXPECT_TRUE(verifyBringupCard(&image, disk.disk(), nullptr, &why)) << why.toStdString();
    const char bad = '\x01';
    ASSERT_TRUE(writeSectors(card.handle, cardBytes(card, start["boot_bak"], card.sectorBytes)
                                              .replace(5, 1, &bad, 1)
                                              .constData(),
                             start["boot_bak"] / card.sectorBytes, 1, card.sectorBytes));
    EXPECT_FALSE(verifyBringupCard(&image, disk.disk(), nullptr, &why));
    EXPECT_TRUE(why.contains("uboot differs on the card in partition boot_bak")) << why.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Cards, BringupCard,
    ::testing::Values(WriterCase{"file", false, 512, "1m(spl),2m(boot),2m(boot_bak),8m(kernel),-(rootfs)"},
                      WriterCase{"loop", true, 512, "1m(spl),2m(boot),2m(boot_bak),8m(kernel),-(rootfs)"},
                      WriterCase{"loop4k", true, 4096,
                                 "1m@0x100000(spl),2m(boot),2m(boot_bak),8m(kernel),-(rootfs)"}),
    [](const ::testing::TestParamInfo<WriterCase> &i) { return std::string(i.param.what); });

TEST(BringupCard, WhatCannotBeLaidOutIsRefusedBeforeAnythingIsWritten) {
    struct Refusal {
        std::string parts;
        size_t kernelSize;
        const char *why;
        Failure::Code code;
    } cases[] = {
        {"1m(spl),1m(kernel),-(rootfs)", 2 * kMiB, "does not fit partition kernel",
         Failure::ImageMismatch},
        {"1m(spl),100m(kernel)", 4096, "past the usable end", Failure::ImageMismatch},
        {"-(spl),1m(kernel)", 4096, "not the last one", Failure::ImageCorrupt},
        {"1m@0x200(spl),1m(kernel)", 4096, "inside the partition table", Failure::ImageMismatch},
    };
    for (const Refusal &r : cases) {
        Card card(16 * kMiB, 512, false);
        QByteArray before(int(card.diskSize), '\x33');
        ASSERT_TRUE(writeSectors(card.handle, before.constData(), 0, card.diskSize / 512, 512));
        ImageFile image;
        image.setPath(makeImage("refused.img", r.parts,
                                {{"spl", "spl", 4096}, {"kernel", "kernel", r.kernelSize}}));
        ASSERT_EQ(image.loadHeader(), 0);
        CardDisk disk;
        disk.setDisk(nodeOf(card));
        MsgCapture msgs;
        Job job;
        Failure why;
        {
            CardThread worker(&image, &disk);
            job.watch(worker);
            worker.start();
            worker.wait();
            why = worker.failure();
        }
        EXPECT_TRUE(job.failed) << r.parts;
        // The first line that says why is the reason, with the code of its kind.
        EXPECT_TRUE(why.message().contains(r.why)) << why.message().toStdString();
        EXPECT_EQ(why.code(), r.code) << r.parts;
        EXPECT_TRUE(job.progress.isEmpty()) << r.parts;
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, r.why)) << r.parts;
        EXPECT_TRUE(card.bytes() == before) << r.parts;
    }
}

TEST(BringupCard, ACardPulledOutMidWriteFailsWithoutHanging) {
    Card card(64 * kMiB, 512, true);
    NEED_CARD(card);
    ImageFile image;
    image.setPath(makeImage("big.img", "1m(spl),-(rootfs)", {{"rootfs", "rootfs", 32 * kMiB}}));
    ASSERT_EQ(image.loadHeader(), 0);
    CardDisk disk;
    disk.setDisk(nodeOf(card));
    MsgCapture msgs;
    Job job;
    CardThread worker(&image, &disk);
    job.watch(worker);
    worker.pause();  // held at the first chunk boundary, once the copy has begun
    worker.start();
    ASSERT_TRUE(waitFor([&] {
        QMutexLocker l(&job.lock);
        return !job.progress.isEmpty();
    }));
    // The reader loses its medium: the device shrinks to nothing, then goes.
    // (Detaching alone waits for the last user to close it.)
    QFile::resize(card.file, 0);
    ASSERT_EQ(run("losetup", {"--set-capacity", card.path}).trimmed(), "");
    run("losetup", {"--detach", card.path});
    worker.resume();
    ASSERT_TRUE(worker.wait(60000));
    EXPECT_TRUE(job.failed);
    EXPECT_FALSE(job.succeeded);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Failed to rewrite!"));
    EXPECT_EQ(worker.failure().code(), Failure::DiskIo);
    EXPECT_TRUE(worker.failure().message().startsWith("Write data to handle error: "))
        << worker.failure().message().toStdString();
    card.device->node.clear();  // already detached
}

// While a job writes a card it has the card to itself, and the card says it
// holds nothing: a job killed at this point leaves no old mark or table over
// half of the new data.
TEST(BringupCard, AJobHoldsItsCardAndClearsItsMarkAndTableBeforeTheData) {
    Card card(64 * kMiB, 512, true);
    NEED_CARD(card);
    ImageFile image;
    image.setPath(makeImage("held.img", "1m(spl),-(rootfs)", {{"rootfs", "rootfs", 32 * kMiB}}));
    ASSERT_EQ(image.loadHeader(), 0);
    CardDisk disk;
    ASSERT_TRUE(disk.setDisk(nodeOf(card)));
    Job first, second, third;
    {
        CardThread worker(&image, &disk);
        first.watch(worker);
        worker.start();
        worker.wait();
    }
    ASSERT_TRUE(first.succeeded);
    ASSERT_TRUE(disk.readImageMark());
    const quint64 last = card.diskSize / 512 - 1;
    ASSERT_TRUE(cardBytes(card, last * 512, 8).startsWith("EFI PART"));

    MsgCapture msgs;
    CardThread held(&image, &disk);
    second.watch(held);
    held.pause();
    held.start();
    ASSERT_TRUE(waitFor([&] {
        QMutexLocker l(&second.lock);
        return !second.progress.isEmpty();
    }));
    EXPECT_FALSE(disk.readImageMark());
    EXPECT_EQ(cardBytes(card, 512, 512), QByteArray(512, '\0')) << "the primary GPT header is left";
    EXPECT_EQ(cardBytes(card, last * 512, 512), QByteArray(512, '\0')) << "the backup GPT header is left";
    {
        CardThread other(&image, &disk);
        third.watch(other);
        other.start();
        other.wait();
        EXPECT_EQ(other.failure().code(), Failure::CardInUse);
    }
    EXPECT_TRUE(third.failed);
    EXPECT_TRUE(third.progress.isEmpty());
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, card.path + " is in use"));
    held.stop();
    held.resume();
    ASSERT_TRUE(held.wait(60000));
    EXPECT_FALSE(second.succeeded);
}

// The card listed is the card written: the same node attached to another file
// between the list and the job holds another card (a new disk sequence
// number), which neither job touches; the job ends with card-changed.
TEST(CardJobs, ACardChangedSinceItWasListedIsRefusedUntouched) {
    ImageFile image;
    image.setPath(makeImage("changed.img", "1m(spl),-(rootfs)", {{"spl", "spl", 4096}}));
    ASSERT_EQ(image.loadHeader(), 0);
    for (const bool format : {false, true}) {
        Card card(8 * kMiB, 512, true);
        NEED_CARD(card);
        closeDiskHandle(card.handle);
        card.handle = kInvalidDisk;
        const QString node = card.path;
        card.device->detach();
        const QByteArray other(int(8 * kMiB), '\x42');
        QFile otherFile("other.img");
        ASSERT_TRUE(otherFile.open(QIODevice::WriteOnly) && otherFile.write(other) == other.size());
        otherFile.close();
        ASSERT_EQ(run("losetup", {node, "other.img"}), "");
        CardDisk disk;
        ASSERT_TRUE(disk.setDisk(card.disk));
        MsgCapture msgs;
        Job job;
        Failure why;
        if (format) {
            KelFormatSDCard worker(false, &disk);
            job.watch(worker);
            worker.start();
            worker.wait();
            why = worker.failure();
        } else {
            CardThread worker(&image, &disk);
            job.watch(worker);
            worker.start();
            worker.wait();
            why = worker.failure();
        }
        run("losetup", {"--detach", node});
        EXPECT_TRUE(job.failed) << format;
        EXPECT_EQ(why.code(), Failure::CardChanged) << why.message().toStdString();
        EXPECT_EQ(why.message(), node +
                                     " is no longer the card that was chosen (it was changed "
                                     "since); nothing was written");
        ASSERT_TRUE(otherFile.open(QIODevice::ReadOnly));
        EXPECT_TRUE(otherFile.readAll() == other) << format;
        otherFile.close();
    }
}

TEST(CardDisk, TheSystemDiskAndAMarkWithoutItsZeroAreRefused) {
    MsgCapture msgs;
    CardDisk disk;
    DiskNode system = DiskRegistry::instance().disk(0);
    system.number = 0;
    EXPECT_FALSE(disk.setDisk(system));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Are you crazy? Dont't touch Disk 0!"));
    DiskNode unlisted;
    unlisted.number = -3;
    EXPECT_FALSE(disk.setDisk(unlisted));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Invalid Disk ID -3"));
    EXPECT_FALSE(disk.checkAdmin());

    Card card(1 * kMiB, 512, false);
    ASSERT_TRUE(disk.setDisk(nodeOf(card)));
    ASSERT_TRUE(writeSectors(card.handle, QByteArray("KEL.FWX").leftJustified(512, '\0').constData(),
                             0, 1, 512));
    EXPECT_FALSE(disk.readImageMark());
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Failed to find magic number"));
    EXPECT_FALSE(disk.hasImageMark());
}

struct FormatCase {
    const char *what;
    bool loop;
    const char *before;  // a table to start from: "gpt", "mbr" or none
    bool mbr;
};

class Formatter : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Formatter, OneFat32VolumeOverTheWholeCard) {
    const FormatCase &c = GetParam();
    Card card(64 * kMiB, 512, c.loop);
    NEED_CARD(card);
    if (QByteArray(c.before) == "gpt") {
        ASSERT_TRUE(writeGptTable(card.handle, card.path, card.diskSize, 512));
    } else if (QByteArray(c.before) == "mbr") {
        ASSERT_TRUE(writeMbrTable(card.handle, card.path, card.diskSize, 512));
    }
    CardDisk disk;
    ASSERT_TRUE(disk.setDisk(nodeOf(card)));
    MsgCapture msgs;
    Job job;
    {
        KelFormatSDCard worker(c.mbr, &disk);
        job.watch(worker);
        worker.start();
        worker.wait();
    }
    ASSERT_TRUE(job.succeeded) << msgs.of(QtCriticalMsg).join('\n').toStdString();
    EXPECT_EQ(job.progress, (QList<qint64>{10, 20, 50, 100}));
    const QJsonObject t = sfdisk(card.path);
    EXPECT_EQ(t.value("label").toString(), c.mbr ? "dos" : "gpt");
    const QJsonArray parts = t.value("partitions").toArray();
    ASSERT_EQ(parts.size(), 1);
    const quint64 offset = quint64(parts[0].toObject().value("start").toDouble()) * 512;
    EXPECT_EQ(offset, c.mbr ? 65536u : 17408u);
    // The volume as other tools see it: on its node, or inside the image file.
    const QString volume = c.loop ? card.path + "p1" : card.file + "@@" + QString::number(offset);
    if (c.loop) {
        EXPECT_TRUE(run("blkid", {"-p", volume}).contains("TYPE=\"vfat\"")) << run("blkid", {"-p", volume}).toStdString();
        EXPECT_TRUE(run("fsck.fat", {"-n", volume}).contains("0 files"));
    }
    EXPECT_TRUE(run("minfo", {"-i", c.loop ? volume : volume}).contains("sector size: 512 bytes"));
    EXPECT_TRUE(run("mdir", {"-i", volume}).contains("No files"));
    if (!c.mbr) {
        EXPECT_TRUE(run("sgdisk", {"-v", card.path}).contains("No problems found"));
    } else {
        // Nothing of a GPT is left beside the MBR.
        EXPECT_FALSE(run("wipefs", {card.path}).contains("gpt")) << run("wipefs", {card.path}).toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Formatter,
    ::testing::Values(FormatCase{"rawToMbr", true, "", true},
                      FormatCase{"gptToMbr", true, "gpt", true},
                      FormatCase{"mbrToGpt", true, "mbr", false},
                      FormatCase{"fileMbrToGpt", false, "mbr", false},
                      FormatCase{"fileGptToMbr", false, "gpt", true}),
    [](const ::testing::TestParamInfo<FormatCase> &i) { return std::string(i.param.what); });

TEST(Formatter, AFailingFormatCommandIsReportedWithItsCommandLine) {
    // mkfs.fat formats whatever it is given, so a refusal needs a stand-in:
    // the first mkfs.fat on the PATH exits with status 1.
    QTemporaryDir bin;
    QFile fake(bin.filePath("mkfs.fat"));
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\necho refused >&2\nexit 1\n");
    fake.close();
    fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit() + ":" + path);
    Card card(2 * kMiB, 512, false);
    CardDisk disk;
    ASSERT_TRUE(disk.setDisk(nodeOf(card)));
    MsgCapture msgs;
    Job job;
    Failure why;
    {
        KelFormatSDCard worker(false, &disk);
        job.watch(worker);
        worker.start();
        worker.wait();
        why = worker.failure();
    }
    qputenv("PATH", path);
    // The tool's own words are the reason.
    EXPECT_EQ(why, Failure(Failure::DiskIo, "mkfs.fat failed: refused"));
    EXPECT_TRUE(job.failed);
    EXPECT_EQ(job.progress, (QList<qint64>{10, 20, 50}));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Failed to do: mkfs.fat -F 32 -S 512 --offset=34"));
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Failed to format SDCard!"));
}

}  // namespace
