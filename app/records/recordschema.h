// The table "board_record" and its migrations, on SQLite and PostgreSQL.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

enum class SqlDialect { Sqlite, Postgres };

class QSqlError;

// A failed statement's or connection's reason on one line.
QString sqlErrorText(const QSqlError &e);

// The columns of "board_record" in the order the store binds and reads them.
const QStringList &recordColumns();

// The board's key for first-pass yield: its serial number when it has one,
// else its chip identifier, else the record itself. Reports group by this very
// expression so that its index serves them.
QString boardKeyExpression();

// The newest schema version this program knows.
int latestRecordSchemaVersion();

// Brings the schema up to date: each migration runs once, in a transaction of
// its own; on PostgreSQL serialized by an advisory lock so that stations
// starting together do not both run it. False with the reason in `error`.
bool migrateRecordSchema(QSqlDatabase &db, SqlDialect dialect, QString *error);

// The version the database is at (0: none), -1 when it cannot be read.
int recordSchemaVersion(QSqlDatabase &db);
