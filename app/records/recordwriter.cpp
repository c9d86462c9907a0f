#include "recordwriter.h"

#include "recordstore.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <climits>

namespace {
constexpr int kSpoolBatch = 50;
// Records written in one transaction when several wait (boards ending together).
constexpr int kWriteBatch = 64;

QString connectionName(const RecordWriter *w, const char *what) {
    return QStringLiteral("kelrecords-%1-%2").arg(quintptr(w), 0, 16).arg(QLatin1String(what));
}
}  // namespace

// Everything the writer's thread owns: the connections (a connection belongs
// to the thread that opened it) and the timing of the next attempts.
class RecordWriter::Worker {
public:
    explicit Worker(RecordWriter &w)
        : m_w(w), m_target(new RecordStore(w.m_target, connectionName(&w, "target"))) {
        m_clock.start();
        resetBackoff();
        if (isFleet() && QFileInfo::exists(m_w.m_spoolPath))
            openSpool();
        else
            m_w.m_spoolCount = 0;
        connectIfDue();
    }

    // Milliseconds until there is something to do: 0 now, -1 nothing at all.
    qint64 msUntilNext(bool queued) const {
        const qint64 now = m_clock.elapsed();
        qint64 next = -1;
        auto consider = [&](qint64 at) {
            const qint64 in = qMax<qint64>(0, at - now);
            next = next < 0 ? in : qMin(next, in);
        };
        if (queued)
            consider(m_writeAt);
        if (isFleet() && (queued || m_w.m_spoolCount > 0)) {
            if (!m_target->isOpen())
                consider(m_connectAt);
            else if (sendableSpoolRows() > 0)
                consider(m_drainAt);
        }
        return next;
    }

    // Reaches the server when it is time to try, and sends a batch from the spool.
    void service() {
        connectIfDue();
        drainSpool();
    }

    bool lastWasSpooled() const { return m_lastSpooled; }

    // Writes the first records of the queue: all of them in one transaction
    // when that works, else the first one alone. How many were stored or
    // spooled (0: none; they stay in memory and the next attempt waits).
    int write(const QList<BoardRecord> &records, bool stopping) {
        if (records.isEmpty() || (!stopping && m_clock.elapsed() < m_writeAt))
            return 0;
        if (records.size() > 1) {
            QString error;
            m_lastSpooled = false;
            if (!isFleet() || (m_target->isOpen() && sendableSpoolRows() == 0)) {
                if (m_target->isOpen() && m_target->insertAll(records, &error)) {
                    writeSucceeded();
                    return records.size();
                }
            } else if (openSpool() && m_spool->insertAll(records, &error)) {
                m_lastSpooled = true;
                updateSpoolCount();
                writeSucceeded();
                return records.size();
            }
        }
        return writeOne(records.first(), stopping) ? 1 : 0;
    }

private:
    // Stores one record, or spools it. False when it could be written nowhere.
    bool writeOne(const BoardRecord &r, bool stopping) {
        if (!stopping && m_clock.elapsed() < m_writeAt)
            return false;
        m_lastSpooled = false;
        if (!isFleet()) {
            QString error;
            if (m_target->isOpen() || m_target->open(&error)) {
                if (m_target->insert(r, &error) != RecordStore::Insert::Failed) {
                    writeSucceeded();
                    return true;
                }
            }
            writeFailed(QStringLiteral("Board record %1 cannot be written to %2: %3 (kept in "
                                       "memory and written again later)")
                            .arg(r.recordId, m_w.m_target.displayText(), error));
            return false;
        }
        if (m_target->isOpen() && sendableSpoolRows() == 0) {
            QString error;
            switch (send(r, &error)) {
            case Sent::Stored:
                writeSucceeded();
                return true;
            case Sent::Refused:
                // The server answers but will not take this record: it waits in
                // the spool where a person can look at it, instead of blocking
                // every later record.
                qCritical().noquote()
                    << QStringLiteral("The fleet database refused board record %1: %2 (kept in "
                                      "the spool %3)")
                           .arg(r.recordId, error, m_w.m_spoolPath);
                if (spoolRecord(r)) {
                    m_refused.insert(r.recordId);
                    return true;
                }
                return false;
            case Sent::Lost:
                break;
            }
        }
        return spoolRecord(r);
    }

