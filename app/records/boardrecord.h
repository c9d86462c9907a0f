// One record per finished job (a burn, a card write, a card format), whatever
// its outcome: who, where, which board, which image and how it ended. The
// fields are the columns of the table "board_record".
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What the station says about itself in every record.
struct StationFacts {
    QString station;         // [fleet] station, default the host name
    QString operatorName;    // --operator, [fleet] operator, default the login name
    QString programVersion;  // this program's version
};

struct BoardRecord {
    // Starts a record now: a new id, the start time, the station's offset from
    // UTC and its local date, and the station's facts.
    static BoardRecord begin(const StationFacts &facts, const QString &jobKind,
                             const QString &link);
    // Ends it now: the end time and the duration since the start.
    void finish();
    // The image file's path, name, size and SHA-256 (from the digest cache).
    // False when the file cannot be read; the path and name are set anyway.
    bool setImageFile(const QString &path);
    // The text the board reports, and the identifiers in it or beside it.
    void setBoard(const QString &infoText, const QByteArray &linkChipId);
    // A copy whose texts a database takes: no NUL characters (PostgreSQL
    // refuses them in text), no lone UTF-16 surrogates (a board's text read in
    // the wrong encoding may carry them).
    BoardRecord sanitized() const;

    QString recordId;  // UUID without braces
    QDateTime startedUtc;
    QDateTime endedUtc;
    int utcOffsetS = 0;
    QString stationDay;  // yyyy-MM-dd, the station's local date of the start
    QString station;
    QString operatorName;
    QString programVersion;
    QString jobKind;  // "burn", "card-write", "card-format"
    QString link;     // "usb", "serial", "adb", "card"
    // Texts below: empty is stored as NULL. Numbers: below 0 is stored as NULL.
    QString location;
    QString boardInfo;
    QString chipId;
    QString serialNumber;
    QString cardVendor;
    QString cardProduct;
    qint64 cardSize = -1;
    QString cardIdentity;
    QString imagePath;
    QString imageName;
    qint64 imageSize = -1;
    QString imagePlatform;
    QString imageProduct;
    QString imageVersion;
    QString imageSha256;
    QString components;  // comma separated
    qint64 bytesWritten = 0;
    qint64 durationMs = 0;
    int retries = 0;
    QString result;  // "ok", "failed", "interrupted"
    QString failureCode;
    QString failureMessage;
    QString failedComponent;
};

bool operator==(const BoardRecord &a, const BoardRecord &b);
inline bool operator!=(const BoardRecord &a, const BoardRecord &b) { return !(a == b); }
