// kelflash-cli card end to end: the command in a child process making card
// images and loop-device cards, and its refusals.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
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

QString cliPath() {
    return QString::fromLocal8Bit(qgetenv("KELFLASH_BINARY_DIR")) + "/cli/kelflash-cli";
}

// With `setup`, the command runs in a mount namespace of its own after the
// setup's shell commands.
CliRun cli(const QStringList &args, const QString &setup = QString()) {
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    if (setup.isEmpty()) {
        p.start(cliPath(), args);
    } else {
        p.start("unshare", QStringList{"-m", "--propagation", "private", "sh", "-c",
                                       setup + " && exec \"$0\" \"$@\"", cliPath()} + args);
    }
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
    QFile::remove("made.img");  // a run before may have left it
    QFile source(image);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray imageBytes = source.readAll();
    struct Refusal {
        QStringList args;
        int status;
        const char *why;
    } cases[] = {
        {{"write", image, "--device", card}, 2, "give --yes to confirm without a terminal"},
        {{"format", "--device", card}, 2, "give --yes"},
        {{"write", image, "--device", image, "--yes"}, 1, "is the card itself"},
        {{"write", image, "--device", "/dev/kelflash-test-no-card", "--size", "64M", "--yes"}, 1,
         "a card image is not made under /dev"},
        {{"write", image, "--device", "made.img", "--size", "1M"}, 1, "cannot be laid out"},
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
    EXPECT_FALSE(QFile::exists("made.img")) << "a card image made for a failed write is left";
    EXPECT_FALSE(QFile::remove("/dev/kelflash-test-no-card")) << "a file was made in /dev";
    ASSERT_TRUE(source.seek(0));
    EXPECT_TRUE(source.readAll() == imageBytes) << "the image was written over";
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
    const QString system = DiskRegistry::instance().disk(0).path;
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

// A card a file system, a volume manager or another program holds is not
// written: not under a mount that cannot go, not under one in another mount
// namespace, not when the system's own /var rests on it through an overlay or
// a loop device.
TEST(CardCli, ACardInUseIsNotWritten) {
    const QString image = sampleImage();
    Card card(64 * kMiB, 512, true);
    NEED_CARD(card);
    ASSERT_TRUE(writeGptTable(card.handle, card.path, card.diskSize, 512));
    const QString part = card.path + "p1";
    for (int i = 0; i < 100 && !QFile::exists(part); ++i) {
        usleep(50000);
    }
    run("mkfs.ext4", {"-q", "-F", part});
    const QString m = QDir::current().absoluteFilePath("mnt"), t = QDir::current().absoluteFilePath("tmp");
    QDir().mkpath(m);
    QDir().mkpath(t);
    const QString mount = "mount " + part + " " + m;
    const QString overlay = mount + " && mkdir -p " + m + "/l && mount -t tmpfs t " + t + " && mkdir -p " + t +
                            "/u " + t + "/w && mount -t overlay ov -o lowerdir=" + m + "/l,upperdir=" + t +
                            "/u,workdir=" + t + "/w /var";
    const QString loop = mount + " && truncate -s 8M " + m + "/var.img && mkfs.ext4 -q " + m +
                         "/var.img && mount -o loop " + m + "/var.img /var";
    struct InUse {
        QString setup;  // empty: mounted in another namespace
        QString why;
    } cases[] = {{mount + " && cd " + m, "Cannot unmount " + m + " (on " + card.path + "): Device or resource busy"},
                 {QString(), card.path + " is in use by the system"},
                 {overlay, card.path + " holds the running system"},
                 {loop, card.path + " holds the running system"}};
    for (const InUse &c : cases) {
        QProcess holder;
        if (c.setup.isEmpty()) {
            holder.start("unshare", {"-m", "--propagation", "private", "sh", "-c", mount + " && echo ready && exec sleep 60"});
            ASSERT_TRUE(holder.waitForReadyRead(10000));
        }
        for (const QString command : {"write", "format"}) {
            QStringList args{"card", command, "--device", card.path, "--yes", "--force"};
            if (command == "write") {
                args.insert(2, image);
            }
            const CliRun r = cli(args, c.setup);
            EXPECT_EQ(r.status, 1) << c.why.toStdString();
            EXPECT_TRUE(r.err.contains(c.why.toUtf8())) << r.err.toStdString();
            EXPECT_TRUE(run("blkid", {"-p", part}).contains("TYPE=\"ext4\"")) << c.why.toStdString();
            EXPECT_FALSE(readSectors(card.handle, 0, 1, 512).startsWith("KEL.FW")) << c.why.toStdString();
        }
        holder.kill();
        holder.waitForFinished();
    }
}

// The file asked about is the file written: a link to another card, or another
// file, put in its place while the operator is asked is refused.
TEST(CardCli, AFileSwappedDuringTheQuestionIsNotWritten) {
    const QString image = sampleImage();
    for (const bool link : {true, false}) {
        QFile::remove("asked.img");
        QFile::remove("other.img");
        QFile asked("asked.img"), other("other.img");
        ASSERT_TRUE(asked.open(QIODevice::WriteOnly) && asked.resize(qint64(64 * kMiB)));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly) && other.write(QByteArray(int(kMiB), '\x42')) > 0);
        other.resize(qint64(64 * kMiB));
        asked.close();
        other.close();
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
        QProcess p;
        p.setStandardInputFile(QString::fromLatin1(ptsname(terminal)));
        p.setReadChannel(QProcess::StandardError);
        p.start(cliPath(), {"card", "write", image, "--device", "asked.img"});
        QByteArray err;
        while (!err.contains("Type 'yes'") && p.waitForReadyRead(10000)) {
            err += p.readAllStandardError();
        }
        ASSERT_TRUE(err.contains("Type 'yes'")) << err.toStdString();
        QFile::remove("asked.img");
        ASSERT_TRUE(link ? QFile::link(QDir::current().absoluteFilePath("other.img"), "asked.img")
                         : QFile::rename("other.img", "asked.img"));
        ASSERT_EQ(write(terminal, "yes\n", 4), 4);
        ASSERT_TRUE(p.waitForFinished(60000));
        ::close(terminal);
        err += p.readAllStandardError();
        EXPECT_EQ(p.exitCode(), 1) << err.toStdString();
        EXPECT_TRUE(err.contains("is no longer the file that was chosen")) << err.toStdString();
        QFile back("asked.img");
        ASSERT_TRUE(back.open(QIODevice::ReadOnly));
        EXPECT_TRUE(back.read(qint64(kMiB)) == QByteArray(int(kMiB), '\x42')) << (link ? "link" : "file");
    }
}

