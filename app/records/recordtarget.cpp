#include "recordtarget.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <cctype>

RecordTarget RecordTarget::sqlite(const QString &path) {
    RecordTarget t;
    t.kind = Sqlite;
    t.sqlitePath = path;
    return t;
}

QString RecordTarget::displayText() const {
    if (kind == Sqlite)
        return QStringLiteral("sqlite:%1").arg(sqlitePath);
    // The port only when it is not the usual one, as a user would write it.
    const QString portText = port == 5432 ? QString() : QStringLiteral(":%1").arg(port);
    if (host.startsWith(QLatin1Char('/')))
        return QStringLiteral("postgresql://%1@%2/%3?host=%4").arg(user, portText, database, host);
    const QString h = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("postgresql://%1@%2%3/%4").arg(user, h, portText, database);
}

QString maskedDatabaseUrl(const QString &input) {
    QString url = input;
    url.replace(QRegularExpression(QStringLiteral("([?&]password=)[^&#]*")),
                QStringLiteral("\\1***"));
    const int scheme = url.indexOf(QStringLiteral("://"));
    if (scheme < 0)
        return url;
    const int start = scheme + 3;
    int end = url.indexOf(QLatin1Char('/'), start);
    if (end < 0)
        end = url.size();
    const int at = url.lastIndexOf(QLatin1Char('@'), end - 1);
    if (at < start)
        return url;
    const int colon = url.indexOf(QLatin1Char(':'), start);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QStringLiteral("***") + url.mid(at);
}

namespace {
// Percent-decoding that refuses a bad escape instead of passing it on.
bool decode(const QString &in, QString *out) {
    for (int i = 0; i < in.size(); ++i) {
        if (in.at(i) == QLatin1Char('%')) {
            if (i + 2 >= in.size() || !isxdigit(in.at(i + 1).toLatin1()) ||
                !isxdigit(in.at(i + 2).toLatin1()))
                return false;
        }
    }
    *out = QUrl::fromPercentEncoding(in.toUtf8());
    return true;
}
}  // namespace

namespace {
// "word:" at the start: a URL's scheme, not a file name.
bool looksLikeUrl(const QString &text) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return scheme.match(text).hasMatch();
}
}  // namespace

