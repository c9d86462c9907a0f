#include "checkworker.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cmath>
#include <limits>

namespace {

// JSON numbers are doubles: an integer member must be a number without a
// fraction and inside the range the caller can hold.
bool readInteger(const QJsonObject &object, const char *key, qint64 min, qint64 max,
                 qint64 *out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble()) {
        return false;
    }
    const double d = value.toDouble();
    if (std::floor(d) != d || d < double(min) || d > double(max)) {
        return false;
    }
    *out = qint64(d);
    return true;
}

bool readString(const QJsonObject &object, const char *key, QString *out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString()) {
        return false;
    }
    *out = value.toString();
    return true;
}

}  // namespace

CheckWorker::CheckWorker(int appId, const QString &serverUrl, QObject *parent)
    : QObject(parent), appId(appId), serverUrl(serverUrl) {}

bool CheckWorker::parseAnswer(const QByteArray &body, int *code, VersionAnswer *answer,
                              QString *error) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        *error = QStringLiteral("not a JSON object");
        return false;
    }
    const QJsonObject root = doc.object();
    qint64 value = 0;
    if (!readInteger(root, "code", std::numeric_limits<int>::min(),
                     std::numeric_limits<int>::max(), &value)) {
        *error = QStringLiteral("no integer \"code\"");
        return false;
    }
    *code = int(value);
    if (*code != 200) {
        return true;
    }
    const QJsonValue dataValue = root.value(QLatin1String("data"));
    if (!dataValue.isObject()) {
        *error = QStringLiteral("no object \"data\"");
        return false;
    }
    const QJsonObject data = dataValue.toObject();
    const int intMax = std::numeric_limits<int>::max();
    qint64 major = 0, minor = 0, release = 0, size = 0;
    if (!readInteger(data, "major", 0, intMax, &major) ||
        !readInteger(data, "minor", 0, intMax, &minor) ||
        !readInteger(data, "release", 0, intMax, &release)) {
        *error = QStringLiteral("version numbers missing or not integers");
        return false;
    }
    // Exact doubles end at 2^53; no installer comes near.
    if (!readInteger(data, "file_size", 1, qint64(1) << 53, &size)) {
        *error = QStringLiteral("\"file_size\" missing or not a positive integer");
        return false;
    }
    if (!readString(data, "file_name", &answer->fileName) ||
        !readString(data, "remark", &answer->remark)) {
        *error = QStringLiteral("\"file_name\" or \"remark\" missing or not text");
        return false;
    }
    // Optional: servers that publish no digest answer as before.
    answer->sha256.clear();
    const QJsonValue digest = data.value(QLatin1String("sha256"));
    if (!digest.isUndefined()) {
        const QByteArray hex = digest.toString().toLatin1();
        const QByteArray raw = QByteArray::fromHex(hex);
        if (!digest.isString() || hex.size() != 64 || raw.toHex() != hex.toLower()) {
            *error = QStringLiteral("\"sha256\" is not 64 hexadecimal digits");
            return false;
        }
        answer->sha256 = raw;
    }
    answer->major = int(major);
    answer->minor = int(minor);
    answer->release = int(release);
    answer->fileSize = size;
    return true;
}

void CheckWorker::check() {
    // Created here, in the worker's thread, which then owns its sockets.
    if (!network) {
        network = new QNetworkAccessManager(this);
    }
    const QUrl url(serverUrl + QStringLiteral("/api/get_last_version?app_id=") +
                   QString::number(appId));
    qDebug() << "Http request:" << url.toString();
    QNetworkRequest request(url);
    request.setTransferTimeout(kTimeoutMs);
    QNetworkReply *reply = network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReply(reply); });
}

void CheckWorker::onReply(QNetworkReply *reply) {
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "Http request error:"
                   << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(
                          reply->error());
        emit checkFailed(tr("请求失败，请检查网络"));
        return;
    }
    const QByteArray body = reply->readAll();
    qDebug() << "Http response:" << QString::fromUtf8(body);
    VersionAnswer answer;
    QString error;
    int code = 0;
    if (!parseAnswer(body, &code, &answer, &error)) {
        qWarning() << "Invalid version answer:" << error;
        emit checkFailed(tr("检查失败，服务器应答无效"));
        return;
    }
    if (code != 200) {
        qWarning() << "Check version failed, code:" << code;
        emit checkFailed(tr("检查失败，代码：") + QString::number(code));
        return;
    }
    emit checkFinished(answer.major, answer.minor, answer.release, answer.fileSize,
                       answer.fileName, answer.remark, answer.sha256);
}
