// "kelflash-cli burn": the arguments and the checks of the image made once
// before any board is touched; the boards are burnt by the station
// (burn_station.cpp), one or many.
#include <QCoreApplication>
#include <QStringList>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "burn_args.h"
#include "cli.h"
#include "imagefile.h"
#include "libkelupg.h"
#include "reporter.h"
#include "run_records.h"
#include "stop_requests.h"

namespace {

bool takesValue(const char *arg) {
    return strcmp(arg, "--usb") == 0 || strcmp(arg, "--serial") == 0 ||
           strcmp(arg, "--parts") == 0 || strcmp(arg, "--retries") == 0 ||
           strcmp(arg, "--count") == 0 || kelcli_image_guard_takes_value(arg);
}

// Looked for before the arguments are judged, so that a usage error ends the
// JSON stream with its result line as well.
bool wantsJson(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (takesValue(argv[i]))
            ++i;
        else if (strcmp(argv[i], "--json") == 0)
            return true;
    }
    return false;
}

// 0 when the arguments make a burn, -1 when the help was asked for, else
// KELCLI_USAGE with *error saying what is wrong.
int parseArgs(int argc, char **argv, BurnArgs *a, QString *error) {
    auto usage = [error](const QString &text) {
        *error = text;
        return KELCLI_USAGE;
    };
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const QString name = QString::fromLocal8Bit(arg);
        auto value = [&](QString *out) {
            if (i + 1 >= argc)
                return false;
            *out = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        if (kelcli_is_help(arg)) {
            kelcli_help_burn(stdout);
            return -1;
        }
        if (kelcli_take_verbose(arg))
            continue;
        QString recordsError;
        const int records = a->records->takeOption(argc, argv, &i, &recordsError);
        if (records < 0)
            return usage(recordsError);
        if (records > 0)
            continue;
        QString guardError;
        const int guard = kelcli_take_image_guard(argc, argv, &i, &a->guard, &guardError);
        if (guard < 0)
            return usage(guardError);
        if (guard > 0)
            continue;
        if (strcmp(arg, "--usb") == 0) {
            if (!value(&a->usb))
                return usage(name + QStringLiteral(" needs a value"));
        } else if (strcmp(arg, "--serial") == 0) {
            QString port;
            if (!value(&port))
                return usage(name + QStringLiteral(" needs a value"));
            a->serials << port;
        } else if (strcmp(arg, "--first") == 0) {
            a->first = true;
        } else if (strcmp(arg, "--all") == 0) {
            a->all = true;
        } else if (strcmp(arg, "--watch") == 0) {
            a->watch = true;
        } else if (strcmp(arg, "--count") == 0) {
            QString n;
            bool ok = false;
            if (!value(&n) || (a->count = n.toInt(&ok), !ok) || a->count < 1)
                return usage(QStringLiteral("--count needs a number of 1 or more"));
        } else if (strcmp(arg, "--parts") == 0) {
            QString list;
            if (!value(&list))
                return usage(QStringLiteral("--parts needs a value"));
            a->partsGiven = true;
            for (const QString &p : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
                a->parts << p.trimmed();
            if (a->parts.isEmpty())
                return usage(QStringLiteral("--parts needs at least one partition name"));
        } else if (strcmp(arg, "--retries") == 0) {
            QString n;
            bool ok = false;
            if (!value(&n) || (a->retries = n.toInt(&ok), !ok) || a->retries < 0)
                return usage(QStringLiteral("--retries needs a number of 0 or more"));
        } else if (strcmp(arg, "--no-reboot") == 0) {
            a->reboot = false;
        } else if (strcmp(arg, "--force") == 0) {
            a->force = true;
        } else if (strcmp(arg, "--json") == 0) {
            a->json = true;
        } else if (strcmp(arg, "--verify") == 0) {
            a->verify = true;
        } else if (arg[0] == '-' && arg[1]) {
            return usage(QStringLiteral("unknown option '%1'").arg(name));
        } else if (a->image.isEmpty()) {
            a->image = name;
        } else {
            return usage(QStringLiteral("unexpected argument '%1'").arg(name));
        }
    }
    if (a->image.isEmpty())
        return usage(QStringLiteral("no image given"));
    if (a->all && a->watch)
        return usage(QStringLiteral("give only one of --all and --watch"));
    if (a->count > 0 && !a->watch)
        return usage(QStringLiteral("--count goes with --watch"));
    if (a->all || a->watch) {
        if (!a->usb.isEmpty() || a->first)
            return usage(
                QStringLiteral("--usb and --first burn one board; --all and --watch "
                               "burn every board"));
        if (a->watch && !a->serials.isEmpty())
            return usage(
                QStringLiteral("--watch looks for USB boards; serial ports go with --all"));
        return 0;
    }
    if (a->serials.size() > 1)
        return usage(QStringLiteral("several --serial ports go with --all"));
    if (int(!a->usb.isEmpty()) + int(!a->serials.isEmpty()) + int(a->first) != 1)
        return usage(QStringLiteral("give exactly one of --usb, --serial and --first"));
    if (!a->usb.isEmpty()) {
        uint8_t bus;
        uint8_t port[UPG_PORT_PATH_LEN];
        if (upg_dev_parse_location(a->usb.toLocal8Bit().constData(), &bus, port) != 0)
            return usage(
                QStringLiteral("'%1' is no USB location (BUS:PORTS, e.g. 1:2-3)").arg(a->usb));
    }
    return 0;
}

// Selection entries for the image's partition list: a partition is burnt when
// --parts names it. Names the image does not know are refused, since a typing
// error would otherwise silently burn nothing of what was meant.
// Returns what is wrong, or nothing; *status tells a damaged image (failure)
// from a selection it cannot have (usage error).
QString buildSelection(ImageFile &image, const QStringList &wanted,
                       std::vector<PartitionSelection> *out, int *status) {
    QStringList known;
    for (PartitionEntry *p = image.partitions(); p; p = p->next)
        known << QString::fromLatin1(p->name, int(strnlen(p->name, sizeof(p->name))));
    *status = KELCLI_USAGE;
    if (known.isEmpty()) {
        if (!image.readError().isEmpty()) {
            *status = KELCLI_FAIL;
            return QStringLiteral("the image's partition list cannot be read: ") +
                   image.readError();
        }
        return QStringLiteral(
            "the image has no partition list (image.updater.env), so --parts cannot apply");
    }
    for (const QString &w : wanted) {
        if (!known.contains(w))
            return QStringLiteral("the image has no partition '%1' (it has: %2)")
                .arg(w, known.join(QStringLiteral(", ")));
    }
    for (const QString &k : known) {
        PartitionSelection entry;
        memset(&entry, 0, sizeof(entry));
        const QByteArray latin = k.toLatin1();
        memcpy(entry.name, latin.constData(), size_t(qMin(latin.size(), 31)));
        entry.selected = wanted.contains(k) ? 1 : 0;
        out->push_back(entry);
    }
    // A component the board runs (its next boot stage) is what brings it into
    // U-Boot, where the target components go: leaving it out would make every
    // selected target fail, so the entry that decides about it stays selected.
    const FwcMeta *metas = image.meta();
    for (quint32 i = 0; metas && i < image.fwcCount(); ++i) {
        char attr[sizeof(metas[i].attributes) + 1] = {0};
        char name[sizeof(metas[i].name) + 1] = {0};
        memcpy(attr, metas[i].attributes, sizeof(metas[i].attributes));
        memcpy(name, metas[i].name, sizeof(metas[i].name));
        if (!strstr(attr, "run") && !strstr(attr, "Run") && !strstr(attr, "RUN"))
            continue;
        for (PartitionSelection &e : *out) {
            if (e.name[0] && strstr(name, e.name)) {
                e.selected = 1;
                break;
            }
        }
    }
    return QString();
}

// Why the image's header cannot be used: a file that cannot be opened or read
// as an image at all, or one whose header does not check out.
Failure headerFailure(const ImageFile &image) {
    const QString &path = image.path();
    const QString refused =
        QStringLiteral("'%1' is not a firmware image that can be read: ").arg(path);
    const QByteArray native = path.toLocal8Bit();
    const char *openWhy = nullptr;
    if (FILE *f = image_file_open(native.constData(), &openWhy))
        fclose(f);
    else
        return Failure(Failure::ImageUnreadable,
                       refused + QStringLiteral("Cannot open file %1: %2")
                                     .arg(path, QString::fromLocal8Bit(openWhy)));
    std::string why;
    return Failure(kelcli_image_readable(native.constData(), &why) ? Failure::ImageCorrupt
                                                                  : Failure::ImageUnreadable,
                   refused + image.readError());
}

// Until the worker runs a request to stop ends the program at once, with the
// result line a reader of stdout waits for.
int quitEarly(const char *request, void *) {
    Reporter::instance().quitNow(QStringLiteral("interrupted by ") +
                                     QString::fromLatin1(request ? request : "a stop request"),
                                 true);
}

int runBurn(const BurnArgs &a) {
    Reporter &out = Reporter::instance();
    auto failEarly = [&out](const QString &message, int status = KELCLI_FAIL,
                            Failure::Code code = Failure::None) {
        return out.failEarly(QStringLiteral("burn"), message, status, QString(), code);
    };
    ImageFile image;
    image.setPath(a.image);
    if (image.loadHeader() != 0) {
        const Failure why = headerFailure(image);
        return failEarly(why.message(), KELCLI_FAIL, why.code());
    }
    const FwcMeta *metas = image.meta();
    if (!metas || image.fwcCount() == 0)
        return failEarly(QStringLiteral("cannot read the components of '%1': %2")
                             .arg(a.image, image.readError()),
                         KELCLI_FAIL, Failure::ImageCorrupt);

    std::vector<PartitionSelection> selection;
    if (a.partsGiven) {
        int status = KELCLI_USAGE;
        const QString refused = buildSelection(image, a.parts, &selection, &status);
        if (!refused.isEmpty())
            return failEarly(refused, status,
                             status == KELCLI_FAIL ? Failure::ImageCorrupt : Failure::None);
    }

    // Before any board is touched, and once for all the boards of a station.
    Failure::Code guardCode = Failure::None;
    const QString refused = kelcli_image_guard_refusal(image, a.guard, &guardCode);
    if (!refused.isEmpty())
        return failEarly(refused, KELCLI_FAIL, guardCode);

    if (libkelupg_init() != 0)
        return failEarly(QStringLiteral("cannot initialise USB access"), KELCLI_FAIL,
                         Failure::Host);
    // The station watches for requests to stop on its own.
    kelcli_stop_requests_end();
    const int status = kelcli_burn_station(a, image, selection);
    libkelupg_exit();
    return status;
}

}  // namespace

