#include "recordconnection.h"

#include "recordschema.h"

#include <QFileInfo>
#include <QSqlError>
#include <QStringList>

namespace {
constexpr int kSqliteBusyMs = 3000;
}

QSqlDatabase addRecordConnection(const RecordTarget &target, const QString &name,
                                 RecordAccess access) {
    const bool pg = target.kind == RecordTarget::Postgres;
    QSqlDatabase db =
        QSqlDatabase::addDatabase(pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), name);
    if (!db.isValid())
        return db;
    if (pg) {
        db.setHostName(target.host);
        db.setPort(target.port);
        db.setUserName(target.user);
        db.setDatabaseName(target.database);
        // No password set: the client library reads PGPASSWORD or ~/.pgpass.
        // A server that vanishes without closing the connection (a cable
        // pulled) is noticed within about half a minute instead of never.
        QStringList options{QStringLiteral("connect_timeout=%1").arg(target.connectTimeoutS),
                            QStringLiteral("application_name=kelflash"),
                            QStringLiteral("keepalives=1"), QStringLiteral("keepalives_idle=10"),
                            QStringLiteral("keepalives_interval=5"),
                            QStringLiteral("keepalives_count=3"),
                            QStringLiteral("tcp_user_timeout=30000")};
        if (!target.sslMode.isEmpty())
            options << QStringLiteral("sslmode=%1").arg(target.sslMode);
        db.setConnectOptions(options.join(QLatin1Char(';')));
    } else {
        db.setDatabaseName(target.sqlitePath);
        QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kSqliteBusyMs);
        if (access == RecordAccess::ReadOnly)
            options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        db.setConnectOptions(options);
    }
    return db;
}

bool openRecordConnection(QSqlDatabase db, const RecordTarget &target, RecordAccess access,
                          QString *error) {
    const bool pg = target.kind == RecordTarget::Postgres;
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!db.isValid())
        return fail(pg ? QStringLiteral("the Qt PostgreSQL driver (QPSQL) is not installed: "
                                        "install the package libqt5sql5-psql")
                       : QStringLiteral("the Qt SQLite driver (QSQLITE) is not installed: "
                                        "install the package libqt5sql5-sqlite"));
    if (db.isOpen())
        return true;
    if (!pg && access == RecordAccess::ReadOnly) {
        // Even read-only, QSQLITE would create a missing file; a reader must
        // not leave an empty database behind a mistyped name.
        const QFileInfo info(target.sqlitePath);
        if (!info.exists())
            return fail(QStringLiteral("no such database file"));
        if (!info.isFile() || !info.isReadable())
            return fail(QStringLiteral("not a readable database file"));
    }
    if (!db.open()) {
        QString why = sqlErrorText(db.lastError());
        return fail(why.isEmpty() ? QStringLiteral("unknown error") : why);
    }
    return true;
}
