// A critical log line that is also the reason a card operation failed. Written
// like qCritical() (`FailureLine(why, Failure::DiskIo) << "Failed to read" << n;`)
// it logs the very same line, and keeps its text in *why with the code unless
// a reason is kept there already: the first failure is the cause, what fails
// after it its consequences.
#pragma once

#include <QDebug>
#include <QString>

#include <memory>

#include "failure.h"

class FailureLine {
public:
    FailureLine(Failure *why, Failure::Code code)
        : why(why), code(code), debug(std::make_unique<QDebug>(&text)) {}
    ~FailureLine() {
        debug.reset();  // writes what was streamed into `text`
        if (text.endsWith(QLatin1Char(' '))) {
            text.chop(1);
        }
        qCritical().noquote() << text;
        if (why && !why->isFailure()) {
            *why = Failure(code, text.trimmed());
        }
    }
    FailureLine(const FailureLine &) = delete;
    FailureLine &operator=(const FailureLine &) = delete;

    FailureLine &noquote() {
        debug->noquote();
        return *this;
    }
    template <class T>
    FailureLine &operator<<(const T &value) {
        *debug << value;
        return *this;
    }

private:
    Failure *why;
    Failure::Code code;
    QString text;
    std::unique_ptr<QDebug> debug;
};
