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
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "burnthread.h"
#include "cli.h"
#include "imagefile.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "linkfactory.h"
#include "upg_log.h"

namespace {

// The serial line needs a probe round trip or two before it counts as connected.
constexpr int kSerialConnectWaitMs = 5000;
constexpr int kRedrawMs = 100;

struct BurnArgs {
    QString image;
    QString usb;
    QString serial;
    bool first = false;
    bool partsGiven = false;
    QStringList parts;
    int retries = -1;
    bool reboot = true;
    bool force = false;
    bool json = false;
};

// Shared with the message handler, which runs on the worker's thread too.
QMutex g_outLock;
QString g_lastCritical;
bool g_json = false;
bool g_lineOpen = false;  // a progress bar waits on the terminal line
std::atomic<bool> g_interrupted{false};

void clearLineLocked() {
    if (g_lineOpen) {
        fputs("\r\033[K", stderr);
        g_lineOpen = false;
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    QMutexLocker lock(&g_outLock);
    const QString text = msg.trimmed();
    if (type == QtCriticalMsg || type == QtFatalMsg)
        g_lastCritical = text;
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
void librarySink(int level, const char *text) {
    if (!kelcli_verbose())
        return;
    (void)level;
    QMutexLocker lock(&g_outLock);
    clearLineLocked();
    fprintf(stderr, "%s\n", text ? text : "");
    fflush(stderr);
}

void onSignal(int) {
    g_interrupted.store(true);
}

void emitJson(const QJsonObject &obj) {
    QMutexLocker lock(&g_outLock);
    const QByteArray line = QJsonDocument(obj).toJson(QJsonDocument::Compact);
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fputc('\n', stdout);
    fflush(stdout);
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

int parseArgs(int argc, char **argv, BurnArgs *a) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
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
        if (strcmp(arg, "--usb") == 0 || strcmp(arg, "--serial") == 0) {
            if (!value(arg[2] == 'u' ? &a->usb : &a->serial))
                return kelcli_usage_error("burn", "%s needs a value", arg);
        } else if (strcmp(arg, "--first") == 0) {
            a->first = true;
        } else if (strcmp(arg, "--parts") == 0) {
            QString list;
            if (!value(&list))
                return kelcli_usage_error("burn", "--parts needs a value");
            a->partsGiven = true;
            for (const QString &p : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
                a->parts << p.trimmed();
            if (a->parts.isEmpty())
                return kelcli_usage_error("burn", "--parts needs at least one partition name");
        } else if (strcmp(arg, "--retries") == 0) {
            QString n;
            bool ok = false;
            if (!value(&n) || (a->retries = n.toInt(&ok), !ok) || a->retries < 0)
                return kelcli_usage_error("burn", "--retries needs a number of 0 or more");
        } else if (strcmp(arg, "--no-reboot") == 0) {
            a->reboot = false;
        } else if (strcmp(arg, "--force") == 0) {
            a->force = true;
        } else if (strcmp(arg, "--json") == 0) {
            a->json = true;
        } else if (arg[0] == '-' && arg[1]) {
            return kelcli_usage_error("burn", "unknown option '%s'", arg);
        } else if (a->image.isEmpty()) {
            a->image = QString::fromLocal8Bit(arg);
        } else {
            return kelcli_usage_error("burn", "unexpected argument '%s'", arg);
        }
    }
    if (a->image.isEmpty())
        return kelcli_usage_error("burn", "no image given");
    if (int(!a->usb.isEmpty()) + int(!a->serial.isEmpty()) + int(a->first) != 1)
        return kelcli_usage_error("burn", "give exactly one of --usb, --serial and --first");
    if (!a->usb.isEmpty()) {
        uint8_t bus;
        uint8_t port[UPG_PORT_PATH_LEN];
        if (upg_dev_parse_location(a->usb.toLocal8Bit().constData(), &bus, port) != 0)
            return kelcli_usage_error("burn", "'%s' is no USB location (BUS:PORTS, e.g. 1:2-3)",
                                      a->usb.toLocal8Bit().constData());
    }
    return 0;
}

// Selection entries for the image's partition list: a partition is burnt when
// --parts names it. Names the image does not know are refused, since a typing
// error would otherwise silently burn nothing of what was meant.
bool buildSelection(ImageFile &image, const QStringList &wanted,
                    std::vector<PartitionSelection> *out) {
    QStringList known;
    for (PartitionEntry *p = image.partitions(); p; p = p->next)
        known << QString::fromLatin1(p->name, int(strnlen(p->name, sizeof(p->name))));
    if (known.isEmpty()) {
        kelcli_fail("the image has no partition list (image.updater.env), so --parts cannot apply");
        return false;
    }
    for (const QString &w : wanted) {
        if (!known.contains(w)) {
            kelcli_fail("the image has no partition '%s' (it has: %s)", w.toLocal8Bit().constData(),
                        known.join(QStringLiteral(", ")).toLocal8Bit().constData());
            return false;
        }
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
    return true;
}

// Turns the worker's signals into terminal output or JSON lines.
class Reporter {
public:
    Reporter(bool json, quint64 total, int components)
        : json(json), tty(!json && isatty(STDERR_FILENO)), total(total), count(components) {}

    void started(const QString &image) {
        clock.start();
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
    void progress(int bytes) {
        last = quint32(bytes);
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
        if (json) {
            QJsonObject o{{"event", "result"},
                          {"ok", ok},
                          {"bytes", double(last)},
                          {"seconds", qRound(secs * 1000) / 1000.0}};
            if (!ok)
                o.insert("message", message);
            emitJson(o);
            return;
        }
        if (ok) {
            say(QStringLiteral("SUCCESS: %1 bytes in %2 s").arg(last).arg(secs, 0, 'f', 1));
        } else {
            QMutexLocker lock(&g_outLock);
            clearLineLocked();
            fprintf(stderr, "FAIL: %s\n", message.toLocal8Bit().constData());
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
    quint32 last = 0;
    QString current;
    QElapsedTimer clock;
    QElapsedTimer redraw;
};

// A failure before the worker runs: the message on stderr and, with --json, the
// result line a reader of stdout waits for.
int failEarly(const BurnArgs &a, const QString &message) {
    if (a.json)
        emitJson({{"event", "result"},
                  {"ok", false},
                  {"bytes", 0},
                  {"seconds", 0},
                  {"message", message}});
    return kelcli_fail("%s", message.toLocal8Bit().constData());
}

int runBurn(const BurnArgs &a) {
    ImageFile image;
    image.setPath(a.image);
    if (image.loadHeader() != 0)
        return failEarly(
            a, QStringLiteral("'%1' is not a firmware image that can be read").arg(a.image));
    const FwcMeta *metas = image.meta();
    if (!metas || image.fwcCount() == 0)
        return failEarly(a, QStringLiteral("cannot read the components of '%1'").arg(a.image));
    quint64 total = 0;
    for (quint32 i = 0; i < image.fwcCount(); ++i)
        total += metas[i].size;

    std::vector<PartitionSelection> selection;
    if (a.partsGiven && !buildSelection(image, a.parts, &selection))
        return KELCLI_USAGE;

    if (libkelupg_init() != 0)
        return failEarly(a, QStringLiteral("cannot initialise USB access"));
    std::unique_ptr<KelLinker> link(
        LinkFactory::createLinker(a.serial.isEmpty() ? LinkFactory::Usb : LinkFactory::Serial));
    if (auto *serial = dynamic_cast<KelLinkerSerial *>(link.get()))
        serial->setConnectWait(kSerialConnectWaitMs);

    QString devId = a.serial.isEmpty() ? a.usb : a.serial;
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
    if (!link->fetchDeviceInfo(devId, false)) {
        if (!a.force) {
            link.reset();
            libkelupg_exit();
            return failEarly(
                a,
                QStringLiteral("cannot read the board's information at %1 (--force burns anyway)")
                    .arg(devId));
        }
        QMutexLocker lock(&g_outLock);
        fprintf(stderr, "warning: no information from %s; burning anyway (--force)\n",
                devId.toLocal8Bit().constData());
    }
    if (!a.json && !link->deviceInfo().isEmpty())
        fprintf(stderr, "%s\n", link->deviceInfo().toLocal8Bit().constData());

    bool success = false;
    bool failed = false;
    {
        BurnThread worker(&image, link.get(), false, a.reboot);
        if (!selection.empty())
            worker.setPartitions(selection.data(), quint32(selection.size()));
        if (a.retries >= 0)
            worker.setRetryLimit(a.retries);

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
                         [&](int p) { report.progress(p); });
        QObject::connect(&worker, &KelThread::threadIsFailed, &ctx, [&] { failed = true; });
        QObject::connect(&worker, &KelThread::threadIsSuccessful, &ctx, [&] { success = true; });
        QObject::connect(&worker, &QThread::finished, &ctx, [] { QCoreApplication::quit(); });

        // Ctrl-C asks the worker to stop instead of killing the process in the
        // middle of a transfer, which would leave the board half-burnt without
        // a word.
        QTimer interrupt;
        QObject::connect(&interrupt, &QTimer::timeout, &ctx, [&] {
            if (g_interrupted.exchange(false)) {
                QMutexLocker lock(&g_outLock);
                clearLineLocked();
                fprintf(stderr, "Stopping after the current transfer...\n");
                lock.unlock();
                worker.resume();
                worker.stop();
            }
        });
        interrupt.start(kRedrawMs);

        {
            // Only the job's own errors explain its failure.
            QMutexLocker lock(&g_outLock);
            g_lastCritical.clear();
        }
        worker.start();
        QCoreApplication::exec();
        worker.wait();
        QCoreApplication::sendPostedEvents();
    }
    link.reset();
    libkelupg_exit();

    QString message;
    if (!success) {
        QMutexLocker lock(&g_outLock);
        message = !failed                    ? QStringLiteral("stopped before the image was burnt")
                  : g_lastCritical.isEmpty() ? QStringLiteral("the burn failed")
                                             : g_lastCritical;
    }
    report.result(success, message);
    return success ? KELCLI_OK : KELCLI_FAIL;
}

}  // namespace

void kelcli_help_burn(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli burn [-v] IMAGE (--usb BUS:PORTS | --serial PORT | --first)\n"
            "                         [--parts A,B,...] [--retries N] [--no-reboot] [--force]\n"
            "                         [--json]\n"
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
            "                   whose handshake is slow)\n"
            "  --json           one JSON object per line on stdout: start, linked,\n"
            "                   component (start/done/skipped), progress, stage, retry, result\n"
            "\n"
            "Progress goes to stderr (a bar on a terminal, plain lines otherwise).\n"
            "Ctrl-C stops after the current transfer.\n"
            "Exit status: 0 when the whole image was burnt, 1 on failure, 2 usage error.\n");
}

int kelcli_cmd_burn(int argc, char **argv) {
    BurnArgs a;
    const int parsed = parseArgs(argc, argv, &a);
    if (parsed != 0)
        return parsed < 0 ? KELCLI_OK : parsed;
    g_json = a.json;

    static int qargc = 1;
    static char qname[] = "kelflash-cli";
    static char *qargv[] = {qname, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app = std::make_unique<QCoreApplication>(qargc, qargv);

    QtMessageHandler previous = qInstallMessageHandler(messageHandler);
    upg_log_set_callback(librarySink);
    auto oldInt = std::signal(SIGINT, onSignal);
    auto oldTerm = std::signal(SIGTERM, onSignal);

    const int status = runBurn(a);

    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    kelcli_install_log_sink();
    qInstallMessageHandler(previous);
    return status;
}
