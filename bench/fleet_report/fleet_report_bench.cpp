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
#include <sys/resource.h>
#include <unistd.h>

#include "pg_cluster.h"
#include "record_gen.h"

namespace {

// The machine is shared: wall times go up with the load, so every run also
// counts the processor time it took, the report program's and (PostgreSQL)
// the server's, which the load leaves alone.
qint64 g_postmaster = 0;

// CPU ms used so far by the server: the postmaster and every backend and
// worker it has reaped (a report's backend ends with its connection).
double serverCpuMs() {
    if (!g_postmaster)
        return 0;
    QFile f(QStringLiteral("/proc/%1/stat").arg(g_postmaster));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    // utime, stime, cutime, cstime are fields 14-17, here 11-14 from 0.
    double ticks = 0;
    for (int i = 11; i <= 14 && i < fields.size(); ++i)
        ticks += fields[i].toDouble();
    return ticks * 1000.0 / sysconf(_SC_CLK_TCK);
}

double childCpuMs() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2)
                                       : QStringLiteral("?");
}

struct Run {
    qint64 wallMs = -1;
    double cliCpuMs = 0, serverCpuMs = 0;
};

// One report run, -1 wall time when it failed.
Run runReport(const QString &db, const QStringList &output) {
    Run r;
    const double cli0 = childCpuMs(), server0 = serverCpuMs();
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(KELFLASH_CLI),
            QStringList{QStringLiteral("report"), QStringLiteral("--db"), db} + output);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit ||
        p.exitCode() != 0) {
        fprintf(stderr, "report failed: %s\n", p.readAllStandardError().constData());
        return r;
    }
    r.wallMs = t.elapsed();
    // The server reaps the report's backend a moment after it disconnects.
    if (g_postmaster)
        usleep(200000);
    r.cliCpuMs = childCpuMs() - cli0;
    r.serverCpuMs = serverCpuMs() - server0;
    return r;
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
    // Fresh statistics and visibility, as a database that has been in use
    // has; and no autovacuum of the new rows in the middle of a timed run.
    const QStringList settle =
        postgres ? QStringList{QStringLiteral("VACUUM ANALYZE board_record"),
                               QStringLiteral("ALTER TABLE board_record SET "
                                              "(autovacuum_enabled = false)")}
                 : QStringList{QStringLiteral("ANALYZE")};
    for (const QString &sql : settle) {
        if (!recordGenExec(db, sql, &error)) {
            fprintf(stderr, "%s failed: %s\n", sql.toLocal8Bit().constData(),
                    error.toLocal8Bit().constData());
            return false;
        }
    }
    printf("  %lld records generated in %.1f s\n", static_cast<long long>(records),
           t.elapsed() / 1000.0);
    return true;
}

bool measure(const char *name, const QString &db, int runs, const QString &scratch) {
    QVector<Run> all;
    for (int i = 0; i < runs; ++i) {
        const Run r = runReport(db, {QStringLiteral("--json")});
        if (r.wallMs < 0)
            return false;
        all.append(r);
    }
    std::sort(all.begin(), all.end(), [](const Run &a, const Run &b) { return a.wallMs < b.wallMs; });
    const Run &median = all[all.size() / 2];
    printf("  %s report --json: median %lld ms wall (best %lld, worst %lld; %d runs);"
           " the median run's CPU: report %.0f ms, server %.0f ms; load %s\n",
           name, static_cast<long long>(median.wallMs), static_cast<long long>(all.first().wallMs),
           static_cast<long long>(all.last().wallMs), runs, median.cliCpuMs, median.serverCpuMs,
           loadAverage().toLatin1().constData());
    const Run html = runReport(db, {QStringLiteral("--html"), scratch + QStringLiteral("/r.html")});
    const Run csv = runReport(db, {QStringLiteral("--csv"), scratch + QStringLiteral("/r.csv")});
    if (html.wallMs < 0 || csv.wallMs < 0)
        return false;
    printf("  %s report --html: %lld ms; --csv (every record, %.0f MB): %lld ms wall,"
           " report CPU %.0f ms, server CPU %.0f ms\n",
           name, static_cast<long long>(html.wallMs),
           QFileInfo(scratch + QStringLiteral("/r.csv")).size() / 1e6,
           static_cast<long long>(csv.wallMs), csv.cliCpuMs, csv.serverCpuMs);
    QFile::remove(scratch + QStringLiteral("/r.csv"));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
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
        QFile pidFile(server.dataDir() + QStringLiteral("/postmaster.pid"));
        if (pidFile.open(QIODevice::ReadOnly))
            g_postmaster = pidFile.readLine().trimmed().toLongLong();
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
        // The generating backend is reaped a moment after it disconnects;
        // its seconds of processor time are not the first report's.
        sleep(2);
        ok = ok && measure("PostgreSQL", server.url(), runs, scratch.path());
        g_postmaster = 0;
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
