#include "card_common.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QMutex>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "diskaccess.h"
#include "diskregistry.h"
#include "stop_requests.h"

namespace {

QMutex g_lock;
QString g_lastError;
// The one result line of a run is out.
std::atomic<bool> g_resultGiven{false};
bool g_lineOpen = false;
QtMessageHandler g_previous = nullptr;

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void clearLineLocked() {
    if (g_lineOpen) {
        fputs("\r\033[K", stderr);
        g_lineOpen = false;
    }
}

void sayLocked(const QString &text) {
    clearLineLocked();
    fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    fflush(stderr);
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    const QString text = msg.trimmed();
    if (text.isEmpty()) {
        return;
    }
    QMutexLocker lock(&g_lock);
    const bool error = type == QtCriticalMsg || type == QtFatalMsg;
    if (error) {
        g_lastError = text;
    }
    if (error || type == QtWarningMsg) {
        sayLocked(QString::fromLatin1(error ? "error: " : "warning: ") + text);
    } else if (kelcli_verbose()) {
        sayLocked(text);
    }
}

// Whether the operator agrees to lose what is on the card. Without a terminal
// to ask on, only --yes agrees.
bool confirmed(const CardTarget &t, const QString &what) {
    if (!isatty(STDIN_FILENO)) {
        return false;
    }
    fprintf(stderr, "Everything on %s (%s) will be lost. Type 'yes' to go on: ",
            t.path.toLocal8Bit().constData(), what.toLocal8Bit().constData());
    fflush(stderr);
    char answer[16] = {};
    if (!fgets(answer, sizeof answer, stdin)) {
        return false;
    }
    return strcmp(answer, "yes\n") == 0 || strcmp(answer, "yes") == 0;
}

bool isPartitionNode(const QString &node) {
    return QFileInfo::exists(QStringLiteral("/sys/class/block/%1/partition")
                                 .arg(QFileInfo(node).fileName()));
}

}  // namespace

QString kelcli_size_text(quint64 bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B").arg(bytes)
                     : QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(kUnits[unit]));
}

quint64 kelcli_parse_size(const char *text) {
    if (!text || !*text) {
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || text[0] == '-') {
        return 0;
    }
    quint64 unit = 1;
    if (*end) {
        switch (*end) {
        case 'K': case 'k': unit = 1ull << 10; break;
        case 'M': case 'm': unit = 1ull << 20; break;
        case 'G': case 'g': unit = 1ull << 30; break;
        case 'T': case 't': unit = 1ull << 40; break;
        default: return 0;
        }
        // "64M", "64MiB" and "64MB" all mean 64 MiB here: cards are sized in
        // binary units by the tools that read them back.
        const char *rest = end + 1;
        if (*rest && strcmp(rest, "iB") != 0 && strcmp(rest, "B") != 0) {
            return 0;
        }
    }
    if (value > UINT64_MAX / unit) {
        return 0;
    }
    return quint64(value) * unit;
}

bool kelcli_card_wants_json(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--device") == 0 || strcmp(argv[i], "--size") == 0) {
            ++i;
        } else if (strcmp(argv[i], "--json") == 0) {
            return true;
        }
    }
    return false;
}

int kelcli_card_usage(bool json, const QString &message) {
    if (json && !g_resultGiven.exchange(true)) {
        kelcli_card_json({{"event", "result"}, {"ok", false}, {"seconds", 0}, {"message", message}});
    }
    return kelcli_usage_error("card", "%s", message.toLocal8Bit().constData());
}

void kelcli_card_drop_created(const CardTarget &target) {
    if (target.file && target.created) {
        QFile::remove(target.path);
    }
}

