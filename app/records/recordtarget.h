// Where board records are kept: the station's own SQLite file (data.db by
// default) or a fleet's PostgreSQL database named by a URL
//   postgresql://user@host:port/dbname            (or postgres://)
//   postgresql://user@/dbname?host=/run/postgresql (a Unix socket folder)
//   sqlite:/path/to/file.db                        (another SQLite file)
//   /path/to/file.db                               (where the caller allows it)
// A password is never part of the URL: the server's client library reads it
// from PGPASSWORD or ~/.pgpass, so it lands in no settings file and no log.
#pragma once

#include <QString>

struct RecordTarget {
    enum Kind { Sqlite, Postgres };
    Kind kind = Sqlite;
    QString sqlitePath;  // Sqlite
    // Postgres: a host name, an address, or a socket folder (starts with '/').
    QString host;
    int port = 5432;
    QString user;
    QString database;
    QString sslMode;         // empty: the client library's default
    int connectTimeoutS = 5;

    static RecordTarget sqlite(const QString &path);
    // The target as a text for messages (never carries a password).
    QString displayText() const;
};

// What a text that is no URL (no "word:" in front) means: refused, or the
// name of an SQLite file (the report's --db data.db).
enum class BarePath { Refused, Sqlite };

// Parses a database URL strictly. False with a message naming what is wrong
// (the URL shown in it with any password masked).
bool parseDatabaseUrl(const QString &url, RecordTarget *target, QString *error,
                      BarePath barePath = BarePath::Refused);

// The URL with a password in it replaced by "***", for messages.
QString maskedDatabaseUrl(const QString &url);
