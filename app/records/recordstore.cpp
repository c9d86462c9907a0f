#include "recordstore.h"

#include "recordconnection.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace {
QVariant textOrNull(const QString &s) {
    return s.isEmpty() ? QVariant(QVariant::String) : QVariant(s);
}
QVariant numberOrNull(qint64 n) {
    return n < 0 ? QVariant(QVariant::LongLong) : QVariant(n);
}
QString selectList(SqlDialect dialect) {
    QStringList cols = recordColumns();
    if (dialect == SqlDialect::Postgres) {
        // Times and days as texts in UTC, read the same way on both databases.
        for (QString &c : cols) {
            if (c == QLatin1String("started_utc") || c == QLatin1String("ended_utc"))
                c = QStringLiteral("to_char(%1 AT TIME ZONE 'UTC', "
                                   "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
                        .arg(c);
            else if (c == QLatin1String("station_day"))
                c = QStringLiteral("to_char(station_day, 'YYYY-MM-DD')");
        }
    }
    return cols.join(QStringLiteral(", "));
}
}  // namespace

QString recordTimeText(const QDateTime &t) {
    return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

RecordStore::RecordStore(const RecordTarget &target, const QString &connectionName)
    : m_target(target), m_connection(connectionName) {
    addRecordConnection(target, m_connection, RecordAccess::ReadWrite);
}

RecordStore::~RecordStore() {
    close();
    QSqlDatabase::removeDatabase(m_connection);
}

SqlDialect RecordStore::dialect() const {
    return m_target.kind == RecordTarget::Postgres ? SqlDialect::Postgres : SqlDialect::Sqlite;
}

QSqlDatabase RecordStore::database() const {
    return QSqlDatabase::database(m_connection, false);
}

bool RecordStore::open(QString *error) {
    QSqlDatabase db = database();
    if (db.isOpen())
        return true;
    if (!openRecordConnection(db, m_target, RecordAccess::ReadWrite, error))
        return false;
    QString why;
    if (!migrateRecordSchema(db, dialect(), &why)) {
        if (error)
            *error = QStringLiteral("cannot create or update the table board_record: %1").arg(why);
        db.close();
        return false;
    }
    return true;
}

void RecordStore::close() {
    QSqlDatabase db = database();
    if (db.isValid() && db.isOpen())
        db.close();
}

bool RecordStore::isOpen() const {
    return database().isOpen();
}

bool RecordStore::ping() {
    QSqlDatabase db = database();
    if (!db.isOpen())
        return false;
    QSqlQuery q(db);
    return q.exec(QStringLiteral("SELECT 1")) && q.next();
}

RecordStore::Insert RecordStore::insert(const BoardRecord &in, QString *error) {
    const BoardRecord r = in.sanitized();
    QSqlQuery q(database());
    static const QString sql = [] {
        QStringList marks;
        for (int i = 0; i < recordColumns().size(); ++i)
            marks << QStringLiteral("?");
        // Both databases know this form (SQLite since 3.24).
        return QStringLiteral("INSERT INTO board_record (%1) VALUES (%2) ON CONFLICT (record_id) "
                              "DO NOTHING")
            .arg(recordColumns().join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    }();
    if (!q.prepare(sql)) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return Insert::Failed;
    }
    const QVariantList values{
        r.recordId,
        recordTimeText(r.startedUtc),
        recordTimeText(r.endedUtc),
        r.utcOffsetS,
        r.stationDay,
        r.station,
        r.operatorName,
        r.programVersion,
        r.jobKind,
        r.link,
        textOrNull(r.location),
        textOrNull(r.boardInfo),
        textOrNull(r.chipId),
        textOrNull(r.serialNumber),
        textOrNull(r.cardVendor),
        textOrNull(r.cardProduct),
        numberOrNull(r.cardSize),
        textOrNull(r.cardIdentity),
        textOrNull(r.imagePath),
        textOrNull(r.imageName),
        numberOrNull(r.imageSize),
        textOrNull(r.imagePlatform),
        textOrNull(r.imageProduct),
        textOrNull(r.imageVersion),
        textOrNull(r.imageSha256),
        textOrNull(r.components),
        r.bytesWritten,
        r.durationMs,
        r.retries,
        r.result,
        textOrNull(r.failureCode),
        textOrNull(r.failureMessage),
        textOrNull(r.failedComponent),
    };
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec()) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return Insert::Failed;
    }
    return q.numRowsAffected() > 0 ? Insert::Stored : Insert::Duplicate;
}

