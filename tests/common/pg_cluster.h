// A private PostgreSQL server for one test or benchmark: a cluster made by
// initdb in a folder of its own under /tmp, listening only on a Unix socket in
// that folder (no TCP port, nothing another test or the system's cluster could
// meet), stopped and removed again at the end. The server refuses to run as
// root, so when the caller is root the cluster belongs to an unprivileged user
// ("nobody") and every server program runs as that user through runuser.
//
// Needs no test framework, so that benchmarks start the same server: tests
// check available() and skip when the server programs are not installed.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

class PgCluster {
public:
    // The superuser every test connects as (trusted on the socket).
    static QString superuser() { return QStringLiteral("kel"); }

    static QString binDir() {
        const QByteArray env = qgetenv("KEL_PG_BINDIR");
        return env.isEmpty() ? QStringLiteral("/usr/lib/postgresql/15/bin")
                             : QString::fromLocal8Bit(env);
    }

    // Whether the server programs are there (and runuser, when we are root).
    static bool available() {
        for (const char *tool : {"initdb", "pg_ctl", "createdb", "psql"}) {
            if (!QFileInfo(binDir() + QLatin1Char('/') + QLatin1String(tool)).isExecutable())
                return false;
        }
        return geteuid() != 0 || QFileInfo(QStringLiteral("/usr/sbin/runuser")).isExecutable() ||
               QFileInfo(QStringLiteral("/sbin/runuser")).isExecutable();
    }

    // `durable` keeps fsync on (benchmarks measure real commits); tests turn it
    // off, they lose nothing they need when the machine crashes.
    explicit PgCluster(bool durable = false) : m_durable(durable) {}
    ~PgCluster() {
        if (m_running)
            stop();
        if (!m_dir.isEmpty())
            QDir(m_dir).removeRecursively();
    }
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // initdb, start, and create `database`. False with the reason in error().
    bool create(const QString &database = QStringLiteral("kelfleet")) {
        m_database = database;
        QByteArray templ("/tmp/kelpg-XXXXXX");  // short: the socket path has a limit
        if (!mkdtemp(templ.data()))
            return failed(QStringLiteral("mkdtemp failed"));
        m_dir = QString::fromLocal8Bit(templ);
        if (geteuid() == 0) {
            const passwd *pw = getpwnam("nobody");
            if (!pw)
                return failed(QStringLiteral("no user \"nobody\" to run the server as"));
            m_user = QStringLiteral("nobody");
            if (chown(templ.constData(), pw->pw_uid, pw->pw_gid) != 0)
                return failed(QStringLiteral("chown of %1 failed").arg(m_dir));
        }
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), superuser(),
                  QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                  QStringLiteral("--no-locale"), QStringLiteral("-N")}))
            return false;
        QFile conf(dataDir() + QStringLiteral("/postgresql.conf"));
        if (!conf.open(QIODevice::Append))
            return failed(QStringLiteral("cannot append to postgresql.conf"));
        QByteArray extra = "\nlisten_addresses = ''\nunix_socket_directories = '" +
                           m_dir.toLocal8Bit() + "'\nmax_connections = 60\n";
        if (!m_durable)
            extra += "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n";
        conf.write(extra);
        conf.close();
        // Our superuser is trusted; any other role must give its password, so
        // that a wrong password can be tried.
        QFile hba(dataDir() + QStringLiteral("/pg_hba.conf"));
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return failed(QStringLiteral("cannot write pg_hba.conf"));
        hba.write("local all " + superuser().toLatin1() +
                  " trust\nlocal all all scram-sha-256\n");
        hba.close();
        if (!m_user.isEmpty()) {
            // The files written above as root must stay the server's own.
            const passwd *pw = getpwnam("nobody");
            for (const char *f : {"/postgresql.conf", "/pg_hba.conf"}) {
                const QByteArray p = dataDir().toLocal8Bit() + f;
                if (chown(p.constData(), pw->pw_uid, pw->pw_gid) != 0)
                    return failed(QStringLiteral("chown of %1 failed").arg(QString::fromLatin1(p)));
            }
        }
        if (!start())
            return false;
        return run(QStringLiteral("createdb"),
                   {QStringLiteral("-h"), m_dir, QStringLiteral("-p"), QString::number(port()),
                    QStringLiteral("-U"), superuser(), m_database});
    }

    bool start() {
        if (!run(QStringLiteral("pg_ctl"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                  m_dir + QStringLiteral("/server.log"), QStringLiteral("-w"),
                  QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start")}))
            return false;
        m_running = true;
        return true;
    }

    // A fast stop: open connections are cut, as when a server goes away.
    bool stop() {
        m_running = false;
        return run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"), QStringLiteral("fast"),
                    QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                    QStringLiteral("stop")});
    }

    // Runs SQL through psql as the superuser; the output (unaligned, tuples
    // only) in `out`.
    bool psql(const QString &sql, QString *out = nullptr, const QString &database = QString()) {
        return run(QStringLiteral("psql"),
                   {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
                    QStringLiteral("-t"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                    QStringLiteral("-h"), m_dir, QStringLiteral("-p"), QString::number(port()),
                    QStringLiteral("-U"), superuser(), QStringLiteral("-d"),
                    database.isEmpty() ? m_database : database, QStringLiteral("-c"), sql},
                   out);
    }

    // The database's URL as the program takes it: the socket folder as host.
    QString url(const QString &user = QString(), const QString &database = QString()) const {
        return QStringLiteral("postgresql://%1@:%2/%3?host=%4")
            .arg(user.isEmpty() ? superuser() : user)
            .arg(port())
            .arg(database.isEmpty() ? m_database : database, m_dir);
    }

    QString socketDir() const { return m_dir; }
    QString dataDir() const { return m_dir + QStringLiteral("/data"); }
    QString database() const { return m_database; }
    int port() const { return 5432; }  // only names the socket file in our folder
    bool running() const { return m_running; }
    QString error() const { return m_error; }

private:
    bool failed(const QString &why) {
        m_error = why;
        return false;
    }

    bool run(const QString &tool, const QStringList &args, QString *out = nullptr) {
        QProcess p;
        p.setWorkingDirectory(m_dir);  // the server's user may not enter ours
        const QString program = binDir() + QLatin1Char('/') + tool;
        if (m_user.isEmpty()) {
            p.start(program, args);
        } else {
            p.start(QStringLiteral("runuser"),
                    QStringList{QStringLiteral("-u"), m_user, QStringLiteral("--"), program} + args);
        }
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            return failed(QStringLiteral("%1 failed: %2%3").arg(
                tool, QString::fromLocal8Bit(p.readAllStandardError()),
                QString::fromLocal8Bit(p.readAllStandardOutput())));
        }
        if (out)
            *out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        return true;
    }

    bool m_durable;
    bool m_running = false;
    QString m_dir;
    QString m_user;
    QString m_database;
    QString m_error;
};