    enum class Sent { Stored, Refused, Lost };

    bool isFleet() const { return m_w.m_target.kind == RecordTarget::Postgres; }

    void resetBackoff() {
        QMutexLocker lock(&m_w.m_mutex);
        m_connectBackoff = m_w.m_retryFirstMs;
        m_writeBackoff = m_w.m_retryFirstMs;
        m_drainBackoff = m_w.m_retryFirstMs;
    }
    int nextBackoff(int *backoff) {
        QMutexLocker lock(&m_w.m_mutex);
        const int ms = qBound(1, *backoff, m_w.m_retryMaxMs);
        *backoff = qMin(qMax(ms * 2, m_w.m_retryFirstMs), m_w.m_retryMaxMs);
        return ms;
    }

    int sendableSpoolRows() const {
        if (!m_spool)
            return 0;
        return qMax(0, m_w.m_spoolCount.load() - m_refused.size());
    }

    bool connectIfDue() {
        if (!isFleet() || m_target->isOpen())
            return m_target->isOpen();
        if (m_clock.elapsed() < m_connectAt)
            return false;
        QString error;
        if (m_target->open(&error)) {
            m_w.m_reachable = true;
            {
                QMutexLocker lock(&m_w.m_mutex);
                m_connectBackoff = m_w.m_retryFirstMs;
            }
            if (m_unreachableWarned) {
                qInfo().noquote() << QStringLiteral("The fleet database %1 answers again; %2 "
                                                    "board records wait in the spool")
                                         .arg(m_w.m_target.displayText())
                                         .arg(m_w.m_spoolCount.load());
                m_unreachableWarned = false;
            }
            return true;
        }
        lost(error);
        return false;
    }

    void lost(const QString &error) {
        m_target->close();
        m_w.m_reachable = false;
        m_connectAt = m_clock.elapsed() + nextBackoff(&m_connectBackoff);
        if (!m_unreachableWarned) {
            qCritical().noquote()
                << QStringLiteral("The fleet database %1 cannot be reached (%2); board records "
                                  "wait in the spool %3 and are sent once it answers")
                       .arg(m_w.m_target.displayText(), error, m_w.m_spoolPath);
            m_unreachableWarned = true;
        }
    }

    Sent send(const BoardRecord &r, QString *error) {
        if (m_target->insert(r, error) != RecordStore::Insert::Failed)
            return Sent::Stored;
        if (m_target->ping())
            return Sent::Refused;
        // The connection may have gone away under us (a server restarted):
        // one fresh connection before the server counts as gone.
        m_target->close();
        QString why;
        if (m_target->open(&why)) {
            if (m_target->insert(r, error) != RecordStore::Insert::Failed)
                return Sent::Stored;
            if (m_target->ping())
                return Sent::Refused;
            why = *error;
        }
        lost(why);
        return Sent::Lost;
    }

    bool openSpool() {
        if (m_spool && m_spool->isOpen())
            return true;
        if (!m_spool)
            m_spool.reset(new RecordStore(RecordTarget::sqlite(m_w.m_spoolPath),
                                          connectionName(&m_w, "spool")));
        QString error;
        if (!m_spool->open(&error)) {
            m_spoolError = error;
            return false;
        }
        updateSpoolCount();
        return true;
    }

    void updateSpoolCount() {
        const qint64 n = m_spool ? m_spool->count() : 0;
        if (n >= 0) {
            m_w.m_spoolCount = int(qMin<qint64>(n, INT_MAX));
            // Refused rows that are gone (sent by another run) are forgotten.
            if (m_refused.size() > m_w.m_spoolCount)
                m_refused.clear();
        }
    }

    bool spoolRecord(const BoardRecord &r) {
        QString error;
        if (openSpool()) {
            if (m_spool->insert(r, &error) != RecordStore::Insert::Failed) {
                m_lastSpooled = true;
                updateSpoolCount();
                writeSucceeded();
                return true;
            }
        } else {
            error = m_spoolError;
        }
        writeFailed(QStringLiteral("Board record %1 cannot be written to the spool %2: %3 (kept "
                                   "in memory and written again later)")
                        .arg(r.recordId, m_w.m_spoolPath, error));
        return false;
    }

