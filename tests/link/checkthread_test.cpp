// CheckThread against a scripted adb of the test's own, and against a private copy
// of the real adb with no board attached.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>

#include "checkthread.h"
#include "msg_capture.h"
#include "private_adb.h"
#include "procscan.h"
#include "qt_wait.h"

namespace {

constexpr int kFindMs = 10000;

QString readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
}

int lineCount(const QString &path) {
    return readAll(path).count('\n');
}

// Records adbDeviceFound in the GUI thread, through the queued connection the burn
// tab gets. (A QSignalSpy would record on the watcher thread while the test reads.)
class FoundSpy : public QObject {
public:
    explicit FoundSpy(CheckThread *thread) {
        connect(
            thread, &CheckThread::adbDeviceFound, this,
            [this](const QStringList &sysInfo) { found << sysInfo; }, Qt::QueuedConnection);
    }
    int count() const { return found.size(); }
    QStringList at(int i) const { return found.at(i); }

private:
    QList<QStringList> found;
};

class CheckThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath("adb");
        QFile::remove("adb/adb");
        QFile::remove("adb/calls.log");
        for (const QString &f : QDir("adb").entryList({"answer*"})) {
            QFile::remove("adb/" + f);
        }
        callLog = QDir::current().absoluteFilePath("adb/calls.log");
    }

    void TearDown() override {
        if (thread) {
            if (!thread->isFinished()) {
                thread->resume();
                thread->stop();
            }
            EXPECT_TRUE(thread->wait(15000));
        }
        adb.reset();
    }

    // A scripted adb: logs its arguments and prints "adb/answer<N>" on the N-th call
    // (the last one again once they run out), exactly as stored, line ends and all.
    void installFakeAdb(const QList<QByteArray> &answers, const char *extra = "") {
        QString dir = QDir::current().absoluteFilePath("adb");
        for (int i = 0; i < answers.size(); ++i) {
            QFile a(QString("%1/answer%2").arg(dir).arg(i + 1));
            ASSERT_TRUE(a.open(QIODevice::WriteOnly));
            a.write(answers[i]);
        }
        adb = std::make_unique<PrivateAdb>(QString("#!/bin/sh\n"
                                                   "d='%1'\n"
                                                   "echo \"$@\" >> \"$d/calls.log\"\n"
                                                   "n=$(wc -l < \"$d/calls.log\")\n"
                                                   "[ -f \"$d/answer$n\" ] || n=%2\n"
                                                   "%3\n"
                                                   "cat \"$d/answer$n\"\n")
                                               .arg(dir)
                                               .arg(answers.size())
                                               .arg(extra)
                                               .toLatin1());
    }

    void startThread() {
        thread = std::make_unique<CheckThread>();
        spy = std::make_unique<FoundSpy>(thread.get());
        thread->start();
    }

    std::unique_ptr<PrivateAdb> adb;
    std::unique_ptr<CheckThread> thread;
    std::unique_ptr<FoundSpy> spy;
    QString callLog;
};

}  // namespace

TEST(CheckThreadParse, AnswerFormats) {
    using L = QStringList;
    EXPECT_EQ(CheckThread::parseIdentification("Linux board1 4.9.88 armv7l\r\r\n"),
              (L{"Linux", "board1", "4.9.88", "armv7l"}));
    EXPECT_EQ(CheckThread::parseIdentification("Linux board1 4.9.88 armv7l\r\n"),
              (L{"Linux", "board1", "4.9.88", "armv7l\r\n"}));
    EXPECT_EQ(CheckThread::parseIdentification("Linux board1 4.9.88 armv7l"),
              (L{"Linux", "board1", "4.9.88", "armv7l"}));
    EXPECT_TRUE(CheckThread::parseIdentification("Linux board1  4.9.88 armv7l\r\r\n").isEmpty());
    EXPECT_TRUE(CheckThread::parseIdentification("error: no devices/emulators found\n").isEmpty());
    EXPECT_TRUE(
        CheckThread::parseIdentification("error: more than one device/emulator\n").isEmpty());
    EXPECT_TRUE(CheckThread::parseIdentification("Darwin mac 19.6.0 x86_64\r\r\n").isEmpty());
    EXPECT_TRUE(CheckThread::parseIdentification("linux board1 4.9.88 armv7l").isEmpty());
    EXPECT_TRUE(CheckThread::parseIdentification("").isEmpty());
    // Everything after a NUL byte is ignored.
    EXPECT_EQ(CheckThread::parseIdentification(QByteArray("Linux b 5.4 aarch64\0 x y", 24)),
              (L{"Linux", "b", "5.4", "aarch64"}));
    EXPECT_TRUE(
        CheckThread::parseIdentification(QByteArray("\0Linux b 5.4 aarch64", 20)).isEmpty());
}

