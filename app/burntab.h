// The main window's first page ("烧写镜像"): how the board is connected, whether a
// board is there and what it reports, the burn options and the partition choice,
// and the burn job itself.
#pragma once

#include <QList>
#include <QPointer>
#include <QStringList>
#include <QVector>
#include <vector>

#include "partitionselection.h"

#include "boardholds.h"
#include "keltab.h"

class BurnSession;
class CheckThread;
class DevInfoThread;
class KelCheckBox;
class KelComboBox;
class KelLinker;
class QListWidget;
class QThread;
class QTimer;

class BurnTab : public KelTab {
    Q_OBJECT

public:
    explicit BurnTab(QWidget *parent = nullptr);
    // Stops the adb watcher, waits for the job and every query that still uses a
    // link, then destroys the link.
    ~BurnTab() override;

    // The link of the current connection type (none before reapplyConnectType()).
    KelLinker *currentLinker() const { return linker; }
    // The board on hand was found through adb.
    bool isAdbMode() const { return adbMode; }
    // True while a hardware-information query runs.
    bool isQuerying() const;
    // True while a replaced link is still being released.
    bool isRetiringLink() const;

public slots:
    void scanDevices() override;
    bool isReady() override;
    bool startWork() override;
    void finishWork() override;
    void leaveTab() override;
    void onThreadStart() override;
    void onThreadFailed() override;
    void onThreadSuccessful() override;

    void stopWork() override;
    void setProgress(qint64 position) override;
    // Whether auto-burn may start on the board that was just reported ready;
    // no for a board a job has ended on and that has not been taken away since.
    bool mayAutoStart();

    // The image's partition list changed.
    void refreshPartitionTree();
    // The connection type of the settings is to be applied.
    void reapplyConnectType();
    void onConnectTypeChanged(int oldIndex, int curIndex);
    void onPortChanged(int oldIndex, int curIndex);
    void onForceClicked(bool checked);
    void onPartitionModeClicked(bool checked);
    void onSelectAllClicked(bool checked);
    void onPartitionClicked(bool checked);
    void onLinkFinished(bool linked);
    void onAdbDeviceFound(QStringList sysInfo);
    void onAdbDeviceAbsent();
    void onInUboot();

protected:
    // The link for a connection type; tests replace the system's port enumeration
    // here.
    virtual KelLinker *createLinker(int type);
    bool event(QEvent *event) override;

private slots:
    void onWorkerFinished();
    // Scans again, a few times, after a scan that found no board: a board that
    // has just appeared may not be listed yet when its device event arrives.
    void followUpScan();

private:
    void buildLayout();
    void showDevice(const QString &text);
    void clearDevice();
    void setLinkedLook(bool linked);
    void retireLinker(KelLinker *old);
    void scan(bool followUp);
    void stopFollowUps();
    // What the message line says about the board when no job runs and no
    // result is kept.
    void showBoardMessage(const QString &text);
    // Composes the message line: the job's state, or the kept result, or the
    // board's; a second line for what waits, why a job failed, or what keeps
    // the board from being burnt.
    void refreshMessage();
    void onWorkerWaiting(int what);
    void endWaiting();
    void keepResult(const QString &text, bool bad);
    void dropResult();
    // How the board on hand is known to the holds.
    BoardHolds::Kind boardKind() const;
    // The kind of board the current connection type reaches.
    BoardHolds::Kind linkKind() const;
    QString boardId() const;
    // The partition rows as the worker takes them.
    std::vector<PartitionSelection> selectedPartitions() const;
    // The connection and option controls must not change the link or the
    // job's settings under a running job.
    void setControlsEnabled(bool enabled);

    KelLinker *linker = nullptr;
    CheckThread *checkThread = nullptr;
    bool checkThreadStarting = false;
    bool adbMode = false;
    bool deviceLinked = false;
    KelComboBox *typeBox;
    KelComboBox *portBox;
    KelCheckBox *forceBox;
    KelCheckBox *rebootBox;
    KelCheckBox *partitionBox;
    QLabel *devIcon;
    QLabel *infoLabel;
    QWidget *partitionPanel;
    QListWidget *partList;
    KelCheckBox *selectAllBox;

    // The boxes of the partition rows, in list order.
    QVector<KelCheckBox *> partBoxes;
    // The last job's session; its worker belongs to the page (adoptWorker).
    BurnSession *session = nullptr;
    // A replaced link on its way out: the helper thread that releases it (it
    // deletes itself when done) and the query that still used the link, which the
    // helper waits for before the release.
    struct RetiredLink {
        QPointer<QThread> helper;
        DevInfoThread *query;
    };
    // Deletes the queries that have ended and are no longer waited for.
    void pruneThreads();

    // A job was started and its end has not been handled yet.
    bool jobActive = false;
    // The running job resets the board when it succeeds.
    bool jobResetsBoard = false;
    // The job succeeded and reset the board: it is leaving the bus, and its
    // departure, not a scan now, tells what is there.
    bool boardLeaving = false;
    // Boards auto-burn must leave alone (jobs ended on them).
    BoardHolds holds;
    // The board the running job works on, as the holds know it.
    BoardHolds::Kind jobKind = BoardHolds::Usb;
    QString jobBoard;
    bool jobStopped = false;
    bool jobSucceeded = false;
    // The host name of the board found through adb.
    QString adbHost;

    // The message line's parts (see refreshMessage).
    QString boardText;
    // Set while the linked board is in U-Boot and would not be switched into
    // upgrade work mode.
    QString boardNote;
    // The last job's result stays until the next job or another connection type.
    QString resultText;
    bool resultBad = false;
    // The worker's reason for the failure, as logged.
    QString failureReason;
    // What the job waits for, empty while data moves; the dots behind it turn.
    QString waitText;
    QTimer *busyTimer = nullptr;
    int busyStep = 0;
    QTimer *followUpTimer = nullptr;
    // A scan was asked for while a query or a job used the link.
    bool scanPending = false;
    // Follow-up scans left after a scan that found no board.
    int emptyScansLeft = 0;

    // The latest information query on the current link, if any; owned, like every
    // entry of infoThreads.
    DevInfoThread *infoThread = nullptr;
    QList<DevInfoThread *> infoThreads;
    QList<RetiredLink> retiring;
};
