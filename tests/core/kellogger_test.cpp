// The logger: file name and line format, the handler, the library sink.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

#include <atomic>
#include <memory>

#include "kellogger.h"
#include "upg_log.h"

namespace {

QString readAll(const QString &path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
}

// Installs the handler for a test and restores Qt's default afterwards.
struct HandlerGuard {
    HandlerGuard() { qInstallMessageHandler(kelLogMessageHandler); }
    ~HandlerGuard() { qInstallMessageHandler(nullptr); }
};

const QString kTime = "\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ";

}  // namespace

TEST(KelLogger, WritesThisRunsFileWithPrefixesAndTime) {
    // Another logger of this test run in the same second would share the file.
    QDir("log").removeRecursively();
    KelLogger logger;
    ASSERT_TRUE(logger.isEnabled());
    const QString path = logger.logFilePath();
    EXPECT_TRUE(QRegularExpression("^" +
                                   QRegularExpression::escape(QDir::current().absolutePath()) +
                                   "/log/KelFlash_log_\\d{4}-\\d\\d-\\d\\d_\\d{6}\\.log$")
                    .match(path)
                    .hasMatch())
        << path.toStdString();
    {
        HandlerGuard h;
        qDebug("\n\nabc");
        qInfo() << "info" << 5;
        qWarning("careful");
        qCritical("broken");
    }
    const QString text = readAll(path);
    QRegularExpression re("^\n\n\\[debug\\] " + kTime + "abc\n\\[info \\] " + kTime +
                          "info 5\n\\[warn \\] " + kTime + "careful\n\\[error\\] " + kTime +
                          "broken\n$");
    EXPECT_TRUE(re.match(text).hasMatch()) << text.toStdString();
}

TEST(KelLogger, SignalsReachTheGuiThread) {
    KelLogger logger;
    QSignalSpy spy(&logger, &KelLogger::logMessage);
    HandlerGuard h;
    qWarning("from gui");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).value<QtMsgType>(), QtWarningMsg);
    EXPECT_EQ(spy.at(0).at(1).toString(), "from gui");

    QThread *gui = QThread::currentThread();
    QThread *seenIn = nullptr;
    QObject::connect(&logger, &KelLogger::logMessage, &logger,
                     [&](QtMsgType, const QString &) { seenIn = QThread::currentThread(); });
    std::unique_ptr<QThread> t(QThread::create([] { qDebug("from worker"); }));
    t->start();
    ASSERT_TRUE(t->wait(20000));
    for (int i = 0; i < 100 && spy.count() < 2; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(1).at(1).toString(), "from worker");
    EXPECT_EQ(seenIn, gui);
}

TEST(KelLogger, HandlerOutlivesTheLogger) {
    HandlerGuard h;
    std::atomic<bool> stop{false};
    std::unique_ptr<QThread> t(QThread::create([&] {
        while (!stop.load())
            qDebug("worker line");
    }));
    t->start();
    for (int i = 0; i < 20; ++i) {
        auto *logger = new KelLogger;
        QThread::msleep(2);
        delete logger;
    }
    qDebug("after the logger is gone");
    stop = true;
    ASSERT_TRUE(t->wait(20000));
    QCoreApplication::processEvents();
}

TEST(KelLogger, NoLogDirectoryMeansDisabled) {
    QDir::current().mkdir("blocked");
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent("blocked"));
    {
        QFile f("log");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));  // a file where the directory belongs
    }
    {
        KelLogger logger;
        EXPECT_FALSE(logger.isEnabled());
        EXPECT_TRUE(logger.logFilePath().isEmpty());
    }
    QDir::setCurrent(old);
}

namespace {

QList<QPair<QtMsgType, QString>> g_seen;
void recordHandler(QtMsgType t, const QMessageLogContext &ctx, const QString &m) {
    EXPECT_EQ(ctx.file, nullptr);
    g_seen.append({t, m});
}

}  // namespace

