// "kelflash-cli burn IMAGE --all | --watch": several boards at once, each with
// its own link and worker. A board is known by its location (USB bus and port
// path, or serial port) for its whole burn: its worker opens that place again
// when the board re-enumerates, so a board that appears elsewhere meanwhile is
// never taken for it, and one that appears at its place with another chip
// identifier fails its burn.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QPair>
#include <QThread>
#include <QTimer>
#include <QVector>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

#include "burn_args.h"
#include "burnthread.h"
#include "cli.h"
#include "devicewatcher.h"
#include "imagefile.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "linkfactory.h"
#include "settings.h"
#include "stop_requests.h"
#include "upg_log.h"

namespace {

constexpr int kSerialConnectWaitMs = 5000;
constexpr int kRedrawMs = 200;
// Device events come in bursts (a board's device, its interface, a hub); one
// look at the bus follows the last of them.
constexpr int kSettleMs = 300;
// A board that was burnt resets and may show up again at its place in upgrade
// mode; for this long after its success a device there that reports the same
// chip identifier is that board coming back, not a new one.
constexpr int kReturnGraceMs = 15000;

// Shared by the message handlers, which run on every worker's thread.
QMutex g_lock;
bool g_json = false;
bool g_tty = false;
int g_linesDrawn = 0;  // progress lines on the terminal below the output
std::atomic<bool> g_stopAsked{false};
std::atomic<bool> g_quitNow{false};

// The board the calling thread works for (a worker, or the main thread while it
// reads a board's information): the library's lines name it by themselves, the
// link's and the worker's get it here.
QString boardOfThisThread() {
    return QString::fromLocal8Bit(upg_log_board());
}

// Lines logged on this thread meanwhile are about this board.
class BoardLines {
public:
    explicit BoardLines(const QString &location) {
        upg_log_set_board(location.toLocal8Bit().constData());
    }
    ~BoardLines() { upg_log_set_board(nullptr); }
    BoardLines(const BoardLines &) = delete;
    BoardLines &operator=(const BoardLines &) = delete;
};

void clearProgressLocked() {
    if (g_linesDrawn > 0) {
        fprintf(stderr, "\033[%dA\r\033[J", g_linesDrawn);
        g_linesDrawn = 0;
    }
}

void sayLocked(const QString &text) {
    clearProgressLocked();
    fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    fflush(stderr);
}

void emitJson(QJsonObject obj, const QString &board) {
    if (!board.isEmpty())
        obj.insert(QStringLiteral("board"), board);
    const QByteArray line = QJsonDocument(obj).toJson(QJsonDocument::Compact);
    QMutexLocker lock(&g_lock);
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// Every line says which board it is about when a worker wrote it.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    const QString text = msg.trimmed();
    const bool routine =
        type == QtWarningMsg && text.startsWith(QLatin1String("Set upg work mode:"));
    const bool show = (type != QtDebugMsg && type != QtInfoMsg && !routine) || kelcli_verbose();
    if (!show || text.isEmpty())
        return;
    QMutexLocker lock(&g_lock);
    const QString board = boardOfThisThread();
    const char *level = type == QtCriticalMsg || type == QtFatalMsg ? "error: "
                        : type == QtWarningMsg                      ? "warning: "
                                                                    : "";
    sayLocked((board.isEmpty() ? QString() : QStringLiteral("[%1] ").arg(board)) +
              QLatin1String(level) + text);
}

void librarySink(int, const char *text) {
    if (!kelcli_verbose())
        return;
    QMutexLocker lock(&g_lock);
    sayLocked(QString::fromLocal8Bit(text ? text : ""));
}

// The first request stops the running burns after their current transfer; a
// second one ends the program at once.
int onStopRequest(const char *request, void *) {
    if (!request)
        return -1;
    if (g_stopAsked.exchange(true)) {
        g_quitNow.store(true);
        fprintf(stderr, "kelflash-cli: interrupted by %s\n", request);
        std::_Exit(KELCLI_FAIL);
    }
    QMutexLocker lock(&g_lock);
    sayLocked(
        QStringLiteral("Stopping the running burns after their current transfer "
                       "(again to quit at once)..."));
    return -1;
}

// The information text of a link, on one line: what a result line shows of a
// board that has no serial number to give.
QString oneLine(const QString &info) {
    QStringList lines = info.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > 1)
        lines.removeFirst();  // the caption with the location, shown already
    return lines.join(QStringLiteral(", "));
}

