#include "reportcsv.h"

#include <QDate>
#include <QIODevice>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include "reportquery.h"

namespace {

QString fieldText(const QVariant &v) {
    if (v.isNull())
        return QString();
    switch (v.type()) {
    case QVariant::DateTime:
        return reportTimestampText(v);
    case QVariant::Date:
        return v.toDate().toString(Qt::ISODate);
    default:
        return v.toString();
    }
}

bool put(QIODevice *out, const QByteArray &bytes, QString *error) {
    if (out->write(bytes) == bytes.size())
        return true;
    *error = QStringLiteral("cannot write the CSV file: %1").arg(out->errorString());
    return false;
}

}  // namespace

QByteArray reportCsvField(const QString &text) {
    QByteArray b = text.toUtf8();
    const bool quote = b.contains(',') || b.contains('"') || b.contains('\r') ||
                       b.contains('\n') || b.startsWith(' ') || b.endsWith(' ');
    if (!quote)
        return b;
    b.replace("\"", "\"\"");
    return '"' + b + '"';
}

bool reportWriteCsv(QSqlDatabase db, const ReportFilter &f, QIODevice *out, qint64 *rows,
                    QString *error) {
    *rows = 0;
    QSqlQuery q(db);
    // Forward only: the driver hands over one row at a time instead of the
    // whole result, so a fleet's records never sit in memory at once.
    q.setForwardOnly(true);
    const QString sql =
        QStringLiteral("SELECT * FROM board_record WHERE 1 = 1%1 ORDER BY started_utc, record_id")
            .arg(reportFilterSql(f));
    if (!q.prepare(sql)) {
        *error = QStringLiteral("the database refused the record query: %1")
                     .arg(q.lastError().text().trimmed());
        return false;
    }
    reportBindFilter(q, f);
    if (!q.exec()) {
        *error = QStringLiteral("the record query failed: %1").arg(q.lastError().text().trimmed());
        return false;
    }
    const QSqlRecord columns = q.record();
    QByteArray line;
    for (int i = 0; i < columns.count(); ++i) {
        if (i)
            line += ',';
        line += reportCsvField(columns.fieldName(i));
    }
    line += "\r\n";
    if (!put(out, line, error))
        return false;
    while (q.next()) {
        line.clear();
        for (int i = 0; i < columns.count(); ++i) {
            if (i)
                line += ',';
            line += reportCsvField(fieldText(q.value(i)));
        }
        line += "\r\n";
        if (!put(out, line, error))
            return false;
        ++*rows;
    }
    if (q.lastError().isValid()) {
        *error = QStringLiteral("reading the records failed after %1 rows: %2")
                     .arg(*rows)
                     .arg(q.lastError().text().trimmed());
        return false;
    }
    return true;
}
