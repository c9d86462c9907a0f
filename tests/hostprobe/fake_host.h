// What the environment checker looks at, owned by the test: a host's files in a
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
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <ostream>

#include "hostchecks.h"
#include "qt_wait.h"

inline void PrintTo(const QString &text, std::ostream *os) {
    *os << text.toStdString();
}

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

// The files of a host in a directory: a process table, /sys, /dev, /etc and udev
// rule folders, as the environment checker reads them. A fresh tree is a host
// with nothing to report: adb is installed, nothing else is there.
class FakeHostTree {
public:
    FakeHostTree() {
        QDir().mkpath(path("proc"));
        file("usr/bin/adb", "", 0755);
    }

    // A process running under `name` from the executable `exe` ("" for one the
    // caller may not see) in the state `state` ("Z": exited, not yet reaped).
    void add(int pid, const QString &name, const QString &exe, const char *state) {
        const QString dir = QString("proc/%1/").arg(pid);
        file(dir + "comm", name + "\n");
        file(dir + "stat", QString("%1 (%2) %3 1 1 1").arg(pid).arg(name).arg(state));
        QFile::link(exe, path(dir + "exe"));
    }
    // A process of user `uid` running with the supplementary groups `groups`.
    void process(qint64 pid, const QString &name, uint uid, const QString &groups) {
        const QString dir = QString("proc/%1/").arg(pid);
        file(dir + "comm", name + "\n");
        file(dir + "stat", QString("%1 (%2) S 1 1 1").arg(pid).arg(name));
        file(dir + "status", QString("Name:\t%1\nUid:\t%2\t%2\t%2\t%2\nGroups:\t%3\n")
                                 .arg(name)
                                 .arg(uid)
                                 .arg(groups));
    }
    void file(const QString &rel, const QString &text, int mode = 0644, int gid = 0) {
        QDir().mkpath(QFileInfo(path(rel)).path());
        QFile f(path(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << rel.toStdString();
        f.write(text.toUtf8());
        f.close();
        ASSERT_EQ(chmod(QFile::encodeName(path(rel)), mode_t(mode)), 0);
        ASSERT_EQ(chown(QFile::encodeName(path(rel)), 0, gid_t(gid)), 0);
    }
    void link(const QString &rel, const QString &target) {
        QDir().mkpath(QFileInfo(path(rel)).path());
        ASSERT_TRUE(QFile::link(target, path(rel))) << rel.toStdString();
    }
    QString read(const QString &rel) const {
        QFile f(path(rel));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString path(const QString &rel) const { return dir.filePath(rel); }

    // The host seen by operator `uid`. Commands are noted rather than run, except
    // usermod, which works on the tree itself (its --root).
    hostchecks::Host host(uint uid = 0) const {
        hostchecks::Host h = hostchecks::operatorHost();
        h.root = dir.path();
        h.uid = uid;
        h.sessionPid = 0;
        h.programDir = path("opt/kelflash");
        const hostchecks::Runner real = h.run;
        std::shared_ptr<QStringList> log = commands;
        h.run = [real, log](const QString &program, const QStringList &args, QString *error) {
            log->append(program + " " + args.join(' '));
            return program == "usermod" ? real(program, args, error) : true;
        };
        return h;
    }
    std::shared_ptr<QStringList> commands = std::make_shared<QStringList>();

private:
    QTemporaryDir dir;
};

using FakeProcTable = FakeHostTree;
