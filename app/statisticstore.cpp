#include "statisticstore.h"

#include "settings.h"

#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

// SQLite compiles a statement when it is prepared, so a missing table shows up as
// a failed prepare; exec() would then replace the driver's message with a
// parameter count mismatch. Hence exec() runs only after a successful prepare.

namespace {
const char kCreateTable[] =
    "CREATE TABLE T_STATISTIC(                                    id           INTEGER PRIMARY "
    "KEY AUTOINCREMENT,                                    success_cnt  INTEGER,               "
    "                     fail_cnt     INTEGER,                                    date_str     "
    "VARCHAR(10)                               )";
const char kInsert[] =
    "INSERT INTO                         T_STATISTIC(success_cnt, fail_cnt, date_str)         "
    "                VALUES(?, ?, ?)";
const char kSelectDate[] =
    "SELECT id, success_cnt, fail_cnt, date_str                 FROM T_STATISTIC              "
    "   WHERE date_str = ?";
// Counts kept because the database was busy or unusable are added in one go.
const char kUpdate[] =
    "UPDATE T_STATISTIC                         SET success_cnt = success_cnt + ?, fail_cnt = "
    "fail_cnt + ?                         WHERE id = ?";
const char kRowCount[] = "SELECT COUNT(id) total FROM T_STATISTIC";
const char kPage[] =
    "SELECT id, success_cnt, fail_cnt, date_str             FROM T_STATISTIC             ORDER "
    "BY date_str DESC";

constexpr int kBusyTimeoutMs = 200;
constexpr int kRetryMs = 5000;
constexpr int kRetryMaxMs = 5 * 60 * 1000;

StatisticRecord readRow(const QSqlQuery &query) {
    StatisticRecord rec;
    rec.id = query.value(0).toInt();
    rec.successCount = query.value(1).toInt();
    rec.failCount = query.value(2).toInt();
    rec.date = query.value(3).toString();
    return rec;
}
}  // namespace

StatisticStore &StatisticStore::instance() {
    static StatisticStore store(Settings::instance(),
                                QString::fromLatin1(QSqlDatabase::defaultConnection));
    return store;
}

StatisticStore::StatisticStore(Settings &settings, const QString &connectionName,
                               const QString &databaseName)
    : connection(connectionName) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(databaseName);
    // Another program holding the database must not stall the window: SQLite
    // waits 5 s by default, per statement. A result that meets a lock is kept and
    // written later instead.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    open(settings);
}

StatisticStore::~StatisticStore() {
    if (!pending.isEmpty()) {
        writePending(QString());
    }
    for (auto it = pending.constBegin(); it != pending.constEnd(); ++it) {
        qCritical() << "Statistic of" << it.key() << "not written:" << it->first << "success,"
                    << it->second << "fail";
    }
    delete retryTimer;
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
}

void StatisticStore::open(Settings &settings) {
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.open()) {
        qCritical() << "Failed to open SQLite!";
        return;
    }
    // The mark alone would leave a deleted or replaced database without its table
    // for good, losing every later count; and a settings file lost next to a good
    // database would make every start fail to create the table again. So the
    // table's presence decides, and the mark follows it.
    if (tableExists()) {
        if (!settings.isDbInited()) {
            settings.setDbInited();
        }
        return;
    }
    QSqlQuery query(db);
    if (!query.exec(QString::fromLatin1(kCreateTable))) {
        qCritical() << "Create table T_STATISTIC failed!";
        return;
    }
    qDebug() << "Create table T_STATISTIC success";
    settings.setDbInited();
}

bool StatisticStore::tableExists() const {
    const QSqlDatabase db = QSqlDatabase::database(connection, false);
    return db.tables().contains(QStringLiteral("T_STATISTIC"), Qt::CaseInsensitive);
}

bool StatisticStore::isOpen() const {
    return QSqlDatabase::database(connection, false).isOpen();
}

QString StatisticStore::today() const {
    return QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
}

int StatisticStore::record(bool success) {
    const QString date = today();
    QPair<int, int> &counts = pending[date];
    (success ? counts.first : counts.second) += 1;
    const int result = writePending(date);
    if (!pending.isEmpty()) {
        scheduleRetry();
    }
    return result;
}

int StatisticStore::pendingCount() const {
    int count = 0;
    for (const QPair<int, int> &counts : pending) {
        count += counts.first + counts.second;
    }
    return count;
}

int StatisticStore::writePending(const QString &date) {
    int result = 0;
    for (auto it = pending.begin(); it != pending.end();) {
        const int changed = addToDay(it.key(), it->first, it->second);
        if (changed < 0) {
            ++it;
            continue;
        }
        if (it.key() == date) {
            result = changed;
        }
        it = pending.erase(it);
    }
    return pending.contains(date) ? -1 : result;
}

