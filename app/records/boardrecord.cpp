#include "boardrecord.h"

#include "boardidentity.h"
#include "imagedigest.h"

#include <QFileInfo>
#include <QUuid>

BoardRecord BoardRecord::begin(const StationFacts &facts, const QString &jobKind,
                               const QString &link) {
    BoardRecord r;
    r.recordId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QDateTime local = QDateTime::currentDateTime();
    r.startedUtc = local.toUTC();
    r.endedUtc = r.startedUtc;
    r.utcOffsetS = local.offsetFromUtc();
    r.stationDay = local.date().toString(QStringLiteral("yyyy-MM-dd"));
    r.station = facts.station;
    r.operatorName = facts.operatorName;
    r.programVersion = facts.programVersion;
    r.jobKind = jobKind;
    r.link = link;
    return r;
}

void BoardRecord::finish() {
    endedUtc = QDateTime::currentDateTimeUtc();
    durationMs = qMax<qint64>(0, startedUtc.msecsTo(endedUtc));
}

bool BoardRecord::setImageFile(const QString &path) {
    const QFileInfo info(path);
    imagePath = info.absoluteFilePath();
    imageName = info.fileName();
    imageSize = info.exists() ? info.size() : -1;
    imageSha256 = ImageDigest::sha256(path);
    return !imageSha256.isEmpty();
}

void BoardRecord::setBoard(const QString &infoText, const QByteArray &linkChipId) {
    boardInfo = infoText;
    const BoardIdentity id = parseBoardIdentity(infoText, linkChipId);
    chipId = id.chipId;
    serialNumber = id.serialNumber;
}

namespace {
QString clean(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isNull())
            continue;
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
        } else if (c.isSurrogate()) {
            out += QChar(QChar::ReplacementCharacter);
        } else {
            out += c;
        }
    }
    return out;
}
}  // namespace

BoardRecord BoardRecord::sanitized() const {
    BoardRecord r = *this;
    for (QString *s : {&r.recordId, &r.stationDay, &r.station, &r.operatorName,
                       &r.programVersion, &r.jobKind, &r.link, &r.location, &r.boardInfo,
                       &r.chipId, &r.serialNumber, &r.cardVendor, &r.cardProduct,
                       &r.cardIdentity, &r.imagePath, &r.imageName, &r.imagePlatform,
                       &r.imageProduct, &r.imageVersion, &r.imageSha256, &r.components,
                       &r.result, &r.failureCode, &r.failureMessage, &r.failedComponent}) {
        *s = clean(*s);
    }
    return r;
}

bool operator==(const BoardRecord &a, const BoardRecord &b) {
    return a.recordId == b.recordId && a.startedUtc == b.startedUtc &&
           a.endedUtc == b.endedUtc && a.utcOffsetS == b.utcOffsetS &&
           a.stationDay == b.stationDay && a.station == b.station &&
           a.operatorName == b.operatorName && a.programVersion == b.programVersion &&
           a.jobKind == b.jobKind && a.link == b.link && a.location == b.location &&
           a.boardInfo == b.boardInfo && a.chipId == b.chipId &&
           a.serialNumber == b.serialNumber && a.cardVendor == b.cardVendor &&
           a.cardProduct == b.cardProduct && a.cardSize == b.cardSize &&
           a.cardIdentity == b.cardIdentity && a.imagePath == b.imagePath &&
           a.imageName == b.imageName && a.imageSize == b.imageSize &&
           a.imagePlatform == b.imagePlatform && a.imageProduct == b.imageProduct &&
           a.imageVersion == b.imageVersion && a.imageSha256 == b.imageSha256 &&
           a.components == b.components && a.bytesWritten == b.bytesWritten &&
           a.durationMs == b.durationMs && a.retries == b.retries && a.result == b.result &&
           a.failureCode == b.failureCode && a.failureMessage == b.failureMessage &&
           a.failedComponent == b.failedComponent;
}
