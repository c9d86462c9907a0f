// Waiting on a condition while the Qt event loop keeps running, so queued
// signals and timers of the code under test still fire.
#pragma once

#include <QElapsedTimer>
#include <QTest>

// Polls `cond` until it holds or `ms` pass (generous, for a loaded machine);
// false on time-out.
template <typename F>
bool waitFor(F cond, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) {
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}