struct Board {
    QString location;
    bool serial = false;
    QString info;
    std::unique_ptr<KelLinker> link;
    std::unique_ptr<BurnThread> worker;
    QElapsedTimer clock;
    QString component;
    int componentsDone = 0;
    quint64 bytes = 0;
    bool finished = false;
    bool ok = false;
    QString cause;
    double seconds = 0;
};

class Station : public QObject {
public:
    Station(const BurnArgs &a, ImageFile &image, std::vector<PartitionSelection> &selection)
        : a(a), image(image), selection(selection) {
        const FwcMeta *metas = image.meta();
        for (quint32 i = 0; metas && i < image.fwcCount(); ++i)
            total += metas[i].size;
        retries = a.retries >= 0 ? a.retries : Settings::instance().retryCount();
        connect(&redraw, &QTimer::timeout, this, [this] { tick(); });
        settle.setSingleShot(true);
        connect(&settle, &QTimer::timeout, this, [this] { scan(); });
    }

    ~Station() override {
        for (auto &b : boards) {
            if (b->worker)
                b->worker->stopAndWait();
            BoardLines lines(b->location);
            b->link.reset();
        }
    }

    int run() {
        redraw.start(kRedrawMs);
        if (a.watch) {
            watcher = std::make_unique<DeviceWatcher>();
            if (!watcher->isActive()) {
                kelcli_fail("cannot watch for boards: %s is not available",
                            watcher->source().toLocal8Bit().constData());
                return KELCLI_FAIL;
            }
            connect(watcher.get(), &DeviceWatcher::deviceChanged, this,
                    [this](int) { settle.start(kSettleMs); });
            say(QStringLiteral("Waiting for boards (Ctrl-C to end)..."));
            scan();
        } else {
            for (const QString &port : a.serials)
                startBoard(port, true);
            scan();
            if (boards.empty()) {
                if (a.json)
                    emitJson({{"event", "summary"},
                              {"boards", 0},
                              {"succeeded", 0},
                              {"failed", 0},
                              {"ok", false},
                              {"message", "no board in upgrade mode"}},
                             QString());
                kelcli_fail("no board in upgrade mode");
                return KELCLI_FAIL;
            }
        }
        if (!allOver())
            QCoreApplication::exec();
        for (auto &b : boards) {
            if (b->worker)
                b->worker->wait();
        }
        QCoreApplication::sendPostedEvents();
        return summary();
    }

private:
    void say(const QString &text) {
        if (a.json)
            return;
        QMutexLocker lock(&g_lock);
        sayLocked(text);
    }

    Board *running(const QString &location) {
        for (auto &b : boards)
            if (b->location == location && !b->finished)
                return b.get();
        return nullptr;
    }

    // The boards in upgrade mode on the bus now, in the bus's order, each with
    // its device address.
    static QVector<QPair<QString, int>> presentDevices() {
        upg_dev_info table[UPG_DEV_TABLE_SIZE];
        const int n = upg_usb_dev_list(table, UPG_DEV_TABLE_SIZE);
        QVector<QPair<QString, int>> present;
        for (int i = 0; i < n; ++i) {
            char text[40];
            upg_dev_format_location(text, sizeof(text), table[i].bus, table[i].port);
            present.append({QString::fromLatin1(text), table[i].addr});
        }
        return present;
    }

    static int addressAt(const QVector<QPair<QString, int>> &present, const QString &location) {
        for (const auto &p : present)
            if (p.first == location)
                return p.second;
        return 0;
    }

