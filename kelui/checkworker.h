// The version query of KelVersionTool, run on a thread of its own so that a slow
// or silent server never blocks the window.
#pragma once

#include <QObject>
#include <QString>

#include "kelui_global.h"

class QNetworkAccessManager;
class QNetworkReply;

// What the version server says about the newest release.
struct KELUI_EXPORT VersionAnswer {
    int major = 0;
    int minor = 0;
    int release = 0;
    qint64 fileSize = 0;
    QString fileName;
    QString remark;
    // The SHA-256 of the file when the server gives one ("sha256", hex); empty otherwise.
    QByteArray sha256;
};

class KELUI_EXPORT CheckWorker : public QObject {
    Q_OBJECT

public:
    CheckWorker(int appId, const QString &serverUrl, QObject *parent = nullptr);

    // Reads a version answer: false for a body that is not a complete, well-typed
    // answer (`error` says what is wrong); otherwise `code` is the server's code
    // and, for 200, `answer` is filled.
    static bool parseAnswer(const QByteArray &body, int *code, VersionAnswer *answer,
                            QString *error);

    // How long the server may stay silent before the check fails.
    static constexpr int kTimeoutMs = 15000;

public slots:
    // Sends the query; the result arrives as one of the two signals.
    void check();

signals:
    void checkFailed(QString message);
    void checkFinished(int major, int minor, int release, qint64 fileSize, QString fileName,
                       QString remark, QByteArray sha256);

private:
    void onReply(QNetworkReply *reply);

    int appId;
    QString serverUrl;
    QNetworkAccessManager *network = nullptr;
};
