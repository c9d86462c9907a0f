#include "kellogger.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QReadWriteLock>
#include <QTextStream>

#include <atomic>
#include <cstdio>

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
    QFile *file = nullptr;
    QTextStream *stream = nullptr;
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
    QTextStream *stream = nullptr;
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        qWarning().noquote() << "Failed to open logfile:" << m_logFilePath;
    else
        stream = new QTextStream(file);

    m_enabled = true;
    connect(this, &KelLogger::innerLogMessage, this,
            [this](QtMsgType type, const QString &msg) { emit logMessage(type, msg); });

    LogState &s = state();
    QWriteLocker lock(&s.lifetime);
    // One logger at a time: a newer one takes over the handler's output.
    delete s.stream;
    delete s.file;
    s.logger = this;
    s.file = file;
    s.stream = stream;
}

KelLogger::~KelLogger() {
    LogState &s = state();
    QWriteLocker lock(&s.lifetime);
    if (s.logger != this)
        return;
    s.logger = nullptr;
    delete s.stream;
    s.stream = nullptr;
    if (s.file) {
        s.file->flush();
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
    if (!s.stream)
        return;

    QMutexLocker lock(&s.writeMutex);
    int lead = 0;
    while (lead < msg.size() && msg.at(lead) == QLatin1Char('\n'))
        ++lead;
    const QString prefix = QString(lead, QLatin1Char('\n')) + QLatin1String(prefixFor(type));
    const QString body = msg.mid(lead);

    fprintf(stdout, "%s%s\n", prefix.toLatin1().constData(), body.toLatin1().constData());
    fflush(stdout);

    *s.stream << prefix << "[" << QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss")
              << "] " << body << "\n";
    s.stream->flush();
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
