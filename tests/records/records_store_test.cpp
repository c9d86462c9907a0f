// The record store and its writer, the same test bodies on an SQLite file and
// on a private PostgreSQL server.
#include <gtest/gtest.h>

#include <QDir>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <atomic>
#include <memory>

#include "pg_cluster.h"
#include "recordschema.h"
#include "recordstore.h"
#include "recordwriter.h"
#include "records_test_util.h"

namespace {

class RecordStoreTest : public RecordTargetTest {
protected:
    QString spoolPath() const { return m_dir.filePath(QStringLiteral("spool.db")); }

    std::unique_ptr<RecordWriter> writer() {
        auto w = std::make_unique<RecordWriter>(m_target, spoolPath());
        w->setRetryTiming(20, 200);
        return w;
    }

    // A connection of the test's own to the target, to read what was stored.
    std::unique_ptr<RecordStore> reader(const QString &name = QStringLiteral("reader")) {
        auto s = std::make_unique<RecordStore>(m_target, name);
        QString error;
        EXPECT_TRUE(s->open(&error)) << qPrintable(error);
        return s;
    }
};

TEST_P(RecordStoreTest, EveryJobKeepsEveryField) {
    QList<BoardRecord> sent;
    int n = 0;
    for (JobShape shape : {JobShape::UsbOk, JobShape::SerialOk, JobShape::Failed,
                           JobShape::Interrupted, JobShape::Card})
        sent << sampleRecord(shape, n++);
    // A board text read in the wrong encoding: a NUL and a lone surrogate.
    BoardRecord odd = sampleRecord(JobShape::UsbOk, n++);
    odd.boardInfo = QStringLiteral("USB设备：1-9") + QChar(0) + QChar(0xD800) + QStringLiteral("x");
    sent << odd;
    {
        auto w = writer();
        for (const BoardRecord &r : sent)
            w->submit(r);
        ASSERT_TRUE(w->flush(20000));
        EXPECT_EQ(w->spoolCount(), 0);
    }
    const QList<BoardRecord> stored = reader()->records();
    ASSERT_EQ(stored.size(), sent.size());
    for (int i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(stored.at(i), sent.at(i).sanitized());
    }
    EXPECT_EQ(stored.at(0).serialNumber, QStringLiteral("SN0"));
    EXPECT_EQ(stored.at(0).chipId, QStringLiteral("KV2-0"));
    EXPECT_EQ(stored.at(2).failureCode, QStringLiteral("verify-failed"));
    EXPECT_TRUE(stored.at(4).chipId.isEmpty());
    EXPECT_EQ(stored.last().boardInfo, QStringLiteral("USB设备：1-9\uFFFDx"));
}

TEST_P(RecordStoreTest, ARecordSentTwiceIsStoredOnce) {
    const BoardRecord r = sampleRecord(JobShape::UsbOk);
    {
        auto w = writer();
        w->submit(r);
        w->submit(r);
        ASSERT_TRUE(w->flush(20000));
    }
    auto s = reader();
    QString error;
    EXPECT_EQ(s->insert(r, &error), RecordStore::Insert::Duplicate) << qPrintable(error);
    EXPECT_EQ(s->count(), 1);
}

TEST_P(RecordStoreTest, MigrationsRunOnce) {
    auto a = reader(QStringLiteral("a"));
    auto b = reader(QStringLiteral("b"));
    QSqlDatabase db = b->database();
    EXPECT_EQ(recordSchemaVersion(db), latestRecordSchemaVersion());
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT COUNT(*), COUNT(DISTINCT version) FROM "
                                      "schema_version")));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), latestRecordSchemaVersion());
    EXPECT_EQ(q.value(1).toInt(), latestRecordSchemaVersion());
    // The indexes the reports rely on.
    const QString sql = pg() ? QStringLiteral("SELECT COUNT(*) FROM pg_indexes WHERE tablename = "
                                              "'board_record' AND indexname LIKE 'board_record_%'")
                             : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = "
                                              "'index' AND name LIKE 'board_record_%'");
    ASSERT_TRUE(q.exec(sql));
    ASSERT_TRUE(q.next());
    EXPECT_GE(q.value(0).toInt(), 4);
    if (!pg())
        return;
    // A database a station of the first schema made, records in it: the
    // next station brings it up to date and nothing is lost.
    QString error;
    ASSERT_EQ(b->insert(sampleRecord(JobShape::Failed), &error), RecordStore::Insert::Stored)
        << qPrintable(error);
    for (const char *step :
         {"DELETE FROM schema_version WHERE version > 1", "DROP INDEX board_record_failed",
          "DROP INDEX board_record_board",
          "CREATE INDEX board_record_board ON board_record ((COALESCE(NULLIF(serial_number, ''),"
          " NULLIF(chip_id, ''), record_id)), started_utc)"})
        ASSERT_TRUE(q.exec(QString::fromLatin1(step))) << step;
    EXPECT_EQ(recordSchemaVersion(db), 1);
    auto c = reader(QStringLiteral("c"));
    EXPECT_EQ(recordSchemaVersion(db), latestRecordSchemaVersion());
    EXPECT_EQ(c->count(), 1);
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT indexdef FROM pg_indexes WHERE indexname IN "
                                      "('board_record_board', 'board_record_failed') ORDER BY 1")));
    QStringList defs;
    while (q.next())
        defs << q.value(0).toString();
    ASSERT_EQ(defs.size(), 2);
    EXPECT_TRUE(defs.at(0).contains(QStringLiteral("INCLUDE"))) << qPrintable(defs.at(0));
    EXPECT_TRUE(defs.at(1).contains(QStringLiteral("WHERE"))) << qPrintable(defs.at(1));
}

