#include "msg_capture.h"
#include "settings.h"
#include "statisticstore.h"

#include <QDate>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A store whose "today" the test sets, to cross midnight and fill many days.
class DayStore : public StatisticStore {
public:
    using StatisticStore::StatisticStore;
    QString day = QStringLiteral("2024-03-01");

protected:
    QString today() const override { return day; }
};

void removeFiles(const QString &db, const QString &ini) {
    QDir(db).removeRecursively();
    QFile::remove(db);
    QFile::remove(ini);
}

QString currentDay() {
    return QDate::currentDate().toString("yyyy-MM-dd");
}

}  // namespace

TEST(Statistics, FirstResultOfADayInsertsThenUpdates) {
    removeFiles("first.db", "first.ini");
    Settings settings("first.ini");
    MsgCapture messages;
    StatisticStore store(settings, "first", "first.db");
    ASSERT_TRUE(store.isOpen());
    EXPECT_TRUE(settings.isDbInited());
    EXPECT_TRUE(messages.contains(QtDebugMsg, "Create table T_STATISTIC success"));
    EXPECT_EQ(store.recordOfDate(currentDay()).id, -1);

    EXPECT_EQ(store.record(true), 1);
    StatisticRecord row = store.recordOfDate(currentDay());
    EXPECT_NE(row.id, -1);
    EXPECT_EQ(row.successCount, 1);
    EXPECT_EQ(row.failCount, 0);
    EXPECT_EQ(row.date, currentDay());
    EXPECT_TRUE(messages.contains(QtDebugMsg, "Insert statistic of"));

    EXPECT_EQ(store.record(false), 1);
    EXPECT_EQ(store.record(true), 1);
    row = store.recordOfDate(currentDay());
    EXPECT_EQ(row.successCount, 2);
    EXPECT_EQ(row.failCount, 1);
    EXPECT_EQ(store.rowCount(), 1);
    EXPECT_TRUE(messages.contains(QtDebugMsg, "Update"));
    EXPECT_TRUE(messages.of(QtCriticalMsg).isEmpty());

    // A failure first inserts (0, 1).
    DayStore other(settings, "first-b", "first.db");
    other.day = "2000-01-01";
    EXPECT_EQ(other.record(false), 1);
    row = other.recordOfDate("2000-01-01");
    EXPECT_EQ(row.successCount, 0);
    EXPECT_EQ(row.failCount, 1);
}

TEST(Statistics, MidnightStartsANewRowAndPagesAreNewestFirst) {
    removeFiles("pages.db", "pages.ini");
    Settings settings("pages.ini");
    DayStore store(settings, "pages", "pages.db");
    QStringList days;
    const QDate first(2024, 1, 1);
    for (int i = 0; i < 25; ++i) {
        store.day = first.addDays(i).toString("yyyy-MM-dd");
        days.prepend(store.day);
        ASSERT_EQ(store.record(i % 2 == 0), 1);
    }
    EXPECT_EQ(store.rowCount(), 25);

    const QList<StatisticRecord> one = store.page(1, 10);
    ASSERT_EQ(one.size(), 10);
    EXPECT_EQ(one.first().date, days.at(0));
    const QList<StatisticRecord> two = store.page(2, 10);
    ASSERT_EQ(two.size(), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(two.at(i).date, days.at(10 + i));
    }
    EXPECT_EQ(store.page(3, 10).size(), 5);
    EXPECT_TRUE(store.page(4, 10).isEmpty());
    EXPECT_EQ(store.page(0, 10).size(), 25);
    EXPECT_EQ(store.page(1, 0).size(), 25);
    // A far page must not overflow the offset.
    EXPECT_TRUE(store.page(1 << 30, 1 << 20).isEmpty());
}

TEST(Statistics, DateTextIsBoundNotSpliced) {
    removeFiles("bind.db", "bind.ini");
    Settings settings("bind.ini");
    DayStore store(settings, "bind", "bind.db");
    store.day = "2024-03-01";
    ASSERT_EQ(store.record(true), 1);
    EXPECT_EQ(store.recordOfDate("x' OR '1'='1").id, -1);
    EXPECT_EQ(store.recordOfDate("2024-03-01").successCount, 1);
}

TEST(Statistics, CountsSurviveARestart) {
    removeFiles("restart.db", "restart.ini");
    {
        Settings settings("restart.ini");
        StatisticStore store(settings, "restart", "restart.db");
        ASSERT_EQ(store.record(true), 1);
        ASSERT_EQ(store.record(true), 1);
    }
    Settings settings("restart.ini");
    MsgCapture messages;
    StatisticStore store(settings, "restart", "restart.db");
    EXPECT_FALSE(messages.contains(QtDebugMsg, "Create table"));
    EXPECT_EQ(store.recordOfDate(currentDay()).successCount, 2);
    EXPECT_EQ(store.record(false), 1);
    EXPECT_EQ(store.recordOfDate(currentDay()).failCount, 1);
}

TEST(Statistics, TableMissingWhileMarkedFailsEveryRecord) {
    removeFiles("dropped.db", "dropped.ini");
    Settings settings("dropped.ini");
    StatisticStore store(settings, "dropped", "dropped.db");
    ASSERT_TRUE(settings.isDbInited());
    {
        QSqlQuery drop(QSqlDatabase::database("dropped"));
        ASSERT_TRUE(drop.exec("DROP TABLE T_STATISTIC"));
    }
    MsgCapture messages;
    EXPECT_EQ(store.record(true), -1);
    EXPECT_EQ(store.record(false), -1);
    const QStringList critical = messages.of(QtCriticalMsg);
    EXPECT_TRUE(messages.contains(QtCriticalMsg, "statistic of"));
    EXPECT_TRUE(messages.contains(QtCriticalMsg, "no such table"))
        << critical.join("\n").toStdString();
    EXPECT_EQ(store.recordOfDate(currentDay()).id, -1);
    EXPECT_EQ(store.rowCount(), 0);
    EXPECT_TRUE(store.page(1, 10).isEmpty());
}

