#include "pathlist.h"

#include <QDebug>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>

QStringList splitPathList(const QString &text) {
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

void warnOncePerPath(const char *what, const QString &path, const char *why) {
    static QMutex lock;
    static QSet<QString> warned;
    const QString line = QString::fromUtf8(what) + QLatin1Char(' ') + path + QLatin1Char(' ') +
                         QString::fromUtf8(why);
    QMutexLocker locker(&lock);
    if (!warned.contains(line)) {
        warned.insert(line);
        qWarning().noquote() << line;
    }
}
