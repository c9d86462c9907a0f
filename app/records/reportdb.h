// Opens the database the records live in, from the text a user gives with
// --db: a PostgreSQL URL, or an SQLite file (data.db by default).
#pragma once

#include <QSqlDatabase>
#include <QString>

struct ReportDbTarget {
    bool postgres = false;
    QString sqliteFile;  // SQLite only
    QString user, host, database;  // PostgreSQL only; host may be a socket folder
    int port = -1;
    QString sslMode;
    int connectTimeout = 5;  // seconds
    // The target as a reader may see it: never the password.
    QString display() const;
};

// Parses `url`:
//   postgresql://[user@][host][:port]/dbname[?host=/socket/folder]
//   [&sslmode=MODE][&connect_timeout=SECONDS]
//   (also postgres://; the user and dbname may be %-encoded; a password is
//   refused: libpq reads it from PGPASSWORD or ~/.pgpass),
//   sqlite:PATH, or a plain file path (no "://") for an SQLite file.
// An empty text means the SQLite file "data.db" in the current directory,
// where the window keeps its counters. False and *error when it does not parse.
bool reportParseDbUrl(const QString &url, ReportDbTarget *target, QString *error);

// Opens `target` read-only on a connection of its own name. False and
// a message naming the target (not its password) when it cannot be opened;
// an SQLite file that does not exist is not created.
bool reportOpenDb(const ReportDbTarget &target, const QString &connectionName, QString *error);

// The session settings the report's queries count on (PostgreSQL: ISO dates,
// UTC, memory to hash its groupings in); for every connection it opens.
void reportPrepareSession(QSqlDatabase db, bool postgres);
