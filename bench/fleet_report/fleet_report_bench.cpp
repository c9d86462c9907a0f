// The yield report over a fleet's records.
//
//   fleet_report_bench [records] [runs]     (default 1000000 records, 5 runs)
//
// Starts a private PostgreSQL server (initdb in a folder of its own under
// /tmp, a Unix socket only, as "nobody" when run as root), has the database
// generate the records in one statement, and times `kelflash-cli report
// --json` over them: the goal is under 2 s. Then the same records in an
// SQLite file, for comparison, and one --html and one --csv run on each.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QVector>
#include <algorithm>
#include <cstdio>

#include "pg_cluster.h"
#include "record_gen.h"

namespace {

// Wall time of one report run in ms, -1 when it failed.
qint64 runReport(const QString &db, const QStringList &output) {
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(KELFLASH_CLI),
            QStringList{QStringLiteral("report"), QStringLiteral("--db"), db} + output);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit ||
        p.exitCode() != 0) {
        fprintf(stderr, "report failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    return t.elapsed();
}

bool fill(QSqlDatabase db, bool postgres, qint64 records) {
    QString error;
    QElapsedTimer t;
    t.start();
    if (!recordGenCreate(db, postgres, &error) ||
        !recordGenExec(db, recordGenBulkSql(postgres, records), &error)) {
        fprintf(stderr, "generating the records failed: %s\n", error.toLocal8Bit().constData());
        return false;
    }
    // Fresh statistics and visibility, as a database that has been in use has.
    if (!recordGenExec(db, postgres ? QStringLiteral("VACUUM ANALYZE board_record")
                                    : QStringLiteral("ANALYZE"),
                       &error)) {
        fprintf(stderr, "ANALYZE failed: %s\n", error.toLocal8Bit().constData());
        return false;
    }
    printf("  %lld records generated in %.1f s\n", static_cast<long long>(records),
           t.elapsed() / 1000.0);
    return true;
}

bool measure(const char *name, const QString &db, int runs, const QString &scratch) {
    QVector<qint64> times;
    for (int i = 0; i < runs; ++i) {
        const qint64 ms = runReport(db, {QStringLiteral("--json")});
        if (ms < 0)
            return false;
        times.append(ms);
    }
    std::sort(times.begin(), times.end());
    printf("  %s report --json: median %lld ms, best %lld ms, worst %lld ms (%d runs)\n", name,
           static_cast<long long>(times[times.size() / 2]), static_cast<long long>(times.first()),
           static_cast<long long>(times.last()), runs);
    const qint64 html = runReport(db, {QStringLiteral("--html"), scratch + QStringLiteral("/r.html")});
    const qint64 csv = runReport(db, {QStringLiteral("--csv"), scratch + QStringLiteral("/r.csv")});
    if (html < 0 || csv < 0)
        return false;
    printf("  %s report --html: %lld ms; --csv (every record, %.0f MB): %lld ms\n", name,
           static_cast<long long>(html),
           QFileInfo(scratch + QStringLiteral("/r.csv")).size() / 1e6, static_cast<long long>(csv));
    QFile::remove(scratch + QStringLiteral("/r.csv"));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const qint64 records = argc > 1 ? atoll(argv[1]) : 1000000;
    const int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (records < 1 || runs < 1) {
        fprintf(stderr, "usage: fleet_report_bench [records] [runs]\n");
        return 2;
    }
    QTemporaryDir scratch;
    bool ok = true;

    printf("PostgreSQL (private server, Unix socket):\n");
    if (!PgCluster::available()) {
        fprintf(stderr, "PostgreSQL 15 is not installed (scripts/setup installs it)\n");
        return 1;
    }
    {
        PgCluster server(true);
        if (!server.create()) {
            fprintf(stderr, "the private server did not start: %s\n",
                    server.error().toLocal8Bit().constData());
            return 1;
        }
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg"));
            db.setHostName(server.socketDir());
            db.setPort(server.port());
            db.setUserName(PgCluster::superuser());
            db.setDatabaseName(server.database());
            ok = db.open() && fill(db, true, records);
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("pg"));
        ok = ok && measure("PostgreSQL", server.url(), runs, scratch.path());
    }

    printf("SQLite (file in %s):\n", scratch.path().toLocal8Bit().constData());
    const QString file = scratch.path() + QStringLiteral("/records.db");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lite"));
        db.setDatabaseName(file);
        ok = ok && db.open() && fill(db, false, records);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("lite"));
    ok = ok && measure("SQLite", file, runs, scratch.path());
    return ok ? 0 : 1;
}
