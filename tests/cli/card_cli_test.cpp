// kelflash-cli card end to end: the command in a child process making card
// images and loop-device cards, and its refusals.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "card_common.h"
#include "card_fixture.h"
#include "parttable.h"
#include "cli.h"
#include "pack_sample.h"

namespace {

const quint64 kMiB = 1 << 20;

struct CliRun {
    int status = -1;
    QByteArray out, err;
};

CliRun cli(const QStringList &args) {
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QString::fromLocal8Bit(qgetenv("KELFLASH_BINARY_DIR")) + "/cli/kelflash-cli", args);
    CliRun r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "kelflash-cli did not end";
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString sampleImage(const char *media = "mmc") {
    ImagePackSpec spec = packtest::evbSpec();
    spec.mediaType = media;
    spec.components.push_back(image_pack_env_component({"parts_mmc=1m(spl),8m(kernel),-(rootfs)"}));
    spec.components.push_back(
        packtest::component("spl", "spl", packtest::fillBytes(30000, 1, 3), "run"));
    spec.components.push_back(
        packtest::component("kernel", "kernel", packtest::fillBytes(5 * kMiB, 2, 3), "burn"));
    const QString path = QDir::current().absoluteFilePath(QString("sample-%1.img").arg(media));
    std::string error;
    EXPECT_EQ(image_pack_write(spec, path.toStdString(), &error), 0) << error;
    return path;
}

QJsonObject lastJson(const QByteArray &out) {
    return QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
}

class CardCli : public ::testing::TestWithParam<bool> {};

// What an operator does: a card (image) written and verified, then formatted.
TEST_P(CardCli, WriteVerifyAndFormat) {
    const bool loop = GetParam();
    const QString image = sampleImage();
    QString device = QDir::current().absoluteFilePath("card.img");
    QFile::remove(device);
    QStringList extra{"--size", "64M"};
    std::unique_ptr<LoopDevice> dev;
    if (loop) {
        QFile f(device);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.resize(qint64(64 * kMiB));
        f.close();
        dev = std::make_unique<LoopDevice>(device, 512);
        if (dev->node.isEmpty()) {
            GTEST_SKIP() << "no loop device could be attached (needs root)";
        }
        device = dev->node;
        extra = QStringList{"--yes", "--force"};
    }
    CliRun r = cli(QStringList{"card", "write", image, "--device", device, "--verify", "--json"} + extra);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(lastJson(r.out).value("ok").toBool()) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("\"stage\":\"verify\""));
    const QJsonObject t = sfdisk(device);
    EXPECT_EQ(t.value("label").toString(), "gpt");
    EXPECT_EQ(t.value("partitions").toArray().size(), 3);
    EXPECT_TRUE(run("sgdisk", {"-v", device}).contains("No problems found"));
    EXPECT_TRUE(run("blkid", {"-p", device}).contains("PTTYPE=\"gpt\""));
    if (!loop) {
        struct stat st {};
        ASSERT_EQ(stat(QFile::encodeName(device).constData(), &st), 0);
        EXPECT_EQ(st.st_size, qint64(64 * kMiB));
        EXPECT_LT(st.st_blocks * 512, 16 * qint64(kMiB)) << "the card image is not sparse";
    }

    r = cli(QStringList{"card", "format", "--device", device, "--yes"} + (loop ? QStringList{"--force"} : QStringList{}));
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("SUCCESS:"));
    const QString volume = loop ? device + "p1" : device + "@@17408";
    if (loop) {
        EXPECT_TRUE(run("fsck.fat", {"-n", volume}).contains("0 files"));
    }
    EXPECT_TRUE(run("mdir", {"-i", volume}).contains("No files")) << run("mdir", {"-i", volume}).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Targets, CardCli, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "loop" : "file");
                         });

TEST(CardCli, RefusalsLeaveTheCardAsItWas) {
    const QString image = sampleImage();
    // The same image with one byte changed inside its last component.
    QFile good(image);
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    QByteArray bytes = good.readAll();
    const QString sha = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    bytes[bytes.size() - 1] = char(bytes[bytes.size() - 1] ^ 0x01);
    const QString damaged = QDir::current().absoluteFilePath("damaged.img");
    QFile out(damaged);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    out.close();
    const QString card = QDir::current().absoluteFilePath("kept.img");
    QFile f(card);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray(int(4 * kMiB), '\x42'));
    f.close();
    struct Refusal {
        QStringList args;
        int status;
        const char *why;
    } cases[] = {
        {{"write", image, "--device", card}, 2, "give --yes to confirm without a terminal"},
        {{"format", "--device", card}, 2, "give --yes"},
        {{"write", sampleImage("nand"), "--device", card, "--yes"}, 1, "not for SD cards (mmc)"},
        {{"write", image, "--device", card, "--yes"}, 1, "cannot be laid out"},
        {{"write", image, "--device", "missing.img", "--yes"}, 1, "give --size to create"},
        {{"write", damaged, "--device", card, "--yes", "--sha256", sha},
         1,
         "is not the image expected"},
        {{"write", damaged, "--device", card, "--yes", "--check-crc"},
         1,
         "the data of kernel does not match"},
        {{"format", "--device", card, "--yes", "--size", "1M"}, 1, "larger than --size"},
    };
    for (const Refusal &c : cases) {
        const CliRun r = cli(QStringList{"card"} + c.args);
        EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.why)) << r.err.toStdString();
        QFile back(card);
        ASSERT_TRUE(back.open(QIODevice::ReadOnly));
        EXPECT_TRUE(back.readAll() == QByteArray(int(4 * kMiB), '\x42')) << c.args.join(' ').toStdString();
    }
    EXPECT_FALSE(QFile::exists("missing.img"));
}

// Disks are only ever asked about here: the decision is made before anything
// could be opened for writing.
TEST(CardCli, TheSystemDiskAPartitionAndAFixedDiskAreRefused) {
    DiskRegistry::instance().refresh();
    struct Case {
        QString device;
        bool force;
        const char *why;
    };
    std::vector<Case> cases;
    const QString system = DiskRegistry::instance().path(0);
    struct stat st {};
    if (stat(QFile::encodeName(system).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
        cases.push_back({system, true, "holds the running system and is never written"});
    }
    Card loop(8 * kMiB, 512, true);
    if (loop.device && !loop.device->node.isEmpty()) {
        ASSERT_TRUE(writeGptTable(loop.handle, loop.path, loop.diskSize, 512));
        cases.push_back({loop.path, false, "is not a removable disk (--force writes it anyway)"});
        cases.push_back({loop.path + "p1", true, "is a partition; give the whole card"});
    }
    if (cases.empty()) {
        GTEST_SKIP() << "neither the system disk nor a loop device is a block device here";
    }
    for (const Case &c : cases) {
        CardTargetOptions o;
        o.device = c.device;
        o.force = c.force;
        o.yes = true;
        CardTarget target;
        QString error;
        int status = 0;
        EXPECT_FALSE(kelcli_card_target("format", o, &target, &error, &status)) << c.device.toStdString();
        EXPECT_TRUE(error.contains(c.why)) << error.toStdString();
        EXPECT_EQ(status, KELCLI_FAIL);
    }
}

}  // namespace
