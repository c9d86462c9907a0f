// Everything a command says while a job runs goes through here: log lines, the
// progress bar or progress lines on a terminal, plain lines otherwise, and JSON
// lines on stdout. One lock keeps them from cutting into each other, whichever
// thread writes (the message handler runs on every worker's thread).
#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>

#include "failure.h"

class Reporter {
public:
    // The one reporter of the process.
    static Reporter &instance();

    // How this command's output looks from now on.
    void begin(bool json);
    // A log line written for a board begins with "[location] " (several boards
    // at once), the library's lines too.
    void nameBoards(bool on);
    // Routes Qt's messages here until end(), and the upgrade library's too
    // unless it keeps the command line's usual sink.
    void installHandlers(bool libraryLines = true);
    void end();

    // Library debug lines and routine messages are shown too (-v).
    void setVerbose(bool on) { m_verbose.store(on); }
    bool verbose() const { return m_verbose.load(); }

    bool json() const { return m_json; }
    // Progress is drawn in place (stderr is a terminal and there is no JSON).
    bool tty() const { return m_tty; }

    // One JSON object as a line on stdout; `board` is added as "board".
    void emitJson(QJsonObject obj, const QString &board = QString());
    // A line on stderr below whatever progress was drawn.
    void say(const QString &text);
    // The progress bar of one job on the current line.
    void drawBar(const QString &line);
    // Progress lines of several jobs, replacing those drawn last.
    void drawLines(const QStringList &lines);
    void clearProgress();

    // The one result of a one-job command: true for the first caller only.
    bool takeResult() { return !m_resultGiven.exchange(true); }
    bool resultGiven() const { return m_resultGiven.load(); }
    // A result the command gives before its job could run, with --json its
    // result line too; returns status.
    int failEarly(const QString &command, const QString &message, int status,
                  const QString &board = QString(),
                  Failure::Code code = Failure::None);
    // The JSON result line's fields for a failure: "message" and "code".
    static void addFailure(QJsonObject *obj, const Failure &why);

    // Ends the program at once from any thread with "kelflash-cli: <message>"
    // and, for a one-job command whose result is not out yet, its result line.
    [[noreturn]] void quitNow(const QString &message, bool withResult, quint64 bytes = 0,
                              double seconds = 0, const QString &board = QString());

    // The lock the output is written under, for a writer that must do several
    // things at once (a signal's last word).
    QMutex &lock() { return m_lock; }
    void sayLocked(const QString &text);
    void emitJsonLocked(QJsonObject obj, const QString &board = QString());

private:
    Reporter() = default;
    void clearLocked();
    static void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg);
    static void librarySink(int level, const char *text);

    QMutex m_lock;
    bool m_json = false;
    bool m_tty = false;
    bool m_boardLines = false;
    // A bar waits on the terminal's current line / lines drawn below the output.
    bool m_barOpen = false;
    int m_linesDrawn = 0;
    std::atomic<bool> m_resultGiven{false};
    std::atomic<bool> m_verbose{false};
    QtMessageHandler m_previous = nullptr;
};
