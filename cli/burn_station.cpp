// "kelflash-cli burn": one board, every board now in upgrade mode (--all) or
// each board as it appears (--watch), each with its own burn session. A board
// is known by its location (USB bus and port path, or serial port) for its
// whole burn: its worker opens that place again when the board re-enumerates,
// so a board that appears elsewhere meanwhile is never taken for it, and one
// that appears at its place with another chip identifier fails its burn.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QPair>
#include <QTimer>
#include <QVector>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

#include "burn_args.h"
#include "burnsession.h"
#include "cli.h"
#include "devicewatcher.h"
#include "imagefile.h"
#include "jobrecords.h"
#include "kellinker.h"
#include "libkelupg.h"
#include "linkfactory.h"
#include "reporter.h"
#include "run_records.h"
#include "settings.h"
#include "stop_requests.h"

namespace {

// The serial line needs a probe round trip or two before it counts as connected.
constexpr int kSerialConnectWaitMs = 5000;
// How often one board's bar and several boards' lines are redrawn (and a stop
// request is acted on).
constexpr int kOneBoardTickMs = 100;
constexpr int kStationTickMs = 200;
// Device events come in bursts (a board's device, its interface, a hub); one
// look at the bus follows the last of them.
constexpr int kSettleMs = 300;
// A board that was burnt resets and may show up again at its place in upgrade
// mode; for this long after its success a device there that reports the same
// chip identifier is that board coming back, not a new one.
constexpr int kReturnGraceMs = 15000;
// How long a stop request waits for one board's current transfer before the
// program ends anyway: a serial line needs minutes for a chunk, a lost board seconds.
constexpr int kStopGraceMs = 2000;

// The information text of a link, on one line: what a result line shows of a
// board that has no serial number to give.
QString oneLine(const QString &info) {
    QStringList lines = info.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > 1)
        lines.removeFirst();  // the caption with the location, shown already
    return lines.join(QStringLiteral(", "));
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

QString interruptedText(const QString &request) {
    return QStringLiteral("interrupted by ") + request;
}

struct Board {
    QString location;
    bool serial = false;
    QString info;
    std::unique_ptr<BurnSession> session;
    QElapsedTimer clock;  // since the board was taken up
    QElapsedTimer burning;  // since its worker began (one board)
    QElapsedTimer redraw;
    QString component;
    quint64 bytes = 0;
    bool finished = false;
    bool ok = false;
    Failure why;
    double seconds = 0;
    int componentsDone = 0;
};

class Station : public QObject {
public:
    Station(const BurnArgs &a, ImageFile &image, std::vector<PartitionSelection> &selection)
        : a(a), image(image), selection(selection), oneBoard(!a.all && !a.watch),
          out(Reporter::instance()) {
        const FwcMeta *metas = image.meta();
        for (quint32 i = 0; metas && i < image.fwcCount(); ++i)
            total += metas[i].size;
        // The resends allowed: --retries, else retry_cnt of the settings file.
        retries = a.retries >= 0 ? a.retries : Settings::instance().retryCount();
        connect(&ticker, &QTimer::timeout, this, [this] { tick(); });
        settle.setSingleShot(true);
        connect(&settle, &QTimer::timeout, this, [this] { scan(); });
    }

    ~Station() override {
        for (auto &b : boards)
            b->session.reset();
    }

