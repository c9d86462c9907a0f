// Finding, reading and closing the KelUI dialogs a test has opened, and clicking
// a button of the next modal one.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "keldialog.h"

inline QList<KelDialog *> visibleDialogs() {
    QList<KelDialog *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *d = qobject_cast<KelDialog *>(w);
        if (d && d->isVisible()) {
            found.append(d);
        }
    }
    return found;
}

inline KelDialog *visibleDialog(const char *objectName) {
    for (KelDialog *d : visibleDialogs()) {
        if (d->objectName() == objectName) {
            return d;
        }
    }
    return nullptr;
}

// The text of the alert on screen, empty when there is none.
inline QString alertText() {
    for (KelDialog *d : visibleDialogs()) {
        if (auto *text = d->findChild<QLabel *>("message_text")) {
            return text->text();
        }
    }
    return QString();
}

// Hidden dialogs stay: a host may keep one (the log window) for later.
inline void closeVisibleDialogs() {
    for (KelDialog *d : visibleDialogs()) {
        d->close();
    }
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Every dialog, hidden ones too (a download dialog the tool hid, say).
inline void closeEveryDialog() {
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *d = qobject_cast<KelDialog *>(w)) {
            d->close();
        }
    }
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Clicks the named button of the modal dialog as soon as it runs its event loop.
inline void clickWhenModal(const QString &buttonName) {
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, buttonName] {
        QWidget *modal = QApplication::activeModalWidget();
        auto *button = modal ? modal->findChild<QPushButton *>(buttonName) : nullptr;
        if (button) {
            timer->stop();
            timer->deleteLater();
            QTest::mouseClick(button, Qt::LeftButton);
        }
    });
    timer->start();
}