    // One look at the bus: every board in upgrade mode not yet taken care of.
    // A device is a new board when it appeared after the one burnt at its place
    // had left (a new device address), whether or not a look saw the place
    // empty in between: device events come in bursts, and a quick swap is one.
    void scan() {
        if (stopping)
            return;
        const QVector<QPair<QString, int>> present = presentDevices();
        for (auto it = settled.begin(); it != settled.end(); ++it) {
            if (addressAt(present, it.key()) == 0)
                it.value().address = 0;  // gone: whatever comes next is new
        }
        for (const auto &device : present) {
            const QString &location = device.first;
            // Enough boards are on their way to make the count.
            if (a.watch && a.count > 0 && started >= a.count)
                break;
            if (running(location))
                continue;
            const auto was = settled.constFind(location);
            if (was != settled.cend() && was.value().address == device.second)
                continue;  // the board that is over is still there
            // A burnt board resets and may come back at its place in upgrade
            // mode; by its chip identifier it is told from a new board.
            const bool mayReturn = was != settled.cend() && was.value().ok &&
                                   !was.value().chip.isEmpty() &&
                                   !was.value().at.hasExpired(kReturnGraceMs);
            startBoard(location, false, mayReturn ? was.value().chip : QByteArray(), device.second);
        }
    }

    // ownChip: the chip identifier of the board burnt at this place just before;
    // a device that reports it is that board back after its reset, and is left alone.
    void startBoard(const QString &location, bool serial, const QByteArray &ownChip = {},
                    int address = 0) {
        auto b = std::make_unique<Board>();
        Board *board = b.get();
        board->location = location;
        board->serial = serial;
        board->link.reset(
            LinkFactory::createLinker(serial ? LinkFactory::Serial : LinkFactory::Usb));
        if (auto *line = dynamic_cast<KelLinkerSerial *>(board->link.get()))
            line->setConnectWait(kSerialConnectWaitMs);
        board->link->setVerify(a.verify);
        board->clock.start();
        bool answered = false;
        {
            BoardLines lines(location);
            answered = board->link->fetchDeviceInfo(location, false);
        }
        if (answered && !ownChip.isEmpty() && board->link->chipId() == ownChip) {
            settled[location].address = address;
            if (kelcli_verbose())
                say(QStringLiteral("[%1] back after its reset; burnt already").arg(location));
            BoardLines lines(location);
            board->link.reset();
            return;
        }
        settled.remove(location);
        boards.push_back(std::move(b));
        ++started;
        if (!answered && !a.force) {
            finish(board, false,
                   QStringLiteral("cannot read the board's information (--force burns anyway)"));
            return;
        }
        board->info = oneLine(board->link->deviceInfo());
        if (a.json)
            emitJson(
                {{"event", "linked"}, {"device", location}, {"info", board->link->deviceInfo()}},
                location);
        else
            say(QStringLiteral("[%1] burning %2").arg(location, board->info));

        board->worker =
            std::make_unique<BurnThread>(&image, board->link.get(), false, a.reboot, retries);
        BurnThread *w = board->worker.get();
        if (!selection.empty())
            w->setPartitions(selection.data(), quint32(selection.size()));
        w->setBoardLocation(location);
        connect(w, &BurnThread::componentStarted, this,
                [this, board](int i, const QString &n, quint32 size) {
                    board->component = n;
                    if (a.json)
                        emitJson({{"event", "component"},
                                  {"state", "start"},
                                  {"index", i},
                                  {"name", n},
                                  {"size", double(size)}},
                                 board->location);
                    else if (!g_tty)
                        say(QStringLiteral("[%1] %2 (%3 bytes)").arg(board->location, n).arg(size));
                });
        connect(w, &BurnThread::componentDone, this, [this, board](int i, bool skipped) {
            ++board->componentsDone;
            if (a.json)
                emitJson({{"event", "component"},
                          {"state", skipped ? "skipped" : "done"},
                          {"index", i},
                          {"name", board->component}},
                         board->location);
            else if (!g_tty)
                say(QStringLiteral("[%1] %2 %3")
                        .arg(board->location, board->component,
                             skipped ? QStringLiteral("skipped") : QStringLiteral("done")));
        });
        connect(w, &BurnThread::componentRetry, this,
                [this, board](int i, const QString &n, int count) {
                    if (a.json)
                        emitJson({{"event", "retry"}, {"index", i}, {"name", n}, {"count", count}},
                                 board->location);
                    else
                        say(QStringLiteral("[%1] sending %2 again (resend %3)")
                                .arg(board->location, n)
                                .arg(count));
                });
        connect(w, &BurnThread::inUboot, this, [this, board] {
            if (a.json)
                emitJson({{"event", "stage"}, {"stage", "uboot"}}, board->location);
            else if (!g_tty)
                say(QStringLiteral("[%1] back, running U-Boot").arg(board->location));
        });
        connect(w, &KelThread::threadIsRunning, this, [this, board](qint64 p) {
            board->bytes = p < 0 ? 0 : quint64(p);
            if (a.json)
                emitJson({{"event", "progress"}, {"bytes", double(board->bytes)}}, board->location);
        });
        connect(w, &BurnThread::jobFailed, this,
                [board](const QString &why) { board->cause = why; });
        connect(w, &KelThread::threadIsSuccessful, this, [board] { board->ok = true; });
        connect(w, &QThread::finished, this, [this, board] {
            QString cause = board->cause;
            if (!board->ok && cause.isEmpty())
                cause = g_stopAsked.load() ? QStringLiteral("stopped")
                                           : QStringLiteral("the burn failed");
            finish(board, board->ok, cause);
        });
        w->start();
    }

