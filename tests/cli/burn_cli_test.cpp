// kelflash-cli burn end to end: the command line burner in a child process,
// the board in kelsim on an emulated USB bus.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "burn_cli_run.h"
#include "burn_util.h"

namespace {

// Reads the child's stdout until it contains `text`; false if it ends first.
bool waitForLine(QProcess &p, QByteArray *out, const QByteArray &text) {
    while (!out->contains(text)) {
        if (!p.waitForReadyRead(60000))
            return false;
        *out += p.readAllStandardOutput();
    }
    return true;
}

const std::vector<SampleComponent> kImage = {
    {"spl", "spl", "run", 30000},
    {"uboot", "boot", "burn", 200000},
    {"image.target.rootfs", "rootfs", "burn", 1500000},
};

}  // namespace

TEST(BurnCli, JsonBurnStoresTheImage) {
    auto want = writeImage("cli.img", kImage);
    CliRun r = run({"--dump", "dump"}, {"cli.img", "--first", "--json"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    auto lines = jsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front()["event"].toString(), "start");
    EXPECT_EQ(lines.back()["event"].toString(), "result");
    EXPECT_TRUE(lines.back()["ok"].toBool());
    int stages = 0, done = 0, linked = 0;
    double lastBytes = -1;
    for (const auto &o : lines) {
        const QString ev = o["event"].toString();
        stages += ev == "stage" ? 1 : 0;
        linked += ev == "linked" ? 1 : 0;
        done += ev == "component" && o["state"].toString() == "done" ? 1 : 0;
        if (ev == "progress") {
            EXPECT_GE(o["bytes"].toDouble(), lastBytes);
            lastBytes = o["bytes"].toDouble();
            EXPECT_LE(o["percent"].toDouble(), 100.0);
        }
    }
    EXPECT_EQ(stages, 1);
    EXPECT_EQ(linked, 1);
    EXPECT_EQ(done, 4);
    expectBoardHolds("dump", want);
}

TEST(BurnCli, FailingBurnExitsOneWithTheMessage) {
    writeImage("fail.img", kImage);
    // The board never comes back after its boot loader.
    CliRun r = run({"--run-away", "600000"}, {"fail.img", "--first", "--json", "--retries", "0"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    auto lines = jsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    const QJsonObject result = lines.back();
    EXPECT_EQ(result["event"].toString(), "result");
    EXPECT_FALSE(result["ok"].toBool());
    EXPECT_EQ(result["message"].toString(), "Dev 1:4 is completely lost!");

    // The same without --json: the message on stderr.
    CliRun plain = run({"--fail-cmd", "0x10"}, {"fail.img", "--first"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_TRUE(plain.err.contains("FAIL: Failed to send the meta information!"))
        << plain.err.toStdString();

    // A board left in U-Boot: the way out is named before the burn, and --force
    // takes it (the board is switched into upgrade work mode).
    CliRun uboot = run({"--stage", "uboot"}, {"fail.img", "--first", "--no-reboot"});
    EXPECT_TRUE(uboot.err.contains("is in U-Boot; burn it with --force")) << uboot.err.toStdString();
    CliRun forced = run({"--stage", "uboot"}, {"fail.img", "--first", "--no-reboot", "--force"});
    EXPECT_FALSE(forced.err.contains("is in U-Boot")) << forced.err.toStdString();
}

TEST(BurnCli, PartsAndUsageErrors) {
    auto want = writeImage("parts.img", {{"spl", "spl", "run", 4096},
                                         {"image.target.boot", "boot", "burn", 5000},
                                         {"image.target.rootfs", "rootfs", "burn", 6000}});
    CliRun r =
        run({"--dump", "pdump"}, {"parts.img", "--first", "--parts", "rootfs", "--no-reboot"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(fileBytes("pdump/rootfs.bin"), want["rootfs"]);
    EXPECT_EQ(fileBytes("pdump/spl.bin"), want["spl"]) << "the boot loader stays selected";
    EXPECT_FALSE(QFile::exists("pdump/boot.bin"));
    EXPECT_FALSE(r.err.contains("Set upg work mode")) << "the routine switch is no warning";

    EXPECT_EQ(run({}, {"parts.img", "--first", "--parts", "nosuch"}).status, 2);
    EXPECT_EQ(run({}, {"parts.img"}).status, 2);
    EXPECT_EQ(run({}, {"parts.img", "--usb", "1:4", "--first"}).status, 2);
    EXPECT_EQ(run({}, {"parts.img", "--usb", "x"}).status, 2);
    EXPECT_EQ(run({}, {"missing.img", "--first"}).status, 1);
}

// Every failure before the burn, usage errors included, ends the JSON stream
// with its one result line; its message says why, and offers --force only
// where it could help.
TEST(BurnCli, EveryEarlyFailureEndsWithAResultLine) {
    writeImage("ok.img", kImage);
    writeImage("long.img", kImage, "1m(spl),1m(" + std::string(40, 'x') + "),-(rootfs)");
    unlink("fifo.img");
    ASSERT_EQ(mkfifo("fifo.img", 0600), 0);
    QDir().mkdir("dir.img");
    const struct {
        QStringList args;
        int status;
        QString message;
    } cases[] = {
        {{"ok.img", "--first", "--parts", "nosuch"}, 2, "the image has no partition 'nosuch'"},
        {{"long.img", "--first", "--parts", "rootfs"},
         1,
         "the image's partition list cannot be read: the partition list is malformed"},
        {{"ok.img", "--first", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"missing.img", "--first"},
         1,
         "'missing.img' is not a firmware image that can be read: Cannot open file missing.img: No "
         "such file or directory"},
        {{"dir.img", "--first"}, 1, "Is a directory"},
        {{"fifo.img", "--first"}, 1, "Is a FIFO, not a regular file"},
        {{"ok.img", "--usb", "1:9"}, 1, "cannot open the board at 1:9"},
        {{"ok.img", "--serial", "/nonexistent/tty"},
         1,
         "cannot open the board at /nonexistent/tty: Cannot open /nonexistent/tty: No such file"},
    };
    for (const auto &c : cases) {
        const QString what = c.args.join(' ');
        CliRun r = run({}, QStringList{"--json"} + c.args);
        EXPECT_EQ(r.status, c.status) << what.toStdString() << "\n" << r.err.toStdString();
        auto lines = jsonLines(r.out);
        ASSERT_EQ(lines.size(), 1u) << what.toStdString() << "\n" << r.out.toStdString();
        EXPECT_EQ(lines[0]["event"].toString(), "result");
        EXPECT_FALSE(lines[0]["ok"].toBool());
        const QString message = lines[0]["message"].toString();
        EXPECT_TRUE(message.contains(c.message))
            << what.toStdString() << ": " << message.toStdString();
        EXPECT_FALSE(message.contains("--force")) << what.toStdString();
    }
}

// SIGTERM or Ctrl-C ends the command at any moment with status 1 and a result
// line: while it waits for a board that does not answer, and during the burn
// while the board is away.
TEST(BurnCli, SignalEndsTheJobAtOnce) {
    writeImage("sig.img", kImage);

    // A serial port with nobody behind it: the command waits for the board.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    QProcess waiting;
    waiting.start(binary("cli/kelflash-cli"), {"burn", "sig.img", "--serial",
                                               QString::fromLocal8Bit(ptsname(master)), "--json"});
    ASSERT_TRUE(waiting.waitForStarted());
    // The first probe byte on the line: the command is looking for the board.
    char probe;
    for (int i = 0; read(master, &probe, 1) != 1; ++i) {
        ASSERT_LT(i, 3000) << "the command never looked for the board";
        usleep(10000);
    }
    kill(pid_t(waiting.processId()), SIGTERM);
    CliRun r = finish(waiting, {}, 30000);
    close(master);

    // The board leaves after its boot loader and never comes back.
    QProcess burning;
    burning.start(binary("sim/kelsim"),
                  {"usb", "--quiet", "--run-away", "600000", "--", binary("cli/kelflash-cli"),
                   "burn", "sig.img", "--first", "--json"});
    QByteArray out;
    ASSERT_TRUE(waitForLine(burning, &out, R"("index":2,"name":"uboot")")) << out.toStdString();
    kill(pid_t(burning.processId()), SIGINT);  // kelsim passes it on
    CliRun b = finish(burning, out, 30000);

    for (const auto &[res, sig] : {std::make_pair(r, "SIGTERM"), std::make_pair(b, "SIGINT")}) {
        EXPECT_EQ(res.status, 1) << res.err.toStdString();
        auto lines = jsonLines(res.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back()["event"].toString(), "result");
        EXPECT_EQ(lines.back()["message"].toString().toStdString(),
                  std::string("interrupted by ") + sig)
            << res.err.toStdString();
    }
}

// Asked to check the image (--sha256, --check-crc), the command refuses a
// damaged one before any board is touched, once for a whole station; without
// them the record's checksum, the image maker's, is not compared.
TEST(BurnCli, AnImageThatFailsItsCheckIsRefusedBeforeTheBoard) {
    writeImage("good.img", kImage);
    QFile good("good.img");
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    QByteArray bytes = good.readAll();
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    bytes[bytes.size() - 1000] = char(bytes[bytes.size() - 1000] ^ 0x01);  // inside the rootfs
    QFile bad("bad.img");
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly) && bad.write(bytes) == bytes.size());
    bad.close();
    const struct {
        QStringList args;
        int status;
        const char *message;
    } cases[] = {
        {{"bad.img", "--first", "--sha256", sha}, 1, "is not the image expected: its SHA-256 is"},
        {{"bad.img", "--first", "--check-crc"},
         1,
         "the data of image.target.rootfs does not match"},
        {{"bad.img", "--all", "--check-crc"}, 1, "the data of image.target.rootfs does not match"},
        {{"good.img", "--first", "--sha256", "12ab"}, 2, "--sha256 needs 64 hexadecimal digits"},
        {{"good.img", "--first", "--check-crc", "--sha256", sha.toUpper()}, 0, nullptr},
        {{"bad.img", "--first"}, 0, nullptr},
    };
    for (const auto &c : cases) {
        QDir("chk").removeRecursively();
        CliRun r = run({"--dump", "chk"}, QStringList{"--json"} + c.args);
        const std::string what = c.args.join(' ').toStdString();
        EXPECT_EQ(r.status, c.status) << what << "\n" << r.err.toStdString();
        if (!c.message)
            continue;
        const auto lines = jsonLines(r.out);
        ASSERT_EQ(lines.size(), 1u) << what << "\n" << r.out.toStdString();
        EXPECT_TRUE(lines[0]["message"].toString().contains(c.message))
            << what << ": " << lines[0]["message"].toString().toStdString();
        EXPECT_EQ(fileBytes("chk/commands.txt"), std::vector<uint8_t>{}) << what;
    }
}

// Another board put into the port while the board is away after its boot
// loader answers in its place: the burn fails instead of going on in it.
TEST(BurnCli, AnotherBoardBackInThePortFailsTheBurn) {
    writeImage("swap.img", kImage);
    CliRun r = run({"--fault", "1:other-after-run", "--dump", "swap"},
                   {"swap.img", "--first", "--json", "--retries", "0"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    const auto result = events(r.out, "result");
    ASSERT_EQ(result.size(), 1u) << r.out.toStdString();
    EXPECT_EQ(result[0]["message"].toString(),
              "Dev 1:4 is another board now (chip SIM-900001, the burn began on chip SIM-000001)");
    EXPECT_TRUE(fileBytes("swap/boot.bin").empty());
}

// A failure reaches the --json result as a value: its code beside its message.
TEST(BurnCli, TheResultCarriesTheFailuresCode) {
    writeImage("code.img", kImage);
    QFile whole("code.img");
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    QFile cut("cut.img");
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(whole.read(whole.size() - 1000));
    cut.close();
    const struct {
        QStringList sim;
        const char *image;
        const char *code;
        const char *message;
    } cases[] = {
        {{"--fail-cmd", "0x10"}, "code.img", "board-refused", "Failed to send the meta information!"},
        {{"--fault", "1:vanish@rootfs"}, "code.img", "link-lost", "Failed to send"},
        {{"--run-away", "600000"}, "code.img", "link-not-returned", "is completely lost!"},
        {{}, "cut.img", "image-corrupt", "'cut.img' is not a firmware image that can be read"},
        {{}, "none.img", "image-unreadable", "No such file or directory"},
    };
    for (const auto &c : cases) {
        CliRun r = run(c.sim, {c.image, "--first", "--json", "--retries", "0"});
        EXPECT_EQ(r.status, 1) << c.code << "\n" << r.err.toStdString();
        const auto result = events(r.out, "result");
        ASSERT_EQ(result.size(), 1u) << c.code << "\n" << r.out.toStdString();
        EXPECT_EQ(result[0]["code"].toString().toStdString(), c.code);
        EXPECT_TRUE(result[0]["message"].toString().contains(c.message))
            << c.code << ": " << result[0]["message"].toString().toStdString();
    }
}