    void drainSpool() {
        if (!isFleet() || !m_target->isOpen() || sendableSpoolRows() == 0 ||
            m_clock.elapsed() < m_drainAt)
            return;
        QString error;
        const QList<BoardRecord> rows = m_spool->oldest(kSpoolBatch + m_refused.size(), &error);
        if (!error.isEmpty()) {
            drainFailed(QStringLiteral("The spool %1 cannot be read: %2")
                            .arg(m_w.m_spoolPath, error));
            return;
        }
        if (rows.isEmpty()) {
            updateSpoolCount();
            return;
        }
        QList<BoardRecord> sendable;
        QStringList ids;
        for (const BoardRecord &r : rows) {
            if (!m_refused.contains(r.recordId)) {
                sendable << r;
                ids << r.recordId;
            }
        }
        // One transaction for the batch; on any failure, one by one below
        // finds the record (or the connection) at fault.
        if (sendable.size() > 1 && m_target->insertAll(sendable, &error)) {
            if (!m_spool->removeAll(ids, &error)) {
                drainFailed(QStringLiteral("Sent records cannot be removed from the spool %1: "
                                           "%2 (they are sent again later, and stored once)")
                                .arg(m_w.m_spoolPath, error));
            } else if (m_drainWarned) {
                m_drainWarned = false;
                QMutexLocker lock(&m_w.m_mutex);
                m_drainBackoff = m_w.m_retryFirstMs;
            }
            updateSpoolCount();
            m_w.notifyCounts(m_w.m_spoolCount);
            return;
        }
        for (const BoardRecord &r : sendable) {
            const Sent sent = send(r, &error);
            if (sent == Sent::Lost)
                break;
            if (sent == Sent::Refused) {
                qCritical().noquote()
                    << QStringLiteral("The fleet database refused board record %1 from the "
                                      "spool: %2 (it stays in the spool)")
                           .arg(r.recordId, error);
                m_refused.insert(r.recordId);
                continue;
            }
            // Stored (or there already): only now may the spool forget it. A
            // failed delete sends it again later, which the server ignores.
            if (!m_spool->remove(r.recordId, &error)) {
                drainFailed(QStringLiteral("A sent record cannot be removed from the spool %1: "
                                           "%2 (it is sent again later, and stored once)")
                                .arg(m_w.m_spoolPath, error));
                break;
            }
        }
        updateSpoolCount();
        m_w.notifyCounts(m_w.m_spoolCount);
    }

    // The spool could not be read or trimmed: tried again after a pause (and
    // said once), not in a tight loop.
    void drainFailed(const QString &message) {
        if (!m_drainWarned) {
            qCritical().noquote() << message;
            m_drainWarned = true;
        }
        m_drainAt = m_clock.elapsed() + nextBackoff(&m_drainBackoff);
    }

    void writeSucceeded() {
        if (m_writeWarned) {
            qInfo().noquote() << QStringLiteral("Board records are written again");
            m_writeWarned = false;
        }
        m_writeAt = 0;
        QMutexLocker lock(&m_w.m_mutex);
        m_writeBackoff = m_w.m_retryFirstMs;
    }

    void writeFailed(const QString &message) {
        // Once per outage, not per record: a full disk must not flood the log.
        if (!m_writeWarned) {
            qCritical().noquote() << message;
            m_writeWarned = true;
        }
        m_writeAt = m_clock.elapsed() + nextBackoff(&m_writeBackoff);
    }

    RecordWriter &m_w;
    std::unique_ptr<RecordStore> m_target;
    std::unique_ptr<RecordStore> m_spool;
    QString m_spoolError;
    QElapsedTimer m_clock;
    qint64 m_connectAt = 0;
    qint64 m_writeAt = 0;
    qint64 m_drainAt = 0;
    int m_drainBackoff = 1;
    bool m_drainWarned = false;
    int m_connectBackoff = 0;
    int m_writeBackoff = 0;
    bool m_unreachableWarned = false;
    bool m_writeWarned = false;
    bool m_lastSpooled = false;
    QSet<QString> m_refused;  // spooled records the server refused in this run
};

