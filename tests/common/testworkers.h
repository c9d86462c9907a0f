// Workers with a controllable unit of work for the worker and tab tests.
#pragma once

#include "kelthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSemaphore>

#include "qt_wait.h"

#include <atomic>
#include <functional>


// `units` units of `steps` steps each. Unless `ungated`, every step waits for one
// permit of `gate` before its safe point, so the test decides where the worker is.
class StepWorker : public KelThread {
public:
    StepWorker(int units, int steps, std::atomic<bool> *ended = nullptr)
        : KelThread(nullptr), units(units), stepsPerUnit(steps), ended(ended) {}
    ~StepWorker() override { stopAndWait(); }

    QMutex &unitMutex() { return m_mutex; }
    quint32 progressValue() const { return m_progress; }

    QSemaphore gate;
    std::atomic<bool> ungated{false};
    std::atomic<bool> endless{false};  // ignore `steps`; run until stopped
    std::atomic<int> steps{0};
    std::atomic<int> safePoints{0};
    std::atomic<bool> sawStop{false};

protected:
    void run() override {
        m_progress = 0;
        emit threadIsStart();
        bool halted = false;
        for (int u = 0; u < units && !halted; ++u) {
            if (isInterruptionRequested()) {
                halted = true;
                break;
            }
            QMutexLocker lock(&m_mutex);
            for (int s = 0; (endless || s < stepsPerUnit) && !halted; ++s) {
                if (!ungated) {
                    while (!gate.tryAcquire(1, 5)) {
                        if (isInterruptionRequested()) {
                            halted = true;
                            break;
                        }
                    }
                    if (halted) {
                        break;
                    }
                }
                ++safePoints;
                if (!waitIfPaused()) {
                    halted = true;
                    break;
                }
                advanceProgress(1);
                ++steps;
            }
        }
        sawStop = halted;
        if (!halted) {
            emit threadIsSuccessful();
        }
        if (ended != nullptr) {
            *ended = true;
        }
    }

private:
    int units;
    int stepsPerUnit;
    std::atomic<bool> *ended;
};

// Works until stopped, then reports a failure, as the burn worker does.
class LoopWorker : public KelThread {
public:
    explicit LoopWorker(ImageFile *image) : KelThread(image) {}
    ~LoopWorker() override { stopAndWait(); }

    std::atomic<bool> succeedNow{false};

protected:
    void run() override {
        emit threadIsStart();
        m_progress = 0;
        while (!isStopped()) {
            QMutexLocker lock(&m_mutex);
            if (!waitIfPaused()) {
                break;
            }
            if (succeedNow) {
                advanceProgress(500);
                emit threadIsSuccessful();
                return;
            }
            QThread::msleep(1);
        }
        emit threadIsFailed();
    }
};
