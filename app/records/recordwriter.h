// Writes board records on a thread of its own, so that a record never holds up
// the window or a burn. Records for a fleet database that cannot be reached go
// to a local spool (an SQLite file with the same table) and are sent from
// there, oldest first, once the server answers again; a spooled row is removed
// only after the server has stored it. The record's UUID keeps a record sent
// twice from being stored twice. Records are never dropped: one that cannot be
// written anywhere stays in memory and is tried again.
#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>

#include "boardrecord.h"
#include "recordtarget.h"

class QThread;

class RecordWriter : public QObject {
    Q_OBJECT
public:
    // Starts the thread. `spoolPath` is used for a PostgreSQL target only (and
    // created only when a record has to wait there).
    RecordWriter(const RecordTarget &target, const QString &spoolPath,
                 QObject *parent = nullptr);
    // Waits a bounded time for the queue (see flush), puts what is left into
    // the spool where it can, and ends the thread.
    ~RecordWriter() override;

    // Queues a copy; returns at once (a short lock around the append only).
    void submit(const BoardRecord &record);
    // Waits until every record submitted so far is stored, or spooled, or
    // `msecs` have passed. True when none is left in memory.
    bool flush(int msecs);

    // Records waiting in the spool for the fleet database.
    int spoolCount() const { return m_spoolCount.load(); }
    // Records in memory not yet written anywhere.
    int queuedCount() const;
    // Both: what the status line and the summary report as waiting.
    int waitingCount() const { return spoolCount() + queuedCount(); }
    // Whether the last attempt reached the target database.
    bool targetReachable() const { return m_reachable.load(); }

    const RecordTarget &target() const { return m_target; }
    QString spoolPath() const { return m_spoolPath; }

    // The backoff between attempts to reach the server or to write again:
    // starts at `firstMs`, doubles up to `maxMs` (tests make it short).
    void setRetryTiming(int firstMs, int maxMs);

signals:
    // From the writer's thread; connected objects get it queued.
    void spoolCountChanged(int count);
    void waitingCountChanged(int count);
    // A record left memory: stored in the target, or (`spooled`) in the spool.
    void recordWritten(const QString &recordId, bool spooled);

private:
    class Worker;
    friend class Worker;
    void run();
    void notifyCounts(int spool);

    const RecordTarget m_target;
    const QString m_spoolPath;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;  // new records, stop, timing changed
    QWaitCondition m_idle;  // the queue became empty
    std::deque<BoardRecord> m_queue;
    bool m_stop = false;
    bool m_finished = false;
    int m_retryFirstMs = 500;
    int m_retryMaxMs = 30000;
    std::atomic<int> m_spoolCount{0};
    std::atomic<bool> m_reachable{false};
    int m_lastSpool = -1;    // writer thread only
    int m_lastWaiting = -1;  // writer thread only
    QThread *m_thread = nullptr;
};
