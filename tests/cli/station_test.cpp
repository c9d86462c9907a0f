// Several boards at once: kelflash-cli burn --all and --watch in a child
// process, the boards in kelsim on an emulated USB bus; checksum verification.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include <map>

#include "burn_cli_run.h"
#include "burn_util.h"
#include "pty_pair.h"

namespace {

QString fileText(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

const std::vector<SampleComponent> kImage = {
    {"spl", "spl", "run", 30000},
    {"uboot", "boot", "burn", 200000},
    {"image.target.rootfs", "rootfs", "burn", 1500000},
};

}  // namespace

// Board 2 vanishes in the middle of its root file system for good, board 3
// takes long to come back into U-Boot: boards 1 and 3 get exactly the image,
// each once, and board 2's result says why it failed.
TEST(Station, AllBoardsAtOnce) {
    auto want = writeImage("all.img", kImage);
    QDir().mkpath("all");
    CliRun r = run({"--boards", "3", "--fault", "2:vanish@rootfs", "--fault", "3:run-away=2500",
                    "--dump", "all"},
                   {"all.img", "--all", "--json", "--retries", "1", "-v"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    std::map<QString, QJsonObject> results;
    for (const auto &o : events(r.out, "result"))
        results[o["board"].toString()] = o;
    ASSERT_EQ(results.size(), 3u) << r.out.toStdString();
    EXPECT_TRUE(results["1:4"]["ok"].toBool());
    EXPECT_TRUE(results["1:6"]["ok"].toBool());
    EXPECT_FALSE(results["1:5"]["ok"].toBool());
    // The cause is the transfer that failed, not only the recovery after it.
    EXPECT_TRUE(results["1:5"]["message"].toString().contains("Failed to send"))
        << results["1:5"]["message"].toString().toStdString();
    const auto summary = events(r.out, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["succeeded"].toInt(), 2);
    EXPECT_EQ(summary[0]["failed"].toInt(), 1);
    for (const auto &o : events(r.out, "progress"))
        EXPECT_FALSE(o["board"].toString().isEmpty());

    for (const char *board : {"all/board1", "all/board3"}) {
        expectBoardHolds(board, want);
        // Each component once: no other worker burnt into this board.
        EXPECT_EQ(fileText(QString(board) + "/components.txt").count("complete"), int(want.size()))
            << board;
    }
    EXPECT_TRUE(fileBytes("all/board2/rootfs.bin").empty());

    // Every library line names its board; the transfer that broke off is board 2's alone.
    const QRegularExpression libraryLine(R"(\w\(\)\d+: )");
    for (const QByteArray &line : r.err.split('\n')) {
        const bool brokenOff = line.contains("Send out data length is not expected");
        if (brokenOff || QString::fromUtf8(line).contains(libraryLine)) {
            EXPECT_TRUE(line.startsWith(brokenOff ? "[1:5] " : "[1:")) << line.toStdString();
        }
    }
    EXPECT_TRUE(r.err.contains("[1:5] kelupg_cmd_send_fwc_data_update()"));
}

// Without --json: a result line per board and the summary, exit 0.
TEST(Station, PlainResultLines) {
    writeImage("plain.img", kImage);
    CliRun r = run({"--boards", "2"}, {"plain.img", "--all"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.err.count("OK  "), 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("2 board(s): 2 succeeded, 0 failed")) << r.err.toStdString();
}

// The board's checksum is compared only on request, and then a wrong one fails.
TEST(Station, VerifyChecksums) {
    writeImage("verify.img", kImage);
    struct Case {
        bool wrongCrc;
        bool verify;
        int status;
    } cases[] = {{false, true, 0}, {true, true, 1}, {true, false, 0}};
    for (const Case &c : cases) {
        QStringList sim;
        if (c.wrongCrc)
            sim << "--wrong-crc";
        QStringList burn{"verify.img", "--first", "--json", "--retries", "0"};
        if (c.verify)
            burn << "--verify";
        CliRun r = run(sim, burn);
        EXPECT_EQ(r.status, c.status) << c.wrongCrc << c.verify << r.err.toStdString();
        // One board, once it is open: its events carry it as a station's do.
        for (const auto &o : jsonLines(r.out))
            EXPECT_EQ(o["board"].toString(), "1:4") << o["event"].toString().toStdString();
        const auto result = events(r.out, "result");
        ASSERT_EQ(result.size(), 1u);
        if (c.status != 0) {
            EXPECT_TRUE(result[0]["message"].toString().contains("Checksum mismatch"))
                << result[0]["message"].toString().toStdString();
        }
    }
}

// Station mode: boards arrive one after another; board 2 is pulled in the
// middle of its root file system and plugged in again, and is burnt anew.
// Board 1 comes back after its final reset and is not burnt a second time.
TEST(Station, WatchBurnsBoardsAsTheyArrive) {
    auto want = writeImage("watch.img", kImage);
    QDir().mkpath("watch");
    CliRun r = run({"--boards", "3", "--fault", "2:arrive=1500", "--fault", "3:arrive=3000",
                    "--fault", "2:vanish@rootfs:3000", "--dump", "watch"},
                   {"watch.img", "--watch", "--count", "4", "--json", "--retries", "0"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    std::vector<std::pair<QString, bool>> results;
    for (const auto &o : events(r.out, "result"))
        results.push_back({o["board"].toString(), o["ok"].toBool()});
    std::map<QString, std::vector<bool>> byBoard;
    for (const auto &res : results)
        byBoard[res.first].push_back(res.second);
    EXPECT_EQ(byBoard["1:4"], std::vector<bool>{true}) << r.out.toStdString();
    EXPECT_EQ(byBoard["1:5"], (std::vector<bool>{false, true})) << r.out.toStdString();
    EXPECT_EQ(byBoard["1:6"], std::vector<bool>{true}) << r.out.toStdString();
    for (const char *board : {"watch/board1", "watch/board2", "watch/board3"})
        expectBoardHolds(board, want);
}

// The operator takes a burnt board out and puts the next one into the same
// port at once: the next one is burnt too (unlike the burnt board's own return
// after its reset, above), and the station ends with both.
TEST(Station, WatchBurnsTheNextBoardInTheSamePort) {
    auto want = writeImage("next.img", kImage);
    QProcess p;
    p.start(binary("sim/kelsim"),
            {"usb", "--quiet", "--boards", "2", "--fault", "2:replaces=1", "--dump", "next", "--",
             binary("cli/kelflash-cli"), "burn", "next.img", "--watch", "--count", "2", "--json"});
    const bool ended = p.waitForFinished(60000);
    if (!ended) {
        kill(pid_t(p.processId()), SIGINT);  // kelsim passes it on
        p.waitForFinished(30000);
    }
    EXPECT_TRUE(ended) << "the station did not see the second board";
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QByteArray out = p.readAllStandardOutput();
    std::vector<QString> boards;
    for (const auto &o : events(out, "result"))
        boards.push_back(o["board"].toString() + (o["ok"].toBool() ? " ok" : " failed"));
    EXPECT_EQ(boards, (std::vector<QString>{"1:4 ok", "1:4 ok"})) << out.toStdString();
    expectBoardHolds("next/board2", want);
}

// Options that cannot go together are refused before any board is touched.
TEST(Station, RefusesOptionsThatDoNotGoTogether) {
    writeImage("usage.img", kImage);
    for (const QStringList &extra :
         {QStringList{"--all", "--watch"}, QStringList{"--all", "--first"},
          QStringList{"--all", "--count", "2"}, QStringList{"--watch", "--serial", "/dev/null"},
          QStringList{"--serial", "/dev/null", "--serial", "/dev/zero"}}) {
        CliRun r = run({}, QStringList{"usage.img", "--json"} + extra);
        EXPECT_EQ(r.status, 2) << extra.join(' ').toStdString();
        ASSERT_FALSE(jsonLines(r.out).empty()) << extra.join(' ').toStdString();
        EXPECT_EQ(jsonLines(r.out).back()["event"].toString(), "result");
    }
}

// Ctrl-C ends station mode with the summary; nothing failed, so it exits 0.
TEST(Station, InterruptEndsWatchWithTheSummary) {
    writeImage("stop.img", kImage);
    QProcess p;
    p.start(binary("sim/kelsim"), {"usb", "--quiet", "--", binary("cli/kelflash-cli"), "burn",
                                   "stop.img", "--watch", "--json"});
    QByteArray out;
    while (!out.contains("\"event\":\"result\"") && p.waitForReadyRead(60000))
        out += p.readAllStandardOutput();
    ASSERT_TRUE(out.contains("\"ok\":true")) << out.toStdString();
    kill(pid_t(p.processId()), SIGINT);  // kelsim passes it on
    ASSERT_TRUE(p.waitForFinished(60000));
    out += p.readAllStandardOutput();
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QJsonObject last = QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
    EXPECT_EQ(last["event"].toString(), "summary") << out.toStdString();
    EXPECT_EQ(last["succeeded"].toInt(), 1);
}

// Serial ports given with --all are burnt alongside the USB board.
TEST(Station, SerialPortsAlongsideUsbBoards) {
    auto want = writeImage("mixed.img", kImage);
    QProcess p;
    p.start(binary("sim/kelsim"),
            {"usb", "--quiet", "--serial-boards", "2", "--dump", "mixed", "--", "/bin/sh", "-c",
             "exec \"$0\" burn mixed.img --all --json $(for p in $KELSIM_SERIAL_PORTS; do "
             "echo --serial $p; done)",
             binary("cli/kelflash-cli")});
    ASSERT_TRUE(p.waitForFinished(180000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    int ok = 0;
    for (const QByteArray &l : p.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(l).object();
        ok += o["event"].toString() == "result" && o["ok"].toBool() ? 1 : 0;
    }
    EXPECT_EQ(ok, 3);
    for (const char *board : {"mixed", "mixed/serial1", "mixed/serial2"})
        expectBoardHolds(board, want);
}

// On a terminal every running board has a line of its own (location,
// component, percent, rate), redrawn in place; the result lines and the
// summary stay below.
TEST(Station, ProgressLinesOnATerminal) {
    writeImage("tty.img", kImage);
    kelsim::PtyPair tty;
    std::string error;
    ASSERT_TRUE(tty.open(&error)) << error;
    QProcess p;
    const QString terminal = QString::fromStdString(tty.slavePath());
    p.setStandardOutputFile(terminal);
    p.setStandardErrorFile(terminal);
    // Both boards linger in their boot loader, so several frames show both.
    p.start(binary("sim/kelsim"),
            {"usb", "--quiet", "--boards", "2", "--fault", "1:run-away=1000", "--fault",
             "2:run-away=1000", "--", binary("cli/kelflash-cli"), "burn", "tty.img", "--all"});
    QByteArray out;
    char buf[4096];
    auto drain = [&] {
        ssize_t n;
        while ((n = read(tty.masterFd(), buf, sizeof(buf))) > 0)
            out.append(buf, int(n));
    };
    for (int i = 0; i < 3600 && !p.waitForFinished(50); ++i)
        drain();
    drain();
    ASSERT_EQ(p.state(), QProcess::NotRunning) << out.toStdString();
    EXPECT_EQ(p.exitCode(), 0) << out.toStdString();

    // A frame: the lines drawn last are cleared, then one line per running
    // board, each board once.
    const QRegularExpression frame(
        "\033\\[2A\r\033\\[J"
        R"((1:[45]) +[\w.]+ +\d+\.\d% +\d+\.\d\d MB/s\n)"
        R"((?!\1)1:[45] +[\w.]+ +\d+\.\d% +\d+\.\d\d MB/s\n)");
    EXPECT_GE(QString::fromUtf8(out).count(frame), 2) << out.toStdString();
    // Once the last board is done nothing is redrawn: its result and the summary close the output.
    const QByteArray tail = out.mid(out.lastIndexOf("\033[J") + 3);
    EXPECT_FALSE(tail.contains("MB/s")) << tail.toStdString();
    EXPECT_EQ(out.count("OK    1:"), 2) << out.toStdString();
    EXPECT_TRUE(tail.endsWith("2 board(s): 2 succeeded, 0 failed\n")) << tail.toStdString();
}
