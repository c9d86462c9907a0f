#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QFile>
#include <cstring>
#include <functional>
#include <memory>

#include "cli.h"
#include "reportcsv.h"
#include "reportdb.h"
#include "reportquery.h"
#include "reportrender.h"

void kelcli_help_report(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli report [-v] [--db URL] [--since DATE] [--until DATE]\n"
            "                           [--station NAME] [--image NAME]\n"
            "                           (--csv FILE | --html FILE | --json)\n"
            "\n"
            "Reports on the board records: yield per day, station and image (first-pass\n"
            "and final), failure causes, throughput, burn time percentiles per image and\n"
            "the failed boards. The database computes the figures.\n"
            "\n"
            "  --db URL        where the records are: postgresql://user@host:port/dbname\n"
            "                  (?host=/socket/folder for a Unix socket; the password from\n"
            "                  PGPASSWORD or ~/.pgpass), or an SQLite file; default data.db\n"
            "                  in the current directory\n"
            "  --since DATE    only records of this station day (yyyy-MM-dd) or later\n"
            "  --until DATE    only records of this station day or earlier\n"
            "  --station NAME  only records of this station\n"
            "  --image NAME    only records of this image file name\n"
            "  --json          the report as one JSON document on stdout\n"
            "  --html FILE     the report as one self-contained HTML page (charts inline)\n"
            "  --csv FILE      the selected records themselves, every column, for a\n"
            "                  spreadsheet (\"-\" for stdout)\n"
            "\n"
            "Exit status: 0 written (an empty selection gives an empty report), 1 the\n"
            "database cannot be read or the file written, 2 usage error.\n");
}

namespace {

enum class Output { None, Json, Html, Csv };

struct Args {
    QString db;
    ReportFilter filter;
    Output output = Output::None;
    QString file;
};

// The value of an option, or null (after the message) when it is missing.
const char *valueOf(int argc, char **argv, int *i) {
    if (*i + 1 >= argc || argv[*i + 1][0] == '\0') {
        kelcli_usage_error("report", "%s needs a value", argv[*i]);
        return nullptr;
    }
    return argv[++*i];
}

bool validDay(const QString &s) {
    return s.size() == 10 && QDate::fromString(s, QStringLiteral("yyyy-MM-dd")).isValid();
}

int parse(int argc, char **argv, Args *a) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (kelcli_is_help(arg)) {
            kelcli_help_report(stdout);
            return -1;
        }
        if (kelcli_take_verbose(arg))
            continue;
        Output out = Output::None;
        if (strcmp(arg, "--json") == 0)
            out = Output::Json;
        else if (strcmp(arg, "--html") == 0)
            out = Output::Html;
        else if (strcmp(arg, "--csv") == 0)
            out = Output::Csv;
        if (out != Output::None) {
            if (a->output != Output::None)
                return kelcli_usage_error("report", "one of --csv, --html and --json, please");
            a->output = out;
            if (out != Output::Json) {
                const char *v = valueOf(argc, argv, &i);
                if (!v)
                    return KELCLI_USAGE;
                a->file = QString::fromLocal8Bit(v);
            }
            continue;
        }
        QString *target = nullptr;
        if (strcmp(arg, "--db") == 0)
            target = &a->db;
        else if (strcmp(arg, "--since") == 0)
            target = &a->filter.since;
        else if (strcmp(arg, "--until") == 0)
            target = &a->filter.until;
        else if (strcmp(arg, "--station") == 0)
            target = &a->filter.station;
        else if (strcmp(arg, "--image") == 0)
            target = &a->filter.image;
        if (!target) {
            if (arg[0] == '-')
                return kelcli_usage_error("report", "unknown option '%s'", arg);
            return kelcli_usage_error("report", "unexpected argument '%s'", arg);
        }
        const char *v = valueOf(argc, argv, &i);
        if (!v)
            return KELCLI_USAGE;
        *target = QString::fromLocal8Bit(v);
    }
    const ReportFilter &f = a->filter;
    for (const QString *day : {&f.since, &f.until}) {
        if (!day->isEmpty() && !validDay(*day))
            return kelcli_usage_error("report", "'%s' is not a date (yyyy-MM-dd)",
                                      day->toLocal8Bit().constData());
    }
    if (!f.since.isEmpty() && !f.until.isEmpty() && f.since > f.until)
        return kelcli_usage_error("report", "--since %s is after --until %s",
                                  f.since.toLocal8Bit().constData(),
                                  f.until.toLocal8Bit().constData());
    if (a->output == Output::None)
        return kelcli_usage_error("report", "say what to write: --csv FILE, --html FILE or --json");
    return KELCLI_OK;
}