TEST(CardCli, AWriteProtectedCardIsSaidToBeSo) {
    const QString image = sampleImage();
    const QString file = QDir::current().absoluteFilePath("locked.img");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.resize(qint64(64 * kMiB)));
    f.close();
    LoopDevice locked(file, 512, false, true);
    if (locked.node.isEmpty()) {
        GTEST_SKIP() << "no loop device could be attached (needs root)";
    }
    for (const QStringList &args : {QStringList{"write", image}, QStringList{"format"}}) {
        const CliRun r = cli(QStringList{"card"} + args + QStringList{"--device", locked.node, "--yes", "--force"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains(locked.node.toUtf8() + " is write-protected")) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Failed to rewrite")) << r.err.toStdString();
    }
}

// A card the job cannot open: the job's own reason and its code are the
// result, for either command.
TEST(CardCli, ACardThatCannotBeOpenedGivesItsReasonAndCode) {
    const QString image = sampleImage();
    const QString card = QDir::current().absoluteFilePath("shut.img");
    QFile f(card);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.resize(qint64(16 * kMiB)));
    f.close();
    // Root may not write an immutable file, anyone else a read-only one.
    const bool root = getuid() == 0;
    ASSERT_EQ(root ? run("chattr", {"+i", card}) : QString(), "");
    QFile::setPermissions(card, QFile::ReadOwner);
    for (const QStringList &args : {QStringList{"write", image}, QStringList{"format"}}) {
        const CliRun r =
            cli(QStringList{"card"} + args + QStringList{"--device", card, "--yes", "--json"});
        EXPECT_EQ(r.status, 1) << r.err.toStdString();
        const QJsonObject result = lastJson(r.out);
        EXPECT_EQ(result.value("event").toString(), "result") << r.out.toStdString();
        EXPECT_FALSE(result.value("ok").toBool(true));
        EXPECT_EQ(result.value("code").toString(), "card-unavailable") << r.out.toStdString();
        EXPECT_TRUE(
            result.value("message").toString().startsWith("Get handle on the device error: "))
            << r.out.toStdString();
    }
    if (root) {
        run("chattr", {"-i", card});
    }
    QFile::setPermissions(card, QFile::ReadOwner | QFile::WriteOwner);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll() == QByteArray(int(16 * kMiB), '\0'));
}

// Whatever ends a --json run, its last line is the result.
TEST(CardCli, EveryJsonRunEndsWithItsResult) {
    const QString image = sampleImage();
    const QString card = QDir::current().absoluteFilePath("json.img");
    QFile f(card);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.resize(qint64(16 * kMiB)));
    f.close();
    struct Case {
        QStringList args;
        int status;
        const char *why;
    } cases[] = {
        {{"write", image, "--device", card}, 2, "give --yes to confirm without a terminal"},
        {{"write", image, "--yes"}, 2, "--device is required"},
        {{"format", "--size", "12Q", "--device", card}, 2, "invalid size '12Q'"},
        {{"write", "no-such.img", "--device", card, "--yes"}, 1, "cannot read"},
    };
    for (const Case &c : cases) {
        const CliRun r = cli(QStringList{"card"} + c.args + QStringList{"--json"});
        EXPECT_EQ(r.status, c.status) << c.why;
        const QJsonObject result = lastJson(r.out);
        EXPECT_EQ(result.value("event").toString(), "result") << c.why << r.out.toStdString();
        EXPECT_TRUE(result.value("message").toString().contains(c.why)) << r.out.toStdString();
        EXPECT_LT(result.value("seconds").toDouble(), 10) << "the seconds since the system started";
    }
    const CliRun help = cli({"card", "write", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains("Usage: kelflash-cli card")) << help.err.toStdString();

    // Ctrl-C during a format (it waits a second after its second stage).
    QProcess p;
    p.start(cliPath(), {"card", "format", "--device", card, "--yes", "--json"});
    QByteArray out;
    while (!out.contains("\"percent\":20") && p.waitForReadyRead(10000)) {
        out += p.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("\"percent\":20")) << out.toStdString();
    kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    out += p.readAllStandardOutput();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(lastJson(out).value("message").toString().startsWith("interrupted by SIGINT")) << out.toStdString();
}

}  // namespace
