// The process scan and kill behind the adb clean-up, on throwaway programs with
// names of their own so that nothing else on the machine is touched.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "procscan.h"

namespace {

// A unique executable name (at most 15 characters, all of it kept in comm).
std::string uniqueName(const char *tag) {
    return std::string("ks") + tag + std::to_string(getpid() % 100000);
}

QString writeScript(const QTemporaryDir &dir, const std::string &name, const char *body) {
    QString path = dir.filePath(QString::fromStdString(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.write(body);
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// Starts the script and waits until the listing finds it by name and its
// shell has had time to install any trap.
bool startListed(QProcess &p, const QString &script, const std::string &name) {
    p.start(script, QStringList());
    if (!p.waitForStarted(5000))
        return false;
    QElapsedTimer t;
    t.start();
    while (procscan::findByName(name).empty() && t.elapsed() < 5000) {
        usleep(20 * 1000);
    }
    usleep(200 * 1000);
    return procscan::isAlive(p.processId());
}

bool contains(const std::vector<int64_t> &pids, int64_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

}  // namespace

TEST(ProcScanTest, NothingRunningMeansNothingSignalled) {
    std::string name = uniqueName("none");
    EXPECT_TRUE(procscan::findByName(name).empty());
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(procscan::killByName(name, 3000), 0);
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_TRUE(procscan::findByName("").empty());
}

TEST(ProcScanTest, FindsAndEndsProcessesByName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::string name = uniqueName("term");
    QString script = writeScript(dir, name, "while :; do sleep 0.1; done\n");

    QProcess a, b;
    a.start(script, QStringList());
    b.start(script, QStringList());
    ASSERT_TRUE(a.waitForStarted(5000));
    ASSERT_TRUE(b.waitForStarted(5000));

    std::vector<int64_t> found;
    QElapsedTimer t;
    t.start();
    while (found.size() < 2 && t.elapsed() < 5000) {
        found = procscan::findByName(name);
        usleep(20 * 1000);
    }
    EXPECT_TRUE(contains(found, a.processId()));
    EXPECT_TRUE(contains(found, b.processId()));
    EXPECT_FALSE(contains(procscan::findByName("sleep"), getpid()));

    EXPECT_EQ(procscan::killByName(name, 3000), 2);
    // They are our children: once reaped they must have died of SIGTERM.
    EXPECT_TRUE(a.waitForFinished(5000));
    EXPECT_TRUE(b.waitForFinished(5000));
    EXPECT_EQ(a.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(procscan::findByName(name).empty());
    EXPECT_FALSE(procscan::isAlive(a.processId()));
}

TEST(ProcScanTest, ForcesAProcessThatIgnoresTerminate) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::string name = uniqueName("stub");
    QString script = writeScript(dir, name, "trap '' TERM\nwhile :; do sleep 0.1; done\n");

    QProcess p;
    ASSERT_TRUE(startListed(p, script, name));

    QElapsedTimer t;
    t.start();
    EXPECT_EQ(procscan::killByName(name, 300), 1);
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(procscan::findByName(name).empty());
}

TEST(ProcScanTest, NoGraceForcesAtOnceWithoutAsking) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::string name = uniqueName("kill");
    QString marker = dir.filePath("asked");
    QString body = QString("trap 'echo > \"%1\"' TERM\nwhile :; do sleep 0.1; done\n").arg(marker);
    QString script = writeScript(dir, name, body.toLatin1().constData());

    QProcess p;
    ASSERT_TRUE(startListed(p, script, name));

    EXPECT_EQ(procscan::killByName(name, 0), 1);
    EXPECT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
    // Its TERM handler never ran: the kill was the first and only signal.
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_TRUE(procscan::findByName(name).empty());
}

TEST(ProcScanTest, AnotherUsersProcessIsNeitherListedNorEnded) {
    if (getuid() != 0) {
        GTEST_SKIP() << "starting a process as another user needs root";
    }
    // A directory the other user can reach, with a program of the same name as ours.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadOther | QFile::ExeOther);
    std::string name = uniqueName("user");
    QString script = writeScript(dir, name, "while :; do sleep 0.1; done\n");
    QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                      QFile::ExeOther);

    QProcess other;
    other.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", script});
    ASSERT_TRUE(other.waitForStarted(5000));
    // Until setpriv has become the script.
    QElapsedTimer t;
    t.start();
    for (;;) {
        QFile comm(QString("/proc/%1/comm").arg(other.processId()));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.c_str()) {
            break;
        }
        ASSERT_LT(t.elapsed(), 5000);
        usleep(20 * 1000);
    }

    EXPECT_TRUE(procscan::findByName(name).empty());
    EXPECT_EQ(procscan::killByName(name, 0), 0);
    EXPECT_TRUE(procscan::isAlive(other.processId()));
    other.kill();
    other.waitForFinished(5000);
}
