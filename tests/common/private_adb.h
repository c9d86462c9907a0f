// An adb program of the test's own, under a name no other program has, that the
// adb watcher and the burn worker run instead of the system's adb. Their clean-up
// ends every process named after the program, so with a name of its own a test
// can never end an adb it did not start, and tests can run side by side.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

#include "checkthread.h"

class PrivateAdb {
public:
    // With no script the program does not exist: adb fails to start.
    explicit PrivateAdb(const QByteArray &script = QByteArray()) {
        QDir().mkpath("adb");
        // Short enough for the kernel's 15-character process name.
        m_path = QDir::current().absoluteFilePath("adb/kadb" + QString::number(getpid()));
        QFile::remove(m_path);
        if (!script.isEmpty()) {
            setScript(script);
        }
        CheckThread::setAdbProgram(m_path);
    }
    ~PrivateAdb() {
        CheckThread::setAdbProgram(QString());
        QFile::remove(m_path);
    }
    PrivateAdb(const PrivateAdb &) = delete;
    PrivateAdb &operator=(const PrivateAdb &) = delete;

    // Replaces the program (written whole, then made executable).
    void setScript(const QByteArray &script) {
        QFile::remove(m_path);
        QFile f(m_path);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(script);
            f.close();
        }
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // Makes a copy of an existing program the private one (a real adb binary).
    bool copyFrom(const QString &program) {
        QFile::remove(m_path);
        return QFile::copy(program, m_path) &&
               QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString path() const { return m_path; }
    std::string name() const { return QFileInfo(m_path).fileName().toStdString(); }

private:
    QString m_path;
};