// A target that cannot be written keeps the record in memory, without a crash,
// and writes it once it can. For the server: it is away and the spool cannot
// be written either (its path is a folder).
TEST_P(RecordStoreTest, AWriteFailureKeepsTheRecordInMemory) {
    const QString missing = m_dir.filePath(QStringLiteral("later"));
    QString spool = spoolPath();
    if (pg()) {
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("spool-is-a-folder"))));
        spool = m_dir.filePath(QStringLiteral("spool-is-a-folder"));
        ASSERT_TRUE(m_pg->stop());
    } else {
        m_target.sqlitePath = missing + QStringLiteral("/data.db");
    }
    RecordWriter w(m_target, spool);
    w.setRetryTiming(20, 100);
    w.submit(sampleRecord(JobShape::Failed));
    EXPECT_FALSE(w.flush(500));
    EXPECT_EQ(w.queuedCount(), 1);
    EXPECT_EQ(w.waitingCount(), 1);
    if (pg())
        ASSERT_TRUE(m_pg->start()) << qPrintable(m_pg->error());
    else
        ASSERT_TRUE(QDir().mkpath(missing));
    EXPECT_TRUE(w.flush(20000));
    EXPECT_EQ(reader()->count(), 1);
}

// The server goes away mid-run: records wait in the spool (and say so), and
// are sent once it is back, each stored once. Records still in memory at exit
// go to the spool, and the next start sends them.
TEST_P(RecordStoreTest, RecordsWaitInTheSpoolWhileTheServerIsAway) {
    if (!pg())
        GTEST_SKIP() << "an SQLite file does not go away";
    QList<BoardRecord> sent;
    for (int i = 0; i < 12; ++i)
        sent << sampleRecord(JobShape(i % 5), i);
    std::atomic<int> lastSignalled{-1};
    {
        auto w = writer();
        QObject::connect(w.get(), &RecordWriter::spoolCountChanged, w.get(),
                         [&](int n) { lastSignalled = n; }, Qt::DirectConnection);
        for (int i = 0; i < 3; ++i)
            w->submit(sent.at(i));
        ASSERT_TRUE(w->flush(20000));
        ASSERT_TRUE(w->targetReachable());
        ASSERT_TRUE(m_pg->stop());
        for (int i = 3; i < 8; ++i)
            w->submit(sent.at(i));
        ASSERT_TRUE(w->flush(20000));
        EXPECT_EQ(w->spoolCount(), 5);
        EXPECT_TRUE(waitFor([&] { return lastSignalled == 5; }));
        EXPECT_FALSE(w->targetReachable());
        // The same record again while it waits: still one.
        w->submit(sent.at(4));
        ASSERT_TRUE(m_pg->start()) << qPrintable(m_pg->error());
        EXPECT_TRUE(waitFor([&] { return w->waitingCount() == 0; }));
        EXPECT_EQ(lastSignalled, 0);

        ASSERT_TRUE(m_pg->stop());
        for (int i = 8; i < 12; ++i)
            w->submit(sent.at(i));
        // Exit while the server is away.
    }
    {
        RecordStore spool(RecordTarget::sqlite(spoolPath()), QStringLiteral("spool"));
        QString error;
        ASSERT_TRUE(spool.open(&error)) << qPrintable(error);
        EXPECT_EQ(spool.count(), 4);
    }
    ASSERT_TRUE(m_pg->start()) << qPrintable(m_pg->error());
    {
        auto w = writer();
        EXPECT_TRUE(waitFor([&] { return w->targetReachable() && w->spoolCount() == 0; }));
    }
    const QList<BoardRecord> stored = reader()->records();
    ASSERT_EQ(stored.size(), sent.size());
    for (int i = 0; i < sent.size(); ++i)
        EXPECT_EQ(stored.at(i), sent.at(i).sanitized()) << i;
}

