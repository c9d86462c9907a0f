// Opens the database the records live in for a report, from the text a user
// gives with --db: a database URL (see recordtarget.h), or a plain SQLite
// file path (data.db by default).
#pragma once

#include <QSqlDatabase>
#include <QString>

#include "recordtarget.h"

// The target `db` names; an empty text means the SQLite file "data.db" in
// the current directory, where the window keeps its counters. False and
// *error when it does not parse.
bool reportTargetFor(const QString &db, RecordTarget *target, QString *error);

// Opens `target` read-only on a connection of its own name. False and
// a message naming the target (not its password) when it cannot be opened;
// an SQLite file that does not exist is not created.
bool reportOpenDb(const RecordTarget &target, const QString &connectionName, QString *error);

// The session settings the report's queries count on (PostgreSQL: ISO dates,
// UTC, memory to hash its groupings in); for every connection it opens.
void reportPrepareSession(QSqlDatabase db, bool postgres);
