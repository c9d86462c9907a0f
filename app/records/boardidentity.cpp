#include "boardidentity.h"

#include <QRegularExpression>
#include <QStringList>

QString chipIdText(const QByteArray &id) {
    for (char c : id) {
        if (c < 0x20 || c > 0x7E)
            return QString::fromLatin1(id.toHex());
    }
    return QString::fromLatin1(id);
}

namespace {
// Keys compared without case, spaces, dashes and underscores.
QString keyOf(QString key) {
    key = key.toLower();
    key.remove(QRegularExpression(QStringLiteral("[\\s_\\-]")));
    return key;
}

bool isChipKey(const QString &key) {
    static const QStringList keys{QStringLiteral("chipid"), QStringLiteral("chipidentifier"),
                                  QStringLiteral("芯片id"), QStringLiteral("芯片标识")};
    return keys.contains(key);
}

bool isSerialKey(const QString &key) {
    static const QStringList keys{QStringLiteral("serial"), QStringLiteral("serialnumber"),
                                  QStringLiteral("serialno"), QStringLiteral("sn"),
                                  QStringLiteral("序列号"), QStringLiteral("sn号")};
    return keys.contains(key);
}
}  // namespace

BoardIdentity parseBoardIdentity(const QString &infoText, const QByteArray &linkChipId) {
    BoardIdentity id;
    const QStringList lines = infoText.split(QRegularExpression(QStringLiteral("[\\r\\n]+")),
                                             Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const int colon = line.indexOf(QRegularExpression(QStringLiteral("[:：]")));
        if (colon <= 0)
            continue;
        const QString key = keyOf(line.left(colon));
        const QString value = line.mid(colon + 1).trimmed();
        if (value.isEmpty())
            continue;
        if (id.chipId.isEmpty() && isChipKey(key))
            id.chipId = value;
        else if (id.serialNumber.isEmpty() && isSerialKey(key))
            id.serialNumber = value;
    }
    if (!linkChipId.isEmpty())
        id.chipId = chipIdText(linkChipId);
    return id;
}
