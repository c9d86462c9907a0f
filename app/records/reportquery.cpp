#include "reportquery.h"

#include <algorithm>

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

QString burnWhere(const ReportFilter &f) {
    return QStringLiteral("job_kind = 'burn'") + reportFilterSql(f);
}

// The station's day as "yyyy-MM-dd" text: a date column on PostgreSQL (its
// text form follows DateStyle, set to ISO on opening), text on SQLite.
QString dayText() {
    return QStringLiteral("CAST(station_day AS TEXT)");
}

QString hourOf(bool postgres) {
    return postgres ? QStringLiteral("date_trunc('hour', started_utc)")
                    : QStringLiteral("substr(started_utc, 1, 13)");
}

bool run(QSqlQuery &q, const QString &sql, const ReportFilter &f, const char *what,
         QString *error) {
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        *error = QStringLiteral("the database refused the %1 query: %2")
                     .arg(QLatin1String(what), q.lastError().text().trimmed());
        return false;
    }
    reportBindFilter(q, f);
    if (!q.exec()) {
        *error = QStringLiteral("the %1 query failed: %2")
                     .arg(QLatin1String(what), q.lastError().text().trimmed());
        return false;
    }
    return true;
}

qint64 num(const QSqlQuery &q, int i) {
    return q.value(i).toLongLong();  // NULL (a sum over nothing) is 0
}

ReportYieldRow *rowFor(ReportData *out, const QString &dim, const QString &name) {
    QVector<ReportYieldRow> *list = nullptr;
    if (dim == QLatin1String("t"))
        return &out->total;
    if (dim == QLatin1String("d"))
        list = &out->perDay;
    else if (dim == QLatin1String("s"))
        list = &out->perStation;
    else
        list = &out->perImage;
    for (ReportYieldRow &r : *list) {
        if (r.name == name)
            return &r;
    }
    list->append(ReportYieldRow());
    list->last().name = name;
    return &list->last();
}

bool boardsPerGroup(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    // One pass over the burns numbers every board's attempts by start time;
    // its first attempt decides first-pass yield and places the board in a
    // day, station and image, any success in the selection its final yield.
    const QString sql = QStringLiteral(
        "WITH sel AS ("
        " SELECT %1 AS board_key, record_id, started_utc, %2 AS day, station,"
        " COALESCE(image_name, '') AS image, result FROM board_record WHERE %3),"
        " ranked AS ("
        " SELECT day, station, image, result,"
        " ROW_NUMBER() OVER (PARTITION BY board_key ORDER BY started_utc, record_id) AS rn,"
        " MAX(CASE WHEN result = 'ok' THEN 1 ELSE 0 END) OVER (PARTITION BY board_key) AS ever_ok"
        " FROM sel),"
        " firsts AS MATERIALIZED ("
        " SELECT day, station, image, CASE WHEN result = 'ok' THEN 1 ELSE 0 END AS first_ok,"
        " ever_ok FROM ranked WHERE rn = 1)"
        " SELECT 'd', day, COUNT(*), SUM(first_ok), SUM(ever_ok) FROM firsts GROUP BY day"
        " UNION ALL SELECT 's', station, COUNT(*), SUM(first_ok), SUM(ever_ok) FROM firsts"
        " GROUP BY station"
        " UNION ALL SELECT 'i', image, COUNT(*), SUM(first_ok), SUM(ever_ok) FROM firsts"
        " GROUP BY image"
        " UNION ALL SELECT 't', '', COUNT(*), SUM(first_ok), SUM(ever_ok) FROM firsts")
                            .arg(reportBoardKeySql(), dayText(), burnWhere(f));
    QSqlQuery q(db);
    if (!run(q, sql, f, "yield", error))
        return false;
    while (q.next()) {
        ReportYieldRow *r = rowFor(out, q.value(0).toString(), q.value(1).toString());
        r->boards = num(q, 2);
        r->firstPass = num(q, 3);
        r->finalPass = num(q, 4);
    }
    return true;
}