    int run() {
        kelcli_stop_requests_begin(&Station::onStopRequest, this);
        const int status = oneBoard ? runOne() : runMany();
        kelcli_stop_requests_end();
        return status;
    }

private:
    int runOne() {
        const QString serialPort = a.serials.value(0);
        QString devId = serialPort.isEmpty() ? a.usb : serialPort;
        if (a.first) {
            std::unique_ptr<KelLinker> lister(LinkFactory::createLinker(LinkFactory::Usb));
            const QStringList devices = lister->listDevices();
            if (devices.isEmpty())
                return out.failEarly(QStringLiteral("burn"),
                                     QStringLiteral("no board in upgrade mode on USB"),
                                     KELCLI_FAIL, QString(), Failure::LinkUnavailable);
            devId = devices.first();
        }
        Board *b = startBoard(devId, !serialPort.isEmpty());
        if (!b)
            return KELCLI_FAIL;
        phase.store(Burning);
        ticker.start(kOneBoardTickMs);
        if (!b->finished)
            QCoreApplication::exec();
        phase.store(Reporting);
        if (b->session)
            b->session.reset();
        QCoreApplication::sendPostedEvents();
        return b->ok ? KELCLI_OK : KELCLI_FAIL;
    }

    int runMany() {
        phase.store(Burning);
        ticker.start(kStationTickMs);
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
                    out.emitJson({{"event", "summary"},
                                  {"boards", 0},
                                  {"succeeded", 0},
                                  {"failed", 0},
                                  {"ok", false},
                                  {"message", "no board in upgrade mode"}});
                kelcli_fail("no board in upgrade mode");
                return KELCLI_FAIL;
            }
        }
        if (!allOver())
            QCoreApplication::exec();
        for (auto &b : boards)
            b->session.reset();
        QCoreApplication::sendPostedEvents();
        return summary();
    }

    void say(const QString &text) {
        if (!a.json)
            out.say(text);
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

    BurnRequest request(const QString &location, bool serial) const {
        BurnRequest r;
        r.image = &image;
        r.link = serial ? BurnRequest::Serial : BurnRequest::Usb;
        r.location = location;
        r.selection = selection;
        r.retries = retries;
        r.reboot = a.reboot;
        r.force = a.force;
        r.verify = a.verify;
        r.serialConnectWaitMs = kSerialConnectWaitMs;
        r.nameBoard = !oneBoard;
        return r;
    }

    // ownChip: the chip identifier of the board burnt at this place just before;
    // a device that reports it is that board back after its reset, and is left alone.
    // One board: none when it cannot be burnt (its result is out already).
    Board *startBoard(const QString &location, bool serial, const QByteArray &ownChip = {},
                      int address = 0) {
        auto b = std::make_unique<Board>();
        Board *board = b.get();
        board->location = location;
        board->serial = serial;
        board->clock.start();
        board->session = std::make_unique<BurnSession>(request(location, serial));
        BurnSession *s = board->session.get();
        // --force switches a board in U-Boot into upgrade work mode as it is
        // asked, as the window's forced upgrade does.
        const bool opened = s->open();
        if (s->answered() && !ownChip.isEmpty() && s->chipId() == ownChip) {
            settled[location].address = address;
            if (kelcli_verbose())
                say(QStringLiteral("[%1] back after its reset; burnt already").arg(location));
            return nullptr;
        }
        if (oneBoard && !opened) {
            const Failure why = s->failure();
            board->session.reset();
            out.failEarly(QStringLiteral("burn"), why.message(), KELCLI_FAIL, QString(), why.code());
            return nullptr;
        }
        settled.remove(location);
        if (oneBoard) {
            // From now on the one board's events carry its location, the
            // result a signal writes too.
            openLocation = location;
            boardOpen.store(true);
        }
        boards.push_back(std::move(b));
        ++started;
        connect(s, &BurnSession::event, this, [this, board](const BurnEvent &e) { show(board, e); });
        if (!opened) {
            s->finishWithout(s->failure());
            return board;
        }
        if (oneBoard && !s->answered())
            out.say(QStringLiteral("warning: no information from %1; burning anyway (--force)")
                        .arg(location));
        board->info = oneLine(s->info());
        if (oneBoard) {
            if (!a.json && !s->info().isEmpty())
                out.say(s->info());
            // A board left in U-Boot by a stopped or failed burn does not take the
            // image as it is; the burn goes on, but the way out is named first.
            if (!serial && !a.force && s->link()->reportsUboot())
                out.say(QStringLiteral("warning: the board at %1 is in U-Boot; burn it with "
                                       "--force (which switches it into upgrade work mode "
                                       "first) or restart it into its boot ROM")
                            .arg(location));
        } else if (a.json) {
            out.emitJson({{"event", "linked"}, {"device", location}, {"info", s->info()}},
                         location);
        } else {
            say(QStringLiteral("[%1] burning %2").arg(location, board->info));
        }
        s->start();
        return board;
    }

    // A board's event as JSON, or as the lines of one board or of several.
    void show(Board *b, const BurnEvent &e) {
        if (e.kind == BurnEvent::ComponentStarted)
            b->component = e.name;
        else if (e.kind == BurnEvent::ComponentDone)
            ++b->componentsDone;
        else if (e.kind == BurnEvent::Started) {
            b->burning.start();
            startedMs.store(QDateTime::currentMSecsSinceEpoch());
        }
        if (e.kind == BurnEvent::Result) {
            oneBoard ? finishOne(b, e.result) : finishMany(b, e.result);
        } else if (e.kind == BurnEvent::Progress) {
            progress(b, e.bytes);
        } else if (a.json) {
            const QJsonObject o = jsonOf(e);
            if (!o.isEmpty())
                out.emitJson(o, b->location);
        } else {
            const QString line = oneBoard ? lineOfOne(e) : lineOfMany(e);
            if (!line.isEmpty())
                out.say(line);
        }
    }

    QJsonObject jsonOf(const BurnEvent &e) const {
        switch (e.kind) {
        case BurnEvent::Started:
            if (oneBoard)
                return {{"event", "start"},
                        {"image", a.image},
                        {"components", int(image.fwcCount())},
                        {"bytes", double(total)}};
            break;
        case BurnEvent::Linked:
            if (oneBoard)
                return {{"event", "linked"}, {"device", e.name}, {"info", e.info}};
            break;
        case BurnEvent::ComponentStarted:
            return {{"event", "component"},
                    {"state", "start"},
                    {"index", e.index},
                    {"name", e.name},
                    {"size", double(e.size)}};
        case BurnEvent::ComponentDone:
            return {{"event", "component"},
                    {"state", e.skipped ? "skipped" : "done"},
                    {"index", e.index},
                    {"name", e.name}};
        case BurnEvent::Retry:
            return {{"event", "retry"}, {"index", e.index}, {"name", e.name}, {"count", e.count}};
        case BurnEvent::StageChanged:
            return {{"event", "stage"}, {"stage", "uboot"}};
        default:
            break;
        }
        return {};
    }

    // One board: the lines it has always shown (on a terminal the bar shows
    // the components).
    QString lineOfOne(const BurnEvent &e) const {
        const int count = int(image.fwcCount());
        switch (e.kind) {
        case BurnEvent::Started:
            return QStringLiteral("Burning %1 (%2 components, %3 bytes)")
                .arg(a.image)
                .arg(count)
                .arg(total);
        case BurnEvent::Linked:
            return QStringLiteral("Device %1 linked").arg(e.name);
        case BurnEvent::ComponentStarted:
            if (out.tty())
                break;
            return QStringLiteral("[%1/%2] %3 (%4 bytes)")
                .arg(e.index + 1)
                .arg(count)
                .arg(e.name)
                .arg(e.size);
        case BurnEvent::ComponentDone:
            if (out.tty() && !e.skipped)
                break;
            return QStringLiteral("[%1/%2] %3 %4")
                .arg(e.index + 1)
                .arg(count)
                .arg(e.name, e.skipped ? QStringLiteral("skipped (not selected)")
                                       : QStringLiteral("done"));
        case BurnEvent::Retry:
            return QStringLiteral("Sending %1 again (resend %2)").arg(e.name).arg(e.count);
        case BurnEvent::StageChanged:
            return QStringLiteral("Device is back, running U-Boot");
        default:
            break;
        }
        return QString();
    }

    // Several boards: a line per event where no terminal shows their progress.
    QString lineOfMany(const BurnEvent &e) const {
        const QString &at = e.location;
        switch (e.kind) {
        case BurnEvent::ComponentStarted:
            if (!out.tty())
                return QStringLiteral("[%1] %2 (%3 bytes)").arg(at, e.name).arg(e.size);
            break;
        case BurnEvent::ComponentDone:
            if (!out.tty())
                return QStringLiteral("[%1] %2 %3").arg(
                    at, e.name, e.skipped ? QStringLiteral("skipped") : QStringLiteral("done"));
            break;
        case BurnEvent::Retry:
            return QStringLiteral("[%1] sending %2 again (resend %3)").arg(at, e.name).arg(e.count);
        case BurnEvent::StageChanged:
            if (!out.tty())
                return QStringLiteral("[%1] back, running U-Boot").arg(at);
            break;
        default:
            break;
        }
        return QString();
    }

    // One board: a JSON line for each report, or the bar on a terminal; several
    // boards: JSON lines, the terminal's lines are drawn by tick().
    void progress(Board *b, quint64 bytes) {
        b->bytes = bytes;
        if (!oneBoard) {
            if (a.json)
                out.emitJson({{"event", "progress"}, {"bytes", double(bytes)}}, b->location);
            return;
        }
        bytesDone.store(bytes);
        const double secs = qMax(b->burning.isValid() ? b->burning.elapsed() : 0, qint64(1)) / 1000.0;
        const double rate = bytes / secs;
        const double pct = total ? qMin(100.0, 100.0 * bytes / double(total)) : 100.0;
        if (a.json) {
            out.emitJson({{"event", "progress"},
                          {"bytes", double(bytes)},
                          {"percent", qRound(pct * 10) / 10.0},
                          {"rate", qRound64(rate)}},
                         b->location);
            return;
        }
        if (!out.tty() ||
            (b->redraw.isValid() && !b->redraw.hasExpired(kOneBoardTickMs) && bytes < total))
            return;
        b->redraw.start();
        const int width = 30;
        const int filled = int(pct / 100.0 * width);
        const QString bar =
            QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
        // No rate yet: the time left is unknown, not zero.
        const double left = rate <= 0 ? -1 : total > bytes ? (total - bytes) / rate : 0;
        out.drawBar(QStringLiteral("[%1] %2%  %3 MB/s  ETA %4  %5")
                        .arg(bar)
                        .arg(pct, 5, 'f', 1)
                        .arg(rate / 1e6, 0, 'f', 2)
                        .arg(duration(left))
                        .arg(b->component.left(32)));
    }

    void finishOne(Board *b, const BurnResult &r) {
        b->finished = true;
        b->ok = r.ok();
        const double secs = b->burning.isValid() ? b->burning.elapsed() / 1000.0 : 0;
        Failure why = r.failure;
        if (!b->ok) {
            const QString request = stopRequest();
            if (!request.isEmpty())
                why = Failure(Failure::Interrupted, interruptedText(request));
            else if (why.code() == Failure::Interrupted && why.message().isEmpty())
                why = Failure(Failure::Interrupted,
                              QStringLiteral("stopped before the image was burnt"));
            else if (why.message().isEmpty())
                why = Failure(why.code(), QStringLiteral("the burn failed"));
        }
        record(r, why);
        // The run ends here: its record is given a moment to reach the
        // database, and the result says what still waits.
        const int waiting = a.records ? a.records->finish() : -1;
        {
            QMutexLocker lock(&out.lock());
            if (out.takeResult()) {
                if (a.json) {
                    QJsonObject o{{"event", "result"},
                                  {"ok", b->ok},
                                  {"bytes", double(b->bytes)},
                                  {"seconds", qRound(secs * 1000) / 1000.0}};
                    if (!b->ok)
                        Reporter::addFailure(&o, why);
                    if (waiting > 0)
                        o.insert(QStringLiteral("records_waiting"), waiting);
                    out.emitJsonLocked(o, b->location);
                } else {
                    if (b->ok)
                        out.sayLocked(QStringLiteral("SUCCESS: %1 bytes in %2 s")
                                          .arg(b->bytes)
                                          .arg(secs, 0, 'f', 1));
                    else
                        out.sayLocked(QStringLiteral("FAIL: ") + why.message());
                    if (waiting > 0)
                        out.sayLocked(RunRecords::waitingText(waiting));
                }
            }
        }
        QCoreApplication::quit();
    }

    void finishMany(Board *b, const BurnResult &r) {
        b->finished = true;
        b->ok = r.ok();
        b->why = r.failure;
        if (!b->ok && b->why.message().isEmpty())
            b->why = Failure(b->why.code(), stopAsked.load() ? QStringLiteral("stopped")
                                                             : QStringLiteral("the burn failed"));
        record(r, stopAsked.load() && !b->ok ? Failure(Failure::Interrupted, b->why.message())
                                             : b->why);
        b->seconds = b->clock.elapsed() / 1000.0;
        Settled s;
        s.ok = b->ok;
        s.at.start();
        // The device there now, if any: while it stays it is this board.
        if (!b->serial) {
            s.address = addressAt(presentDevices(), b->location);
            s.chip = r.chipId;
        }
        settled.insert(b->location, s);
        ++done;
        if (a.json) {
            QJsonObject o{{"event", "result"},
                          {"ok", b->ok},
                          {"components", b->componentsDone},
                          {"bytes", double(b->bytes)},
                          {"seconds", qRound(b->seconds * 1000) / 1000.0},
                          {"info", b->info}};
            if (!b->ok)
                Reporter::addFailure(&o, b->why);
            out.emitJson(o, b->location);
        } else {
            say(resultLine(*b));
        }
        // A station may run for days: what a finished board held (its worker
        // thread, its link) goes once the worker has ended, and only the few
        // fields of its result stay for the summary.
        QTimer::singleShot(0, this, [b] { b->session.reset(); });
        if (a.watch && a.count > 0 && done >= a.count)
            stopping = true;
        // A board that failed and is gone already must be seen gone before it
        // comes back, or its return would look like the same board still there.
        if (a.watch && !stopping)
            settle.start(kSettleMs);
        if (allOver())
            QCoreApplication::quit();
    }

    // Every board's job leaves one record, whatever its outcome.
    void record(const BurnResult &r, const Failure &why) {
        if (!a.records)
            return;
        BurnResult kept = r;
        kept.failure = why;
        if (components.isEmpty())
            components = selectedComponents(image, selection);
        a.records->submit(burnRecord(a.records->facts(), kept, image, components));
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
            line += QStringLiteral("  : ") + b.why.message();
        return line;
    }

    bool allOver() const {
        for (const auto &b : boards)
            if (!b->finished)
                return false;
        return stopping || !a.watch;
    }

    void tick() {
        if (stopAsked.load() && !stopping) {
            stopping = true;
            for (auto &b : boards) {
                if (b->session && !b->finished)
                    b->session->stop();
            }
            if (!oneBoard && allOver())
                QCoreApplication::quit();
        }
        if (oneBoard || !out.tty())
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
        out.drawLines(lines);
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
        const int waiting = a.records ? a.records->finish() : -1;
        if (a.json) {
            QJsonObject o{{"event", "summary"},
                          {"boards", n},
                          {"succeeded", ok},
                          {"failed", failed.size()},
                          {"ok", all}};
            if (waiting > 0)
                o.insert(QStringLiteral("records_waiting"), waiting);
            out.emitJson(o);
        } else {
            QString text = QStringLiteral("%1 board(s): %2 succeeded, %3 failed")
                               .arg(n)
                               .arg(ok)
                               .arg(failed.size());
            if (!failed.isEmpty())
                text += QStringLiteral(" (") + failed.join(QStringLiteral(", ")) + QLatin1Char(')');
            if (stopAsked.load())
                text += QStringLiteral("; stopped on request");
            say(text);
            if (waiting > 0)
                say(RunRecords::waitingText(waiting));
        }
        return all ? KELCLI_OK : KELCLI_FAIL;
    }

    // Ctrl-C and SIGTERM are acted on by a thread of their own, at once,
    // whatever the main thread is blocked in (the image check, a board's
    // information query, the wait for the workers). One board: until its
    // worker runs the first request ends the program; while it runs, the first
    // asks it to stop, and a second one, or the grace time, ends the program.
    // Several boards: the first stops every burn after its current transfer,
    // a second ends the program.
    static int onStopRequest(const char *request, void *ctx) {
        auto *self = static_cast<Station *>(ctx);
        if (!request)
            self->quitNow(self->firstRequest);  // the worker did not stop in time
        const int now = self->phase.load();
        if (!self->firstRequest.isEmpty() || (self->oneBoard && now == Preparing))
            self->quitNow(QString::fromLatin1(request));
        self->firstRequest = QString::fromLatin1(request);
        if (now == Reporting)
            return -1;  // the result is on its way; only a second request cuts it short
        {
            QMutexLocker lock(&self->out.lock());
            self->stopRequestText = self->firstRequest;
            self->out.sayLocked(
                self->oneBoard
                    ? QStringLiteral("Stopping after the current transfer (again to quit at once)...")
                    : QStringLiteral("Stopping the running burns after their current transfer "
                                     "(again to quit at once)..."));
        }
        self->stopAsked.store(true);
        return self->oneBoard ? kStopGraceMs : -1;
    }

    QString stopRequest() {
        QMutexLocker lock(&out.lock());
        return stopRequestText;
    }

    [[noreturn]] void quitNow(const QString &request) {
        if (!oneBoard)
            Reporter::instance().quitNow(interruptedText(request), false);
        const qint64 began = startedMs.load();
        out.quitNow(interruptedText(request), true, bytesDone.load(),
                    began ? (QDateTime::currentMSecsSinceEpoch() - began) / 1000.0 : 0,
                    boardOpen.load() ? openLocation : QString());
    }

    struct Settled {
        bool ok = false;
        QElapsedTimer at;
        int address = 0;  // the device address last seen at the place; 0: gone
        QByteArray chip;  // the burnt board's chip identifier, if it reports one
    };
    enum Phase { Preparing, Burning, Reporting };

    const BurnArgs &a;
    ImageFile &image;
    std::vector<PartitionSelection> &selection;
    // The selection's component names, made once for every record.
    QStringList components;
    const bool oneBoard;
    Reporter &out;
    quint64 total = 0;
    int retries = 1;
    int started = 0;
    int done = 0;
    bool stopping = false;
    std::vector<std::unique_ptr<Board>> boards;
    // Places whose board is over, with what was there.
    QHash<QString, Settled> settled;
    std::unique_ptr<DeviceWatcher> watcher;
    QTimer ticker;
    QTimer settle;

    // Shared with the thread that watches for stop requests.
    std::atomic<int> phase{Preparing};
    std::atomic<bool> stopAsked{false};
    // The watching thread's own record of the first request.
    QString firstRequest;
    // What asked the job to stop ("SIGINT"), under the output lock.
    QString stopRequestText;
    // One board: what its result says when a signal ends the program.
    std::atomic<quint64> bytesDone{0};
    std::atomic<qint64> startedMs{0};
    QString openLocation;  // written once, before boardOpen
    std::atomic<bool> boardOpen{false};
};

}  // namespace

int kelcli_burn_station(const BurnArgs &a, ImageFile &image,
                        std::vector<PartitionSelection> &selection) {
    // Several boards at once: every line says which board it is about.
    Reporter::instance().nameBoards(a.all || a.watch);
    Station station(a, image, selection);
    return station.run();
}