TEST_F(CheckThreadTest, BundledAdbIsTakenFromBesideTheProgramOnly) {
    EXPECT_EQ(CheckThread::adbProgram(), "adb");
    QTemporaryDir programDir;
    for (const QString &dir : {QDir::currentPath(), programDir.path()}) {
        QDir(dir).mkpath("adb");
        QFile s(dir + "/adb/adb");
        ASSERT_TRUE(s.open(QIODevice::WriteOnly));
        s.write("#!/bin/sh\n");
        s.close();
        EXPECT_EQ(CheckThread::bundledAdbIn(programDir.path()), "");
        s.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // An adb planted in the working directory is never run.
    EXPECT_EQ(CheckThread::adbProgram(), "adb");
    EXPECT_EQ(CheckThread::bundledAdbIn(programDir.path()), programDir.path() + "/adb/adb");
}

TEST_F(CheckThreadTest, EmitsOnlyForOneLinuxBoardsFourFields) {
    installFakeAdb({"Linux board1  4.9.88 armv7l\r\r\n", "Linux board1 4.9.88 armv7l\r\n",
                    "Linux board1 4.9.88 armv7l\r\r\n"});
    startThread();

    ASSERT_TRUE(waitFor([&] { return spy->count() >= 2; }, kFindMs))
        << "calls: " << lineCount(callLog);
    // The first answer (two spaces, five fields) gave nothing.
    EXPECT_GE(lineCount(callLog), 3);
    EXPECT_EQ(spy->at(0), (QStringList{"Linux", "board1", "4.9.88", "armv7l\r\n"}));
    EXPECT_EQ(spy->at(1), (QStringList{"Linux", "board1", "4.9.88", "armv7l"}));
    EXPECT_TRUE(readAll(callLog).startsWith("shell uname -nsmr\n"));

    thread->stop();
    EXPECT_TRUE(thread->wait(5000));
}

TEST_F(CheckThreadTest, PauseTwiceThenResumeOnceRunsTheLoop) {
    installFakeAdb({"Linux board1 4.9.88 armv7l\r\r\n"});
    thread = std::make_unique<CheckThread>();
    spy = std::make_unique<FoundSpy>(thread.get());
    thread->pause();
    thread->pause();
    thread->start();
    // Longer than one polling period: a running loop would have called adb by now.
    QTest::qWait(1200);
    EXPECT_EQ(lineCount(callLog), 0);
    EXPECT_EQ(spy->count(), 0);

    thread->resume();
    EXPECT_TRUE(waitFor([&] { return spy->count() >= 1; }, kFindMs));
    EXPECT_GE(lineCount(callLog), 1);
}

TEST_F(CheckThreadTest, StopEndsAPausedWatcher) {
    // Its owner stops and then destroys it; a watcher left waiting for a resume
    // would block that destruction for ever.
    installFakeAdb({"error: no devices/emulators found\n"});
    thread = std::make_unique<CheckThread>();
    thread->pause();
    thread->start();
    QTest::qWait(200);
    QElapsedTimer t;
    t.start();
    thread->stop();
    EXPECT_TRUE(thread->wait(5000));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(lineCount(callLog), 0);
}

TEST_F(CheckThreadTest, StopEndsAHungAdbAtOnce) {
    // An adb that never answers nor ends, and shrugs off a polite SIGTERM.
    installFakeAdb({"never\n"}, "trap '' TERM; while :; do sleep 0.1; done");
    startThread();
    ASSERT_TRUE(waitFor([&] { return lineCount(callLog) >= 1; }, kFindMs));
    QTest::qWait(200);
    ASSERT_FALSE(procscan::findByName(adb->name()).empty());

    QElapsedTimer t;
    t.start();
    thread->stop();
    EXPECT_TRUE(thread->wait(10000));
    // Far below the 30 s the watcher would otherwise wait for output.
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_EQ(spy->count(), 0);
}

TEST_F(CheckThreadTest, AHungAdbIsEndedAndTheNextCyclePollsAfresh) {
    // The first call hangs for ever; a process object still busy with it would refuse
    // every later start and the board that answers next would never be seen.
    installFakeAdb({"", "Linux board1 4.9.88 armv7l\r\r\n"},
                   "[ \"$n\" = 1 ] && while :; do sleep 0.1; done");
    thread = std::make_unique<CheckThread>();
    thread->setWaitTimes(300, 300);
    spy = std::make_unique<FoundSpy>(thread.get());
    thread->start();

    ASSERT_TRUE(waitFor([&] { return spy->count() >= 1; }, kFindMs))
        << "calls: " << lineCount(callLog);
    EXPECT_EQ(spy->at(0), (QStringList{"Linux", "board1", "4.9.88", "armv7l"}));
    EXPECT_GE(lineCount(callLog), 2);
}

TEST_F(CheckThreadTest, MissingAdbIsLoggedEveryCycleAndTheLoopGoesOn) {
    adb = std::make_unique<PrivateAdb>();  // names a program that does not exist
    MsgCapture msgs;

    startThread();
    bool twice = waitFor([&] { return msgs.count("FailedToStart") >= 2; }, kFindMs);
    thread->stop();
    EXPECT_TRUE(thread->wait(5000));

    EXPECT_TRUE(twice) << msgs.of(QtCriticalMsg).join('|').toStdString();
    EXPECT_EQ(spy->count(), 0);
}

TEST_F(CheckThreadTest, RealAdbWithoutBoardAndItsServerIsKilledOnStop) {
    // A server of our own: its own port and its own key directory.
    QByteArray savedHome = qgetenv("HOME");
    QByteArray savedPort = qgetenv("ANDROID_ADB_SERVER_PORT");
    qputenv("HOME", QDir::currentPath().toLatin1());
    qputenv("ANDROID_ADB_SERVER_PORT", QByteArray::number(20000 + getpid() % 20000));
    // The real adb under a name of its own: its server is the only one stop() ends.
    const QString real = QStandardPaths::findExecutable("adb");
    ASSERT_FALSE(real.isEmpty()) << "adb is not installed";
    adb = std::make_unique<PrivateAdb>();
    ASSERT_TRUE(adb->copyFrom(QFileInfo(real).canonicalFilePath()));
    ASSERT_EQ(CheckThread::adbProgram(), adb->path());

    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(adb->path(), {"shell", "uname", "-nsmr"});
    ASSERT_TRUE(probe.waitForFinished(20000));
    QByteArray answer = probe.readAll();
    EXPECT_TRUE(answer.contains("error: no devices/emulators found")) << answer.toStdString();
    EXPECT_TRUE(CheckThread::parseIdentification(answer).isEmpty());

    std::vector<int64_t> servers = procscan::findByName(adb->name());
    EXPECT_FALSE(servers.empty()) << "the adb server should still be running";

    startThread();
    QTest::qWait(1200);
    EXPECT_EQ(spy->count(), 0);
    thread->stop();
    EXPECT_TRUE(thread->wait(10000));
    for (int64_t pid : servers) {
        EXPECT_FALSE(procscan::isAlive(pid)) << "adb process " << pid << " survived stop()";
    }

    qputenv("HOME", savedHome);
    if (savedPort.isNull()) {
        qunsetenv("ANDROID_ADB_SERVER_PORT");
    } else {
        qputenv("ANDROID_ADB_SERVER_PORT", savedPort);
    }
}
