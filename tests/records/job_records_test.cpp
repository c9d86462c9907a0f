// The records real jobs leave: kelflash-cli burning kelsim's boards over USB
// and a serial line, failing, stopped by Ctrl-C, writing and formatting a
// card; the same test bodies on the run's own data.db and on a private
// PostgreSQL server.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

#include "burn_cli_run.h"
#include "burn_util.h"
#include "pg_cluster.h"
#include "recordstore.h"
#include "recordtarget.h"
#include "records_test_util.h"

namespace {

const std::vector<SampleComponent> kImage = {
    {"spl", "spl", "run", 30000},
    {"uboot", "boot", "burn", 200000},
    {"image.target.rootfs", "rootfs", "burn", 1500000},
};

QString sha256Of(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return QString::fromLatin1(h.result().toHex());
}

// Without --db (SQLite) a run keeps its records in data.db of the folder it
// runs in, the fixture's own.
class JobRecords : public RecordTargetTest {
protected:
    void SetUp() override {
        RecordTargetTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        writeImage(path("job.img").toStdString(), kImage);
    }
    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    QStringList dbArgs() const { return pg() ? QStringList{"--db", m_pg->url()} : QStringList{}; }

    // A command in the test's folder; `program` "kelsim" or "kelflash-cli".
    void start(QProcess &p, const QString &program, const QStringList &args) {
        p.setWorkingDirectory(m_dir.path());
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(binary(program == "kelsim" ? "sim/kelsim" : "cli/kelflash-cli"), args);
    }
    CliRun usbBurn(const QStringList &sim, const QStringList &burn) {
        QProcess p;
        start(p, "kelsim",
              QStringList{"usb", "--quiet"} + sim +
                  QStringList{"--", binary("cli/kelflash-cli"), "burn", "job.img"} + burn +
                  dbArgs());
        return finish(p);
    }
    CliRun serialBurn(const QStringList &burn) {
        QProcess p;
        start(p, "kelsim",
              QStringList{"serial", "--", "/bin/sh", "-c",
                          "exec \"$0\" burn job.img --serial ${KELFLASH_EXTRA_SERIAL_PORTS%% *} "
                          "\"$@\"",
                          binary("cli/kelflash-cli")} +
                  burn + dbArgs());
        return finish(p);
    }
    CliRun cli(const QStringList &args) {
        QProcess p;
        start(p, "kelflash-cli", args + dbArgs());
        return finish(p);
    }

