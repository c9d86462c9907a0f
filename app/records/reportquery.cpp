#include "reportquery.h"

#include <algorithm>
#include <thread>

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include "reportdb.h"

namespace {

// The board key, spelt for a record of the table under the name `alias`.
QString boardKey(const QString &alias) {
    QString k = reportBoardKeySql();
    if (!alias.isEmpty()) {
        for (const char *col : {"serial_number", "chip_id", "record_id"})
            k.replace(QLatin1String(col), alias + QLatin1Char('.') + QLatin1String(col));
    }
    return k;
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

// Whether the board of the record `f.board_key` has a successful burn in the
// selection: the index on the board key answers it.
// PostgreSQL would otherwise hash every successful record's key up front
// (it cannot know that only boards whose first attempt failed are asked
// about); OFFSET 0 keeps it to one index look-up per question.
QString boardSucceeded(const ReportFilter &f, bool postgres) {
    return QStringLiteral("EXISTS (SELECT 1 FROM board_record b WHERE %1 = f.board_key"
                          " AND b.job_kind = 'burn' AND b.result = 'ok'%2%3)")
        .arg(boardKey(QStringLiteral("b")),
             reportFilterSql(f, QStringLiteral("b"), QStringLiteral("_b")),
             postgres ? QStringLiteral(" OFFSET 0") : QString());
}

bool run(QSqlQuery &q, const QString &sql, const ReportFilter &f, const char *what,
         QString *error, bool alsoB = false) {
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        *error = QStringLiteral("the database refused the %1 query: %2")
                     .arg(QLatin1String(what), q.lastError().text().trimmed());
        return false;
    }
    reportBindFilter(q, f);
    if (alsoB)
        reportBindFilter(q, f, QStringLiteral("_b"));
    if (!q.exec()) {
        *error = QStringLiteral("the %1 query failed: %2")
                     .arg(QLatin1String(what), q.lastError().text().trimmed());
        return false;
    }
    return true;
}

qint64 num(const QSqlQuery &q, int i) {
    // NULL (a sum over nothing) is 0; PostgreSQL's sums are numeric.
    return q.value(i).toLongLong();
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

// Counts of every record in one pass: the table is grouped once by job,
// result, day, station, image, clock hour and failure code (a few thousand
// groups for a fleet's year), and every count of the report that needs no
// board identity is a sum over those groups.
bool countRecords(QSqlDatabase db, bool postgres, const ReportFilter &f, ReportData *out,
                  QString *error) {
    const QString sql =
        QStringLiteral(
            "WITH g AS MATERIALIZED ("
            " SELECT job_kind, result, station_day AS day, station, COALESCE(image_name, '') AS image,"
            " %2 AS hour,"
            " CASE WHEN result = 'ok' THEN '' ELSE COALESCE(NULLIF(failure_code, ''), result) END"
            " AS code, COUNT(*) AS n, MAX(failure_message) AS msg, MIN(started_utc) AS first_start,"
            " MAX(ended_utc) AS last_end"
            " FROM board_record WHERE 1 = 1%3"
            " GROUP BY job_kind, result, station_day, station, COALESCE(image_name, ''), %2,"
            " CASE WHEN result = 'ok' THEN '' ELSE COALESCE(NULLIF(failure_code, ''), result) END),"
            " burns AS (SELECT * FROM g WHERE job_kind = 'burn')"
            " SELECT 't', '', '', SUM(n), SUM(CASE WHEN result = 'ok' THEN 0 ELSE n END),"
            " COUNT(DISTINCT hour), MIN(first_start), MAX(last_end), '' FROM burns"
            " UNION ALL SELECT 'd', %1, '', SUM(n), SUM(CASE WHEN result = 'ok' THEN 0 ELSE n END),"
            " 0, NULL, NULL, '' FROM burns GROUP BY day"
            " UNION ALL SELECT 's', station, '', SUM(n),"
            " SUM(CASE WHEN result = 'ok' THEN 0 ELSE n END), COUNT(DISTINCT hour), NULL, NULL, ''"
            " FROM burns GROUP BY station"
            " UNION ALL SELECT 'i', image, '', SUM(n), SUM(CASE WHEN result = 'ok' THEN 0 ELSE n END),"
            " 0, NULL, NULL, '' FROM burns GROUP BY image"
            " UNION ALL SELECT 'f', code, '', SUM(n), 0, 0, NULL, NULL, MAX(msg) FROM burns"
            " WHERE code <> '' GROUP BY code"
            " UNION ALL SELECT 'k', job_kind, result, SUM(n), 0, 0, NULL, NULL, '' FROM g"
            " WHERE job_kind <> 'burn' GROUP BY job_kind, result")
            .arg(dayText().replace(QLatin1String("station_day"), QLatin1String("day")),
                 hourOf(postgres), reportFilterSql(f));
    QSqlQuery q(db);
    if (!run(q, sql, f, "record count", error))
        return false;
    while (q.next()) {
        const QString dim = q.value(0).toString();
        if (dim == QLatin1String("f")) {
            out->failureCauses.append({q.value(1).toString(), num(q, 3), q.value(8).toString()});
        } else if (dim == QLatin1String("k")) {
            out->cardJobs.append({q.value(1).toString(), q.value(2).toString(), num(q, 3)});
        } else {
            ReportYieldRow *r = rowFor(out, dim, q.value(1).toString());
            r->burns = num(q, 3);
            r->failedBurns = num(q, 4);
            r->activeHours = num(q, 5);
            if (dim == QLatin1String("t")) {
                out->firstStartedUtc = reportTimestampText(q.value(6));
                out->lastEndedUtc = reportTimestampText(q.value(7));
            }
        }
    }
    std::sort(out->failureCauses.begin(), out->failureCauses.end(),
              [](const ReportFailureCause &a, const ReportFailureCause &b) {
                  return a.count != b.count ? a.count > b.count : a.code < b.code;
              });
    std::sort(out->cardJobs.begin(), out->cardJobs.end(),
              [](const ReportCardJobs &a, const ReportCardJobs &b) {
                  return a.jobKind != b.jobKind ? a.jobKind < b.jobKind : a.result < b.result;
              });
    return true;
}

// Boards: every board's first attempt in the selection, read in the order
// of the board key index, places the board in a day, station and image and
// decides its first-pass yield; a board whose first attempt failed is looked
// up again (by the index) for a later success, its final yield.
bool countBoards(QSqlDatabase db, bool postgres, const ReportFilter &f, ReportData *out,
                 QString *error) {
    const QString firstAttempts =
        postgres
            ? QStringLiteral(
                  "SELECT DISTINCT ON (%1) %1 AS board_key, station_day, station,"
                  " COALESCE(image_name, '') AS image,"
                  " CASE WHEN result = 'ok' THEN 1 ELSE 0 END AS first_ok"
                  " FROM board_record WHERE job_kind = 'burn'%2 ORDER BY %1, started_utc")
            // SQLite takes the other columns of a MIN() group from the row
            // that holds the minimum.
            : QStringLiteral(
                  "SELECT %1 AS board_key, MIN(started_utc) AS first_start, station_day, station,"
                  " COALESCE(image_name, '') AS image,"
                  " CASE WHEN result = 'ok' THEN 1 ELSE 0 END AS first_ok"
                  " FROM board_record WHERE job_kind = 'burn'%2 GROUP BY %1");
    const QString sql =
        QStringLiteral(
            "WITH f AS (%1),"
            " g AS MATERIALIZED (SELECT %3 AS day, station, image, COUNT(*) AS boards,"
            " SUM(first_ok) AS first_pass,"
            " SUM(CASE WHEN first_ok = 1 THEN 1 WHEN %2 THEN 1 ELSE 0 END) AS final_pass"
            " FROM f GROUP BY station_day, station, image)"
            " SELECT 't', '', SUM(boards), SUM(first_pass), SUM(final_pass) FROM g"
            " UNION ALL SELECT 'd', day, SUM(boards), SUM(first_pass), SUM(final_pass) FROM g"
            " GROUP BY day"
            " UNION ALL SELECT 's', station, SUM(boards), SUM(first_pass), SUM(final_pass) FROM g"
            " GROUP BY station"
            " UNION ALL SELECT 'i', image, SUM(boards), SUM(first_pass), SUM(final_pass) FROM g"
            " GROUP BY image")
            .arg(firstAttempts.arg(reportBoardKeySql(), reportFilterSql(f)),
                 boardSucceeded(f, postgres), dayText());
    QSqlQuery q(db);
    if (!run(q, sql, f, "yield", error, true))
        return false;
    while (q.next()) {
        ReportYieldRow *r = rowFor(out, q.value(0).toString(), q.value(1).toString());
        r->boards = num(q, 2);
        r->firstPass = num(q, 3);
        r->finalPass = num(q, 4);
    }
    return true;
}

bool burnTimes(QSqlDatabase db, const ReportFilter &f, ReportData *out, QString *error) {
    // Nearest rank: the p-th percentile of n values is the smallest value v
    // with at least p/100 * n values <= v. Durations are counted per distinct
    // value first (a few ten thousand per image at most, in milliseconds),
    // so that only those counts are sorted, not every burn.
    const QString sql = QStringLiteral(
        "WITH h AS (SELECT COALESCE(image_name, '') AS image, duration_ms, COUNT(*) AS c"
        " FROM board_record WHERE job_kind = 'burn' AND result = 'ok'%1"
        " GROUP BY COALESCE(image_name, ''), duration_ms),"
        " r AS (SELECT image, duration_ms,"
        " SUM(c) OVER (PARTITION BY image ORDER BY duration_ms) AS cum,"
        " SUM(c) OVER (PARTITION BY image) AS n FROM h)"
        " SELECT image, MAX(n),"
        " MIN(CASE WHEN cum * 100 >= n * 50 THEN duration_ms END),"
        " MIN(CASE WHEN cum * 100 >= n * 90 THEN duration_ms END),"
        " MIN(CASE WHEN cum * 100 >= n * 99 THEN duration_ms END),"
        " MAX(duration_ms) FROM r GROUP BY image ORDER BY image")
                            .arg(reportFilterSql(f));
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

// A board that never succeeded has only failed attempts: the failed records
// (a few percent of all) are numbered per board, and those of a board with a
// success are dropped by an index look-up.
bool failedBoards(QSqlDatabase db, bool postgres, const ReportFilter &f, ReportData *out,
                  QString *error) {
    const QString sql =
        QStringLiteral(
            "WITH f AS ("
            " SELECT %1 AS board_key, started_utc, station, COALESCE(image_name, '') AS image,"
            " COALESCE(NULLIF(failure_code, ''), result) AS code, failure_message,"
            " ROW_NUMBER() OVER (PARTITION BY %1 ORDER BY started_utc DESC) AS rn,"
            " COUNT(*) OVER (PARTITION BY %1) AS attempts"
            " FROM board_record WHERE job_kind = 'burn' AND result <> 'ok'%2),"
            " bad AS (SELECT * FROM f WHERE rn = 1 AND NOT %3)"
            " SELECT board_key, station, started_utc, image, code, failure_message, attempts,"
            " COUNT(*) OVER () FROM bad ORDER BY started_utc, board_key LIMIT %4")
            .arg(reportBoardKeySql(), reportFilterSql(f), boardSucceeded(f, postgres))
            .arg(kReportFailedBoardLimit);
    QSqlQuery q(db);
    if (!run(q, sql, f, "failed board", error, true))
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

}  // namespace

QString reportBoardKeySql() {
    return QStringLiteral(
        "COALESCE(NULLIF(serial_number, ''), NULLIF(chip_id, ''), record_id)");
}

QString reportFilterSql(const ReportFilter &f, const QString &alias, const QString &suffix) {
    const QString a = alias.isEmpty() ? QString() : alias + QLatin1Char('.');
    QString s;
    if (!f.since.isEmpty())
        s += QStringLiteral(" AND %1station_day >= :since%2").arg(a, suffix);
    if (!f.until.isEmpty())
        s += QStringLiteral(" AND %1station_day <= :until%2").arg(a, suffix);
    if (!f.station.isEmpty())
        s += QStringLiteral(" AND %1station = :station%2").arg(a, suffix);
    if (!f.image.isEmpty())
        s += QStringLiteral(" AND %1image_name = :image%2").arg(a, suffix);
    return s;
}

void reportBindFilter(QSqlQuery &q, const ReportFilter &f, const QString &suffix) {
    if (!f.since.isEmpty())
        q.bindValue(QStringLiteral(":since") + suffix, f.since);
    if (!f.until.isEmpty())
        q.bindValue(QStringLiteral(":until") + suffix, f.until);
    if (!f.station.isEmpty())
        q.bindValue(QStringLiteral(":station") + suffix, f.station);
    if (!f.image.isEmpty())
        q.bindValue(QStringLiteral(":image") + suffix, f.image);
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
    // "no such table" (SQLite), "does not exist" (PostgreSQL); anything else,
    // such as a file that is no database at all, is said as it is.
    const bool missing = why.contains(QLatin1String("no such table")) ||
                         why.contains(QLatin1String("does not exist"));
    if (missing && !db.tables().contains(QStringLiteral("board_record"))) {
        *error = QStringLiteral("the database holds no board records (no table \"board_record\")");
        return false;
    }
    *error = QStringLiteral("the board records cannot be read: %1").arg(why);
    return false;
}

bool reportCompute(QSqlDatabase db, bool postgres, const ReportFilter &f, ReportData *out,
                   QString *error) {
    out->filter = f;
    // The board counts and the burn times run on a second connection of
    // their own while this one counts the records and finds the failed
    // boards: on a server (or an SQLite file) with two processors free the
    // report takes about half the time. A connection belongs to the thread
    // that opened it, so the worker clones this one and closes its clone.
    ReportData boards;
    QString boardsError;
    bool boardsOk = false;
    const QString source = db.connectionName();
    const QString clone = source + QStringLiteral("-boards");
    std::thread worker([&] {
        {
            QSqlDatabase second = QSqlDatabase::cloneDatabase(source, clone);
            if (!second.open()) {
                boardsError = QStringLiteral("cannot open a second connection: %1")
                                  .arg(second.lastError().text().trimmed());
            } else {
                reportPrepareSession(second, postgres);
                boardsOk = countBoards(second, postgres, f, &boards, &boardsError) &&
                           burnTimes(second, f, &boards, &boardsError);
                second.close();
            }
        }
        QSqlDatabase::removeDatabase(clone);
    });
    const bool ok = countRecords(db, postgres, f, out, error) &&
                    failedBoards(db, postgres, f, out, error);
    worker.join();
    if (!ok)
        return false;
    if (!boardsOk) {
        *error = boardsError;
        return false;
    }
    const struct {
        const char *dim;
        const QVector<ReportYieldRow> &rows;
    } parts[] = {{"d", boards.perDay}, {"s", boards.perStation}, {"i", boards.perImage}};
    for (const auto &part : parts) {
        for (const ReportYieldRow &b : part.rows) {
            ReportYieldRow *r = rowFor(out, QLatin1String(part.dim), b.name);
            r->boards = b.boards;
            r->firstPass = b.firstPass;
            r->finalPass = b.finalPass;
        }
    }
    out->total.boards = boards.total.boards;
    out->total.firstPass = boards.total.firstPass;
    out->total.finalPass = boards.total.finalPass;
    out->burnTimes = boards.burnTimes;
    // The groups come out of a UNION in no particular order.
    const auto byName = [](const ReportYieldRow &a, const ReportYieldRow &b) {
        return a.name < b.name;
    };
    std::sort(out->perDay.begin(), out->perDay.end(), byName);
    std::sort(out->perStation.begin(), out->perStation.end(), byName);
    std::sort(out->perImage.begin(), out->perImage.end(), byName);
    return true;
}