void kelcli_help_burn(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli burn [-v] IMAGE (--usb BUS:PORTS | --serial PORT | --first)\n"
            "                         [--parts A,B,...] [--retries N] [--no-reboot] [--force]\n"
            "                         [--verify] [--sha256 HEX] [--check-crc] [--json]\n"
            "                         [--db URL] [--operator NAME]\n"
            "\n"
            "Burns every component of IMAGE into a board in upgrade mode, following it from\n"
            "its boot ROM into U-Boot, and reboots it when the whole image is burnt.\n"
            "\n"
            "  --usb BUS:PORTS  the board's USB location as 'devices' lists it, e.g. 1:2-3\n"
            "  --serial PORT    a serial port, e.g. /dev/ttyUSB0\n"
            "  --first          the first board in upgrade mode found on USB\n"
            "  --parts A,B,...  burn only these partitions of the image's partition list;\n"
            "                   components of other listed partitions are skipped; updater\n"
            "                   components and components the board runs (its boot loader)\n"
            "                   are always burnt\n"
            "  --retries N      resends allowed over the whole burn (default: retry_cnt of\n"
            "                   KelFlash.ini; 0 counts as 1); the file is not changed\n"
            "  --no-reboot      leave the board in upgrade mode afterwards\n"
            "  --force          burn even when the board does not answer the information\n"
            "                   query first (a board that only answers late, a serial line\n"
            "                   whose handshake is slow); a USB board in U-Boot is switched\n"
            "                   into upgrade work mode first\n"
            "  --verify         compare the checksum the board reports for each component\n"
            "                   with the image's CRC and fail the component on a mismatch\n"
            "%s"
            "  --db URL         store each board's record in this database\n"
            "                   (postgresql://USER@HOST:PORT/DB; default: [fleet] database\n"
            "                   of KelFlash.ini, else data.db)\n"
            "  --operator NAME  the operator named in the records (default: [fleet] operator,\n"
            "                   else the login name)\n"
            "  --json           one JSON object per line on stdout: start, linked,\n"
            "                   component (start/done/skipped), progress, stage, retry, result;\n"
            "                   once the board is open each carries its location (\"board\")\n"
            "\n"
            "\n"
            "Several boards at once:\n"
            "  kelflash-cli burn IMAGE --all [--serial PORT ...] [options]\n"
            "  kelflash-cli burn IMAGE --watch [--count N] [options]\n"
            "  --all            every board now in upgrade mode on USB (and each --serial\n"
            "                   port), in parallel; one result line per board, a summary\n"
            "  --watch          station mode: burn each USB board as it appears, until\n"
            "                   Ctrl-C or until --count N boards are done; a board that\n"
            "                   failed is burnt again once plugged in again\n"
            "  Each board's log lines begin with its location, e.g. [1:2-3].\n"
            "\n"
            "Progress goes to stderr (a bar on a terminal, plain lines otherwise).\n"
            "Ctrl-C (or SIGTERM) ends the job: before the burn at once, during it after the\n"
            "current transfer (at most 2 s later); a second one ends it at once. Either way\n"
            "the exit status is 1 and --json ends with a result line.\n"
            "Exit status: 0 when the whole image was burnt (onto every board), 1 on\n"
            "failure, 2 usage error.\n",
            kelcli_image_guard_help(19).c_str());
}

int kelcli_cmd_burn(int argc, char **argv) {
    BurnArgs a;
    RunRecords records;
    a.records = &records;
    a.json = wantsJson(argc, argv);
    Reporter &out = Reporter::instance();
    out.begin(a.json);
    QString error;
    const int parsed = parseArgs(argc, argv, &a, &error);
    if (parsed < 0)
        return KELCLI_OK;
    if (parsed != 0)
        return out.failEarly(QStringLiteral("burn"), error, parsed);

    static int qargc = 1;
    static char qname[] = "kelflash-cli";
    static char *qargv[] = {qname, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app = std::make_unique<QCoreApplication>(qargc, qargv);

    // A database URL that does not parse is refused before any board is
    // touched; a database that cannot be reached later only delays records.
    if (!records.open(&error))
        return out.failEarly(QStringLiteral("burn"), error, KELCLI_USAGE);
    out.installHandlers();
    kelcli_stop_requests_begin(quitEarly, nullptr);
    const int status = runBurn(a);
    // The writer's thread and its database connection end while the
    // application (and the SQL driver it loaded) still exists: a run that
    // failed before any board keeps its writer open until here.
    records.finish();
    kelcli_stop_requests_end();
    out.end();
    return status;
}