    void finish(Board *b, bool ok, const QString &cause) {
        b->finished = true;
        b->ok = ok;
        b->cause = ok ? QString() : cause;
        b->seconds = b->clock.elapsed() / 1000.0;
        Settled s;
        s.ok = ok;
        s.at.start();
        // The device there now, if any: while it stays it is this board.
        if (!b->serial) {
            s.address = addressAt(presentDevices(), b->location);
            s.chip = b->link->chipId();
        }
        settled.insert(b->location, s);
        ++done;
        if (a.json) {
            QJsonObject o{{"event", "result"},
                          {"ok", ok},
                          {"components", b->componentsDone},
                          {"bytes", double(b->bytes)},
                          {"seconds", qRound(b->seconds * 1000) / 1000.0},
                          {"info", b->info}};
            if (!ok)
                o.insert(QStringLiteral("message"), b->cause);
            emitJson(o, b->location);
        } else {
            say(resultLine(*b));
        }
        // A station may run for days: what a finished board held (its worker
        // thread, its link) goes once the worker has ended, and only the few
        // fields of its result stay for the summary.
        QTimer::singleShot(0, this, [b] {
            if (b->worker) {
                b->worker->wait();
                b->worker.reset();
            }
            BoardLines lines(b->location);
            b->link.reset();
        });
        if (a.watch && a.count > 0 && done >= a.count)
            stopping = true;
        // A board that failed and is gone already must be seen gone before it
        // comes back, or its return would look like the same board still there.
        if (a.watch && !stopping)
            settle.start(kSettleMs);
        if (allOver())
            QCoreApplication::quit();
    }

    QString resultLine(const Board &b) const {
        QString line = QStringLiteral("%1  %2  %3/%4 components  %5 bytes  %6 s")
                           .arg(b.ok ? QStringLiteral("OK  ") : QStringLiteral("FAIL"))
                           .arg(b.location, -12)
                           .arg(b.componentsDone)
                           .arg(image.fwcCount())
                           .arg(b.bytes)
                           .arg(b.seconds, 0, 'f', 1);
        if (!b.info.isEmpty())
            line += QStringLiteral("  ") + b.info;
        if (!b.ok)
            line += QStringLiteral("  : ") + b.cause;
        return line;
    }

