#include "card_report.h"

#include <QDateTime>
#include <chrono>
#include <cstdlib>
#include <unistd.h>

#include "cli.h"
#include "reporter.h"
#include "run_records.h"
#include "stop_requests.h"

namespace {

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int kelcli_card_usage(bool json, const QString &message) {
    if (json && Reporter::instance().takeResult()) {
        kelcli_card_json({{"event", "result"}, {"ok", false}, {"seconds", 0}, {"message", message}});
    }
    return kelcli_usage_error("card", "%s", message.toLocal8Bit().constData());
}

void kelcli_card_log_begin() {
    Reporter &out = Reporter::instance();
    // Each card command says on its own whether it writes JSON.
    out.begin(false);
    // The upgrade library's lines keep the command line's usual sink.
    out.installHandlers(false);
}

void kelcli_card_log_end() {
    Reporter::instance().end();
}

void kelcli_card_json(const QJsonObject &obj) {
    Reporter::instance().emitJson(obj);
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
        self->fail(Failure(Failure::Interrupted,
                           QStringLiteral("interrupted by %1").arg(QLatin1String(name))));
        std::_Exit(KELCLI_FAIL);
    }
    self->request = QString::fromLatin1(name);
    self->requested.store(true);
    Reporter::instance().say(
        QStringLiteral("Stopping at the next safe point (again to quit at once)..."));
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
        Reporter::instance().say(line);
    }
}

void CardReport::stage(const char *name, const QString &line) {
    stageName = QString::fromLatin1(name);
    stageMs = steadyMs();
    drawnMs = tty ? 0 : -1;
    if (json) {
        kelcli_card_json({{"event", "stage"}, {"stage", stageName}});
    } else if (!line.isEmpty()) {
        Reporter::instance().say(line);
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
    if (!tty) {
        const int step = int(pct / 10);
        if (step != int(drawnMs)) {
            drawnMs = step;
            Reporter::instance().say(QStringLiteral("%1 %2%").arg(stageName).arg(step * 10));
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
    Reporter::instance().drawBar(
        QStringLiteral("[%1] %2%%3  %4").arg(bar).arg(pct, 5, 'f', 1).arg(rate, stageName));
}

int CardReport::result(bool ok, const QString &message) {
    return finish(ok, message, QString());
}

int CardReport::fail(const Failure &why) {
    return finish(false, why.message(), why.codeName());
}

void CardReport::keepRecord(RunRecords *runRecords, const CardJobFacts &jobFacts,
                            ImageFile *image) {
    records = runRecords;
    facts = jobFacts;
    recordImage = image;
}

int CardReport::submitRecord(bool ok, const QString &message, const QString &code) {
    if (!records)
        return -1;
    CardJobFacts f = facts;
    f.ended = QDateTime::currentDateTimeUtc();
    f.bytes = bytes ? qint64(last) : 0;
    if (!ok) {
        const Failure::Code c = Failure::codeOf(code);
        f.failure = Failure(c == Failure::None ? Failure::Internal : c, message);
    }
    records->submit(cardRecord(records->facts(), f, recordImage));
    RunRecords *done = records;
    records = nullptr;
    return done->finish();
}

int CardReport::finish(bool ok, const QString &message, const QString &code) {
    const double secs = (steadyMs() - startedMs) / 1000.0;
    const int waiting = submitRecord(ok, message, code);
    if (!Reporter::instance().takeResult()) {
        return ok ? KELCLI_OK : KELCLI_FAIL;  // a second request has ended the run already
    }
    if (json) {
        QJsonObject o{{"event", "result"}, {"ok", ok}, {"seconds", qRound(secs * 1000) / 1000.0}};
        if (bytes) {
            o.insert(QStringLiteral("bytes"), double(last));
        }
        if (!ok) {
            o.insert(QStringLiteral("message"), message);
            if (!code.isEmpty()) {
                o.insert(QStringLiteral("code"), code);
            }
        }
        if (waiting > 0) {
            o.insert(QStringLiteral("records_waiting"), waiting);
        }
        kelcli_card_json(o);
    } else {
        Reporter::instance().say(ok ? QStringLiteral("SUCCESS: %1 in %2 s").arg(message).arg(secs, 0, 'f', 1)
                     : QStringLiteral("FAIL: ") + message);
        if (waiting > 0) {
            Reporter::instance().say(RunRecords::waitingText(waiting));
        }
    }
    return ok ? KELCLI_OK : KELCLI_FAIL;
}
