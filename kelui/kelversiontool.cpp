#include "kelversiontool.h"

#include <QCloseEvent>
#include <QCryptographicHash>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>

#include "checkworker.h"
#include "kelbutton.h"
#include "keldialog.h"
#include "kelfilemanager.h"

namespace {

// The host program sets the real address; this one resolves nowhere.
const char *const kDefaultServer = "http://versions.kelvora.invalid:8080";

QLabel *boldLabel(const QString &text, QWidget *parent) {
    QLabel *label = new QLabel(text, parent);
    label->setStyleSheet("font-weight: bold;");
    return label;
}

QString networkErrorName(QNetworkReply::NetworkError error) {
    return QString::fromLatin1(
        QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error));
}

}  // namespace

KelVersionTool::KelVersionTool(QWidget *parent) : QWidget(parent), server(kDefaultServer) {
    saveDir = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    hide();
}

KelVersionTool::~KelVersionTool() {
    if (reply) {
        cancelled = true;
        reply->abort();
    }
    delete output;
    output = nullptr;
    delete digest;
    digest = nullptr;
    if (checkThread) {
        // The worker's reply may still be on its way; it no longer has anyone to tell.
        QThread *thread = checkThread;
        thread->disconnect(this);
        thread->quit();
        thread->wait();
    }
}

void KelVersionTool::setAppId(int appId) {
    id = appId;
}

void KelVersionTool::setCurVersion(int major, int minor, int release) {
    curMajor = major;
    curMinor = minor;
    curRelease = release;
}

void KelVersionTool::setServerUrl(const QString &url) {
    server = url;
    while (server.endsWith(QLatin1Char('/'))) {
        server.chop(1);
    }
}

void KelVersionTool::setSavePath(const QString &path) {
    saveDir = path;
    QDir dir(path);
    if (!dir.exists()) {
        if (dir.mkpath(QStringLiteral("."))) {
            qDebug() << "Create save path success";
        } else {
            qCritical() << "Create save path fail";
        }
    }
}

int KelVersionTool::compareVersion(int a1, int a2, int a3, int b1, int b2, int b3) {
    if (a1 != b1) {
        return a1 - b1;
    }
    if (a2 != b2) {
        return a2 - b2;
    }
    return a3 - b3;
}

bool KelVersionTool::isPlainFileName(const QString &name) {
    // A leading dot hides the file and, in the home folder, names the shell's own
    // start-up files.
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) ||
        name.contains(QLatin1String(".."))) {
        return false;
    }
    for (QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\')) {
            return false;
        }
        // Control characters, and the invisible format characters among which
        // are the bidirectional overrides that show "gpj.exe" as "exe.jpg".
        switch (c.category()) {
            case QChar::Other_Control:
            case QChar::Other_Format:
            case QChar::Separator_Line:
            case QChar::Separator_Paragraph:
                return false;
            default:
                break;
        }
    }
    return true;
}

bool KelVersionTool::isServerConfigured(const QString &url) {
    const QUrl parsed(url, QUrl::StrictMode);
    const QString host = parsed.host().toLower();
    // ".invalid" is reserved never to resolve: the default address uses it.
    return parsed.isValid() && !host.isEmpty() &&
           (parsed.scheme() == QLatin1String("http") || parsed.scheme() == QLatin1String("https")) &&
           host != QLatin1String("invalid") && !host.endsWith(QLatin1String(".invalid"));
}

QString KelVersionTool::downloadFolder() const {
    const QString home = QDir::homePath();
    const QFileInfo dir(saveDir);
    const QString resolved = dir.exists() ? dir.canonicalFilePath() : QDir::cleanPath(dir.absoluteFilePath());
    const QString homeResolved = QFileInfo(home).canonicalFilePath();
    if (saveDir.isEmpty() || resolved == homeResolved || QDir::cleanPath(saveDir) == home) {
        return QDir(home).filePath(QStringLiteral("Downloads"));
    }
    return saveDir;
}

QString KelVersionTool::downloadedFilePath() const {
    if (fileName.isEmpty()) {
        return QString();
    }
    return downloadFolder() + QLatin1Char('/') + fileName;
}