bool parseDatabaseUrl(const QString &url, RecordTarget *target, QString *error,
                      BarePath barePath) {
    const QString shown = maskedDatabaseUrl(url);
    auto fail = [&](const QString &what) {
        if (error)
            *error = QStringLiteral("database URL \"%1\": %2").arg(shown, what);
        return false;
    };
    if (url.trimmed().isEmpty())
        return fail(QStringLiteral("it is empty"));
    for (const QChar c : url) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return fail(QStringLiteral("it contains a control character"));
    }
    // A file's name may well hold a space; a URL never does.
    if (url.startsWith(QStringLiteral("sqlite:"), Qt::CaseInsensitive)) {
        QString path = url.mid(7);
        if (path.startsWith(QStringLiteral("//")))
            path = path.mid(2);
        if (path.isEmpty())
            return fail(QStringLiteral("it names no file"));
        *target = RecordTarget::sqlite(path);
        return true;
    }
    if (barePath == BarePath::Sqlite && !looksLikeUrl(url)) {
        *target = RecordTarget::sqlite(url);
        return true;
    }
    for (const QChar c : url) {
        if (c.isSpace())
            return fail(QStringLiteral("it contains a space"));
    }
    RecordTarget t;
    QString rest;
    for (const char *scheme : {"postgresql://", "postgres://"}) {
        if (url.startsWith(QLatin1String(scheme), Qt::CaseInsensitive)) {
            rest = url.mid(int(qstrlen(scheme)));
            break;
        }
    }
    if (rest.isNull())
        return fail(QStringLiteral("it must begin with postgresql:// or postgres:// "
                                   "(or sqlite: for a database file)"));
    t.kind = RecordTarget::Postgres;
    if (rest.contains(QLatin1Char('#')))
        return fail(QStringLiteral("a fragment (#...) has no meaning here"));
    QString query;
    const int q = rest.indexOf(QLatin1Char('?'));
    if (q >= 0) {
        query = rest.mid(q + 1);
        rest = rest.left(q);
    }
    const int slash = rest.indexOf(QLatin1Char('/'));
    const QString authority = slash < 0 ? rest : rest.left(slash);
    const QString path = slash < 0 ? QString() : rest.mid(slash + 1);

    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return fail(QStringLiteral("it names no user (postgresql://USER@HOST:PORT/DATABASE)"));
    const QString userInfo = authority.left(at);
    if (userInfo.contains(QLatin1Char(':')))
        return fail(QStringLiteral("a password in the URL is refused (it would be kept in the "
                                   "settings and shown in logs): give it in the environment "
                                   "variable PGPASSWORD or in ~/.pgpass"));
    if (!decode(userInfo, &t.user) || t.user.isEmpty())
        return fail(QStringLiteral("it names no user (postgresql://USER@HOST:PORT/DATABASE)"));

    QString hostPort = authority.mid(at + 1);
    QString portText;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const int close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("the address in [ ] is not closed"));
        t.host = hostPort.mid(1, close - 1);
        const QString after = hostPort.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return fail(QStringLiteral("unexpected text after the address in [ ]"));
        if (after == QLatin1String(":"))
            return fail(QStringLiteral("the port after ':' is missing"));
        portText = after.isEmpty() ? QString() : after.mid(1);
    } else {
        const int colon = hostPort.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            portText = hostPort.mid(colon + 1);
            hostPort = hostPort.left(colon);
            if (portText.isEmpty())
                return fail(QStringLiteral("the port after ':' is missing"));
        }
        if (!decode(hostPort, &t.host))
            return fail(QStringLiteral("the host has a bad %-escape"));
    }
    if (!portText.isNull() && !portText.isEmpty()) {
        bool ok = false;
        const int port = portText.toInt(&ok);
        bool digits = true;
        for (const QChar c : portText)
            digits = digits && c.isDigit();
        if (!ok || !digits || port < 1 || port > 65535)
            return fail(QStringLiteral("the port \"%1\" is not a number from 1 to 65535")
                            .arg(portText));
        t.port = port;
    }

    if (!decode(path, &t.database) || t.database.isEmpty())
        return fail(QStringLiteral("it names no database (postgresql://USER@HOST:PORT/DATABASE)"));
    if (t.database.contains(QLatin1Char('/')))
        return fail(QStringLiteral("the database name \"%1\" contains '/'").arg(t.database));

    if (!query.isEmpty()) {
        for (const QString &item : query.split(QLatin1Char('&'))) {
            const int eq = item.indexOf(QLatin1Char('='));
            const QString key = eq < 0 ? item : item.left(eq);
            QString value;
            if (eq < 0 || !decode(item.mid(eq + 1), &value) || value.isEmpty())
                return fail(QStringLiteral("the parameter \"%1\" has no value").arg(key));
            if (key == QLatin1String("host")) {
                t.host = value;
            } else if (key == QLatin1String("sslmode")) {
                static const QStringList modes{"disable", "allow", "prefer", "require",
                                               "verify-ca", "verify-full"};
                if (!modes.contains(value))
                    return fail(QStringLiteral("sslmode \"%1\" is none of %2")
                                    .arg(value, modes.join(QStringLiteral(", "))));
                t.sslMode = value;
            } else if (key == QLatin1String("connect_timeout")) {
                bool ok = false;
                const int s = value.toInt(&ok);
                if (!ok || s < 1 || s > 600)
                    return fail(QStringLiteral("connect_timeout \"%1\" is not a number of "
                                               "seconds from 1 to 600")
                                    .arg(value));
                t.connectTimeoutS = s;
            } else if (key == QLatin1String("password")) {
                return fail(QStringLiteral("a password in the URL is refused: give it in the "
                                           "environment variable PGPASSWORD or in ~/.pgpass"));
            } else {
                return fail(QStringLiteral("unknown parameter \"%1\" (known: host, sslmode, "
                                           "connect_timeout)")
                                .arg(key));
            }
        }
    }
    if (t.host.isEmpty())
        return fail(QStringLiteral("it names no host (postgresql://USER@HOST:PORT/DATABASE, or "
                                   "?host=/socket/folder)"));
    *target = t;
    return true;
}
