#include "checkthread.h"

#include "procscan.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDebug>
#include <QFileInfo>
#include <QMetaEnum>
#include <QMutexLocker>

namespace {

constexpr int kCycleSleepMs = 1000;
constexpr int kWaitSliceMs = 100;
// Stray adb processes are forced at once: a hung adb ignores a polite request, and
// stop() runs on the GUI thread while the burn tab is being destroyed.
constexpr int kKillGraceMs = 0;

const char kBundledAdb[] = "adb/adb";
const char kAdbName[] = "adb";

QMutex g_programLock;
QString g_program;

// The executable name the clean-up ends.
std::string adbProcessName() {
    QMutexLocker lock(&g_programLock);
    if (g_program.isEmpty()) {
        return kAdbName;
    }
    return QFileInfo(g_program).fileName().toStdString();
}

}  // namespace

CheckThread::CheckThread() {
    qRegisterMetaType<QStringList>("QStringList");
}

CheckThread::~CheckThread() {
    // The loop must not outlive this object; without a stop it would poll forever.
    if (isRunning() && !m_stopped) {
        stop();
    }
    wait();
}

void CheckThread::pause() {
    if (!m_paused) {
        m_paused = true;
    }
}

void CheckThread::resume() {
    QMutexLocker locker(&m_flagMutex);
    if (m_paused) {
        m_paused = false;
        m_waitCondition.wakeAll();
    }
}

void CheckThread::stop() {
    {
        QMutexLocker locker(&m_flagMutex);
        m_stopped = true;
        // A paused watcher would otherwise wait forever and its owner, which stops
        // it on destruction, would never see the thread end.
        m_waitCondition.wakeAll();
    }
    int found = procscan::killByName(adbProcessName(), kKillGraceMs);
    if (found > 0) {
        qDebug() << "Killed" << found << "running adb process(es)";
    }
}

void CheckThread::setWaitTimes(int outputMs, int endMs) {
    m_outputWaitMs = outputMs;
    m_endWaitMs = endMs;
}

void CheckThread::setAdbProgram(const QString &program) {
    QMutexLocker lock(&g_programLock);
    g_program = program;
}

QString CheckThread::adbProgram() {
    {
        QMutexLocker lock(&g_programLock);
        if (!g_program.isEmpty()) {
            return g_program;
        }
    }
    const QString bundled = bundledAdbIn(QCoreApplication::applicationDirPath());
    return bundled.isEmpty() ? QString::fromLatin1(kAdbName) : bundled;
}

QString CheckThread::bundledAdbIn(const QString &programDir) {
    // Never the working directory: whoever can write the folder the program is
    // started in would have the operator run their program.
    if (programDir.isEmpty()) {
        return QString();
    }
    const QFileInfo bundled(QDir(programDir).filePath(QString::fromLatin1(kBundledAdb)));
    if (bundled.isFile() && bundled.isExecutable()) {
        return bundled.absoluteFilePath();
    }
    return QString();
}

QStringList CheckThread::parseIdentification(const QByteArray &output) {
    QByteArray raw = output;
    int nul = raw.indexOf('\0');
    if (nul >= 0) {
        raw.truncate(nul);
    }
    QString text = QString::fromLatin1(raw);
    if (!text.contains(QLatin1String("Linux"))) {
        return QStringList();
    }
    text.remove(QLatin1String("\r\r\n"));
    QStringList parts = text.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (parts.size() != 4) {
        return QStringList();
    }
    return parts;
}

void CheckThread::run() {
    m_process = new QProcess();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process, &QProcess::errorOccurred, this, &CheckThread::onProcessError,
            Qt::DirectConnection);

    while (!m_stopped) {
        runCycle();
        sleepBetweenCycles();
    }

    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(m_endWaitMs);
    }
    m_process->close();
    delete m_process;
    m_process = nullptr;
}

void CheckThread::runCycle() {
    QMutexLocker cycle(&m_mutex);
    {
        QMutexLocker locker(&m_flagMutex);
        while (m_paused && !m_stopped) {
            m_waitCondition.wait(&m_flagMutex);
        }
    }
    if (m_stopped) {
        return;
    }

    m_process->start(adbProgram(), {"shell", "uname", "-nsmr"}, QIODevice::ReadWrite);
    waitSliced(m_outputWaitMs, &CheckThread::waitOutput);

    QStringList sysInfo = parseIdentification(m_process->readAll());
    if (!sysInfo.isEmpty()) {
        emit adbDeviceFound(sysInfo);
    } else {
        emit adbDeviceAbsent();
    }

    if (!waitSliced(m_endWaitMs, &CheckThread::waitEnd)) {
        // A hung adb would keep the process object busy, and every later start
        // would fail; end it so that the next cycle polls afresh.
        m_process->kill();
        m_process->waitForFinished(m_endWaitMs);
    }
}

bool CheckThread::waitSliced(int timeoutMs, bool (CheckThread::*ready)(int)) {
    QDeadlineTimer deadline(timeoutMs);
    while (!m_stopped) {
        if (m_process->state() == QProcess::NotRunning) {
            // Output that arrived before the end is still in the buffer.
            return ready == &CheckThread::waitEnd || m_process->bytesAvailable() > 0;
        }
        int left = static_cast<int>(deadline.remainingTime());
        if (left <= 0) {
            return false;
        }
        if ((this->*ready)(qMin(left, kWaitSliceMs))) {
            return true;
        }
    }
    return false;
}

bool CheckThread::waitOutput(int sliceMs) {
    return m_process->waitForReadyRead(sliceMs);
}

bool CheckThread::waitEnd(int sliceMs) {
    return m_process->waitForFinished(sliceMs);
}

void CheckThread::sleepBetweenCycles() {
    QDeadlineTimer deadline(kCycleSleepMs);
    QMutexLocker locker(&m_flagMutex);
    while (!m_stopped && !deadline.hasExpired()) {
        m_waitCondition.wait(&m_flagMutex, deadline);
    }
}

void CheckThread::onProcessError(QProcess::ProcessError error) {
    const char *name = QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(error);
    qCritical() << "adb process error:" << (name ? name : "UnknownError");
}