    QList<BoardRecord> stored() {
        RecordStore s(m_target, QStringLiteral("job-reader"));
        QString error;
        if (!s.open(&error)) {
            ADD_FAILURE() << qPrintable(error);
            return {};
        }
        return s.records();
    }
};

// What a record of one job must hold; empty texts are not checked.
struct Want {
    const char *name;
    const char *jobKind, *link, *result, *failureCode, *failedComponent, *chipId;
};

void expectRecord(const BoardRecord &r, const Want &w, const QString &imageSha) {
    SCOPED_TRACE(w.name);
    EXPECT_EQ(r.jobKind, w.jobKind);
    EXPECT_EQ(r.link, w.link);
    EXPECT_EQ(r.result, w.result);
    EXPECT_EQ(r.failureCode, w.failureCode);
    EXPECT_EQ(r.failureMessage.isEmpty(), QString(w.result) == "ok")
        << qPrintable(r.failureMessage);
    if (*w.failedComponent) {
        EXPECT_EQ(r.failedComponent, w.failedComponent);
    }
    if (*w.chipId) {
        EXPECT_EQ(r.chipId, w.chipId);
    }
    EXPECT_FALSE(r.location.isEmpty());
    EXPECT_GT(r.durationMs, 0);
    EXPECT_TRUE(r.startedUtc.isValid() && r.endedUtc >= r.startedUtc);
    EXPECT_EQ(r.station, QSysInfo::machineHostName());
    EXPECT_EQ(r.operatorName, "alice");
    if (r.jobKind == "card-format") {
        EXPECT_TRUE(r.imageName.isEmpty());
        EXPECT_TRUE(r.imageSha256.isEmpty());
    } else {
        EXPECT_EQ(r.imageName, "job.img");
        EXPECT_EQ(r.imageSha256, imageSha);
    }
    if (r.link == "card") {
        EXPECT_GT(r.cardSize, 0);
    } else {
        EXPECT_EQ(r.components.toStdString(), "image.updater.env,spl,uboot,image.target.rootfs");
    }
    if (QString(w.result) == "ok" && r.jobKind != "card-format") {
        EXPECT_GT(r.bytesWritten, 1500000);
    }
}

TEST_P(JobRecords, EveryJobLeavesItsRecord) {
    const QString sha = sha256Of(path("job.img"));
    const QStringList op{"--operator", "alice", "--retries", "0"};
    int expected = 0;
    auto last = [&] {
        const QList<BoardRecord> all = stored();
        EXPECT_EQ(all.size(), ++expected);
        return all.isEmpty() ? BoardRecord() : all.last();
    };

    struct Burn {
        Want want;
        QStringList sim;  // empty name: over a serial line
        int status;
    } burns[] = {
        {{"usb", "burn", "usb", "ok", "", "", "SIM-000001"}, {}, 0},
        {{"serial", "burn", "serial", "ok", "", "", ""}, {}, 0},
        {{"refused", "burn", "usb", "failed", "board-refused", "", "SIM-000001"},
         {"--fail-cmd", "0x10"},
         1},
        {{"vanished", "burn", "usb", "failed", "link-lost", "image.target.rootfs", "SIM-000001"},
         {"--fault", "1:vanish@rootfs"},
         1},
    };
    for (const Burn &b : burns) {
        const bool serial = QString(b.want.name) == "serial";
        CliRun r = serial ? serialBurn(op) : usbBurn(b.sim, QStringList{"--first"} + op);
        EXPECT_EQ(r.status, b.status) << b.want.name << "\n" << r.err.toStdString();
        expectRecord(last(), b.want, sha);
    }

    // Ctrl-C while the board is away after its boot loader.
    {
        QProcess p;
        start(p, "kelsim",
              QStringList{"usb", "--quiet", "--run-away", "600000", "--",
                          binary("cli/kelflash-cli"), "burn", "job.img", "--first", "--json"} +
                  op + dbArgs());
        QByteArray out;
        while (!out.contains(R"("name":"uboot")") && p.waitForReadyRead(60000))
            out += p.readAllStandardOutput();
        ASSERT_TRUE(out.contains(R"("name":"uboot")")) << out.toStdString();
        kill(pid_t(p.processId()), SIGINT);  // kelsim passes it on
        CliRun r = finish(p, out, 30000);
        EXPECT_EQ(r.status, 1) << r.err.toStdString();
        expectRecord(last(),
                     {"interrupted", "burn", "usb", "interrupted", "interrupted", "", "SIM-000001"},
                     sha);
    }

    // A card written into a card image file, then formatted.
    CliRun w = cli(QStringList{"card", "write", path("job.img"), "--device", path("card.img"),
                               "--size", "64M", "--operator", "alice"});
    EXPECT_EQ(w.status, 0) << w.err.toStdString();
    const BoardRecord written = last();
    expectRecord(written, {"card-write", "card-write", "card", "ok", "", "", ""}, sha);
    EXPECT_EQ(written.location, path("card.img"));
    EXPECT_EQ(written.cardSize, 64 << 20);
    CliRun f = cli({"card", "format", "--device", path("card.img"), "--yes", "--operator", "alice"});
    EXPECT_EQ(f.status, 0) << f.err.toStdString();
    expectRecord(last(), {"card-format", "card-format", "card", "ok", "", "", ""}, sha);
}

// A station keeps one record per board, each board's own: four at once, and
// boards watched for until two are done.
TEST_P(JobRecords, AStationStoresOneRecordPerBoard) {
    const struct {
        QStringList sim, burn;
        int boards;
    } runs[] = {
        {{"--boards", "4"}, {"--all", "--json"}, 4},
        {{"--boards", "2"}, {"--watch", "--count", "2"}, 2},
    };
    int before = 0;
    for (const auto &run : runs) {
        CliRun r = usbBurn(run.sim, run.burn);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QList<BoardRecord> all = stored().mid(before);
        ASSERT_EQ(all.size(), run.boards) << qPrintable(run.burn.join(' '));
        before += run.boards;
        QSet<QString> chips, locations;
        for (const BoardRecord &b : all) {
            EXPECT_EQ(b.result, "ok");
            EXPECT_TRUE(b.chipId.startsWith("SIM-00000")) << qPrintable(b.chipId);
            chips << b.chipId;
            locations << b.location;
        }
        EXPECT_EQ(chips.size(), run.boards);
        EXPECT_EQ(locations.size(), run.boards);
    }
}

// KelFlash.ini's [fleet] settings name the station and the operator and
// choose the database; --operator still wins.
TEST_P(JobRecords, TheFleetSettingsNameTheStationAndChooseTheDatabase) {
    const QString url = pg() ? m_pg->url() : "sqlite:" + path("fleet.db");
    QString error;
    ASSERT_TRUE(parseDatabaseUrl(url, &m_target, &error)) << qPrintable(error);
    QFile ini(path("KelFlash.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[fleet]\nstation = LINE-3\noperator = bob\ndatabase = " + url.toUtf8() + "\n");
    ini.close();
    const QStringList runs[] = {{}, {"--operator", "carol"}};
    for (const QStringList &extra : runs) {
        QProcess p;
        start(p, "kelsim",
              QStringList{"usb", "--quiet", "--", binary("cli/kelflash-cli"), "burn", "job.img",
                          "--first"} +
                  extra);
        CliRun r = finish(p);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
    }
    const QList<BoardRecord> all = stored();
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all[0].station, "LINE-3");
    EXPECT_EQ(all[0].operatorName, "bob");
    EXPECT_EQ(all[1].operatorName, "carol");
    EXPECT_FALSE(QFile::exists(path("data.db")) && !pg()) << "the records went to data.db";
}

// The components a record names are those the board was sent (kelsim's
// list of them), with a selection of partitions or without.
TEST_P(JobRecords, TheRecordNamesTheComponentsTheBoardGot) {
    const QStringList selections[] = {{}, {"--parts", "rootfs"}, {"--parts", "boot,rootfs"}};
    int n = 0;
    for (const QStringList &parts : selections) {
        const QString dump = QStringLiteral("dump%1").arg(n++);
        CliRun r = usbBurn({"--dump", dump}, QStringList{"--first"} + parts);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        QStringList got;
        QFile list(m_dir.filePath(dump + "/components.txt"));
        ASSERT_TRUE(list.open(QIODevice::ReadOnly)) << qPrintable(list.fileName());
        for (const QByteArray &line : list.readAll().split('\n'))
            if (!line.isEmpty())
                got << QString::fromLatin1(line.left(line.indexOf(' ')));
        const QList<BoardRecord> all = stored();
        ASSERT_EQ(all.size(), n);
        EXPECT_EQ(all.last().components.toStdString(), got.join(',').toStdString())
            << qPrintable(parts.join(' '));
    }
}

// Ctrl-C to a station of two boards, both away after their boot loader: each
// board's record says it was stopped.
TEST_P(JobRecords, AStoppedStationRecordsEveryBoardAsInterrupted) {
    QProcess p;
    start(p, "kelsim",
          QStringList{"usb", "--quiet", "--boards", "2", "--run-away", "600000", "--",
                      binary("cli/kelflash-cli"), "burn", "job.img", "--all", "--json"} +
              dbArgs());
    QByteArray out;
    while (out.count(R"("name":"uboot")") < 2 && p.waitForReadyRead(60000))
        out += p.readAllStandardOutput();
    ASSERT_EQ(out.count(R"("name":"uboot")"), 2) << out.toStdString();
    kill(pid_t(p.processId()), SIGINT);  // kelsim passes it on
    CliRun r = finish(p, out, 30000);
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    const QList<BoardRecord> all = stored();
    ASSERT_EQ(all.size(), 2) << r.out.toStdString();
    for (const BoardRecord &b : all) {
        EXPECT_EQ(b.result, "interrupted") << qPrintable(b.location);
        EXPECT_EQ(b.failureCode, "interrupted") << qPrintable(b.location);
        EXPECT_FALSE(b.failureMessage.isEmpty());
        EXPECT_EQ(b.failedComponent, "uboot");
    }
}

TEST_P(JobRecords, ADatabaseUrlThatDoesNotParseBurnsNothing) {
    for (const char *url : {"mysql://kel@host/db", "postgresql://kel@:5432/db#x", "sqlite:"}) {
        QProcess p;
        start(p, "kelsim",
              {"usb", "--quiet", "--dump", "bad", "--", binary("cli/kelflash-cli"), "burn",
               "job.img", "--first", "--db", url});
        CliRun r = finish(p);
        EXPECT_EQ(r.status, 2) << url << "\n" << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("database URL")) << r.err.toStdString();
        EXPECT_TRUE(fileBytes(path("bad/commands.txt")).empty()) << url;
    }
    EXPECT_FALSE(QFile::exists(path("data.db")));
}