void KelVersionTool::checkLastVersion() {
    if (id < 0) {
        qWarning() << "AppID required!";
        return;
    }
    if (curMajor < 0 || curMinor < 0 || curRelease < 0) {
        qWarning() << "Current version info required!";
        return;
    }
    if (checkThread) {
        return;
    }
    if (!isServerConfigured(server)) {
        qWarning() << "No version server configured:" << server;
        KelDialog::alert(parentWidget(), tr("未配置版本服务器，无法检查更新"), false);
        emit checkDone();
        return;
    }
    KelDialog::loading(parentWidget(), tr("正在检查，请稍后..."), true);

    QThread *thread = new QThread(this);
    CheckWorker *worker = new CheckWorker(id, server);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &CheckWorker::check);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &CheckWorker::checkFinished, this, &KelVersionTool::onCheckFinished);
    connect(worker, &CheckWorker::checkFailed, this, &KelVersionTool::onCheckFailed);
    checkThread = thread;
    thread->start();
}

void KelVersionTool::finishCheck() {
    KelDialog::closeLoading();
    if (checkThread) {
        QThread *thread = checkThread;
        checkThread = nullptr;
        thread->quit();
        thread->wait();
        thread->deleteLater();
    }
}

void KelVersionTool::onCheckFinished(int major, int minor, int release, qint64 size,
                                     const QString &name, const QString &remark,
                                     const QByteArray &sha256) {
    finishCheck();
    if (compareVersion(major, minor, release, curMajor, curMinor, curRelease) > 0) {
        newMajor = major;
        newMinor = minor;
        newRelease = release;
        fileSize = size;
        fileName = name;
        expectedSha256 = sha256;
        showNewVersionDialog(remark);
    } else {
        KelDialog::alert(parentWidget(), tr("已是最新版本"), false);
    }
    emit checkDone();
}

void KelVersionTool::onCheckFailed(const QString &message) {
    finishCheck();
    KelDialog::alert(parentWidget(), message, false);
    emit checkDone();
}

