// Collects the Qt messages a test provokes, from any thread. Messages are not
// passed on while it lives; a program that installs its own handler must be
// built before the capture starts.
#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <utility>
#include <vector>

class MsgCapture {
public:
    MsgCapture() {
        s_current = this;
        m_previous = qInstallMessageHandler(&MsgCapture::handler);
    }
    ~MsgCapture() {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }

    bool contains(const QString &text) const { return find(text) >= 0; }
    bool contains(QtMsgType type, const QString &text) const {
        QMutexLocker lock(&m_mutex);
        for (const auto &m : m_msgs)
            if (m.first == type && m.second.contains(text))
                return true;
        return false;
    }
    int find(const QString &text) const {
        QMutexLocker lock(&m_mutex);
        for (size_t i = 0; i < m_msgs.size(); ++i)
            if (m_msgs[i].second.contains(text))
                return int(i);
        return -1;
    }
    int count(const QString &text) const {
        QMutexLocker lock(&m_mutex);
        int n = 0;
        for (const auto &m : m_msgs)
            n += m.second.contains(text) ? 1 : 0;
        return n;
    }
    QStringList of(QtMsgType type) const {
        QMutexLocker lock(&m_mutex);
        QStringList found;
        for (const auto &m : m_msgs)
            if (m.first == type)
                found << m.second;
        return found;
    }
    QString all() const {
        QMutexLocker lock(&m_mutex);
        QStringList lines;
        for (const auto &m : m_msgs)
            lines << m.second;
        return lines.join(QLatin1Char('\n'));
    }
    void clear() {
        QMutexLocker lock(&m_mutex);
        m_msgs.clear();
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (MsgCapture *self = s_current) {
            QMutexLocker lock(&self->m_mutex);
            self->m_msgs.emplace_back(type, msg);
        }
    }

    static inline MsgCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    std::vector<std::pair<QtMsgType, QString>> m_msgs;
};