int kelcli_card_take_option(int argc, char **argv, int *i, CardTargetOptions *o) {
    const char *a = argv[*i];
    if (strcmp(a, "--device") == 0 && *i + 1 < argc) {
        o->device = QString::fromLocal8Bit(argv[++*i]);
    } else if (strcmp(a, "--size") == 0 && *i + 1 < argc) {
        o->size = kelcli_parse_size(argv[++*i]);
        if (o->size == 0) {
            return kelcli_card_usage(o->json, QStringLiteral("invalid size '%1'")
                                                  .arg(QString::fromLocal8Bit(argv[*i])));
        }
    } else if (strcmp(a, "--yes") == 0) {
        o->yes = true;
    } else if (strcmp(a, "--force") == 0) {
        o->force = true;
    } else if (strcmp(a, "--json") == 0) {
        o->json = true;
    } else {
        return -1;
    }
    return KELCLI_OK;
}

bool kelcli_card_target(const char *command, const CardTargetOptions &o, CardTarget *t,
                        QString *error, int *status) {
    *status = KELCLI_FAIL;
    if (o.device.isEmpty()) {
        *error = QStringLiteral("--device is required");
        *status = KELCLI_USAGE;
        return false;
    }
    if (o.size % 512 != 0) {
        *error = QStringLiteral("--size must be a whole number of 512-byte sectors");
        *status = KELCLI_USAGE;
        return false;
    }
    DiskRegistry &registry = DiskRegistry::instance();
    const QByteArray native = o.device.toLocal8Bit();
    struct stat st;
    QString what;
    if (stat(native.constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
        registry.refresh();
        const QString node = QFileInfo(o.device).canonicalFilePath();
        t->number = registry.numberOf(node);
        t->path = node;
        if (t->number < 0) {
            *error = isPartitionNode(node)
                         ? QStringLiteral("%1 is a partition; give the whole card").arg(node)
                         : QStringLiteral("%1 is not a disk").arg(node);
            return false;
        }
        if (!registry.mayWrite(t->number)) {
            *error = QStringLiteral("%1 holds the running system and is never written").arg(node);
            return false;
        }
        if (o.size != 0) {
            *error = QStringLiteral("--size is for card images, not for %1").arg(node);
            *status = KELCLI_USAGE;
            return false;
        }
        DiskProperties props;
        queryDeviceProperties(t->number, &props);
        if (!props.removable && !o.force) {
            *error = QStringLiteral("%1 is not a removable disk (--force writes it anyway)").arg(node);
            return false;
        }
        if (access(QFile::encodeName(node).constData(), R_OK | W_OK) != 0) {
            *error = QStringLiteral("no permission to write %1: run as root, or join the 'disk' "
                                    "group (or add a udev rule for the card reader)")
                         .arg(node);
            return false;
        }
        if (isDiskWriteProtected(t->number)) {
            *error = QStringLiteral("%1 is write-protected (the card's lock switch, or a read-only "
                                    "device); nothing was written")
                         .arg(node);
            return false;
        }
        what = (props.vendor + QLatin1Char(' ') + props.model).simplified();
        const DiskHandle h = openDiskHandle(t->number, DiskAccess::Query, false);
        quint64 ss = 0;
        const quint64 n = h == kInvalidDisk ? 0 : diskSectorCount(h, &ss);
        closeDiskHandle(h);
        what += (what.isEmpty() ? QString() : QStringLiteral(", ")) + kelcli_size_text(n * ss);
    } else if (errno == ENOENT || (stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode))) {
        t->file = true;
        const QFileInfo info(o.device);
        const bool exists = info.exists();
        // An existing file is the one its name leads to now; it is opened
        // from here on without following links.
        t->path = exists ? info.canonicalFilePath() : info.absoluteFilePath();
        if (!exists && o.size == 0) {
            *error = QStringLiteral("%1 does not exist (give --size to create a card image)")
                         .arg(o.device);
            return false;
        }
        const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
        if (!exists && (dir == QLatin1String("/dev") || dir.startsWith(QLatin1String("/dev/")))) {
            *error = QStringLiteral("%1 does not exist, and a card image is not made under /dev "
                                    "(is the device's name mistyped?)")
                         .arg(o.device);
            return false;
        }
        if (o.size != 0 && (!exists || quint64(st.st_size) < o.size)) {
            // A sparse file: a card image costs only what is written into it.
            // A new file is new indeed: a link left at its name is not followed.
            const int fd = ::open(QFile::encodeName(t->path).constData(),
                                  exists ? O_WRONLY | O_NOFOLLOW | O_CLOEXEC
                                         : O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  0644);
            if (fd < 0 || ftruncate(fd, off_t(o.size)) != 0) {
                *error = QStringLiteral("cannot create %1: %2").arg(o.device, QString::fromLocal8Bit(strerror(errno)));
                if (fd >= 0) {
                    ::close(fd);
                }
                return false;
            }
            ::close(fd);
            t->created = !exists;
        } else if (o.size != 0 && quint64(st.st_size) > o.size) {
            *error = QStringLiteral("%1 is larger than --size; it is not cut").arg(o.device);
            return false;
        }
        t->number = registry.registerFile(t->path);
        what = QStringLiteral("card image, %1").arg(kelcli_size_text(o.size ? o.size : quint64(st.st_size)));
    } else {
        *error = QStringLiteral("%1 is neither a disk nor a card image file").arg(o.device);
        return false;
    }
    if (!t->created && !o.yes && !confirmed(*t, what)) {
        *error = isatty(STDIN_FILENO) ? QStringLiteral("not confirmed; nothing was written")
                                      : QStringLiteral("%1 would be overwritten: give --yes to "
                                                       "confirm without a terminal")
                                            .arg(t->path);
        *status = isatty(STDIN_FILENO) ? KELCLI_FAIL : KELCLI_USAGE;
        return false;
    }
    (void)command;
    return true;
}

