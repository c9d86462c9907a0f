// Burns every firmware component of one image into one board through one device
// link, following the board from its boot ROM into U-Boot on the way.
#pragma once

#include <QProcess>
#include <QString>
#include <cstdio>

#include "kelthread.h"
#include "partitionselection.h"

class KelLinker;
struct FwcMeta;

class BurnThread : public KelThread {
    Q_OBJECT

public:
    // What the job can wait for while no data moves.
    enum Wait {
        // A board started through adb to appear as an upgrade device.
        WaitUpgradeService,
        // The board to come back after it left (its next stage, a drop).
        WaitReconnect,
    };

    // Neither the image nor the link is owned; both must outlive the worker.
    // `retryLimit` is the number of resends allowed over the whole job (0 counts
    // as 1); `adbProgram` is what the adb start runs (only used with viaAdb).
    BurnThread(ImageFile *image, KelLinker *linker, bool viaAdb, bool rebootAfter, int retryLimit,
               const QString &adbProgram = QStringLiteral("adb"));
    ~BurnThread() override;

    // The selection stays the caller's and must outlive the job. A count of 0 is
    // refused and leaves the previous selection in place.
    void setPartitions(PartitionSelection *entries, quint32 count);

    // With several boards at once: every line this job logs, the library's and
    // the link's alike, begins with "[location] ". None by default (one board).
    void setBoardLocation(const QString &location) { m_boardLocation = location; }

    // How long the adb start waits for the board to appear as an upgrade device
    // and how often it looks (15000 ms, every 500 ms).
    void setAdbTiming(int appearMs, int pollMs);

    // The largest multiple of the block size not above 1 MiB, or one block when
    // a block is larger than that; 0 for a block size the device cannot have.
    static quint32 chunkSize(int blockSize);
    // Whether a component of this name is burnt under the given selection.
    static bool needsBurn(const char *componentName, const PartitionSelection *entries,
                          quint32 count);

signals:
    // The board has come back running U-Boot.
    void inUboot();
    // The link to the board is open; the components follow.
    void deviceLinked(const QString &name);
    // Component `index` (image order) is about to be checked and burnt.
    void componentStarted(int index, const QString &name, quint32 size);
    // Component `index` is done; skipped = left out by the partition selection.
    void componentDone(int index, bool skipped);
    // Component `index` failed and is sent again; count = resends in this job.
    void componentRetry(int index, const QString &name, int count);
    // The job waits for the board (a Wait value) and sends nothing meanwhile;
    // the next progress report or the job's end means the wait is over.
    void waiting(int what);


protected:
    void run() override;

private:
    // How one attempt at a component ended.
    enum class Outcome {
        Burnt,
        Skipped,
        // The board or the link failed: worth a resend after recovery.
        DeviceFailed,
        // The image could not be read: a resend would read the same bytes again.
        ImageFailed,
    };

    void runJob(int limit, const QByteArray &path);
    // Opens the image and checks every component that will be burnt against
    // the file, so that a cut image is refused before the board is touched.
    bool openImage(const QByteArray &path, const FwcMeta *metas, quint32 count);
    bool startViaAdb();
    bool checkDeviceState();
    // The board that answered is the one the job began with, where it says who it is.
    bool sameBoard();
    bool serialLine() const;
    bool waitSerialConnected();
    bool waitSerialAnswer();
    Outcome burnComponent(const FwcMeta &meta);
    // The partition selection lets this component be burnt.
    bool isSelected(const FwcMeta &meta) const;
    // After a failed component: true when it may be sent again.
    bool retryStep(const FwcMeta &meta, int *retries, int limit);
    bool readFull(char *buf, quint32 n);
    // Why the last read of the image fell short.
    QString readErrorText() const;
    // Logs text as critical and keeps it, with its code, as the job's cause of
    // failure; a step the link failed adds the link's own reason.
    void noteFailure(Failure::Code code, const QString &text, bool linkStep = false);
    // The code of a failed link step; `guess` is what the step was about.
    Failure::Code linkStepCode(Failure::Code guess) const;
    void failJob();

    KelLinker *m_linker;
    PartitionSelection *m_partitions = nullptr;
    bool m_viaAdb;
    bool m_awaitingUboot = false;
    bool m_rebootAfter;
    quint32 m_partitionCount = 0;

    // The boot stage of the last device-state check was the boot ROM.
    bool m_seenBootRom = false;
    // The chip identifier of the board this job burns, once it has reported one.
    QByteArray m_boardChip;
    int m_retryLimit;
    QString m_adbProgram;
    QString m_boardLocation;
    int m_adbAppearMs = 15000;
    int m_adbPollMs = 500;
    FILE *m_file = nullptr;
    Failure m_failureNote;
    // The device-side upgrade service keeps running for the whole job; it is
    // only disposed of when the job is over.
    QProcess *m_adbProcess = nullptr;
};