void StatisticStore::scheduleRetry() {
    if (!QCoreApplication::instance()) {
        return;
    }
    if (!retryTimer) {
        retryTimer = new QTimer;
        retryTimer->setSingleShot(true);
        retryTimer->setInterval(kRetryMs);
        retryTimer->callOnTimeout([this] {
            writePending(QString());
            if (!pending.isEmpty()) {
                // A database that stays unusable is tried less and less often,
                // so the log is not flooded; any new result tries at once.
                retryTimer->setInterval(qMin(retryTimer->interval() * 2, kRetryMaxMs));
                retryTimer->start();
            } else {
                retryTimer->setInterval(kRetryMs);
            }
        });
    }
    if (!retryTimer->isActive()) {
        retryTimer->start();
    }
}

int StatisticStore::addToDay(const QString &date, int successCnt, int failCnt) {
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery query(db);
    // Immediate: the look-up and the write below are one step for every other
    // writer too, so that no second row for the day can come in between.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        qCritical() << "Write statistic of" << date << "failed:" << query.lastError().text()
                    << "(kept to be written later)";
        return -1;
    }
    auto rollback = [&db] { QSqlQuery(db).exec(QStringLiteral("ROLLBACK")); };
    StatisticRecord row;
    if (!lookUp(date, &row)) {
        rollback();
        return -1;
    }
    int changed = 0;
    if (row.id == -1) {
        changed = insertFor(date, successCnt, failCnt);
    } else {
        // By id: a day that an earlier version doubled keeps counting once.
        const bool prepared = query.prepare(QString::fromLatin1(kUpdate));
        query.addBindValue(successCnt);
        query.addBindValue(failCnt);
        query.addBindValue(row.id);
        const QString what = failCnt == 0   ? QStringLiteral("success_cnt")
                             : successCnt == 0 ? QStringLiteral("fail_cnt")
                                               : QStringLiteral("success_cnt and fail_cnt");
        if (!prepared || !query.exec()) {
            qCritical() << "Update" << what << "of" << date << "failed:" << query.lastError().text();
            changed = -1;
        } else {
            qDebug() << "Update" << what << "of" << date;
            changed = query.numRowsAffected();
        }
    }
    if (changed < 0) {
        rollback();
        return -1;
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        qCritical() << "Write statistic of" << date << "failed:" << query.lastError().text()
                    << "(kept to be written later)";
        rollback();
        return -1;
    }
    return changed;
}

int StatisticStore::insertRow(int successCnt, int failCnt) {
    return insertFor(today(), successCnt, failCnt);
}

int StatisticStore::insertFor(const QString &date, int successCnt, int failCnt) {
    QSqlQuery query(QSqlDatabase::database(connection, false));
    const bool prepared = query.prepare(QString::fromLatin1(kInsert));
    query.addBindValue(successCnt);
    query.addBindValue(failCnt);
    query.addBindValue(date);
    if (!prepared || !query.exec()) {
        qCritical() << "Insert statistic of" << date << "failed:" << query.lastError().text();
        return -1;
    }
    qDebug() << "Insert statistic of" << date;
    return 1;
}

StatisticRecord StatisticStore::recordOfDate(const QString &date) {
    StatisticRecord row;
    lookUp(date, &row);
    return row;
}

bool StatisticStore::lookUp(const QString &date, StatisticRecord *row) {
    *row = StatisticRecord();
    QSqlQuery query(QSqlDatabase::database(connection, false));
    const bool prepared = query.prepare(QString::fromLatin1(kSelectDate));
    query.addBindValue(date);
    if (!prepared || !query.exec()) {
        qCritical() << "Query statistic of" << date << "failed:" << query.lastError().text();
        return false;
    }
    if (query.next()) {
        *row = readRow(query);
    }
    return true;
}

int StatisticStore::rowCount() {
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!query.exec(QString::fromLatin1(kRowCount))) {
        qCritical() << "Count statistic failed:" << query.lastError().text();
        return 0;
    }
    if (!query.next()) {
        return 0;
    }
    return query.value(0).toInt();
}

QList<StatisticRecord> StatisticStore::page(int pageNo, int pageSize) {
    // What is shown includes the results kept for later, when they can go in now.
    if (!pending.isEmpty()) {
        writePending(QString());
    }
    QList<StatisticRecord> rows;
    QSqlQuery query(QSqlDatabase::database(connection, false));
    const bool limited = pageNo >= 1 && pageSize >= 1;
    QString text = QString::fromLatin1(kPage);
    if (limited) {
        text += QStringLiteral(" LIMIT ?, ?");
    }
    const bool prepared = query.prepare(text);
    if (limited) {
        query.addBindValue(static_cast<qint64>(pageNo - 1) * pageSize);
        query.addBindValue(pageSize);
    }
    if (!prepared || !query.exec()) {
        qCritical() << "Query statistic page" << pageNo << "failed:" << query.lastError().text();
        return rows;
    }
    while (query.next()) {
        rows.append(readRow(query));
    }
    return rows;
}
