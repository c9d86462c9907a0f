// "kelflash-cli burn": burns an image with the same worker and links as the
// window, reporting progress on the terminal or as JSON lines.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "burn_args.h"
#include "burnthread.h"
#include "cli.h"
#include "imagefile.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "linkfactory.h"
#include "settings.h"
#include "stop_requests.h"
#include "upg_log.h"

namespace {

// The serial line needs a probe round trip or two before it counts as connected.
constexpr int kSerialConnectWaitMs = 5000;
constexpr int kRedrawMs = 100;
// How long a stop request waits for the current transfer before the program
// ends anyway: a serial line needs minutes for a chunk, a lost board seconds.
constexpr int kStopGraceMs = 2000;

// Shared with the message handler, which runs on the worker's thread too.
QMutex g_outLock;
QString g_libraryError;  // the first library error since clearLibraryError()
bool g_json = false;
bool g_lineOpen = false;  // a progress bar waits on the terminal line
// The board's location once it is open: every JSON event from then on carries
// it, as the events of several boards at once do.
QString g_board;

// Ctrl-C and SIGTERM are acted on by a thread of their own (onStopRequest), at
// once, whatever the main thread is blocked in: the image check, the board's
// information query, the wait for the worker.
enum Phase { Preparing, Burning, Reporting };
std::atomic<int> g_phase{Preparing};
std::atomic<bool> g_interrupted{false};  // the worker is to stop
QString g_stopRequest;   // what asked the worker to stop ("SIGINT"), under g_outLock
QString g_firstRequest;  // the watching thread's own record of the first request
std::atomic<bool> g_resultGiven{false};  // the one result line is out
std::atomic<quint64> g_bytesDone{0};
std::atomic<qint64> g_startedMs{0};  // steady clock; 0 until the burn starts

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double secondsSinceStart() {
    const qint64 started = g_startedMs.load();
    return started ? (steadyMs() - started) / 1000.0 : 0;
}

void clearLineLocked() {
    if (g_lineOpen) {
        fputs("\r\033[K", stderr);
        g_lineOpen = false;
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    QMutexLocker lock(&g_outLock);
    const QString text = msg.trimmed();
    // The link confirms every work-mode switch at warning level; on the way into
    // U-Boot that happens on every burn, so the confirmation shows only on
    // request (a refused switch is an error and always shows).
    const bool routine =
        type == QtWarningMsg && text.startsWith(QLatin1String("Set upg work mode:"));
    const bool show = type != QtDebugMsg && type != QtInfoMsg && !routine ? true : kelcli_verbose();
    if (!show || text.isEmpty())
        return;
    clearLineLocked();
    const char *level = type == QtCriticalMsg || type == QtFatalMsg ? "error: "
                        : type == QtWarningMsg                      ? "warning: "
                                                                    : "";
    fprintf(stderr, "%s%s\n", level, text.toLocal8Bit().constData());
    fflush(stderr);
}

// Library lines are the detail behind the worker's own messages; during a
// board's expected departure they are noise, so they show only on request.
// The first error of a step is kept: it is the reason a failed step gives.
void librarySink(int level, const char *text) {
    QMutexLocker lock(&g_outLock);
    if (level == UPG_LOG_ERR && g_libraryError.isEmpty() && text) {
        // Behind the "function()line: " prefix and its padding.
        QString t = QString::fromLocal8Bit(text);
        const int paren = t.indexOf(QLatin1String("()"));
        const int colon = paren < 0 ? -1 : t.indexOf(QLatin1String(": "), paren);
        g_libraryError = (colon < 0 ? t : t.mid(colon + 2)).trimmed();
    }
    if (!kelcli_verbose())
        return;
    clearLineLocked();
    fprintf(stderr, "%s\n", text ? text : "");
    fflush(stderr);
}

void clearLibraryError() {
    QMutexLocker lock(&g_outLock);
    g_libraryError.clear();
}

// ": <first library error>", or nothing when the library said nothing.
QString libraryReason() {
    QMutexLocker lock(&g_outLock);
    return g_libraryError.isEmpty() ? QString() : QStringLiteral(": ") + g_libraryError;
}

void emitJsonLocked(QJsonObject obj) {
    if (!g_board.isEmpty())
        obj.insert(QStringLiteral("board"), g_board);
    const QByteArray line = QJsonDocument(obj).toJson(QJsonDocument::Compact);
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void emitJson(const QJsonObject &obj) {
    QMutexLocker lock(&g_outLock);
    emitJsonLocked(obj);
}

QJsonObject resultObject(bool ok, const QString &message, quint64 bytes, double seconds) {
    QJsonObject o{{"event", "result"},
                  {"ok", ok},
                  {"bytes", double(bytes)},
                  {"seconds", qRound(seconds * 1000) / 1000.0}};
    if (!ok)
        o.insert("message", message);
    return o;
}

QString interruptedText(const QString &request) {
    return QStringLiteral("interrupted by ") + request;
}

// Ends the program from the watching thread, whatever the others are doing:
// the result line is the last word, and a worker in the middle of a transfer
// goes with the process.
[[noreturn]] void quitNow(const BurnArgs &a, const QString &request) {
    const QString message = interruptedText(request);
    // A thread that holds the lock may be stuck writing to a full pipe; the
    // result is written all the same.
    const bool locked = g_outLock.tryLock(500);
    if (!g_resultGiven.exchange(true)) {
        clearLineLocked();
        fprintf(stderr, "kelflash-cli: %s\n", message.toLocal8Bit().constData());
        fflush(stderr);
        if (a.json)
            emitJsonLocked(resultObject(false, message, g_bytesDone.load(), secondsSinceStart()));
    }
    if (locked)
        g_outLock.unlock();
    std::_Exit(KELCLI_FAIL);
}

// Until the worker runs there is nothing to stop, and the first request ends
// the program; while it runs, the first one asks it to stop, and a second one,
// or the grace time, ends the program.
int onStopRequest(const char *request, void *ctx) {
    const BurnArgs &a = *static_cast<const BurnArgs *>(ctx);
    if (!request)
        quitNow(a, g_firstRequest);  // the worker did not stop in time
    const int phase = g_phase.load();
    if (!g_firstRequest.isEmpty() || phase == Preparing)
        quitNow(a, QString::fromLatin1(request));
    g_firstRequest = QString::fromLatin1(request);
    if (phase == Reporting)
        return -1;  // the result is on its way; only a second request cuts it short
    {
        QMutexLocker lock(&g_outLock);
        g_stopRequest = g_firstRequest;
        clearLineLocked();
        fprintf(stderr, "Stopping after the current transfer (again to quit at once)...\n");
        fflush(stderr);
    }
    g_interrupted.store(true);
    return kStopGraceMs;
}

QString duration(double seconds) {
    if (seconds < 0 || seconds > 360000)
        return QStringLiteral("--:--");
    const qint64 s = qint64(seconds + 0.5);
    return s >= 3600 ? QStringLiteral("%1:%2:%3")
                           .arg(s / 3600)
                           .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
                           .arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

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
    clearLibraryError();
    for (PartitionEntry *p = image.partitions(); p; p = p->next)
        known << QString::fromLatin1(p->name, int(strnlen(p->name, sizeof(p->name))));
    *status = KELCLI_USAGE;
    if (known.isEmpty()) {
        const QString why = libraryReason();
        if (!why.isEmpty()) {
            *status = KELCLI_FAIL;
            return QStringLiteral("the image's partition list cannot be read") + why;
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

// Turns the worker's signals into terminal output or JSON lines.
class Reporter {
public:
    Reporter(bool json, quint64 total, int components)
        : json(json), tty(!json && isatty(STDERR_FILENO)), total(total), count(components) {}

    void started(const QString &image) {
        clock.start();
        g_startedMs.store(steadyMs());
        if (json)
            emitJson({{"event", "start"},
                      {"image", image},
                      {"components", count},
                      {"bytes", double(total)}});
        else
            say(QStringLiteral("Burning %1 (%2 components, %3 bytes)")
                    .arg(image)
                    .arg(count)
                    .arg(total));
    }
    void linked(const QString &name, const QString &info) {
        if (json)
            emitJson({{"event", "linked"}, {"device", name}, {"info", info}});
        else
            say(QStringLiteral("Device %1 linked").arg(name));
    }
    void componentStarted(int index, const QString &name, quint32 size) {
        current = name;
        if (json)
            emitJson({{"event", "component"},
                      {"state", "start"},
                      {"index", index},
                      {"name", name},
                      {"size", double(size)}});
        else if (!tty)
            say(QStringLiteral("[%1/%2] %3 (%4 bytes)")
                    .arg(index + 1)
                    .arg(count)
                    .arg(name)
                    .arg(size));
    }
    void componentDone(int index, bool skipped) {
        if (json)
            emitJson({{"event", "component"},
                      {"state", skipped ? "skipped" : "done"},
                      {"index", index},
                      {"name", current}});
        else if (!tty || skipped)
            say(QStringLiteral("[%1/%2] %3 %4")
                    .arg(index + 1)
                    .arg(count)
                    .arg(current, skipped ? QStringLiteral("skipped (not selected)")
                                          : QStringLiteral("done")));
    }
    void retry(int index, const QString &name, int n) {
        if (json)
            emitJson({{"event", "retry"}, {"index", index}, {"name", name}, {"count", n}});
        else
            say(QStringLiteral("Sending %1 again (resend %2)").arg(name).arg(n));
    }
    void stage() {
        if (json)
            emitJson({{"event", "stage"}, {"stage", "uboot"}});
        else
            say(QStringLiteral("Device is back, running U-Boot"));
    }
    void progress(qint64 bytes) {
        last = bytes < 0 ? 0 : quint64(bytes);
        g_bytesDone.store(last);
        const double secs = qMax(clock.elapsed(), qint64(1)) / 1000.0;
        const double rate = last / secs;
        const double pct = total ? qMin(100.0, 100.0 * last / double(total)) : 100.0;
        if (json) {
            emitJson({{"event", "progress"},
                      {"bytes", double(last)},
                      {"percent", qRound(pct * 10) / 10.0},
                      {"rate", qRound64(rate)}});
            return;
        }
        if (!tty || (redraw.isValid() && !redraw.hasExpired(kRedrawMs) && last < total))
            return;
        redraw.start();
        const int width = 30;
        const int filled = int(pct / 100.0 * width);
        const QString bar =
            QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
        // No rate yet: the time left is unknown, not zero.
        const double left = rate <= 0 ? -1 : total > last ? (total - last) / rate : 0;
        const QString line = QStringLiteral("[%1] %2%  %3 MB/s  ETA %4  %5")
                                 .arg(bar)
                                 .arg(pct, 5, 'f', 1)
                                 .arg(rate / 1e6, 0, 'f', 2)
                                 .arg(duration(left))
                                 .arg(current.left(32));
        QMutexLocker lock(&g_outLock);
        fprintf(stderr, "\r\033[K%s", line.toLocal8Bit().constData());
        fflush(stderr);
        g_lineOpen = true;
    }
    void result(bool ok, const QString &message) {
        const double secs = clock.isValid() ? clock.elapsed() / 1000.0 : 0;
        QMutexLocker lock(&g_outLock);
        if (g_resultGiven.exchange(true))
            return;  // a signal has ended the job already
        if (json) {
            emitJsonLocked(resultObject(ok, message, last, secs));
        } else if (ok) {
            clearLineLocked();
            fprintf(stderr, "SUCCESS: %llu bytes in %.1f s\n", static_cast<unsigned long long>(last), secs);
            fflush(stderr);
        } else {
            clearLineLocked();
            fprintf(stderr, "FAIL: %s\n", message.toLocal8Bit().constData());
            fflush(stderr);
        }
    }

private:
    void say(const QString &text) {
        QMutexLocker lock(&g_outLock);
        clearLineLocked();
        fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        fflush(stderr);
    }

    bool json;
    bool tty;
    quint64 total;
    int count;
    quint64 last = 0;
    QString current;
    QElapsedTimer clock;
    QElapsedTimer redraw;
};

// A failure before the worker runs: the message on stderr and, with --json, the
// result line a reader of stdout waits for.
int failEarly(const BurnArgs &a, const QString &message, int status = KELCLI_FAIL) {
    {
        QMutexLocker lock(&g_outLock);
        if (g_resultGiven.exchange(true))
            return status;
        if (a.json)
            emitJsonLocked(resultObject(false, message, 0, 0));
    }
    const QByteArray text = message.toLocal8Bit();
    if (status == KELCLI_USAGE)
        return kelcli_usage_error("burn", "%s", text.constData());
    kelcli_fail("%s", text.constData());
    return status;
}

// Whether the board's port itself opens. --force is for a board that is there
// but does not answer; a port that cannot be opened stays shut for the burn too.
bool portOpens(KelLinker *link, const BurnArgs &a, const QString &devId) {
    if (!a.serials.isEmpty())
        return link->isLinked();  // the serial link keeps what it opened
    uint8_t bus;
    uint8_t port[UPG_PORT_PATH_LEN];
    if (upg_dev_parse_location(devId.toLocal8Bit().constData(), &bus, port) != 0)
        return false;
    upg_device *dev = upg_usb_dev_open(bus, port);
    if (!dev)
        return false;
    upg_usb_dev_close(dev);
    return true;
}

int runBurn(const BurnArgs &a) {
    ImageFile image;
    image.setPath(a.image);
    clearLibraryError();
    if (image.loadHeader() != 0)
        return failEarly(
            a, QStringLiteral("'%1' is not a firmware image that can be read").arg(a.image) +
                   libraryReason());
    clearLibraryError();
    const FwcMeta *metas = image.meta();
    if (!metas || image.fwcCount() == 0)
        return failEarly(
            a, QStringLiteral("cannot read the components of '%1'").arg(a.image) + libraryReason());
    quint64 total = 0;
    for (quint32 i = 0; i < image.fwcCount(); ++i)
        total += metas[i].size;

    std::vector<PartitionSelection> selection;
    if (a.partsGiven) {
        int status = KELCLI_USAGE;
        const QString refused = buildSelection(image, a.parts, &selection, &status);
        if (!refused.isEmpty())
            return failEarly(a, refused, status);
    }

    // Before any board is touched, and once for all the boards of a station.
    const QString refused = kelcli_image_guard_refusal(image, a.guard);
    if (!refused.isEmpty())
        return failEarly(a, refused);

    if (libkelupg_init() != 0)
        return failEarly(a, QStringLiteral("cannot initialise USB access"));
    if (a.all || a.watch) {
        // The station reports on its own; the one-board result line is not for it.
        g_resultGiven.store(true);
        g_phase.store(Reporting);
        kelcli_stop_requests_end();
        const int status = kelcli_burn_station(a, image, selection);
        libkelupg_exit();
        return status;
    }
    const QString serialPort = a.serials.value(0);
    std::unique_ptr<KelLinker> link(
        LinkFactory::createLinker(serialPort.isEmpty() ? LinkFactory::Usb : LinkFactory::Serial));
    if (auto *serial = dynamic_cast<KelLinkerSerial *>(link.get()))
        serial->setConnectWait(kSerialConnectWaitMs);
    link->setVerify(a.verify);

    QString devId = serialPort.isEmpty() ? a.usb : serialPort;
    if (a.first) {
        const QStringList devices = link->listDevices();
        if (devices.isEmpty()) {
            link.reset();
            libkelupg_exit();
            return failEarly(a, QStringLiteral("no board in upgrade mode on USB"));
        }
        devId = devices.first();
    }
    Reporter report(a.json, total, int(image.fwcCount()));
    clearLibraryError();
    // --force switches a board in U-Boot into upgrade work mode as it is asked,
    // as the window's forced upgrade does.
    if (!link->fetchDeviceInfo(devId, a.force)) {
        QString refused;
        if (!portOpens(link.get(), a, devId))
            refused = QStringLiteral("cannot open the board at %1").arg(devId) + libraryReason();
        else if (!a.force)
            refused =
                QStringLiteral("cannot read the board's information at %1 (--force burns anyway)")
                    .arg(devId);
        if (!refused.isEmpty()) {
            link.reset();
            libkelupg_exit();
            return failEarly(a, refused);
        }
        QMutexLocker lock(&g_outLock);
        fprintf(stderr, "warning: no information from %s; burning anyway (--force)\n",
                devId.toLocal8Bit().constData());
    }
    {
        QMutexLocker lock(&g_outLock);
        g_board = devId;
    }
    if (!a.json && !link->deviceInfo().isEmpty())
        fprintf(stderr, "%s\n", link->deviceInfo().toLocal8Bit().constData());
    // A board left in U-Boot by a stopped or failed burn does not take the
    // image as it is; the burn goes on, but the way out is named first.
    if (serialPort.isEmpty() && !a.force && link->reportsUboot()) {
        QMutexLocker lock(&g_outLock);
        fprintf(stderr,
                "warning: the board at %s is in U-Boot; burn it with --force (which switches "
                "it into upgrade work mode first) or restart it into its boot ROM\n",
                devId.toLocal8Bit().constData());
        fflush(stderr);
    }

    bool success = false;
    bool failed = false;
    QString cause;
    {
        // The resends allowed: --retries, else retry_cnt of the settings file.
        BurnThread worker(&image, link.get(), false, a.reboot,
                          a.retries >= 0 ? a.retries : Settings::instance().retryCount());
        if (!selection.empty())
            worker.setPartitions(selection.data(), quint32(selection.size()));

        QObject ctx;
        const QString info = link->deviceInfo();
        QObject::connect(&worker, &KelThread::threadIsStart, &ctx,
                         [&] { report.started(a.image); });
        QObject::connect(&worker, &BurnThread::deviceLinked, &ctx,
                         [&](const QString &name) { report.linked(name, info); });
        QObject::connect(
            &worker, &BurnThread::componentStarted, &ctx,
            [&](int i, const QString &n, quint32 s) { report.componentStarted(i, n, s); });
        QObject::connect(&worker, &BurnThread::componentDone, &ctx,
                         [&](int i, bool skipped) { report.componentDone(i, skipped); });
        QObject::connect(&worker, &BurnThread::componentRetry, &ctx,
                         [&](int i, const QString &n, int c) { report.retry(i, n, c); });
        QObject::connect(&worker, &BurnThread::inUboot, &ctx, [&] { report.stage(); });
        QObject::connect(&worker, &KelThread::threadIsRunning, &ctx,
                         [&](qint64 p) { report.progress(p); });
        QObject::connect(&worker, &BurnThread::jobFailed, &ctx,
                         [&](const QString &why) { cause = why; });
        QObject::connect(&worker, &KelThread::threadIsFailed, &ctx, [&] { failed = true; });
        QObject::connect(&worker, &KelThread::threadIsSuccessful, &ctx, [&] { success = true; });
        QObject::connect(&worker, &QThread::finished, &ctx, [] { QCoreApplication::quit(); });

        // Ctrl-C asks the worker to stop instead of killing the process in the
        // middle of a transfer, which would leave the board half-burnt without
        // a word; the signal thread ends the program if the stop takes too long.
        QTimer interrupt;
        QObject::connect(&interrupt, &QTimer::timeout, &ctx, [&] {
            if (g_interrupted.exchange(false)) {
                worker.resume();
                worker.stop();
            }
        });
        interrupt.start(kRedrawMs);

        g_phase.store(Burning);
        worker.start();
        QCoreApplication::exec();
        worker.wait();
        g_phase.store(Reporting);
        QCoreApplication::sendPostedEvents();
    }
    link.reset();
    libkelupg_exit();

    QString message;
    if (!success) {
        QMutexLocker lock(&g_outLock);
        message = !g_stopRequest.isEmpty() ? interruptedText(g_stopRequest)
                  : !failed                ? QStringLiteral("stopped before the image was burnt")
                  : cause.isEmpty()        ? QStringLiteral("the burn failed")
                                           : cause;
    }
    report.result(success, message);
    return success ? KELCLI_OK : KELCLI_FAIL;
}

}  // namespace

void kelcli_help_burn(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli burn [-v] IMAGE (--usb BUS:PORTS | --serial PORT | --first)\n"
            "                         [--parts A,B,...] [--retries N] [--no-reboot] [--force]\n"
            "                         [--verify] [--sha256 HEX] [--check-crc] [--json]\n"
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
    g_phase.store(Preparing);
    g_resultGiven.store(false);
    g_interrupted.store(false);
    g_stopRequest.clear();
    g_firstRequest.clear();
    g_board.clear();
    g_bytesDone.store(0);
    g_startedMs.store(0);

    BurnArgs a;
    a.json = wantsJson(argc, argv);
    QString error;
    const int parsed = parseArgs(argc, argv, &a, &error);
    if (parsed < 0)
        return KELCLI_OK;
    if (parsed != 0)
        return failEarly(a, error, parsed);
    g_json = a.json;

    static int qargc = 1;
    static char qname[] = "kelflash-cli";
    static char *qargv[] = {qname, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app = std::make_unique<QCoreApplication>(qargc, qargv);

    QtMessageHandler previous = qInstallMessageHandler(messageHandler);
    upg_log_set_callback(librarySink);
    kelcli_stop_requests_begin(onStopRequest, &a);
    const int status = runBurn(a);
    kelcli_stop_requests_end();
    kelcli_install_log_sink();
    qInstallMessageHandler(previous);
    return status;
}