void kelcli_card_log_begin() {
    QMutexLocker lock(&g_lock);
    g_lastError.clear();
    g_resultGiven.store(false);
    g_previous = qInstallMessageHandler(messageHandler);
}

void kelcli_card_log_end() {
    qInstallMessageHandler(g_previous);
    QMutexLocker lock(&g_lock);
    clearLineLocked();
}

QString kelcli_card_last_error() {
    QMutexLocker lock(&g_lock);
    return g_lastError;
}

void kelcli_card_json(const QJsonObject &obj) {
    QMutexLocker lock(&g_lock);
    const QByteArray line = QJsonDocument(obj).toJson(QJsonDocument::Compact);
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

CardReport::CardReport(bool json, quint64 total, bool bytes)
    : json(json), tty(!json && isatty(STDERR_FILENO)), total(total), bytes(bytes),
      startedMs(steadyMs()), stageMs(startedMs) {}

CardReport::~CardReport() {
    endStopRequests();
}

void CardReport::watchStopRequests(std::function<void()> stop) {
    stopJob = std::move(stop);
    watching = kelcli_stop_requests_begin(&CardReport::onStopRequest, this);
}

void CardReport::endStopRequests() {
    if (watching) {
        kelcli_stop_requests_end();
        watching = false;
    }
}

QString CardReport::stopRequest() const {
    return requested.load() ? request : QString();
}

int CardReport::onStopRequest(const char *name, void *ctx) {
    auto *self = static_cast<CardReport *>(ctx);
    if (!name) {
        return -1;
    }
    if (self->requested.load()) {
        // The second request: the result now, whatever the job is doing.
        self->result(false, QStringLiteral("interrupted by %1").arg(QLatin1String(name)));
        std::_Exit(KELCLI_FAIL);
    }
    self->request = QString::fromLatin1(name);
    self->requested.store(true);
    {
        QMutexLocker lock(&g_lock);
        sayLocked(QStringLiteral("Stopping at the next safe point (again to quit at once)..."));
    }
    if (self->stopJob) {
        self->stopJob();
    }
    return -1;
}

void CardReport::start(const QJsonObject &fields, const QString &line) {
    startedMs = stageMs = steadyMs();
    if (json) {
        QJsonObject o = fields;
        o.insert(QStringLiteral("event"), QStringLiteral("start"));
        if (bytes) {
            o.insert(QStringLiteral("bytes"), double(total));
        }
        kelcli_card_json(o);
    } else {
        QMutexLocker lock(&g_lock);
        sayLocked(line);
    }
}

void CardReport::stage(const char *name, const QString &line) {
    stageName = QString::fromLatin1(name);
    stageMs = steadyMs();
    drawnMs = tty ? 0 : -1;
    if (json) {
        kelcli_card_json({{"event", "stage"}, {"stage", stageName}});
    } else if (!line.isEmpty()) {
        QMutexLocker lock(&g_lock);
        sayLocked(line);
    }
}

void CardReport::progress(quint64 done) {
    last = done;
    const qint64 now = steadyMs();
    const double secs = qMax<qint64>(now - stageMs, 1) / 1000.0;
    const double pct = total ? qMin(100.0, 100.0 * done / double(total)) : 100.0;
    if (json) {
        QJsonObject o{{"event", "progress"},
                      {"stage", stageName},
                      {"percent", qRound(pct * 10) / 10.0}};
        if (bytes) {
            o.insert(QStringLiteral("bytes"), double(done));
            o.insert(QStringLiteral("rate"), qRound64(done / secs));
        }
        kelcli_card_json(o);
        return;
    }
    // Plain lines at every tenth of the way; a bar redrawn ten times a second.
    QMutexLocker lock(&g_lock);
    if (!tty) {
        const int step = int(pct / 10);
        if (step != int(drawnMs)) {
            drawnMs = step;
            sayLocked(QStringLiteral("%1 %2%").arg(stageName).arg(step * 10));
        }
        return;
    }
    if (now - drawnMs < 100 && done < total) {
        return;
    }
    drawnMs = now;
    const int width = 30;
    const int filled = int(pct / 100.0 * width);
    const QString bar = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
    QString rate;
    if (bytes) {
        // No bytes yet: the time left is unknown, not zero.
        const double perSecond = done / secs;
        const qint64 left = perSecond <= 0 ? -1 : qint64((total > done ? total - done : 0) / perSecond + 0.5);
        const QString eta = left < 0 || left > 360000
                                ? QStringLiteral("--:--")
                                : left >= 3600 ? QStringLiteral("%1:%2:%3")
                                                     .arg(left / 3600)
                                                     .arg((left / 60) % 60, 2, 10, QLatin1Char('0'))
                                                     .arg(left % 60, 2, 10, QLatin1Char('0'))
                                               : QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        rate = QStringLiteral("  %1 MB/s  ETA %2").arg(perSecond / 1e6, 0, 'f', 2).arg(eta);
    }
    fprintf(stderr, "\r\033[K[%s] %5.1f%%%s  %s", bar.toLocal8Bit().constData(), pct,
            rate.toLocal8Bit().constData(), stageName.toLocal8Bit().constData());
    fflush(stderr);
    g_lineOpen = true;
}

int CardReport::result(bool ok, const QString &message) {
    const double secs = (steadyMs() - startedMs) / 1000.0;
    if (g_resultGiven.exchange(true)) {
        return ok ? KELCLI_OK : KELCLI_FAIL;  // a second request has ended the run already
    }
    if (json) {
        QJsonObject o{{"event", "result"}, {"ok", ok}, {"seconds", qRound(secs * 1000) / 1000.0}};
        if (bytes) {
            o.insert(QStringLiteral("bytes"), double(last));
        }
        if (!ok) {
            o.insert(QStringLiteral("message"), message);
        }
        kelcli_card_json(o);
    } else {
        QMutexLocker lock(&g_lock);
        sayLocked(ok ? QStringLiteral("SUCCESS: %1 in %2 s").arg(message).arg(secs, 0, 'f', 1)
                     : QStringLiteral("FAIL: ") + message);
    }
    return ok ? KELCLI_OK : KELCLI_FAIL;
}