bool burnsPerGroup(QSqlDatabase db, bool postgres, const ReportFilter &f, ReportData *out,
                   QString *error) {
    const QString sql =
        QStringLiteral(
            "WITH sel AS MATERIALIZED ("
            " SELECT %1 AS day, station, COALESCE(image_name, '') AS image,"
            " CASE WHEN result = 'ok' THEN 0 ELSE 1 END AS failed, %2 AS hour"
            " FROM board_record WHERE %3)"
            " SELECT 'd', day, COUNT(*), SUM(failed), 0 FROM sel GROUP BY day"
            " UNION ALL SELECT 's', station, COUNT(*), SUM(failed), COUNT(DISTINCT hour) FROM sel"
            " GROUP BY station"
            " UNION ALL SELECT 'i', image, COUNT(*), SUM(failed), 0 FROM sel GROUP BY image"
            " UNION ALL SELECT 't', '', COUNT(*), SUM(failed), COUNT(DISTINCT hour) FROM sel")
            .arg(dayText(), hourOf(postgres), burnWhere(f));
    QSqlQuery q(db);
    if (!run(q, sql, f, "burn count", error))
        return false;
    while (q.next()) {
        ReportYieldRow *r = rowFor(out, q.value(0).toString(), q.value(1).toString());
        r->burns = num(q, 2);
        r->failedBurns = num(q, 3);
        r->activeHours = num(q, 4);
    }
    return true;
}

bool timeSpan(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT MIN(started_utc), MAX(ended_utc) FROM board_record WHERE %1")
                 .arg(burnWhere(f)),
             f, "time span", error))
        return false;
    if (q.next()) {
        out->firstStartedUtc = reportTimestampText(q.value(0));
        out->lastEndedUtc = reportTimestampText(q.value(1));
    }
    return true;
}

bool failureCauses(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    QSqlQuery q(db);
    const QString sql = QStringLiteral(
        "SELECT COALESCE(NULLIF(failure_code, ''), result) AS code, COUNT(*) AS n,"
        " MAX(failure_message) FROM board_record WHERE %1 AND result <> 'ok'"
        " GROUP BY COALESCE(NULLIF(failure_code, ''), result) ORDER BY n DESC, code")
                            .arg(burnWhere(f));
    if (!run(q, sql, f, "failure cause", error))
        return false;
    while (q.next())
        out->failureCauses.append({q.value(0).toString(), num(q, 1), q.value(2).toString()});
    return true;
}

bool burnTimes(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    // Nearest rank: the p-th percentile of n sorted values is the one at rank
    // ceil(p/100 * n), i.e. the first rank r with 100 r >= p n.
    const QString sql = QStringLiteral(
        "WITH d AS (SELECT COALESCE(image_name, '') AS image, duration_ms,"
        " ROW_NUMBER() OVER (PARTITION BY COALESCE(image_name, '') ORDER BY duration_ms) AS rn,"
        " COUNT(*) OVER (PARTITION BY COALESCE(image_name, '')) AS n"
        " FROM board_record WHERE %1 AND result = 'ok')"
        " SELECT image, MAX(n),"
        " MIN(CASE WHEN rn * 100 >= n * 50 THEN duration_ms END),"
        " MIN(CASE WHEN rn * 100 >= n * 90 THEN duration_ms END),"
        " MIN(CASE WHEN rn * 100 >= n * 99 THEN duration_ms END),"
        " MAX(duration_ms) FROM d GROUP BY image ORDER BY image")
                            .arg(burnWhere(f));
    QSqlQuery q(db);
    if (!run(q, sql, f, "burn time", error))
        return false;
    while (q.next()) {
        ReportBurnTime t;
        t.image = q.value(0).toString();
        t.burns = num(q, 1);
        t.p50 = num(q, 2);
        t.p90 = num(q, 3);
        t.p99 = num(q, 4);
        t.max = num(q, 5);
        out->burnTimes.append(t);
    }
    return true;
}

