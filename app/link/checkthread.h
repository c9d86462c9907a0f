#pragma once

#include <QMutex>
#include <QProcess>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// Watches, about once a second, for a board that runs Linux and answers through adb,
// and hands its identification to the burn tab. Also cleans up stray adb processes
// when stopped. Not a KelThread: it works on no image and reports no progress.
class CheckThread : public QThread {
    Q_OBJECT

public:
    CheckThread();
    ~CheckThread() override;

    void pause();
    void resume();
    void stop();

    // The adb program the tool runs: the bundled "adb/adb" beside the program
    // when present, otherwise the one on the PATH.
    static QString adbProgram();
    // The bundled adb below `programDir`; empty when there is none.
    static QString bundledAdbIn(const QString &programDir);
    // Replaces that program for the whole process (an empty path returns to the
    // usual search). The clean-up on stop() then ends the processes named after
    // this program instead of every "adb": a test that brings its own adb under
    // a name of its own can never end an adb it did not start.
    static void setAdbProgram(const QString &program);

    // Turns adb's answer to "uname -nsmr" into its four fields; empty when the answer
    // is not one Linux board's identification.
    static QStringList parseIdentification(const QByteArray &output);

    // How long one cycle waits for adb's output and then for its end (30 s each by
    // default); tests shorten them to drive a hung adb. Call before start().
    void setWaitTimes(int outputMs, int endMs);

signals:
    void adbDeviceFound(QStringList sysInfo);
    // A cycle in which no Linux board answered.
    void adbDeviceAbsent();

protected:
    void run() override;

private slots:
    void onProcessError(QProcess::ProcessError error);

private:
    // Waits for `ready` in short slices so that a stop ends the wait without
    // depending on the kill reaching this thread's adb in time.
    bool waitSliced(int timeoutMs, bool (CheckThread::*ready)(int));
    bool waitOutput(int sliceMs);
    bool waitEnd(int sliceMs);
    void runCycle();
    void sleepBetweenCycles();

    QProcess *m_process = nullptr;
    QMutex m_mutex;
    QWaitCondition m_waitCondition;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_stopped{false};
    // Guards only the flag changes and the wake-ups, never a cycle, so that resume()
    // and stop() from the GUI thread return at once and no wake-up is lost.
    QMutex m_flagMutex;
    int m_outputWaitMs = 30000;
    int m_endWaitMs = 30000;
};
