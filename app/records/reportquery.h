// The yield report's queries. Every figure is an aggregate the database
// computes (GROUP BY, window functions); only the aggregate rows come back.
// The same SQL runs on SQLite (3.35 or later) and PostgreSQL; where they
// differ, `postgres` picks the spelling.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include "reportdata.h"

// The longest list of failed boards a report carries (the CSV has them all).
constexpr int kReportFailedBoardLimit = 1000;

// The board key of a record: its serial number, else its chip id, else the
// record itself (record_id is text on both databases). The index for first
// attempts is on this very expression, spelt the same as the schema's.
QString reportBoardKeySql();

// Whether the records table is there and readable; a message if not.
bool reportCheckTable(QSqlDatabase db, QString *error);

// Fills every figure of `out` (not its database or time of generation).
bool reportCompute(QSqlDatabase db, bool postgres, const ReportFilter &filter, ReportData *out,
                   QString *error);

// The filter's conditions (" AND ..." each, none for an open filter) on the
// columns of the table named `alias` (none: unqualified), with placeholders
// named after `suffix` so that one statement may hold them twice; and their
// binding. Shared with the CSV export.
QString reportFilterSql(const ReportFilter &filter, const QString &alias = QString(),
                        const QString &suffix = QString());
class QSqlQuery;
void reportBindFilter(QSqlQuery &query, const ReportFilter &filter,
                      const QString &suffix = QString());

// A timestamp as the records store it in SQLite ("yyyy-MM-ddTHH:mm:ss.zzzZ"),
// whichever type the driver returned.
QString reportTimestampText(const QVariant &value);