bool failedBoards(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    const QString sql =
        QStringLiteral(
            "WITH sel AS ("
            " SELECT %1 AS board_key, record_id, started_utc, station,"
            " COALESCE(image_name, '') AS image, result,"
            " COALESCE(NULLIF(failure_code, ''), result) AS code, failure_message"
            " FROM board_record WHERE %2),"
            " ranked AS ("
            " SELECT board_key, started_utc, station, image, code, failure_message,"
            " ROW_NUMBER() OVER (PARTITION BY board_key ORDER BY started_utc, record_id) AS rn,"
            " COUNT(*) OVER (PARTITION BY board_key) AS attempts,"
            " MAX(CASE WHEN result = 'ok' THEN 1 ELSE 0 END) OVER (PARTITION BY board_key)"
            " AS ever_ok FROM sel)"
            " SELECT board_key, station, started_utc, image, code, failure_message, attempts,"
            " COUNT(*) OVER () FROM ranked WHERE rn = attempts AND ever_ok = 0"
            " ORDER BY started_utc, board_key LIMIT %3")
            .arg(reportBoardKeySql(), burnWhere(f))
            .arg(kReportFailedBoardLimit);
    QSqlQuery q(db);
    if (!run(q, sql, f, "failed board", error))
        return false;
    while (q.next()) {
        ReportFailedBoard b;
        b.board = q.value(0).toString();
        b.station = q.value(1).toString();
        b.startedUtc = reportTimestampText(q.value(2));
        b.image = q.value(3).toString();
        b.code = q.value(4).toString();
        b.message = q.value(5).toString();
        b.attempts = num(q, 6);
        out->failedBoardsTotal = num(q, 7);
        out->failedBoards.append(b);
    }
    return true;
}

bool cardJobs(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    const QString sql = QStringLiteral(
        "SELECT job_kind, result, COUNT(*) FROM board_record WHERE job_kind <> 'burn'%1"
        " GROUP BY job_kind, result ORDER BY job_kind, result")
                            .arg(reportFilterSql(f));
    QSqlQuery q(db);
    if (!run(q, sql, f, "card job", error))
        return false;
    while (q.next())
        out->cardJobs.append({q.value(0).toString(), q.value(1).toString(), num(q, 2)});
    return true;
}

}  // namespace

QString reportBoardKeySql() {
    return QStringLiteral(
        "COALESCE(NULLIF(serial_number, ''), NULLIF(chip_id, ''), record_id)");
}

QString reportFilterSql(const ReportFilter &f) {
    QString s;
    if (!f.since.isEmpty())
        s += QStringLiteral(" AND station_day >= :since");
    if (!f.until.isEmpty())
        s += QStringLiteral(" AND station_day <= :until");
    if (!f.station.isEmpty())
        s += QStringLiteral(" AND station = :station");
    if (!f.image.isEmpty())
        s += QStringLiteral(" AND image_name = :image");
    return s;
}

void reportBindFilter(QSqlQuery &q, const ReportFilter &f) {
    if (!f.since.isEmpty())
        q.bindValue(QStringLiteral(":since"), f.since);
    if (!f.until.isEmpty())
        q.bindValue(QStringLiteral(":until"), f.until);
    if (!f.station.isEmpty())
        q.bindValue(QStringLiteral(":station"), f.station);
    if (!f.image.isEmpty())
        q.bindValue(QStringLiteral(":image"), f.image);
}

QString reportTimestampText(const QVariant &v) {
    if (v.isNull())
        return QString();
    if (v.type() == QVariant::DateTime)
        return v.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
    return v.toString();
}

bool reportCheckTable(QSqlDatabase db, QString *error) {
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM board_record WHERE 1 = 0")))
        return true;
    const QString why = q.lastError().text().trimmed();
    if (!db.tables().contains(QStringLiteral("board_record"))) {
        *error = QStringLiteral("the database holds no board records (no table \"board_record\")");
        return false;
    }
    *error = QStringLiteral("the board records cannot be read: %1").arg(why);
    return false;
}

bool reportCompute(QSqlDatabase db, bool postgres, const ReportFilter &f, ReportData *out,
                   QString *error) {
    out->filter = f;
    if (!(boardsPerGroup(db, f, out, error) && burnsPerGroup(db, postgres, f, out, error) &&
          timeSpan(db, f, out, error) && failureCauses(db, f, out, error) &&
          burnTimes(db, f, out, error) && failedBoards(db, f, out, error) &&
          cardJobs(db, f, out, error)))
        return false;
    // The groups come out of a UNION in no particular order.
    const auto byName = [](const ReportYieldRow &a, const ReportYieldRow &b) {
        return a.name < b.name;
    };
    std::sort(out->perDay.begin(), out->perDay.end(), byName);
    std::sort(out->perStation.begin(), out->perStation.end(), byName);
    std::sort(out->perImage.begin(), out->perImage.end(), byName);
    return true;
}
