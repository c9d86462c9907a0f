// Eight station processes write to one PostgreSQL server at once, starting on
// an empty database (so that they race to create the schema), while the server
// is stopped and started again: every record is stored exactly once.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <vector>

#include <unistd.h>

#include "pg_cluster.h"
#include "recordschema.h"

TEST(Fleet, EightStationsThroughAServerRestartStoreEveryRecordOnce) {
    if (!PgCluster::available())
        GTEST_SKIP() << "PostgreSQL 15 server programs are not installed";
    PgCluster pg;
    ASSERT_TRUE(pg.create()) << qPrintable(pg.error());
    QTemporaryDir dir;
    constexpr int kStations = 8;
    constexpr int kRecords = 40;
    std::vector<std::unique_ptr<QProcess>> stations;
    for (int i = 0; i < kStations; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QStringLiteral(RECORDS_STATION),
                 {pg.url(), dir.filePath(QStringLiteral("spool%1.db").arg(i)),
                  QStringLiteral("ST%1").arg(i), QString::number(kRecords)});
        ASSERT_TRUE(p->waitForStarted());
        stations.push_back(std::move(p));
    }
    QThread::msleep(250);
    ASSERT_TRUE(pg.stop()) << qPrintable(pg.error());
    QThread::msleep(1000);
    ASSERT_TRUE(pg.start()) << qPrintable(pg.error());
    for (auto &p : stations) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }
    QString out;
    ASSERT_TRUE(pg.psql(QStringLiteral("SELECT station || '=' || COUNT(*) || '/' || COUNT(DISTINCT "
                                       "serial_number) FROM board_record GROUP BY station ORDER "
                                       "BY station"),
                        &out))
        << qPrintable(pg.error());
    QStringList expected;
    for (int i = 0; i < kStations; ++i)
        expected << QStringLiteral("ST%1=%2/%2").arg(i).arg(kRecords);
    EXPECT_EQ(out.split(QLatin1Char('\n')), expected);
    // Every migration ran once, however many stations started together.
    ASSERT_TRUE(pg.psql(QStringLiteral("SELECT COUNT(*) || '/' || COUNT(DISTINCT version) FROM "
                                       "schema_version"),
                        &out));
    EXPECT_EQ(out, QStringLiteral("%1/%1").arg(latestRecordSchemaVersion()));
}

// The server is away and the disk under the spool is full (a tmpfs of 16 KiB,
// filled, in a mount namespace of the station's own): the station says so
// once, keeps its records in memory, and stores them when the server is back.
TEST(Fleet, AFullDiskUnderTheSpoolKeepsRecordsInMemory) {
    if (!PgCluster::available())
        GTEST_SKIP() << "PostgreSQL 15 server programs are not installed";
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        GTEST_SKIP() << "needs root and unshare for a private tmpfs";
    PgCluster pg;
    ASSERT_TRUE(pg.create()) << qPrintable(pg.error());
    ASSERT_TRUE(pg.stop());
    QTemporaryDir dir;
    const QString full = dir.filePath(QStringLiteral("full"));
    ASSERT_TRUE(QDir().mkpath(full));
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=16k kelfull \"$1\" || exit 9\n"
        "dd if=/dev/zero of=\"$1/fill\" bs=4k 2>/dev/null\n"
        "exec \"$2\" \"$3\" \"$1/spool.db\" FULL 10\n");
    QProcess station;
    station.start(QStringLiteral("unshare"),
                  {QStringLiteral("-m"), QStringLiteral("--propagation"),
                   QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                   QStringLiteral("sh"), full, QStringLiteral(RECORDS_STATION), pg.url()});
    ASSERT_TRUE(station.waitForStarted());
    QThread::msleep(1500);
    ASSERT_TRUE(pg.start()) << qPrintable(pg.error());
    ASSERT_TRUE(station.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 0) << qPrintable(err);
    EXPECT_EQ(err.count(QStringLiteral("cannot be written to the spool")), 1) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("disk is full"))) << qPrintable(err);
    QString out;
    ASSERT_TRUE(pg.psql(QStringLiteral("SELECT COUNT(*) FROM board_record WHERE station = 'FULL'"),
                        &out));
    EXPECT_EQ(out, QStringLiteral("10"));
}
