#include "reportdb.h"

#include <QSqlQuery>

#include "recordconnection.h"

bool reportTargetFor(const QString &db, RecordTarget *target, QString *error) {
    if (db.isEmpty()) {
        *target = RecordTarget::sqlite(QStringLiteral("data.db"));
        return true;
    }
    return parseDatabaseUrl(db, target, error, BarePath::Sqlite);
}

bool reportOpenDb(const RecordTarget &target, const QString &connectionName, QString *error) {
    QSqlDatabase db = addRecordConnection(target, connectionName, RecordAccess::ReadOnly);
    QString why;
    if (!openRecordConnection(db, target, RecordAccess::ReadOnly, &why)) {
        if (!db.isValid())
            *error = why;
        else if (target.kind == RecordTarget::Sqlite)
            *error = QStringLiteral("%1: %2").arg(target.sqlitePath, why);
        else
            *error = QStringLiteral("cannot open the database %1: %2")
                         .arg(target.displayText(), why);
        return false;
    }
    reportPrepareSession(db, target.kind == RecordTarget::Postgres);
    return true;
}

void reportPrepareSession(QSqlDatabase db, bool postgres) {
    if (!postgres)
        return;
    // Dates as text the same way on every server. The report's groupings
    // are a few thousand rows however many records there are, but the
    // planner cannot know that and would sort a million rows rather than hash
    // them within the default 4 MB; and compiling the report's few queries
    // (JIT) costs more than it saves.
    QSqlQuery q(db);
    q.exec(QStringLiteral("SET DateStyle = ISO"));
    q.exec(QStringLiteral("SET TimeZone = 'UTC'"));
    q.exec(QStringLiteral("SET work_mem = '256MB'"));
    q.exec(QStringLiteral("SET jit = off"));
}