RecordWriter::RecordWriter(const RecordTarget &target, const QString &spoolPath, QObject *parent)
    : QObject(parent), m_target(target), m_spoolPath(spoolPath) {
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("RecordWriter"));
    m_thread->start();
}

RecordWriter::~RecordWriter() {
    {
        QMutexLocker lock(&m_mutex);
        m_stop = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
    delete m_thread;
    QMutexLocker lock(&m_mutex);
    if (!m_queue.empty())
        qCritical().noquote() << QStringLiteral("%1 board records could be written nowhere and "
                                                "are lost at exit")
                                     .arg(m_queue.size());
}

void RecordWriter::submit(const BoardRecord &record) {
    {
        QMutexLocker lock(&m_mutex);
        m_queue.push_back(record);
    }
    // Woken after the unlock: the writer does not wake only to wait for the
    // caller's lock.
    m_wake.wakeOne();
}

bool RecordWriter::flush(int msecs) {
    QElapsedTimer t;
    t.start();
    QMutexLocker lock(&m_mutex);
    while (!m_queue.empty() && !m_finished) {
        const qint64 left = msecs - t.elapsed();
        if (left <= 0)
            break;
        m_wake.wakeOne();
        m_idle.wait(&m_mutex, ulong(left));
    }
    return m_queue.empty();
}

int RecordWriter::queuedCount() const {
    QMutexLocker lock(&m_mutex);
    return int(m_queue.size());
}

void RecordWriter::setRetryTiming(int firstMs, int maxMs) {
    QMutexLocker lock(&m_mutex);
    m_retryFirstMs = qMax(1, firstMs);
    m_retryMaxMs = qMax(m_retryFirstMs, maxMs);
    m_wake.wakeAll();
}

void RecordWriter::notifyCounts(int spool) {
    const int waiting = spool + queuedCount();
    if (spool != m_lastSpool) {
        m_lastSpool = spool;
        emit spoolCountChanged(spool);
    }
    if (waiting != m_lastWaiting) {
        m_lastWaiting = waiting;
        emit waitingCountChanged(waiting);
    }
}

void RecordWriter::run() {
    Worker worker(*this);
    notifyCounts(m_spoolCount);
    QMutexLocker lock(&m_mutex);
    while (!m_stop) {
        const bool queued = !m_queue.empty();
        lock.unlock();
        const qint64 wait = worker.msUntilNext(queued);
        lock.relock();
        if (m_stop)
            break;
        if (wait != 0) {
            if (m_queue.empty())
                m_idle.wakeAll();
            else if (queued == false)
                continue;  // a record came in meanwhile
            m_wake.wait(&m_mutex, wait < 0 ? ULONG_MAX : ulong(wait));
            continue;
        }
        QList<BoardRecord> batch;
        for (auto it = m_queue.begin(); it != m_queue.end() && batch.size() < kWriteBatch; ++it)
            batch << *it;
        lock.unlock();
        worker.service();
        const int done = worker.write(batch, false);
        lock.relock();
        // Only this thread takes from the queue: its front is still the batch.
        for (int i = 0; i < done; ++i)
            m_queue.pop_front();
        if (done > 0 && m_queue.empty())
            m_idle.wakeAll();
        lock.unlock();
        for (int i = 0; i < done; ++i)
            emit recordWritten(batch.at(i).recordId, worker.lastWasSpooled());
        notifyCounts(m_spoolCount);
        lock.relock();
    }
    // Stopping: what is still in memory goes where it can without waiting for a
    // server to come back (to the spool when the server is away).
    while (!m_queue.empty()) {
        QList<BoardRecord> batch;
        for (auto it = m_queue.begin(); it != m_queue.end() && batch.size() < kWriteBatch; ++it)
            batch << *it;
        lock.unlock();
        const int done = worker.write(batch, true);
        lock.relock();
        if (done == 0)
            break;
        for (int i = 0; i < done; ++i)
            m_queue.pop_front();
    }
    m_finished = true;
    m_idle.wakeAll();
    lock.unlock();
    notifyCounts(m_spoolCount);
}
