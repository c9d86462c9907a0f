// Eight station processes write to one PostgreSQL server at once, starting on
// an empty database (so that they race to create the schema), while the server
// is stopped and started again: every record is stored exactly once.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <vector>

#include "pg_cluster.h"

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
    ASSERT_TRUE(pg.psql(QStringLiteral("SELECT COUNT(*) FROM schema_version"), &out));
    EXPECT_EQ(out, QStringLiteral("1"));
}