    bool allOver() const {
        for (const auto &b : boards)
            if (!b->finished)
                return false;
        return stopping || !a.watch;
    }

    void tick() {
        if (g_stopAsked.load() && !stopping) {
            stopping = true;
            for (auto &b : boards) {
                if (b->worker && !b->finished) {
                    b->worker->resume();
                    b->worker->stop();
                }
            }
            if (allOver())
                QCoreApplication::quit();
        }
        if (!g_tty)
            return;
        QStringList lines;
        for (const auto &b : boards) {
            if (b->finished)
                continue;
            const double secs = qMax(b->clock.elapsed(), qint64(1)) / 1000.0;
            const double pct = total ? qMin(100.0, 100.0 * b->bytes / double(total)) : 100.0;
            lines << QStringLiteral("%1  %2  %3%  %4 MB/s")
                         .arg(b->location, -12)
                         .arg(b->component.left(24), -24)
                         .arg(pct, 5, 'f', 1)
                         .arg(b->bytes / secs / 1e6, 0, 'f', 2);
        }
        QMutexLocker lock(&g_lock);
        clearProgressLocked();
        for (const QString &l : lines)
            fprintf(stderr, "%s\n", l.toLocal8Bit().constData());
        fflush(stderr);
        g_linesDrawn = lines.size();
    }

    int summary() {
        int ok = 0;
        QStringList failed;
        for (const auto &b : boards) {
            if (b->ok)
                ++ok;
            else
                failed << b->location;
        }
        const int n = int(boards.size());
        // A station that was stopped has done its work if no board failed.
        const bool all = (n > 0 || a.watch) && failed.isEmpty();
        if (a.json) {
            emitJson({{"event", "summary"},
                      {"boards", n},
                      {"succeeded", ok},
                      {"failed", failed.size()},
                      {"ok", all}},
                     QString());
        } else {
            QString text = QStringLiteral("%1 board(s): %2 succeeded, %3 failed")
                               .arg(n)
                               .arg(ok)
                               .arg(failed.size());
            if (!failed.isEmpty())
                text += QStringLiteral(" (") + failed.join(QStringLiteral(", ")) + QLatin1Char(')');
            if (g_stopAsked.load())
                text += QStringLiteral("; stopped on request");
            say(text);
        }
        return all ? KELCLI_OK : KELCLI_FAIL;
    }

    struct Settled {
        bool ok = false;
        QElapsedTimer at;
        int address = 0;  // the device address last seen at the place; 0: gone
        QByteArray chip;  // the burnt board's chip identifier, if it reports one
    };

    const BurnArgs &a;
    ImageFile &image;
    std::vector<PartitionSelection> &selection;
    quint64 total = 0;
    int retries = 1;
    int started = 0;
    int done = 0;
    bool stopping = false;
    std::vector<std::unique_ptr<Board>> boards;
    // Places whose board is over, with what was there.
    QHash<QString, Settled> settled;
    std::unique_ptr<DeviceWatcher> watcher;
    QTimer redraw;
    QTimer settle;
};

}  // namespace

int kelcli_burn_station(const BurnArgs &a, ImageFile &image,
                        std::vector<PartitionSelection> &selection) {
    g_json = a.json;
    g_tty = !a.json && isatty(STDERR_FILENO);
    g_stopAsked.store(false);
    g_linesDrawn = 0;
    QtMessageHandler previous = qInstallMessageHandler(messageHandler);
    upg_log_set_callback(librarySink);
    upg_log_name_boards(1);
    kelcli_stop_requests_begin(onStopRequest, nullptr);
    int status = KELCLI_FAIL;
    {
        Station station(a, image, selection);
        status = station.run();
    }
    kelcli_stop_requests_end();
    {
        QMutexLocker lock(&g_lock);
        clearProgressLocked();
    }
    upg_log_name_boards(0);
    qInstallMessageHandler(previous);
    return status;
}
