// Per-day counts of successful and failed burns in the SQLite database "data.db".
#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

class Settings;

struct StatisticRecord {
    int id = -1;  // -1: no row found
    int successCount = 0;
    int failCount = 0;
    QString date;  // "yyyy-MM-dd"
};

// Failures are reported as critical messages and give -1 (record, insert) or an
// empty result (id -1, 0 rows, an empty page); nothing is retried.
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

    // Counts one burn result for today: rows changed (1 after an insert), -1 on failure.
    int record(bool success);
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

    QString connection;
};
