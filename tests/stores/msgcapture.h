// Collects the Qt messages issued while it lives (from any thread).
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class MessageCapture {
public:
    MessageCapture() {
        current() = this;
        previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture() {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }

    QStringList of(QtMsgType type) {
        QMutexLocker locker(&lock);
        QStringList out;
        for (const auto &m : messages) {
            if (m.first == type) {
                out << m.second;
            }
        }
        return out;
    }
    bool contains(QtMsgType type, const QString &text) {
        for (const QString &m : of(type)) {
            if (m.contains(text)) {
                return true;
            }
        }
        return false;
    }

private:
    static MessageCapture *&current() {
        static MessageCapture *instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
        MessageCapture *self = current();
        if (self != nullptr) {
            QMutexLocker locker(&self->lock);
            self->messages.append({type, msg});
        }
    }

    QtMessageHandler previous = nullptr;
    QMutex lock;
    QList<QPair<QtMsgType, QString>> messages;
};