// A record the server will not take (a day that is no date) waits in the
// spool instead of holding up the records after it.
TEST_P(RecordStoreTest, ARecordTheServerRefusesWaitsInTheSpool) {
    if (!pg())
        GTEST_SKIP() << "SQLite keeps any text";
    BoardRecord bad = sampleRecord(JobShape::UsbOk, 1);
    bad.stationDay = QStringLiteral("2026-13-45");
    const BoardRecord good = sampleRecord(JobShape::Failed, 2);
    {
        auto w = writer();
        ASSERT_TRUE(waitFor([&] { return w->targetReachable(); }));
        w->submit(bad);
        w->submit(good);
        ASSERT_TRUE(w->flush(20000));
        EXPECT_EQ(w->spoolCount(), 1);
        w->submit(sampleRecord(JobShape::Card, 3));
        ASSERT_TRUE(w->flush(20000));
        EXPECT_EQ(w->spoolCount(), 1);
    }
    EXPECT_EQ(reader()->count(), 2);
    RecordStore spool(RecordTarget::sqlite(spoolPath()), QStringLiteral("spool"));
    QString error;
    ASSERT_TRUE(spool.open(&error)) << qPrintable(error);
    const QList<BoardRecord> waiting = spool.records();
    ASSERT_EQ(waiting.size(), 1);
    EXPECT_EQ(waiting.first().recordId, bad.recordId);
}

// A wrong password is the server's clear refusal; the records wait. The
// password comes from PGPASSWORD and appears in no message.
TEST_P(RecordStoreTest, AWrongPasswordIsReportedAndRecordsWait) {
    if (!pg())
        GTEST_SKIP() << "SQLite has no password";
    ASSERT_TRUE(m_pg->psql(QStringLiteral("CREATE ROLE station LOGIN PASSWORD 'Right-1'; "
                                          "GRANT ALL ON SCHEMA public TO station")))
        << qPrintable(m_pg->error());
    RecordTarget t;
    QString error;
    ASSERT_TRUE(parseDatabaseUrl(m_pg->url(QStringLiteral("station")), &t, &error));
    qputenv("PGPASSWORD", "Wrong-2");
    {
        RecordStore s(t, QStringLiteral("wrong"));
        EXPECT_FALSE(s.open(&error));
        EXPECT_TRUE(error.contains(QStringLiteral("password authentication failed")))
            << qPrintable(error);
        EXPECT_FALSE(error.contains(QStringLiteral("Wrong-2")));
        RecordWriter w(t, spoolPath());
        w.submit(sampleRecord(JobShape::UsbOk));
        EXPECT_TRUE(w.flush(20000));
        EXPECT_EQ(w.spoolCount(), 1);
    }
    qputenv("PGPASSWORD", "Right-1");
    {
        RecordWriter w(t, spoolPath());
        EXPECT_TRUE(waitFor([&] { return w.targetReachable() && w.spoolCount() == 0; }));
    }
    qunsetenv("PGPASSWORD");
    EXPECT_EQ(reader()->count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Databases, RecordStoreTest,
                         ::testing::Values(RecordTarget::Sqlite, RecordTarget::Postgres),
                         [](const ::testing::TestParamInfo<RecordTarget::Kind> &info) {
                             return info.param == RecordTarget::Sqlite ? "SQLite" : "PostgreSQL";
                         });

}  // namespace
