// Per-day counts of successful and failed burns in the SQLite database "data.db".
#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QSqlDatabase>
#include <QString>

class QTimer;
class Settings;

struct StatisticRecord {
    int id = -1;  // -1: no row found
    int successCount = 0;
    int failCount = 0;
    QString date;  // "yyyy-MM-dd"
};

// Failures are reported as critical messages and give -1 (record, insert) or an
// empty result (id -1, 0 rows, an empty page). A burn result that cannot be
// written (the database is locked by another program, or unusable) is kept and
// written with the next one or a few seconds later, once.
class StatisticStore {
public:
    // The process-wide store on the application's default connection and the
    // process-wide settings, opened on first use. GUI thread only.
    static StatisticStore &instance();

    // A store on its own connection (removed again on destruction); the table's
    // creation mark is kept in `settings`, which must outlive the store.
    StatisticStore(Settings &settings, const QString &connectionName,
                   const QString &databaseName = QStringLiteral("data.db"));
    virtual ~StatisticStore();
    StatisticStore(const StatisticStore &) = delete;
    StatisticStore &operator=(const StatisticStore &) = delete;

    bool isOpen() const;

    // Counts one burn result for today: rows changed (1 after an insert); -1 when
    // it could not be written now (it is kept and written later).
    int record(bool success);
    // Results kept because they could not be written yet.
    int pendingCount() const;
    // Inserts today's row: 1 on success, -1 on failure.
    int insertRow(int successCnt, int failCnt);
    StatisticRecord recordOfDate(const QString &date);
    int rowCount();
    // Rows newest first; pages count from 1. A page number or size below 1 gives
    // every row.
    QList<StatisticRecord> page(int pageNo, int pageSize);

protected:
    // Today's date text, looked up at every use so that a result just after
    // midnight goes to the new day.
    virtual QString today() const;

private:
    void open(Settings &settings);
    bool tableExists() const;
    // Writes every kept result in one transaction each per day; the rows changed
    // for `date`'s entry (or 0 when it was not among them), -1 when any failed.
    int writePending(const QString &date);
    // Adds the counts to the day's row, or inserts it, in one transaction.
    int addToDay(const QString &date, int successCnt, int failCnt);
    int insertFor(const QString &date, int successCnt, int failCnt);
    // The day's row into `row` (id -1: none); false when the look-up failed.
    bool lookUp(const QString &date, StatisticRecord *row);
    void scheduleRetry();

    QString connection;
    // Results not yet in the database: date -> (successes, failures).
    QMap<QString, QPair<int, int>> pending;
    QTimer *retryTimer = nullptr;
};
