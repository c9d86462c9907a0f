#include "kelthread.h"

#include <QDebug>

KelThread::KelThread(ImageFile *image) : QThread(nullptr), image(image) {
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
    stopped = true;
    requestInterruption();
    {
        QMutexLocker lock(&pauseLock);
        paused = false;
        waitCondition.wakeAll();
    }
    quit();
    wait();
}

void KelThread::pause() {
    qDebug() << "Thread" << QThread::currentThreadId() << "Paused!";
    QMutexLocker lock(&pauseLock);
    paused = true;
}

void KelThread::resume() {
    qDebug() << "Thread" << QThread::currentThreadId() << "Resumed!";
    QMutexLocker lock(&pauseLock);
    paused = false;
    waitCondition.wakeAll();
}

void KelThread::stop() {
    qDebug() << "Thread" << QThread::currentThreadId() << "Stoped!";
    stopped = true;
    requestInterruption();
}

bool KelThread::waitIfPaused() {
    if (!paused.load()) {
        return !stopped.load();
    }
    // Lock order is always mutex -> pauseLock; the GUI side takes pauseLock alone.
    QMutexLocker lock(&pauseLock);
    if (paused.load()) {
        mutex.unlock();
        // A stop() alone does not end the wait: the window resumes before it stops.
        while (paused.load()) {
            waitCondition.wait(&pauseLock);
        }
        lock.unlock();
        mutex.lock();
    }
    return !stopped.load();
}

void KelThread::advanceProgress(quint64 bytes) {
    progress += bytes;
    emit threadIsRunning(static_cast<qint64>(progress));
}

Failure KelThread::failure() const {
    QMutexLocker lock(&failureLock);
    return lastFailure;
}

void KelThread::fail(const Failure &why) {
    {
        QMutexLocker lock(&failureLock);
        lastFailure = why;
    }
    emit failed(why);
    emit threadIsFailed();
}

void KelThread::clearFailure() {
    QMutexLocker lock(&failureLock);
    lastFailure = Failure();
}
