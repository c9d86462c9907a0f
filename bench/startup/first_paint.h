// Reports the first time a window has been painted ("painted" on stdout) and ends
// the process at once: start-up is what is measured, not shutting down.
#pragma once

#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

class FirstPaint : public QObject {
public:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint && !seen) {
            seen = true;
            // After this paint pass (the children paint in the same pass).
            QTimer::singleShot(0, [] {
                std::fputs("painted\n", stdout);
                std::fflush(stdout);
                _exit(0);
            });
        }
        return false;
    }

private:
    bool seen = false;
};
