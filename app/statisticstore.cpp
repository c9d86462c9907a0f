#include "statisticstore.h"

#include "settings.h"

#include <QDate>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
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
const char kRowCount[] = "SELECT COUNT(id) total FROM T_STATISTIC";
const char kPage[] =
    "SELECT id, success_cnt, fail_cnt, date_str             FROM T_STATISTIC             ORDER "
    "BY date_str DESC";

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
    open(settings);
}

StatisticStore::~StatisticStore() {
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
    const StatisticRecord row = recordOfDate(date);
    if (row.id == -1) {
        return success ? insertRow(1, 0) : insertRow(0, 1);
    }
    // The column name comes from these two constants only, never from input.
    const QString column = success ? QStringLiteral("success_cnt") : QStringLiteral("fail_cnt");
    QSqlQuery query(QSqlDatabase::database(connection, false));
    const bool prepared =
        query.prepare(QStringLiteral("UPDATE T_STATISTIC                         SET ") + column +
                      QStringLiteral(" = ") + column +
                      QStringLiteral(" + 1                         WHERE date_str = ?"));
    query.addBindValue(date);
    if (!prepared || !query.exec()) {
        qCritical() << "Update" << column << "of" << date << "failed:" << query.lastError().text();
        return -1;
    }
    qDebug() << "Update" << column << "of" << date;
    return query.numRowsAffected();
}

int StatisticStore::insertRow(int successCnt, int failCnt) {
    const QString date = today();
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
    QSqlQuery query(QSqlDatabase::database(connection, false));
    const bool prepared = query.prepare(QString::fromLatin1(kSelectDate));
    query.addBindValue(date);
    if (!prepared || !query.exec()) {
        qCritical() << "Query statistic of" << date << "failed:" << query.lastError().text();
        return StatisticRecord();
    }
    if (!query.next()) {
        return StatisticRecord();
    }
    return readRow(query);
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
