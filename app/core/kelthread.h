// Base of the long-running jobs a tab starts on an image (burn, bring-up card).
#pragma once

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

#include "failure.h"

class ImageFile;

// Adds pause, resume and stop to QThread. The GUI thread only flips flags here: it
// never takes `m_mutex`, because the worker holds that for a whole unit of work (one
// firmware component, one card area) and the window would freeze for that long.
//
// Contract for subclasses:
//  - do each unit of work with `m_mutex` locked;
//  - call waitIfPaused() at every safe point inside a unit (between two transfers);
//  - end a transfer loop when isStopped(), and check isInterruptionRequested()
//    before each unit;
//  - reset `m_progress` at the start of the job and report each new value with
//    threadIsRunning (advanceProgress() does both steps of an advance);
//  - end a job that was not stopped with exactly one of threadIsFailed and
//    threadIsSuccessful; a failed job calls fail() with its reason first, so
//    that every failure reaches its reporter as a value and not as a log line.
class KelThread : public QThread {
    Q_OBJECT

public:
    // `image` is not owned and must outlive the worker.
    explicit KelThread(ImageFile *image);
    // Stops the job and blocks until run() has returned; a paused worker is woken
    // first, since otherwise it would wait for a resume() that can never come.
    ~KelThread() override;

    void pause();
    void resume();
    void stop();

    // Stops the job and blocks until run() has returned. A subclass whose run() uses
    // its own members calls this first thing in its destructor, because by the time
    // the base destructor runs those members are already gone.
    void stopAndWait();

    bool isPaused() const { return m_paused.load(); }
    bool isStopped() const { return m_stopped.load(); }

    // Why the last job failed; no failure while it runs or after a success.
    // Read it once the job has ended (after threadIsFailed or finished).
    Failure failure() const;

signals:
    void threadIsStart();
    // Bytes of the image done so far; 64-bit, since images pass 2 GiB.
    void threadIsRunning(qint64 postition);
    void threadIsFailed();
    void threadIsSuccessful();
    // The job has failed and this is why; sent just before threadIsFailed.
    void failed(const Failure &why);

protected:
    // Safe point. Must be called by the worker with `m_mutex` locked. While the job
    // is paused, waits (without a time limit) with `m_mutex` released and takes it
    // back before returning. Returns false when the job has been stopped.
    bool waitIfPaused();

    // Adds `bytes` to `m_progress` and reports the new value.
    void advanceProgress(quint64 bytes);

    // Ends the job as failed: keeps the reason, sends failed() and then
    // threadIsFailed. Worker thread only, once per job.
    void fail(const Failure &why);
    // Forgets the previous job's reason; called as a job starts.
    void clearFailure();

    QMutex m_mutex;
    QWaitCondition m_waitCondition;
    ImageFile *m_image;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_stopped{false};
    quint64 m_progress = 0;

private:
    // Guards the pause flag's change and the wake-up against the worker's check
    // and wait, so that a resume() between the two is never lost. Held only for a
    // few instructions on either side, unlike `m_mutex`.
    QMutex m_pauseLock;
    // Written by the worker as it ends, read by the reporter after the end.
    mutable QMutex m_failureLock;
    Failure m_lastFailure;
};
