#include "reportdb.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>

QString ReportDbTarget::display() const {
    if (!postgres)
        return sqliteFile;
    QString s = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        s += user + QLatin1Char('@');
    if (!host.startsWith(QLatin1Char('/')))
        s += host;
    if (port > 0)
        s += QLatin1Char(':') + QString::number(port);
    s += QLatin1Char('/') + database;
    if (host.startsWith(QLatin1Char('/')))
        s += QStringLiteral("?host=") + host;
    return s;
}

bool reportParseDbUrl(const QString &url, ReportDbTarget *target, QString *error) {
    *target = ReportDbTarget();
    if (url.isEmpty()) {
        target->sqliteFile = QStringLiteral("data.db");
        return true;
    }
    if (url.startsWith(QLatin1String("sqlite:"))) {
        target->sqliteFile = url.mid(7);
        if (target->sqliteFile.startsWith(QLatin1String("//")))
            target->sqliteFile = target->sqliteFile.mid(2);
        if (target->sqliteFile.isEmpty()) {
            *error = QStringLiteral("'%1': no file named after sqlite:").arg(url);
            return false;
        }
        return true;
    }
    if (!url.contains(QLatin1String("://"))) {
        target->sqliteFile = url;
        return true;
    }
    // The password must not reach a message: every message below names the
    // URL without it.
    const QUrl u(url, QUrl::StrictMode);
    QUrl shown = u;
    shown.setPassword(QString());
    const QString name = u.isValid() ? shown.toString() : QStringLiteral("the database URL");
    if (!u.isValid()) {
        *error = QStringLiteral("the database URL does not parse: %1").arg(u.errorString());
        return false;
    }
    const QString scheme = u.scheme().toLower();
    if (scheme != QLatin1String("postgresql") && scheme != QLatin1String("postgres")) {
        *error = QStringLiteral("'%1': only postgresql:// URLs (or an SQLite file) are understood")
                     .arg(name);
        return false;
    }
    if (!u.password().isEmpty()) {
        // It would be seen in the process list and the shell's history.
        *error = QStringLiteral("'%1': a password in the URL is refused; give it in PGPASSWORD "
                                "or ~/.pgpass").arg(name);
        return false;
    }
    target->postgres = true;
    target->user = u.userName(QUrl::FullyDecoded);
    target->host = u.host(QUrl::FullyDecoded);
    target->port = u.port(-1);
    target->database = u.path(QUrl::FullyDecoded);
    if (target->database.startsWith(QLatin1Char('/')))
        target->database = target->database.mid(1);
    if (target->database.isEmpty() || target->database.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("'%1': the URL names no database (postgresql://user@host:port/dbname)")
                     .arg(name);
        return false;
    }
    const QUrlQuery query(u);
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == QLatin1String("host")) {
            target->host = item.second;
        } else if (item.first == QLatin1String("sslmode")) {
            target->sslMode = item.second;
        } else if (item.first == QLatin1String("connect_timeout")) {
            bool ok = false;
            target->connectTimeout = item.second.toInt(&ok);
            if (!ok || target->connectTimeout < 1) {
                *error = QStringLiteral("'%1': connect_timeout must be a number of seconds")
                             .arg(name);
                return false;
            }
        } else {
            *error = QStringLiteral("'%1': unknown URL parameter '%2' (host=, sslmode= and "
                                    "connect_timeout= are understood)")
                         .arg(name, item.first);
            return false;
        }
    }
    if (u.hasQuery() && target->host.isEmpty()) {
        *error = QStringLiteral("'%1': host= names no socket folder").arg(name);
        return false;
    }
    return true;
}

bool reportOpenDb(const ReportDbTarget &target, const QString &connectionName, QString *error) {
    const QString driver = target.postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        *error = target.postgres
                     ? QStringLiteral("the Qt PostgreSQL driver (QPSQL) is not installed: "
                                      "install the package libqt5sql5-psql")
                     : QStringLiteral("the Qt SQLite driver (QSQLITE) is not installed: "
                                      "install the package libqt5sql5-sqlite");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connectionName);
    if (target.postgres) {
        if (!target.host.isEmpty())
            db.setHostName(target.host);
        if (target.port > 0)
            db.setPort(target.port);
        db.setDatabaseName(target.database);
        db.setUserName(target.user);
        // A server that does not answer is a message after a few seconds,
        // not a report that hangs.
        QString options = QStringLiteral("connect_timeout=%1").arg(target.connectTimeout);
        if (!target.sslMode.isEmpty())
            options += QStringLiteral(";sslmode=") + target.sslMode;
        db.setConnectOptions(options);
    } else {
        // QSQLITE would create a missing file; a report must not leave an
        // empty database behind a mistyped name.
        const QFileInfo info(target.sqliteFile);
        if (!info.exists()) {
            *error = QStringLiteral("%1: no such database file").arg(target.sqliteFile);
            return false;
        }
        if (!info.isFile() || !info.isReadable()) {
            *error = QStringLiteral("%1: not a readable database file").arg(target.sqliteFile);
            return false;
        }
        db.setDatabaseName(target.sqliteFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    }
    if (!db.open()) {
        QString why = db.lastError().text().trimmed();
        if (why.isEmpty())
            why = QStringLiteral("unknown error");
        *error = QStringLiteral("cannot open the database %1: %2").arg(target.display(), why);
        return false;
    }
    reportPrepareSession(db, target.postgres);
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
