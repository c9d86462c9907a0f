// The records themselves as CSV, for a spreadsheet or a manufacturing system.
#pragma once

#include <QSqlDatabase>
#include <QString>

#include "reportdata.h"

class QIODevice;

// Writes every record the filter selects (burns and card jobs), oldest first:
// a header row with the column names, then one row per record, RFC 4180
// quoting, UTF-8, CRLF line ends. Rows are fetched and written one at a time.
// Timestamps are written as "yyyy-MM-ddTHH:mm:ss.zzzZ" whatever the database.
// *rows counts the records written. False and *error on a database or write
// failure.
bool reportWriteCsv(QSqlDatabase db, const ReportFilter &filter, QIODevice *out, qint64 *rows,
                    QString *error);

// One CSV field, quoted when it holds a comma, quote, CR or LF (or starts or
// ends with a space, which some readers would otherwise strip).
QByteArray reportCsvField(const QString &text);
