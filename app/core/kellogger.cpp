#include "kellogger.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QReadWriteLock>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Shared by the logger and the handler, which runs in whatever thread logs.
// `lifetime` guards the three pointers: the handler holds it for reading while
// it uses them, the destructor for writing while it clears them, so a message
// from a worker thread never reaches a logger that is being destroyed. It is
// recursive because a slot reached from the handler (the log window) may log
// again. `writeMutex` only serialises the console and file lines.
struct LogState {
    QReadWriteLock lifetime{QReadWriteLock::Recursive};
    QMutex writeMutex;
    KelLogger *logger = nullptr;
    // Unbuffered, and written line by line: a line that cannot be written (a full
    // disk) is lost alone, and the next one is tried afresh.
    QFile *file = nullptr;
    // Lines lost since the last one that reached the file, the time of the first
    // of them and why; noted in the file once writing works again.
    int lostLines = 0;
    QString lostSince;
    QString lostReason;
    // A line was cut short by the failure: the note starts on a line of its own.
    bool lineCut = false;
};

LogState &state() {
    // Never destroyed: a thread may still log while the process exits.
    static LogState *s = new LogState;
    return *s;
}

std::atomic<bool> g_verbose{false};

const char *prefixFor(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return "[debug] ";
        case QtInfoMsg:
            return "[info ] ";
        case QtWarningMsg:
            return "[warn ] ";
        case QtCriticalMsg:
            return "[error] ";
        case QtFatalMsg:
            return "[fatal] ";
    }
    return "";
}

}  // namespace

KelLogger::KelLogger() {
    qRegisterMetaType<QtMsgType>("QtMsgType");

    QDir dir = QDir::current();
    if (!dir.cd("log")) {
        if (!dir.mkdir("log") || !dir.cd("log")) {
            qCritical() << "Failed to create log path!";
            return;
        }
    }
    const QString stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd_hhmmss");
    m_logFilePath = dir.absolutePath() + "/KelFlash_log_" + stamp + ".log";
    qDebug().noquote() << "Log file:" << m_logFilePath;

    auto *file = new QFile(m_logFilePath);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text |
                    QIODevice::Unbuffered)) {
        qWarning().noquote() << "Failed to open logfile:" << m_logFilePath;
        delete file;
        file = nullptr;
    }

    m_enabled = true;
    connect(this, &KelLogger::innerLogMessage, this,
            [this](QtMsgType type, const QString &msg) { emit logMessage(type, msg); });

    LogState &s = state();
    QWriteLocker lock(&s.lifetime);
    // One logger at a time: a newer one takes over the handler's output.
    delete s.file;
    s.logger = this;
    s.file = file;
    s.lostLines = 0;
    s.lineCut = false;
}

KelLogger::~KelLogger() {
    LogState &s = state();
    QWriteLocker lock(&s.lifetime);
    if (s.logger != this)
        return;
    s.logger = nullptr;
    if (s.file) {
        s.file->close();
        delete s.file;
        s.file = nullptr;
    }
}

bool KelLogger::isEnabled() const {
    return m_enabled;
}

QString KelLogger::logFilePath() const {
    return m_logFilePath;
}

void KelLogger::setVerbose(bool on) {
    g_verbose.store(on);
}

bool KelLogger::isVerbose() {
    return g_verbose.load();
}

void kelLogMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    LogState &s = state();
    QReadLocker lifetime(&s.lifetime);
    if (s.logger)
        emit s.logger->innerLogMessage(type, msg);
    if (!s.file)
        return;

    QMutexLocker lock(&s.writeMutex);
    int lead = 0;
    while (lead < msg.size() && msg.at(lead) == QLatin1Char('\n'))
        ++lead;
    const QString prefix = QString(lead, QLatin1Char('\n')) + QLatin1String(prefixFor(type));
    const QString body = msg.mid(lead);

    fprintf(stdout, "%s%s\n", prefix.toLatin1().constData(), body.toLatin1().constData());
    fflush(stdout);

    const QString now = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss");
    QByteArray line;
    if (s.lostLines > 0) {
        // Writing works again: the file says what it is missing.
        line = QStringLiteral("%1[warn ] [%2] %3 log line(s) since %4 could not be written: %5\n")
                   .arg(s.lineCut ? QStringLiteral("\n") : QString(), now)
                   .arg(s.lostLines)
                   .arg(s.lostSince, s.lostReason)
                   .toUtf8();
    }
    line += (prefix + "[" + now + "] " + body + "\n").toUtf8();
    s.file->unsetError();
    const qint64 sizeBefore = s.file->size();
    errno = 0;
    if (s.file->write(line) == line.size()) {
        s.lostLines = 0;
        s.lineCut = false;
        return;
    }
    const int error = errno;
    s.lineCut = s.lineCut || s.file->size() != sizeBefore;
    if (s.lostLines == 0) {
        s.lostSince = now;
        s.lostReason = error != 0 ? QString::fromLocal8Bit(strerror(error)) : s.file->errorString();
    }
    ++s.lostLines;
}

void libraryLogSink(int level, const char *text) {
    if (level > 6 && !g_verbose.load())
        return;
    QtMsgType type;
    switch (level) {
        case -1:
        case 7:
            type = QtDebugMsg;
            break;
        case 0:
        case 2:
        case 3:
            type = QtCriticalMsg;
            break;
        case 1:
        case 4:
        case 5:
            type = QtWarningMsg;
            break;
        case 6:
            type = QtInfoMsg;
            break;
        default:
            return;
    }
    const QString msg = text ? QString::fromUtf8(text) : QString();
    // No source context: the library's text already names function and line.
    QMessageLogger logger;
    switch (type) {
        case QtDebugMsg:
            logger.debug().noquote() << msg;
            break;
        case QtInfoMsg:
            logger.info().noquote() << msg;
            break;
        case QtWarningMsg:
            logger.warning().noquote() << msg;
            break;
        default:
            logger.critical().noquote() << msg;
            break;
    }
}
