#include "msg_capture.h"
#include "testworkers.h"

#include <QObject>
#include <QVector>

#include <gtest/gtest.h>

namespace {

// Records the worker's signals in the GUI thread, as a tab does.
struct SignalLog : QObject {
    QVector<QString> events;
    void attach(KelThread *w) {
        connect(w, &KelThread::threadIsStart, this, [this] { events << "start"; });
        connect(w, &KelThread::threadIsRunning, this,
                [this](int p) { events << QString("run %1").arg(p); });
        connect(w, &KelThread::threadIsFailed, this, [this] { events << "failed"; });
        connect(w, &KelThread::threadIsSuccessful, this, [this] { events << "success"; });
    }
};

// Waits until the worker sits in its pause wait: it has reached the safe point and
// given the unit mutex up.
bool waitUntilParked(StepWorker &w, int safePoints) {
    return waitFor([&] {
        if (w.safePoints < safePoints) {
            return false;
        }
        if (!w.unitMutex().tryLock()) {
            return false;
        }
        w.unitMutex().unlock();
        return true;
    });
}

// Gives a stalled worker a moment in which it must not move.
void settle() {
    QThread::msleep(50);
}

}  // namespace

TEST(KelThread, ReportsStartProgressAndSuccessInOrder) {
    StepWorker w(3, 4);
    w.ungated = true;
    SignalLog log;
    log.attach(&w);
    w.start();
    ASSERT_TRUE(waitFor([&] { return !log.events.isEmpty() && log.events.last() == "success"; }));
    ASSERT_EQ(log.events.size(), 14);
    EXPECT_EQ(log.events.first(), "start");
    for (int i = 1; i <= 12; ++i) {
        EXPECT_EQ(log.events.at(i), QString("run %1").arg(i));
    }
    EXPECT_TRUE(w.wait(20000));
    EXPECT_EQ(w.progressValue(), 12u);
}

TEST(KelThread, PauseHoldsAtSafePointWithMutexReleasedUntilResume) {
    MsgCapture messages;
    StepWorker w(1, 3);
    SignalLog log;
    log.attach(&w);
    w.start();
    w.gate.release();
    ASSERT_TRUE(waitFor([&] { return w.steps == 1; }));

    // Inside a unit the worker holds the unit mutex.
    ASSERT_TRUE(waitFor([&] { return w.safePoints == 1; }));
    EXPECT_FALSE(w.unitMutex().tryLock());

    w.pause();
    EXPECT_TRUE(w.isPaused());
    w.gate.release();
    ASSERT_TRUE(waitUntilParked(w, 2));
    settle();
    EXPECT_EQ(w.steps, 1);
    EXPECT_TRUE(w.isRunning());

    w.resume();
    ASSERT_TRUE(waitFor([&] { return w.steps == 2; }));
    w.gate.release();
    ASSERT_TRUE(w.wait(20000));
    EXPECT_EQ(w.steps, 3);
    EXPECT_FALSE(w.sawStop);
    QCoreApplication::processEvents();
    ASSERT_TRUE(waitFor([&] { return log.events.contains("success"); }));

    EXPECT_TRUE(messages.contains(QtDebugMsg, "Paused!"));
    EXPECT_TRUE(messages.contains(QtDebugMsg, "Resumed!"));
    EXPECT_TRUE(messages.of(QtDebugMsg).first().startsWith("Thread"));
}

TEST(KelThread, ResumeBeforeSafePointMeansNoWait) {
    StepWorker w(2, 2);
    w.start();
    w.pause();
    w.resume();
    w.gate.release(4);
    ASSERT_TRUE(w.wait(20000)) << "worker waited although it was resumed";
    EXPECT_EQ(w.steps, 4);
    EXPECT_FALSE(w.sawStop);
}

// A resume() that lands between the worker's look at the flag and its wait must
// not be lost; with a lost wake-up the worker would hang here for good.
TEST(KelThread, RacingPauseAndResumeNeverStrandsTheWorker) {
    StepWorker w(1, 0);
    w.ungated = true;
    w.endless = true;
    w.start();
    ASSERT_TRUE(waitFor([&] { return w.steps > 0; }));
    // Every round ends with a resume() that may land in the window; the worker
    // must get going again each time.
    for (int i = 0; i < 1000; ++i) {
        w.pause();
        for (int spin = 0; spin < (i % 7) * 50; ++spin) {
            QThread::yieldCurrentThread();
        }
        w.resume();
        const int before = w.steps;
        QElapsedTimer timer;
        timer.start();
        while (w.steps <= before && timer.elapsed() < 10000) {
            QThread::yieldCurrentThread();
        }
        ASSERT_GT(w.steps, before) << "worker stranded after round " << i;
    }
    w.stop();
    ASSERT_TRUE(w.wait(20000));
    EXPECT_TRUE(w.sawStop);
}

TEST(KelThread, StopWhilePausedTakesEffectOnlyAfterResume) {
    MsgCapture messages;
    StepWorker w(2, 3);
    SignalLog log;
    log.attach(&w);
    w.start();
    w.gate.release();
    ASSERT_TRUE(waitFor([&] { return w.steps == 1; }));
    w.pause();
    w.gate.release();
    ASSERT_TRUE(waitUntilParked(w, 2));

    w.stop();
    EXPECT_TRUE(w.isStopped());
    EXPECT_TRUE(w.isInterruptionRequested());
    settle();
    EXPECT_TRUE(w.isRunning()) << "a paused worker must stay waiting until resumed";
    EXPECT_EQ(w.steps, 1);

    w.resume();
    ASSERT_TRUE(w.wait(20000));
    EXPECT_TRUE(w.sawStop);
    EXPECT_EQ(w.steps, 1);
    QCoreApplication::processEvents();
    EXPECT_FALSE(log.events.contains("success"));
    EXPECT_FALSE(log.events.contains("failed"));
    EXPECT_TRUE(messages.contains(QtDebugMsg, "Stoped!"));
}

TEST(KelThread, DestroyingARunningWorkerBlocksUntilRunReturns) {
    std::atomic<bool> ended{false};
    auto *w = new StepWorker(5, 5, &ended);
    w->start();
    w->gate.release();
    ASSERT_TRUE(waitFor([&] { return w->steps == 1; }));
    delete w;  // blocked at its gate, inside a unit
    EXPECT_TRUE(ended);
}

TEST(KelThread, DestroyingAPausedWorkerDoesNotHang) {
    std::atomic<bool> ended{false};
    auto *w = new StepWorker(5, 5, &ended);
    w->start();
    w->pause();
    w->gate.release();
    ASSERT_TRUE(waitUntilParked(*w, 1));
    delete w;
    EXPECT_TRUE(ended);
}

TEST(KelThread, DestroyingAWorkerThatNeverRanIsImmediate) {
    auto *w = new StepWorker(1, 1);
    delete w;
    SUCCEED();
}
