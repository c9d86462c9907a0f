#include "kelthread.h"

#include <QDebug>

KelThread::KelThread(ImageFile *image) : QThread(nullptr), m_image(image) {
    // The reason crosses from the worker to the GUI thread in a queued signal.
    qRegisterMetaType<Failure>("Failure");
}

KelThread::~KelThread() {
    stopAndWait();
}

void KelThread::stopAndWait() {
    if (!isRunning()) {
        wait();
        return;
    }
    m_stopped = true;
    requestInterruption();
    {
        QMutexLocker lock(&m_pauseLock);
        m_paused = false;
        m_waitCondition.wakeAll();
    }
    quit();
    wait();
}

void KelThread::pause() {
    qDebug() << "Thread" << QThread::currentThreadId() << "Paused!";
    QMutexLocker lock(&m_pauseLock);
    m_paused = true;
}

void KelThread::resume() {
    qDebug() << "Thread" << QThread::currentThreadId() << "Resumed!";
    QMutexLocker lock(&m_pauseLock);
    m_paused = false;
    m_waitCondition.wakeAll();
}

void KelThread::stop() {
    qDebug() << "Thread" << QThread::currentThreadId() << "Stoped!";
    m_stopped = true;
    requestInterruption();
}

bool KelThread::waitIfPaused() {
    if (!m_paused.load()) {
        return !m_stopped.load();
    }
    // Lock order is always mutex -> pauseLock; the GUI side takes pauseLock alone.
    QMutexLocker lock(&m_pauseLock);
    if (m_paused.load()) {
        m_mutex.unlock();
        // A stop() alone does not end the wait: the window resumes before it stops.
        while (m_paused.load()) {
            m_waitCondition.wait(&m_pauseLock);
        }
        lock.unlock();
        m_mutex.lock();
    }
    return !m_stopped.load();
}

void KelThread::advanceProgress(quint64 bytes) {
    m_progress += bytes;
    emit threadIsRunning(static_cast<qint64>(m_progress));
}

Failure KelThread::failure() const {
    QMutexLocker lock(&m_failureLock);
    return m_lastFailure;
}

void KelThread::fail(const Failure &why) {
    {
        QMutexLocker lock(&m_failureLock);
        m_lastFailure = why;
    }
    emit failed(why);
    emit threadIsFailed();
}

void KelThread::clearFailure() {
    QMutexLocker lock(&m_failureLock);
    m_lastFailure = Failure();
}