bool RecordStore::inTransaction(const std::function<bool(QString *)> &body, QString *error) {
    QSqlQuery q(database());
    // SQLite: take the write lock first, so that the counters' writer waits
    // for us (or we for it) instead of one of us failing half-way.
    if (!q.exec(dialect() == SqlDialect::Sqlite ? QStringLiteral("BEGIN IMMEDIATE")
                                                : QStringLiteral("BEGIN"))) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return false;
    }
    if (!body(error) || !q.exec(QStringLiteral("COMMIT"))) {
        if (error && error->isEmpty())
            *error = sqlErrorText(q.lastError());
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

bool RecordStore::insertAll(const QList<BoardRecord> &records, QString *error) {
    return inTransaction(
        [&](QString *why) {
            for (const BoardRecord &r : records) {
                if (insert(r, why) == Insert::Failed)
                    return false;
            }
            return true;
        },
        error);
}

bool RecordStore::removeAll(const QStringList &recordIds, QString *error) {
    return inTransaction(
        [&](QString *why) {
            for (const QString &id : recordIds) {
                if (!remove(id, why))
                    return false;
            }
            return true;
        },
        error);
}

BoardRecord RecordStore::read(const QSqlQuery &q) const {
    BoardRecord r;
    int i = 0;
    auto text = [&] { return q.value(i++).toString(); };
    auto number = [&] {
        const QVariant v = q.value(i++);
        return v.isNull() ? qint64(-1) : v.toLongLong();
    };
    auto time = [&] {
        QDateTime t = QDateTime::fromString(q.value(i++).toString(), Qt::ISODateWithMs);
        return t.toUTC();
    };
    r.recordId = text();
    r.startedUtc = time();
    r.endedUtc = time();
    r.utcOffsetS = int(number());
    r.stationDay = text();
    r.station = text();
    r.operatorName = text();
    r.programVersion = text();
    r.jobKind = text();
    r.link = text();
    r.location = text();
    r.boardInfo = text();
    r.chipId = text();
    r.serialNumber = text();
    r.cardVendor = text();
    r.cardProduct = text();
    r.cardSize = number();
    r.cardIdentity = text();
    r.imagePath = text();
    r.imageName = text();
    r.imageSize = number();
    r.imagePlatform = text();
    r.imageProduct = text();
    r.imageVersion = text();
    r.imageSha256 = text();
    r.components = text();
    r.bytesWritten = number();
    r.durationMs = number();
    r.retries = int(number());
    r.result = text();
    r.failureCode = text();
    r.failureMessage = text();
    r.failedComponent = text();
    return r;
}

QList<BoardRecord> RecordStore::oldest(int limit, QString *error) {
    QList<BoardRecord> out;
    QSqlQuery q(database());
    // SQLite's rowid grows with every insert: the spool's order of arrival.
    const QString order = dialect() == SqlDialect::Sqlite ? QStringLiteral("rowid")
                                                          : QStringLiteral("started_utc");
    if (!q.exec(QStringLiteral("SELECT %1 FROM board_record ORDER BY %2 LIMIT %3")
                    .arg(selectList(dialect()), order)
                    .arg(limit))) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return out;
    }
    while (q.next())
        out.append(read(q));
    return out;
}

bool RecordStore::remove(const QString &recordId, QString *error) {
    QSqlQuery q(database());
    q.prepare(QStringLiteral("DELETE FROM board_record WHERE record_id = ?"));
    q.addBindValue(recordId);
    if (!q.exec()) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return false;
    }
    return true;
}

qint64 RecordStore::count(QString *error) {
    QSqlQuery q(database());
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM board_record")) || !q.next()) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return -1;
    }
    return q.value(0).toLongLong();
}

QList<BoardRecord> RecordStore::records(const QString &where, QString *error) {
    QList<BoardRecord> out;
    QSqlQuery q(database());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT %1 FROM board_record %2 ORDER BY started_utc, record_id")
                    .arg(selectList(dialect()),
                         where.isEmpty() ? QString() : QStringLiteral("WHERE ") + where))) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return out;
    }
    while (q.next())
        out.append(read(q));
    return out;
}
