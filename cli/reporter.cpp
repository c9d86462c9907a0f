#include "reporter.h"

#include <QJsonDocument>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "cli.h"
#include "upg_log.h"

Reporter &Reporter::instance() {
    static Reporter reporter;
    return reporter;
}

void Reporter::begin(bool json) {
    QMutexLocker lock(&m_lock);
    m_json = json;
    m_tty = !json && isatty(STDERR_FILENO);
    m_boardLines = false;
    m_barOpen = false;
    m_linesDrawn = 0;
    m_resultGiven.store(false);
}

void Reporter::nameBoards(bool on) {
    {
        QMutexLocker lock(&m_lock);
        m_boardLines = on;
    }
    upg_log_name_boards(on ? 1 : 0);
}

void Reporter::installHandlers(bool libraryLines) {
    m_previous = qInstallMessageHandler(messageHandler);
    if (libraryLines)
        upg_log_set_callback(librarySink);
}

void Reporter::end() {
    nameBoards(false);
    clearProgress();
    upg_log_name_boards(0);
    kelcli_install_log_sink();
    qInstallMessageHandler(m_previous);
    m_previous = nullptr;
}

void Reporter::clearLocked() {
    if (m_barOpen) {
        fputs("\r\033[K", stderr);
        m_barOpen = false;
    }
    if (m_linesDrawn > 0) {
        fprintf(stderr, "\033[%dA\r\033[J", m_linesDrawn);
        m_linesDrawn = 0;
    }
}

void Reporter::clearProgress() {
    QMutexLocker lock(&m_lock);
    clearLocked();
    fflush(stderr);
}

void Reporter::sayLocked(const QString &text) {
    clearLocked();
    fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    fflush(stderr);
}

void Reporter::say(const QString &text) {
    QMutexLocker lock(&m_lock);
    sayLocked(text);
}

void Reporter::emitJsonLocked(QJsonObject obj, const QString &board) {
    if (!board.isEmpty())
        obj.insert(QStringLiteral("board"), board);
    const QByteArray line = QJsonDocument(obj).toJson(QJsonDocument::Compact);
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void Reporter::emitJson(QJsonObject obj, const QString &board) {
    QMutexLocker lock(&m_lock);
    emitJsonLocked(std::move(obj), board);
}

void Reporter::drawBar(const QString &line) {
    QMutexLocker lock(&m_lock);
    fprintf(stderr, "\r\033[K%s", line.toLocal8Bit().constData());
    fflush(stderr);
    m_barOpen = true;
}

void Reporter::drawLines(const QStringList &lines) {
    QMutexLocker lock(&m_lock);
    clearLocked();
    for (const QString &l : lines)
        fprintf(stderr, "%s\n", l.toLocal8Bit().constData());
    fflush(stderr);
    m_linesDrawn = lines.size();
}

void Reporter::addFailure(QJsonObject *obj, const Failure &why) {
    obj->insert(QStringLiteral("message"), why.message());
    if (why.code() != Failure::None)
        obj->insert(QStringLiteral("code"), why.codeName());
}

int Reporter::failEarly(const QString &command, const QString &message, int status,
                        const QString &board, Failure::Code code) {
    {
        QMutexLocker lock(&m_lock);
        if (m_resultGiven.exchange(true))
            return status;
        if (m_json) {
            QJsonObject o{{"event", "result"}, {"ok", false}, {"bytes", 0}, {"seconds", 0}};
            addFailure(&o, Failure(code, message));
            emitJsonLocked(o, board);
        }
        clearLocked();
    }
    const QByteArray text = message.toLocal8Bit();
    if (status == KELCLI_USAGE)
        return kelcli_usage_error(command.toLocal8Bit().constData(), "%s", text.constData());
    kelcli_fail("%s", text.constData());
    return status;
}

void Reporter::quitNow(const QString &message, bool withResult, quint64 bytes, double seconds,
                       const QString &board) {
    // A thread that holds the lock may be stuck writing to a full pipe; the
    // last word is written all the same.
    const bool locked = m_lock.tryLock(500);
    if (!withResult || takeResult()) {
        sayLocked(QStringLiteral("kelflash-cli: ") + message);
        if (withResult && m_json) {
            QJsonObject o{{"event", "result"},
                          {"ok", false},
                          {"bytes", double(bytes)},
                          {"seconds", qRound(seconds * 1000) / 1000.0}};
            addFailure(&o, Failure(Failure::Interrupted, message));
            emitJsonLocked(o, board);
        }
    }
    if (locked)
        m_lock.unlock();
    std::_Exit(KELCLI_FAIL);
}

// Every line says which board it is about when a worker for a board wrote it
// and several boards run at once. The link confirms every work-mode switch at
// warning level; on the way into U-Boot that happens on every burn, so the
// confirmation shows only on request (a refused switch is an error and always
// shows).
void Reporter::messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    const QString text = msg.trimmed();
    const bool routine =
        type == QtWarningMsg && text.startsWith(QLatin1String("Set upg work mode:"));
    const bool show = (type != QtDebugMsg && type != QtInfoMsg && !routine) || kelcli_verbose();
    if (!show || text.isEmpty())
        return;
    Reporter &r = instance();
    const QString board = r.m_boardLines ? QString::fromLocal8Bit(upg_log_board()) : QString();
    const char *level = type == QtCriticalMsg || type == QtFatalMsg ? "error: "
                        : type == QtWarningMsg                      ? "warning: "
                                                                    : "";
    QMutexLocker lock(&r.m_lock);
    r.sayLocked((board.isEmpty() ? QString() : QStringLiteral("[%1] ").arg(board)) +
                QLatin1String(level) + text);
}

// Library lines are the detail behind the worker's own messages; during a
// board's expected departure they are noise, so they show only on request.
void Reporter::librarySink(int, const char *text) {
    if (!kelcli_verbose())
        return;
    Reporter &r = instance();
    QMutexLocker lock(&r.m_lock);
    r.sayLocked(QString::fromLocal8Bit(text ? text : ""));
}