// Another program holds the database: the window waits a moment only, and the
// results are written once the lock is gone, each exactly once, in one row.
TEST(Statistics, LockedDatabaseKeepsResultsAndWritesThemOnceLater) {
    removeFiles("locked.db", "locked.ini");
    Settings settings("locked.ini");
    StatisticStore store(settings, "locked", "locked.db");
    ASSERT_EQ(store.record(true), 1);
    QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other-program");
    other.setDatabaseName("locked.db");
    ASSERT_TRUE(other.open());
    ASSERT_TRUE(QSqlQuery(other).exec("BEGIN EXCLUSIVE"));
    QElapsedTimer waited;
    waited.start();
    for (bool success : {true, true, false}) {
        EXPECT_EQ(store.record(success), -1);
    }
    // SQLite's default wait would be 5 s per statement.
    EXPECT_LT(waited.elapsed(), 3000);
    EXPECT_EQ(store.pendingCount(), 3);
    ASSERT_TRUE(QSqlQuery(other).exec("ROLLBACK"));
    EXPECT_EQ(store.record(true), 1);
    const StatisticRecord row = store.recordOfDate(currentDay());
    EXPECT_EQ(QList<int>({row.successCount, row.failCount, store.rowCount(), store.pendingCount()}),
              QList<int>({4, 1, 1, 0}));
}

// A database deleted after the mark was set gets its table back at the next start,
// instead of losing every later count.
TEST(Statistics, DeletedDatabaseIsRecreatedAtNextStart) {
    removeFiles("deleted.db", "deleted.ini");
    Settings settings("deleted.ini");
    {
        StatisticStore store(settings, "deleted", "deleted.db");
        ASSERT_EQ(store.record(true), 1);
    }
    ASSERT_TRUE(QFile::remove("deleted.db"));
    ASSERT_TRUE(settings.isDbInited());
    StatisticStore store(settings, "deleted", "deleted.db");
    EXPECT_EQ(store.record(true), 1);
    EXPECT_EQ(store.rowCount(), 1);
}

TEST(Statistics, LostSettingsFileNextToAGoodDatabase) {
    removeFiles("lost.db", "lost.ini");
    {
        Settings settings("lost.ini");
        StatisticStore store(settings, "lost", "lost.db");
        ASSERT_EQ(store.record(true), 1);
    }
    ASSERT_TRUE(QFile::remove("lost.ini"));
    Settings settings("lost.ini");
    MsgCapture messages;
    StatisticStore store(settings, "lost", "lost.db");
    EXPECT_TRUE(messages.of(QtCriticalMsg).isEmpty());
    EXPECT_TRUE(settings.isDbInited());
    EXPECT_EQ(store.record(true), 1);
    EXPECT_EQ(store.recordOfDate(currentDay()).successCount, 2);
}

TEST(Statistics, UnusableDatabaseIsReportedNotFatal) {
    removeFiles("nodb.db", "nodb.ini");
    QDir().mkdir("nodb.db");  // even root cannot use a directory as the database
    Settings settings("nodb.ini");
    MsgCapture messages;
    StatisticStore store(settings, "nodb", "nodb.db");
    EXPECT_FALSE(settings.isDbInited());
    EXPECT_EQ(store.record(true), -1);
    EXPECT_EQ(store.insertRow(1, 0), -1);
    EXPECT_EQ(store.rowCount(), 0);
    EXPECT_TRUE(store.page(0, 0).isEmpty());
    // The open and create failures are reported with these texts alone.
    const QStringList critical = messages.of(QtCriticalMsg);
    EXPECT_TRUE(critical.contains("Failed to open SQLite!") ||
                critical.contains("Create table T_STATISTIC failed!"))
        << critical.join("\n").toStdString();
}

TEST(Statistics, ReadOnlyDatabaseIsReported) {
    removeFiles("ro.db", "ro.ini");
    Settings settings("ro.ini");
    {
        StatisticStore store(settings, "ro", "ro.db");
        ASSERT_EQ(store.record(true), 1);
    }
    if (geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind root";
    }
    ASSERT_TRUE(QFile::setPermissions("ro.db", QFile::ReadOwner));
    MsgCapture messages;
    StatisticStore store(settings, "ro", "ro.db");
    EXPECT_EQ(store.record(true), -1);
    EXPECT_TRUE(messages.contains(QtCriticalMsg, "failed:"));
    EXPECT_EQ(store.recordOfDate(currentDay()).successCount, 1);
    QFile::setPermissions("ro.db", QFile::ReadOwner | QFile::WriteOwner);
}

// The store stays open for the rest of the process (and across --gtest_repeat), so
// its file is left alone here; the count is checked relative to what was there.
TEST(Statistics, ProcessWideStoreUsesDataDbInTheCurrentDirectory) {
    StatisticStore &store = StatisticStore::instance();
    EXPECT_EQ(&store, &StatisticStore::instance());
    ASSERT_TRUE(store.isOpen());
    const int before = store.recordOfDate(currentDay()).successCount;
    EXPECT_EQ(store.record(true), 1);
    EXPECT_EQ(store.recordOfDate(currentDay()).successCount, before + 1);
    EXPECT_TRUE(QFile::exists(QDir::current().absoluteFilePath("data.db")));
    EXPECT_TRUE(Settings::instance().isDbInited());
}
