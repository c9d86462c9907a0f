// What the environment checker looks at, owned by the test: a process table in a
// directory, and a systemd manager (python-dbusmock) on a private bus that stands
// in for the system bus of the whole test binary.
#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include "qt_wait.h"

inline void PrintTo(const QString &text, std::ostream *os) { *os << text.toStdString(); }

// The address is set while the binary loads, before anything can connect to a bus,
// so that no test ever reaches the machine's own system bus.
class PrivateSystemBus : public ::testing::Environment {
public:
    static QString socket() {
        static QTemporaryDir dir(QDir::tempPath() + "/hostprobe-bus-XXXXXX");
        return dir.filePath("bus");
    }
    void SetUp() override {
        daemon.start("dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + socket()});
        ASSERT_TRUE(waitFor([] { return QFile::exists(socket()); }, 10000));
    }
    void TearDown() override {
        daemon.kill();
        daemon.waitForFinished();
    }

private:
    QProcess daemon;
};

inline const bool kPrivateSystemBus = [] {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + PrivateSystemBus::socket()).toUtf8(), 1);
    ::testing::AddGlobalTestEnvironment(new PrivateSystemBus);
    return true;
}();

struct FakeUnit {
    QString name, description, active = "active", sub = "running", onStop = "stops";
};

class FakeSystemd {
public:
    explicit FakeSystemd(const std::vector<FakeUnit> &units) {
        QJsonArray list;
        for (const FakeUnit &u : units) {
            list.append(QJsonObject{{"name", u.name},
                                    {"description", u.description},
                                    {"active", u.active},
                                    {"sub", u.sub},
                                    {"onStop", u.onStop}});
        }
        mock.setStandardOutputFile(QProcess::nullDevice());
        mock.start(SYSTEM_PYTHON3, {"-m", "dbusmock", "--template", FAKE_SYSTEMD_TEMPLATE, "-p",
                                    QJsonDocument(QJsonObject{{"units", list}}).toJson()});
        running = waitFor([] { return registered(); }, 20000);
    }
    ~FakeSystemd() {
        mock.terminate();
        mock.waitForFinished();
        waitFor([] { return !registered(); }, 10000);
    }

    QString property(QString unit, const QString &name) const {
        for (QChar &c : unit) {
            c = c.isLetterOrNumber() ? c : QChar('_');
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.systemd1", "/org/freedesktop/systemd1/unit/" + unit,
            "org.freedesktop.DBus.Properties", "Get");
        call.setArguments({"org.freedesktop.systemd1.Unit", name});
        QDBusMessage reply = QDBusConnection::systemBus().call(call);
        return reply.arguments().value(0).value<QDBusVariant>().variant().toString();
    }

    bool running = false;

private:
    static bool registered() {
        return QDBusConnection::systemBus().interface()->isServiceRegistered(
            "org.freedesktop.systemd1");
    }

    QProcess mock;
};

class FakeProcTable {
public:
    // A process running under `name` from the executable `exe` ("" for one the
    // caller may not see) in the state `state` ("Z": exited, not yet reaped).
    void add(int pid, const QString &name, const QString &exe, const char *state) {
        const QString dir = root() + "/" + QString::number(pid);
        QDir().mkpath(dir);
        write(dir + "/comm", name + "\n");
        write(dir + "/stat", QString("%1 (%2) %3 1 1 1").arg(pid).arg(name).arg(state));
        QFile::link(exe, dir + "/exe");
    }
    QString root() const { return dir.path(); }

private:
    static void write(const QString &path, const QString &text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8());
    }

    QTemporaryDir dir;
};
