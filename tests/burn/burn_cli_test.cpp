// kelflash-cli burn end to end: the command line burner in a child process,
// the board in kelsim on an emulated USB bus.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include "burn_util.h"

namespace {

QString binary(const char *rel) {
    return QString::fromLocal8Bit(qgetenv("KELFLASH_BINARY_DIR")) + QLatin1Char('/') +
           QLatin1String(rel);
}

struct CliRun {
    int status = -1;
    QByteArray out, err;
};

CliRun run(const QStringList &kelsimArgs, const QStringList &burnArgs) {
    QProcess p;
    QStringList args = QStringList{"usb", "--quiet"} + kelsimArgs;
    args << "--" << binary("cli/kelflash-cli") << "burn";
    args += burnArgs;
    p.start(binary("sim/kelsim"), args);
    CliRun r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "kelflash-cli burn did not end";
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

std::vector<QJsonObject> jsonLines(const QByteArray &out) {
    std::vector<QJsonObject> lines;
    for (const QByteArray &l : out.split('\n')) {
        if (l.isEmpty())
            continue;
        QJsonParseError e;
        QJsonDocument d = QJsonDocument::fromJson(l, &e);
        EXPECT_EQ(e.error, QJsonParseError::NoError) << l.toStdString();
        EXPECT_TRUE(d.isObject()) << l.toStdString();
        lines.push_back(d.object());
    }
    return lines;
}

std::vector<uint8_t> fileBytes(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray b = f.readAll();
    return std::vector<uint8_t>(b.begin(), b.end());
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
    for (const auto &kv : want)
        EXPECT_EQ(fileBytes(QString::fromStdString("dump/" + kv.first + ".bin")), kv.second)
            << kv.first;
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

    // A failure before the burn starts still ends the JSON stream with a result.
    CliRun early = run({}, {"missing.img", "--first", "--json"});
    EXPECT_EQ(early.status, 1);
    auto lines = jsonLines(early.out);
    ASSERT_EQ(lines.size(), 1u) << early.out.toStdString();
    EXPECT_EQ(lines[0]["event"].toString(), "result");
    EXPECT_FALSE(lines[0]["ok"].toBool());
    EXPECT_TRUE(lines[0]["message"].toString().contains("missing.img"));
}