void KelVersionTool::showNewVersionDialog(const QString &remark) {
    KelDialog *dialog = new KelDialog(parentWidget(), true);
    dialog->setObjectName("new_version_dialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setTitle(tr("发现新版本"));
    dialog->setMinimumWidth(320);

    QLabel *version = new QLabel(
        QStringLiteral("%1.%2.%3").arg(newMajor).arg(newMinor).arg(newRelease), dialog);
    version->setObjectName("new_version_number");
    QLabel *size = new QLabel(QString::number(fileSize / 1048576) + " MB", dialog);
    QLabel *notes = new QLabel(remark, dialog);
    notes->setWordWrap(true);
    notes->setTextFormat(Qt::PlainText);

    QGridLayout *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(5);
    grid->setVerticalSpacing(10);
    grid->addWidget(boldLabel(tr("版本号："), dialog), 0, 0, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(version, 0, 1);
    grid->addWidget(boldLabel(tr("大小："), dialog), 1, 0, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(size, 1, 1);
    grid->addWidget(boldLabel(tr("版本说明："), dialog), 2, 0, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(notes, 2, 1);
    grid->setColumnStretch(1, 1);

    KelButton *download = new KelButton(tr("下载"), dialog);
    download->setObjectName("new_version_download_btn");
    download->setFixedWidthForText(80);
    KelButton *cancel = new KelButton(tr("取消"), dialog);
    cancel->setObjectName("new_version_cancel_btn");
    cancel->setFixedWidthForText(80);
    QHBoxLayout *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(15);
    buttons->addStretch(1);
    buttons->addWidget(download);
    buttons->addWidget(cancel);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(15);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    dialog->setContentLayout(layout);

    connect(cancel, &KelButton::clicked, dialog, &KelDialog::close);
    connect(download, &KelButton::clicked, this, [this, dialog] {
        dialog->close();
        downloadLastVersion();
    });
    dialog->adjustSize();
    dialog->show();
}

void KelVersionTool::buildDownloadDialog() {
    KelDialog *dialog = new KelDialog(parentWidget(), true);
    dialog->setObjectName("download_dialog");
    dialog->setTitle(tr("下载新版本"));
    dialog->setFixedWidth(350);

    progressBar = new QProgressBar(dialog);
    progressBar->setRange(0, 100);
    progressBar->setTextVisible(false);
    progressBar->setFixedHeight(12);
    percentLabel = new QLabel("0%", dialog);
    percentLabel->setObjectName("download_percent");
    percentLabel->setStyleSheet("color: #ff5722;");
    percentLabel->setMinimumWidth(percentLabel->fontMetrics().horizontalAdvance("100%") + 4);
    percentLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QHBoxLayout *progressRow = new QHBoxLayout;
    progressRow->setContentsMargins(0, 0, 0, 0);
    progressRow->setSpacing(10);
    progressRow->addWidget(progressBar, 1);
    progressRow->addWidget(percentLabel);

    setupBtn = new KelButton(tr("安装"), dialog);
    setupBtn->setObjectName("download_setup_btn");
    setupBtn->setFixedWidthForText(80);
    openDirBtn = new KelButton(tr("打开目录"), dialog);
    openDirBtn->setObjectName("download_open_dir_btn");
    openDirBtn->setFixedWidthForText(80);
    QHBoxLayout *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(15);
    buttons->addStretch(1);
    buttons->addWidget(setupBtn);
    buttons->addWidget(openDirBtn);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(15);
    layout->addLayout(progressRow);
    layout->addLayout(buttons);
    dialog->setContentLayout(layout);
    dialog->adjustSize();

    connect(setupBtn, &KelButton::clicked, this, &KelVersionTool::setup);
    connect(openDirBtn, &KelButton::clicked, this, &KelVersionTool::openSavePath);
    // Closing the dialog while the file arrives is the operator's cancel.
    connect(dialog, &KelDialog::closed, this, [this] {
        if (reply) {
            cancelled = true;
            reply->abort();
        }
    });
    downloadBox = dialog;
}

void KelVersionTool::downloadLastVersion() {
    if (id < 0) {
        qWarning() << "AppID required!";
        return;
    }
    if (reply) {
        return;
    }
    if (!isPlainFileName(fileName)) {
        qWarning() << "Refused download file name:" << fileName;
        KelDialog::alert(parentWidget(), tr("服务器提供的文件名无效，已拒绝下载"), false);
        emit downloadDone(false);
        return;
    }
    const QString target = downloadedFilePath();
    if (QFileInfo::exists(target) &&
        !KelDialog::confirm(parentWidget(), tr("文件 %1 已存在，是否覆盖？").arg(fileName))) {
        emit downloadDone(false);
        return;
    }

    // The download folder of a fresh account may not exist yet.
    QDir().mkpath(downloadFolder());
    // Written under a temporary name and renamed over the target only when
    // complete, so an existing file survives a failed download.
    delete output;
    output = new QSaveFile(target);
    output->setDirectWriteFallback(false);
    if (!output->open(QIODevice::WriteOnly)) {
        delete output;
        output = nullptr;
        qWarning() << "Failed to open local file" << target;
        KelDialog::alert(parentWidget(), tr("下载失败，请检查网络或下载目录权限"), false);
        emit downloadDone(false);
        return;
    }
    received = 0;
    delete digest;
    digest = new QCryptographicHash(QCryptographicHash::Sha256);
    downloadComplete = false;
    cancelled = false;

    if (!downloadBox) {
        buildDownloadDialog();
    }
    progressBar->setValue(0);
    percentLabel->setText("0%");
    setupBtn->setEnabled(false);
    openDirBtn->setEnabled(false);
    downloadBox->show();

    if (!network) {
        network = new QNetworkAccessManager(this);
    }
    const QUrl url(server + QStringLiteral("/api/download_last_version?app_id=") +
                   QString::number(id));
    qDebug() << "Http request:" << url.toString();
    QNetworkRequest request(url);
    request.setTransferTimeout(CheckWorker::kTimeoutMs);
    reply = network->get(request);
    connect(reply, &QNetworkReply::readyRead, this, &KelVersionTool::onDownloadReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &KelVersionTool::onDownloadProgress);
    connect(reply, &QNetworkReply::errorOccurred, this, &KelVersionTool::onDownloadError);
    connect(reply, &QNetworkReply::finished, this, &KelVersionTool::onDownloadFinished);
}

void KelVersionTool::onDownloadReadyRead() {
    if (!reply || !output) {
        return;
    }
    // Only a 200 answer carries the file; a redirect's or an error page's body
    // is never written, whatever its size.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        reply->abort();
        return;
    }
    const QByteArray chunk = reply->readAll();
    received += chunk.size();
    if (received > fileSize) {
        // More than announced: not the file that was offered. finished() follows
        // the abort and reports it.
        reply->abort();
        return;
    }
    digest->addData(chunk);
    if (output->write(chunk) != chunk.size()) {
        reply->abort();
    }
}

void KelVersionTool::onDownloadProgress(qint64 bytesReceived, qint64 total) {
    const qint64 base = total > 0 ? total : fileSize;
    if (base <= 0 || !progressBar) {
        return;
    }
    const int percent = int(qBound<qint64>(0, bytesReceived * 100 / base, 100));
    progressBar->setValue(percent);
    percentLabel->setText(QString::number(percent) + "%");
}

void KelVersionTool::onDownloadError() {
    if (reply) {
        qWarning() << "Http request error:" << networkErrorName(reply->error());
    }
}

void KelVersionTool::onDownloadFinished() {
    if (!reply) {
        return;
    }
    // Whatever the body still holds counts as well.
    if (reply->bytesAvailable() > 0) {
        onDownloadReadyRead();
    }
    const QNetworkReply::NetworkError error = reply->error();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (cancelled) {
        failDownload("Download cancelled", QString());
        return;
    }
    // Status 0: no answer at all, reported below as the network error it is.
    if (status != 0 && status != 200) {
        failDownload(QStringLiteral("Download refused: HTTP status %1").arg(status),
                     status >= 400 ? tr("下载失败，请检查网络或下载目录权限")
                                   : tr("下载失败，服务器未提供文件（状态 %1）").arg(status));
        return;
    }
    if (received > fileSize) {
        failDownload(
            QStringLiteral("Download larger than announced: more than %1 bytes").arg(fileSize),
            tr("下载的文件大小不符，已删除"));
        return;
    }
    if (output->error() != QFileDevice::NoError) {
        failDownload("Failed to write local file: " + output->errorString(),
                     tr("下载失败，请检查网络或下载目录权限"));
        return;
    }
    if (error != QNetworkReply::NoError) {
        failDownload(QString(), tr("下载失败，请检查网络或下载目录权限"));
        return;
    }
    if (received != fileSize) {
        failDownload(
            QStringLiteral("Download incomplete: %1 of %2 bytes").arg(received).arg(fileSize),
            tr("下载的文件不完整，已删除"));
        return;
    }
    if (!expectedSha256.isEmpty() && digest->result() != expectedSha256) {
        failDownload("Download checksum mismatch: sha256 " + digest->result().toHex() +
                         ", expected " + expectedSha256.toHex(),
                     tr("下载的文件校验失败，已删除"));
        return;
    }
    if (!output->commit()) {
        failDownload("Failed to write local file: " + output->errorString(),
                     tr("下载失败，请检查网络或下载目录权限"));
        return;
    }
    delete output;
    output = nullptr;
    reply->deleteLater();
    reply = nullptr;
    downloadComplete = true;
    qDebug() << "Download finished:" << downloadedFilePath();
    progressBar->setValue(100);
    percentLabel->setText("100%");
    setupBtn->setEnabled(true);
    openDirBtn->setEnabled(true);
    emit downloadDone(true);
}

void KelVersionTool::failDownload(const QString &logLine, const QString &message) {
    if (!logLine.isEmpty()) {
        qWarning().noquote() << logLine;
    }
    if (output) {
        // The temporary file goes with it; the target was never touched.
        output->cancelWriting();
        delete output;
        output = nullptr;
    }
    if (reply) {
        reply->deleteLater();
        reply = nullptr;
    }
    if (!message.isEmpty()) {
        KelDialog::alert(parentWidget(), message, false);
    }
    emit downloadDone(false);
}

bool KelVersionTool::setup() {
    if (!downloadComplete) {
        return false;
    }
    // The desktop's handler for the file type installs it (a package manager for a
    // package); the file itself is never executed from here.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(downloadedFilePath()));
}

void KelVersionTool::openSavePath() {
    const QString file = downloadedFilePath();
    if (downloadComplete && kelShowInFileManager(file)) {
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(downloadFolder()));
}
