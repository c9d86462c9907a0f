// The one place a Qt SQL connection is made for a records database, for the
// station's writer (reads and writes, creates the file) and for the report
// (reads only, never creates a file behind a mistyped name).
#pragma once

#include <QSqlDatabase>
#include <QString>

#include "recordtarget.h"

enum class RecordAccess { ReadWrite, ReadOnly };

// Adds the connection `name` for `target`, not yet open. Invalid when the
// Qt SQL driver is missing (recordDriverMissingText says which package).
QSqlDatabase addRecordConnection(const RecordTarget &target, const QString &name,
                                 RecordAccess access);

// Opens the connection added by addRecordConnection. False with the reason
// (without the target's name): the missing driver, for ReadOnly a missing or
// unreadable SQLite file, or the server's (or SQLite's) own words.
bool openRecordConnection(QSqlDatabase db, const RecordTarget &target, RecordAccess access,
                          QString *error);
