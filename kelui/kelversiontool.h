// Asks the version server for the newest release of a program, offers it, and
// downloads it into the save folder.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "kelui_global.h"

class QCryptographicHash;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QSaveFile;
class QThread;
class KelButton;
class KelDialog;

class KELUI_EXPORT KelVersionTool : public QWidget {
    Q_OBJECT

public:
    explicit KelVersionTool(QWidget *parent = nullptr);
    ~KelVersionTool() override;

    int appId() const { return id; }
    void setAppId(int appId);
    void setCurVersion(int major, int minor, int release);
    QString serverUrl() const { return server; }
    void setServerUrl(const QString &url);
    QString savePath() const { return saveDir; }
    void setSavePath(const QString &path);

    void checkLastVersion();
    void downloadLastVersion();
    // Hands the downloaded file to the desktop; only after a complete download.
    bool setup();
    void openSavePath();

    // Positive when version a is newer than version b.
    static int compareVersion(int a1, int a2, int a3, int b1, int b2, int b3);
    // A name the server may give the download: a plain, visible file name, nothing
    // that leads out of the save folder or hides or disguises itself.
    static bool isPlainFileName(const QString &name);
    // Whether `url` names a version server at all (the placeholder address that
    // resolves nowhere does not).
    static bool isServerConfigured(const QString &url);
    // The folder downloads go to: the save path, except that the home folder
    // itself (what xdg gives for a disabled download folder) is never written
    // into; its "Downloads" folder is used instead.
    QString downloadFolder() const;

    // The file a download writes; empty before a version was offered.
    QString downloadedFilePath() const;
    bool isDownloadComplete() const { return downloadComplete; }
    bool isDownloading() const { return reply != nullptr; }
    // The download dialog, once a download was started (for the host and tests).
    KelDialog *downloadDialog() const { return downloadBox; }

signals:
    // A check ended (either way), once its message is shown.
    void checkDone();
    // A download ended: ok when the complete file is in place.
    void downloadDone(bool ok);

private slots:
    void onCheckFinished(int major, int minor, int release, qint64 fileSize,
                         const QString &fileName, const QString &remark,
                         const QByteArray &sha256);
    void onCheckFailed(const QString &message);
    void onDownloadReadyRead();
    void onDownloadProgress(qint64 received, qint64 total);
    void onDownloadError();
    void onDownloadFinished();

private:
    void finishCheck();
    void showNewVersionDialog(const QString &remark);
    void buildDownloadDialog();
    // Ends a download that did not produce the file: nothing of it stays on disk.
    void failDownload(const QString &logLine, const QString &message);

    int id = -1;
    int curMajor = -1, curMinor = -1, curRelease = -1;
    QString server;
    QString saveDir;

    int newMajor = 0, newMinor = 0, newRelease = 0;
    QString fileName;
    qint64 fileSize = 0;
    qint64 received = 0;
    bool downloadComplete = false;
    bool cancelled = false;

    QPointer<QThread> checkThread;
    QNetworkAccessManager *network = nullptr;
    QSaveFile *output = nullptr;
    // The digest the server announced (empty: none), and the one of what arrived.
    QByteArray expectedSha256;
    QCryptographicHash *digest = nullptr;
    QNetworkReply *reply = nullptr;
    QPointer<KelDialog> downloadBox;
    QProgressBar *progressBar = nullptr;
    QLabel *percentLabel = nullptr;
    KelButton *setupBtn = nullptr;
    KelButton *openDirBtn = nullptr;
};
