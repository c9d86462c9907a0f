// The program's log: every Qt message goes to a file per run in "log", to the
// console and, through logMessage, to the log window.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// Messages cross threads in queued signals.
Q_DECLARE_METATYPE(QtMsgType)

class KelLogger : public QObject {
    Q_OBJECT

public:
    // Creates "log" in the current directory when needed and opens this run's
    // file there; stays disabled when the directory cannot be made.
    KelLogger();
    // Closes the file. The message handler stays installed but no longer
    // reaches this object.
    ~KelLogger() override;

    bool isEnabled() const;
    QString logFilePath() const;

    // Whether library debug messages (levels above 6) reach the log; off by default.
    static void setVerbose(bool on);
    static bool isVerbose();

signals:
    // Always delivered in the logger's (the GUI) thread.
    void logMessage(QtMsgType type, QString msg);
    // Emitted in the thread that issued the message.
    void innerLogMessage(QtMsgType type, QString msg);

private:
    QString m_logFilePath;
    bool m_enabled = false;
};

// Qt message handler; install with qInstallMessageHandler once a logger is enabled.
void kelLogMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// Sink for the upgrade library's log routine (upg_log_set_callback): maps the
// library's syslog-style levels onto Qt message types.
void libraryLogSink(int level, const char *text);
