// One burn of one board, whoever asked for it (the window, the command line, a
// station of many boards): it makes the link, reads what the board reports,
// runs the worker and turns everything that happens into one stream of typed
// events, the last of which is the job's result.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <vector>

#include "burnthread.h"
#include "failure.h"
#include "partitionselection.h"

class ImageFile;
class KelLinker;

struct BurnRequest {
    enum LinkKind { Usb, Serial, Adb };

    // Not owned; its header is loaded and it outlives the session.
    ImageFile *image = nullptr;
    LinkKind link = Usb;
    // A USB location ("1:2-3") or a serial port; for adb, the host name shown.
    QString location;
    // Empty: every component. Copied; entries the image does not list are ignored.
    std::vector<PartitionSelection> selection;
    // Resends allowed over the whole job (0 counts as 1).
    int retries = 1;
    bool reboot = true;
    // Burn even when the board does not answer the information query; a board
    // in U-Boot is switched into upgrade work mode as it is asked.
    bool force = false;
    bool verify = false;
    // How long a serial line may take for its handshake (0: the link's default).
    int serialConnectWaitMs = 0;
    // Every line logged for this board begins with "[location] " (several
    // boards at once).
    bool nameBoard = false;
    // What the adb start runs (Adb only).
    QString adbProgram = QStringLiteral("adb");
};

// What a finished job leaves behind: enough for a result line and for a record
// of the board.
struct BurnResult {
    QDateTime started;  // UTC, as the session was opened
    QDateTime ended;    // UTC
    quint64 bytes = 0;
    int retries = 0;
    int componentsDone = 0;
    // None when the whole image was burnt.
    Failure failure;
    // The component the job was at when it failed; empty on success.
    QString component;
    QString location;
    // "usb", "serial" or "adb".
    QString link;
    // The information text the board reported, and its chip identifier.
    QString info;
    QByteArray chipId;

    bool ok() const { return !failure; }
    double seconds() const { return started.msecsTo(ended) / 1000.0; }
};

struct BurnEvent {
    enum Kind {
        // The board's information was read (info, chipId); before the job runs.
        BoardInfo,
        // The worker has begun with the image.
        Started,
        // The link to the board is open (name).
        Linked,
        ComponentStarted,  // index, name, size
        ComponentDone,     // index, name, skipped
        Progress,          // bytes
        // The board is back, running U-Boot.
        StageChanged,
        // The job waits for the board (wait: a BurnThread::Wait value).
        Waiting,
        Retry,  // index, name, count
        // The job is over (result); always the last event.
        Result,
    };

    Kind kind = Result;
    QString location;
    int index = -1;
    QString name;
    quint64 size = 0;
    quint64 bytes = 0;
    bool skipped = false;
    int count = 0;
    int wait = 0;
    QString info;
    // Result only.
    BurnResult result;
};

class BurnSession : public QObject {
    Q_OBJECT

public:
    // With `link` the session burns through a link the caller keeps (the window
    // reads boards through its own link between jobs) and whose information
    // was read already; without it the session makes its own from the request.
    explicit BurnSession(const BurnRequest &request, KelLinker *link = nullptr,
                         QObject *parent = nullptr);
    // Stops a running job and waits for it.
    ~BurnSession() override;

    // Reads the board's information (the session's own link only; blocks). False
    // with failure() set when the board cannot be reached, or does not answer
    // without force; true otherwise, with answered() telling which.
    bool open();
    bool answered() const { return m_answered; }
    // Makes the worker without starting it (a caller that relays its signals
    // connects them first); start() does so when it was not done.
    BurnThread *prepare();
    // Starts the worker; the events follow, ending with Result.
    void start();
    void pause();
    void resume();
    // Asks the job to stop after the current transfer.
    void stop();
    // Ends the session without a job (a failed open, a board left alone):
    // sends the Result event with this failure.
    void finishWithout(const Failure &why);

    const BurnRequest &request() const { return m_request; }
    KelLinker *link() const { return m_link; }
    // The worker once started; the window's page adopts it (and then owns it).
    BurnThread *worker() const { return m_worker.data(); }
    void handWorkerOver() { m_ownsWorker = false; }
    bool isRunning() const;
    bool isFinished() const { return m_finished; }
    Failure failure() const { return m_result.failure; }
    const BurnResult &result() const { return m_result; }
    // The link's information text, as the board reported it.
    QString info() const;
    QByteArray chipId() const;

    static QString linkName(BurnRequest::LinkKind kind);

signals:
    void event(const BurnEvent &e);

private:
    BurnEvent make(BurnEvent::Kind kind, int index = -1) const;
    void send(const BurnEvent &e);
    void onFinished();

    BurnRequest m_request;
    std::unique_ptr<KelLinker> m_ownLink;
    KelLinker *m_link = nullptr;
    QPointer<BurnThread> m_worker;
    bool m_ownsWorker = true;
    bool m_answered = false;
    bool m_succeeded = false;
    Failure m_failure;
    bool m_finished = false;
    QString m_component;
    BurnResult m_result;
};

Q_DECLARE_METATYPE(BurnEvent)