// The server away: the burns go on, their records wait in the spool (each run
// says how many wait in all), and the next run with the server back sends
// them, each once.
TEST_P(JobRecords, RecordsWaitInTheSpoolWhileTheServerIsDown) {
    if (!pg())
        GTEST_SKIP() << "an SQLite file does not go down";
    ASSERT_TRUE(m_pg->stop());
    const struct {
        QStringList sim, burn;
        const char *event;  // --json: the line that says it; else the plain text
        int waiting;
    } runs[] = {
        {{}, {"--first"}, nullptr, 1},
        {{}, {"--first", "--json"}, "result", 2},
        {{"--boards", "2"}, {"--all", "--json"}, "summary", 4},
        {{"--boards", "2"}, {"--all"}, nullptr, 6},
    };
    for (const auto &run : runs) {
        CliRun r = usbBurn(run.sim, run.burn);
        const std::string what = run.burn.join(' ').toStdString();
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err.toStdString();
        if (run.event) {
            const auto ends = events(r.out, run.event);
            ASSERT_EQ(ends.size(), 1u) << what << "\n" << r.out.toStdString();
            EXPECT_EQ(ends[0]["records_waiting"].toInt(), run.waiting) << what;
        } else {
            const QByteArray text =
                run.waiting == 1 ? QByteArray("1 board record waits in the spool")
                                 : QByteArray::number(run.waiting) + " board records wait in the spool";
            EXPECT_TRUE((r.out + r.err).contains(text + " for the fleet database"))
                << what << "\n" << r.out.toStdString() << r.err.toStdString();
        }
    }
    ASSERT_TRUE(m_pg->start()) << qPrintable(m_pg->error());
    CliRun up = usbBurn({}, {"--first", "--json"});
    EXPECT_EQ(up.status, 0) << up.err.toStdString();
    const auto result = events(up.out, "result");
    ASSERT_EQ(result.size(), 1u) << up.out.toStdString();
    EXPECT_FALSE(result[0].contains("records_waiting")) << up.out.toStdString();
    QList<BoardRecord> all = stored();
    EXPECT_EQ(all.size(), 7);
    QSet<QString> ids;
    for (const BoardRecord &b : all)
        ids << b.recordId;
    EXPECT_EQ(ids.size(), all.size());
    // The spool is empty now: the next run adds its own record only.
    EXPECT_EQ(usbBurn({}, {"--first"}).status, 0);
    EXPECT_EQ(stored().size(), 8);
}

INSTANTIATE_TEST_SUITE_P(Db, JobRecords,
                         ::testing::Values(RecordTarget::Sqlite, RecordTarget::Postgres),
                         [](const auto &info) {
                             return info.param == RecordTarget::Sqlite ? "SQLite" : "PostgreSQL";
                         });

}  // namespace