TEST(KelLogger, LibrarySinkMapsLevels) {
    g_seen.clear();
    qInstallMessageHandler(recordHandler);
    KelLogger::setVerbose(false);
    libraryLogSink(7, "debug off");
    libraryLogSink(8, "never");
    libraryLogSink(-1, "plain");
    libraryLogSink(3, "err");
    libraryLogSink(0, "emerg");
    libraryLogSink(1, "alert");
    libraryLogSink(4, "warn");
    libraryLogSink(6, "info");
    libraryLogSink(3, nullptr);
    KelLogger::setVerbose(true);
    libraryLogSink(7, "debug on");
    libraryLogSink(8, "never");
    libraryLogSink(-5, "never");
    KelLogger::setVerbose(false);
    qInstallMessageHandler(nullptr);

    const QList<QPair<QtMsgType, QString>> expect = {
        {QtDebugMsg, "plain"},   {QtCriticalMsg, "err"},  {QtCriticalMsg, "emerg"},
        {QtWarningMsg, "alert"}, {QtWarningMsg, "warn"},  {QtInfoMsg, "info"},
        {QtCriticalMsg, ""},     {QtDebugMsg, "debug on"}};
    EXPECT_EQ(g_seen, expect);
}

TEST(KelLogger, LibraryMessagesArePaddedInTheFile) {
    KelLogger logger;
    HandlerGuard h;
    upg_log_set_callback(libraryLogSink);
    upg_log_print(UPG_LOG_ERR, "image_hdr_read", 42, "Not supportted image file.");
    upg_log_set_callback(nullptr);
    const QString text = readAll(logger.logFilePath());
    const QString prefix = QString("image_hdr_read()42: ").leftJustified(40, ' ');
    EXPECT_TRUE(text.contains("[error] ") &&
                text.contains("] " + prefix + "Not supportted image file.\n"))
        << text.toStdString();
}

TEST(KelLogger, UnopenableFileStillFeedsTheLogWindow) {
    QDir::current().mkdir("ro");
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent("ro"));
    // Directories where this run's file would go, for the next few seconds.
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 5; ++i)
        QDir().mkpath("log/KelFlash_log_" + now.addSecs(i).toString("yyyy-MM-dd_hhmmss") + ".log");
    {
        KelLogger logger;
        EXPECT_TRUE(logger.isEnabled());
        QSignalSpy spy(&logger, &KelLogger::logMessage);
        HandlerGuard h;
        qInfo("still shown");
        EXPECT_EQ(spy.count(), 1);
    }
    QDir::setCurrent(old);
}

// A full disk costs the lines written meanwhile, not the rest of the run: once
// there is space again the file goes on, with a note of the gap. Run by the next
// test on a tiny file system of its own.
TEST(KelLogger, WritingGoesOnAfterADiskFullWithTheGapNoted) {
    if (!QDir::setCurrent(qEnvironmentVariable("KEL_TINY_FS"))) {
        GTEST_SKIP() << "run by KelLogger.LogsAgainAfterADiskFull";
    }
    KelLogger logger;
    const QString path = logger.logFilePath();
    HandlerGuard h;
    QFile filler("filler");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) > 0) {
    }
    // Lines fill what is left of the log file's last page until one fails.
    for (qint64 size = -1; size != QFileInfo(path).size();) {
        size = QFileInfo(path).size();
        qWarning("filling");
    }
    qWarning("lost as well");
    filler.remove();
    qWarning("after");
    const QString text = readAll(path);
    EXPECT_FALSE(text.contains("lost as well"));
    EXPECT_TRUE(QRegularExpression("(^|\n)\\[warn \\] " + kTime +
                                   "\\d+ log line\\(s\\) since [-\\d: ]+ could not be written: "
                                   "No space left on device\n\\[warn \\] " + kTime + "after\n$")
                    .match(text)
                    .hasMatch())
        << text.right(300).toStdString();
}

TEST(KelLogger, LogsAgainAfterADiskFull) {
    if (qEnvironmentVariableIsSet("KEL_TINY_FS")) {
        GTEST_SKIP();
    }
    QDir().mkpath("tinyfs");
    qputenv("KEL_TINY_FS", QDir::current().absoluteFilePath("tinyfs").toUtf8());
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    // A mount namespace of its own: the tmpfs is never seen outside the child.
    child.start("unshare", {"-m", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs -o size=64k kel-tiny \"$KEL_TINY_FS\" || exit 77; "
                            "exec \"$0\" --gtest_filter=*WritingGoesOnAfterADiskFull*",
                            QCoreApplication::applicationFilePath()});
    qunsetenv("KEL_TINY_FS");
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString out = QString::fromLocal8Bit(child.readAll());
    if (child.exitCode() == 77 || out.startsWith("unshare:")) {
        GTEST_SKIP() << "no private mount namespace here: " << out.toStdString();
    }
    EXPECT_TRUE(child.exitCode() == 0 && out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}
