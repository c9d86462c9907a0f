#include "resourcefont.h"

#include <QByteArray>
#include <QFontDatabase>
#include <QHash>
#include <QResource>

QStringList addResourceFont(const QString &resourcePath) {
    // Every registration makes the font database start over and read every
    // registered font again on its next use: each font is registered only once.
    static QHash<QString, QStringList> registered;
    const auto known = registered.constFind(resourcePath);
    if (known != registered.constEnd()) {
        return *known;
    }

    // Given the resource path instead, the database copies the whole file on
    // registration and again for every face it opens. An uncompressed resource
    // comes back here as the resource's own bytes, which live as long as the
    // program.
    const QResource resource(resourcePath);
    const QByteArray data = resource.isValid() ? resource.uncompressedData() : QByteArray();
    QStringList families;
    if (!data.isEmpty()) {
        families = QFontDatabase::applicationFontFamilies(
            QFontDatabase::addApplicationFontFromData(data));
    }
    if (!families.isEmpty()) {
        registered.insert(resourcePath, families);
    }
    return families;
}
