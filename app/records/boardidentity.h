// The identifiers of a board: its chip identifier and serial number, as the
// link reads them or as its information text carries them.
#pragma once

#include <QByteArray>
#include <QString>

struct BoardIdentity {
    QString chipId;
    QString serialNumber;  // empty when the board does not tell it
};

// `linkChipId` is the identifier the link read from the board (raw bytes); it
// wins over one in the text. The text is searched for lines "key: value" (or
// the full-width colon) whose key names a chip id or a serial number, in
// English or Chinese. Boards of today report no serial number in their text:
// it stays empty then.
BoardIdentity parseBoardIdentity(const QString &infoText, const QByteArray &linkChipId = {});

// Raw identifier bytes as text: printable ASCII as it is, anything else as
// lowercase hex.
QString chipIdText(const QByteArray &id);