int fail(const QString &message) {
    return kelcli_fail("report: %s", message.toLocal8Bit().constData());
}

// Writes through a temporary file renamed at the end, so that a failed
// report never leaves a file that looks whole.
int writeFile(const QString &path, const std::function<bool(QIODevice *, QString *)> &body) {
    if (path == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write to stdout"));
        QString error;
        if (!body(&out, &error))
            return fail(error);
        return out.flush() ? KELCLI_OK : fail(QStringLiteral("cannot write to stdout"));
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("%1: %2").arg(path, out.errorString()));
    QString error;
    if (!body(&out, &error)) {
        out.cancelWriting();
        return fail(error);
    }
    if (!out.commit())
        return fail(QStringLiteral("%1: %2").arg(path, out.errorString()));
    return KELCLI_OK;
}

int runReport(const Args &a, const QString &connection) {
    RecordTarget target;
    QString error;
    if (!reportTargetFor(a.db, &target, &error))
        return kelcli_usage_error("report", "%s", error.toLocal8Bit().constData());
    if (!reportOpenDb(target, connection, &error))
        return fail(error);
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!reportCheckTable(db, &error))
        return fail(QStringLiteral("%1: %2").arg(target.displayText(), error));

    if (a.output == Output::Csv) {
        qint64 rows = 0;
        const int rc = writeFile(a.file, [&](QIODevice *out, QString *why) {
            return reportWriteCsv(db, a.filter, out, &rows, why);
        });
        if (rc == KELCLI_OK && a.file != QLatin1String("-"))
            fprintf(stderr, "%s: %lld records\n", a.file.toLocal8Bit().constData(),
                    static_cast<long long>(rows));
        return rc;
    }

    ReportData data;
    data.database = target.displayText();
    data.generatedUtc =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
    if (!reportCompute(db, target.kind == RecordTarget::Postgres, a.filter, &data, &error))
        return fail(error);
    if (a.output == Output::Json) {
        const QByteArray doc = QJsonDocument(reportToJson(data)).toJson(QJsonDocument::Indented);
        if (fwrite(doc.constData(), 1, size_t(doc.size()), stdout) != size_t(doc.size()) ||
            fflush(stdout) != 0)
            return fail(QStringLiteral("cannot write to stdout"));
        return KELCLI_OK;
    }
    const QByteArray html = reportToHtml(data);
    return writeFile(a.file, [&](QIODevice *out, QString *why) {
        if (out->write(html) == html.size())
            return true;
        *why = QStringLiteral("%1: %2").arg(a.file, out->errorString());
        return false;
    });
}

}  // namespace

int kelcli_cmd_report(int argc, char **argv) {
    Args a;
    const int rc = parse(argc, argv, &a);
    if (rc < 0)
        return KELCLI_OK;
    if (rc != KELCLI_OK)
        return rc;
    // Qt's SQL drivers want an application object; the command line has none
    // of its own.
    std::unique_ptr<QCoreApplication> app;
    static int qtArgc = 1;
    static char qtName[] = "kelflash-cli";
    static char *qtArgv[] = {qtName, nullptr};
    if (!QCoreApplication::instance())
        app.reset(new QCoreApplication(qtArgc, qtArgv));
    const QString connection = QStringLiteral("kelflash-report");
    const int result = runReport(a, connection);
    QSqlDatabase::removeDatabase(connection);
    return result;
}
