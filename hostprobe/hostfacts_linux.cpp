#include "hostfacts_linux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

#include <cstring>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace hostchecks {

const char kBoardVendor[] = "33c3";
const char kBoardProduct[] = "6677";
const QVector<UsbId> kSerialAdapters = {
    {"1a86", "7523"}, {"1a86", "5523"}, {"1a86", "55d4"}, {"10c4", "ea60"},
    {"0403", "6001"}, {"0403", "6010"}, {"0403", "6015"}, {"067b", "2303"},
};
const QStringList kSerialGroups = {QStringLiteral("dialout"), QStringLiteral("uucp")};
const char kBoardRuleName[] = "70-kelflash.rules";
// Before 73-seat-late.rules, which turns the uaccess tag into the ACL.
const char kModemManagerRuleName[] = "70-kelflash-modemmanager.rules";
const char kCardReaderRuleName[] = "70-kelflash-cardreader.rules";
const char kUsbfsMemoryParameter[] = "/sys/module/usbcore/parameters/usbfs_memory_mb";
const char kUsbfsModprobeFile[] = "/etc/modprobe.d/kelflash-usbfs.conf";

QString readText(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString shown(const Host &host, const QString &path) {
    return host.live() ? path : QStringLiteral("/") + QDir(host.root).relativeFilePath(path);
}

QString serialGroup(const Host &host) {
    const QDir dev(host.path(QStringLiteral("/dev")));
    for (const QString &node :
         dev.entryList({"ttyUSB*", "ttyACM*", "ttyS*"}, QDir::System | QDir::Files, QDir::Name)) {
        struct stat st {};
        // A port left to root alone (as in a container) names no group.
        if (stat(QFile::encodeName(dev.filePath(node)).constData(), &st) == 0 && st.st_gid != 0) {
            const QString name = groupName(host, st.st_gid);
            if (!name.isEmpty()) {
                return name;
            }
        }
    }
    return QStringLiteral("dialout");
}

QVector<RuleFile> effectiveRules(const Host &host) {
    // Highest precedence first; the first folder that has a name decides it.
    const char *const folders[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d",
                                   "/usr/lib/udev/rules.d"};
    QMap<QString, QString> byName;
    for (const char *folder : folders) {
        const QDir dir(host.path(QString::fromLatin1(folder)));
        for (const QFileInfo &info :
             dir.entryInfoList({QStringLiteral("*.rules")}, QDir::Files | QDir::System)) {
            if (!byName.contains(info.fileName())) {
                byName.insert(info.fileName(), info.filePath());
            }
        }
    }
    QVector<RuleFile> rules;
    // A mask, a link to /dev/null or an empty file, reads empty.
    for (auto it = byName.cbegin(); it != byName.cend(); ++it) {
        const QString text = readText(it.value());
        if (!text.trimmed().isEmpty()) {
            rules.append({it.key(), it.value(), text});
        }
    }
    return rules;
}

QStringList ruleLines(const QString &text) {
    QStringList lines;
    QString pending;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        QString line = raw.trimmed();
        if (pending.isEmpty() && (line.isEmpty() || line.startsWith(QLatin1Char('#')))) {
            continue;
        }
        if (line.endsWith(QLatin1Char('\\'))) {
            pending += line.chopped(1) + QLatin1Char(' ');
            continue;
        }
        lines << pending + line;
        pending.clear();
    }
    return lines;
}

namespace {

// The colon-separated records of a passwd-style file.
QVector<QStringList> records(const QString &path) {
    QVector<QStringList> out;
    for (const QString &line : readText(path).split(QLatin1Char('\n'))) {
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
            out.append(line.split(QLatin1Char(':')));
        }
    }
    return out;
}

bool toUint(const QString &text, uint *value) {
    bool ok = false;
    *value = text.toUInt(&ok);
    return ok;
}

}  // namespace

bool account(const Host &host, uint uid, Account *out) {
    for (const QStringList &r : records(host.path(QStringLiteral("/etc/passwd")))) {
        uint id = 0, gid = 0;
        if (r.size() >= 4 && toUint(r[2], &id) && id == uid && toUint(r[3], &gid)) {
            *out = {r[0], gid};
            return true;
        }
    }
    return false;
}

bool groupId(const Host &host, const QString &name, uint *gid) {
    for (const QStringList &r : records(host.path(QStringLiteral("/etc/group")))) {
        if (r.size() >= 3 && r[0] == name && toUint(r[2], gid)) {
            return true;
        }
    }
    return false;
}

QString groupName(const Host &host, uint gid) {
    for (const QStringList &r : records(host.path(QStringLiteral("/etc/group")))) {
        uint id = 0;
        if (r.size() >= 3 && toUint(r[2], &id) && id == gid) {
            return r[0];
        }
    }
    return QString();
}

QSet<uint> accountGroups(const Host &host, uint uid) {
    QSet<uint> groups;
    Account user;
    if (!account(host, uid, &user)) {
        return groups;
    }
    groups.insert(user.gid);
    for (const QStringList &r : records(host.path(QStringLiteral("/etc/group")))) {
        uint gid = 0;
        if (r.size() >= 4 && toUint(r[2], &gid) &&
            r[3].split(QLatin1Char(','), Qt::SkipEmptyParts).contains(user.name)) {
            groups.insert(gid);
        }
    }
    return groups;
}

bool mayReadWrite(const QString &node, uint uid, const QSet<uint> &groups) {
    if (uid == 0) {
        return true;
    }
    const QByteArray path = QFile::encodeName(node);
    struct stat st {};
    if (stat(path.constData(), &st) != 0) {
        return false;
    }
    constexpr unsigned kRw = 6;
    auto grants = [](unsigned perm) { return (perm & kRw) == kRw; };
    if (st.st_uid == uid) {
        return grants((st.st_mode >> 6) & 7);
    }

    // The access ACL as the kernel stores it: a version word, then entries of
    // tag (16 bits), permissions (16 bits) and id (32 bits).
    enum : quint16 { UserObj = 1, User = 2, GroupObj = 4, Group = 8, Mask = 0x10, Other = 0x20 };
    struct Entry {
        quint16 tag, perm;
        quint32 id;
    };
    QVector<Entry> acl;
    char buf[4096];
    const ssize_t n = getxattr(path.constData(), "system.posix_acl_access", buf, sizeof(buf));
    if (n >= 4) {
        for (ssize_t at = 4; at + 8 <= n; at += 8) {
            Entry e;
            memcpy(&e.tag, buf + at, 2);
            memcpy(&e.perm, buf + at + 2, 2);
            memcpy(&e.id, buf + at + 4, 4);
            acl.append(e);
        }
    }
    if (acl.isEmpty()) {
        const bool inGroup = groups.contains(st.st_gid);
        return grants(inGroup ? (st.st_mode >> 3) & 7 : st.st_mode & 7);
    }

    unsigned mask = 7;
    for (const Entry &e : acl) {
        mask = e.tag == Mask ? e.perm : mask;
    }
    bool groupMatched = false;
    for (const Entry &e : acl) {
        if (e.tag == User && e.id == uid) {
            return grants(e.perm & mask);
        }
    }
    for (const Entry &e : acl) {
        const bool member = (e.tag == GroupObj && groups.contains(st.st_gid)) ||
                            (e.tag == Group && groups.contains(e.id));
        if (member) {
            groupMatched = true;
            if (grants(e.perm & mask)) {
                return true;
            }
        }
    }
    if (groupMatched) {
        return false;
    }
    for (const Entry &e : acl) {
        if (e.tag == Other) {
            return grants(e.perm);
        }
    }
    return false;
}

bool process(const Host &host, qint64 pid, Process *out) {
    const QString dir = host.path(QStringLiteral("/proc/%1").arg(pid));
    const QString status = readText(dir + QStringLiteral("/status"));
    if (status.isEmpty()) {
        return false;
    }
    *out = Process{};
    out->pid = pid;
    out->name = readText(dir + QStringLiteral("/comm")).trimmed();
    for (const QString &line : status.split(QLatin1Char('\n'))) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        if (fields.first() == QLatin1String("Uid:") && fields.size() > 1) {
            toUint(fields[1], &out->uid);
        } else if (fields.first() == QLatin1String("Groups:")) {
            for (int i = 1; i < fields.size(); ++i) {
                uint gid = 0;
                if (toUint(fields[i], &gid)) {
                    out->groups.insert(gid);
                }
            }
        }
    }
    return true;
}

QVector<Process> processes(const Host &host) {
    QVector<Process> out;
    const QDir proc(host.path(QStringLiteral("/proc")));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        Process p;
        if (ok && pid > 0 && process(host, pid, &p)) {
            out.append(p);
        }
    }
    return out;
}

QVector<Listener> listeners(const Host &host, quint16 port) {
    // Lines of "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...";
    // addresses are hex "ADDR:PORT", state 0A is LISTEN.
    QVector<Listener> out;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const QStringList lines = readText(host.path(QString::fromLatin1(table))).split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QStringList f = lines[i].simplified().split(QLatin1Char(' '));
            if (f.size() < 10 || f[3] != QLatin1String("0A")) {
                continue;
            }
            bool ok = false;
            if (f[1].section(QLatin1Char(':'), 1).toUInt(&ok, 16) != port || !ok) {
                continue;
            }
            Listener l;
            l.uid = f[7].toUInt();
            l.inode = f[9].toULongLong();
            out.append(l);
        }
    }
    return out;
}

QVector<qint64> socketHolders(const Host &host, quint64 inode) {
    QVector<qint64> out;
    const QString socket = QStringLiteral("socket:[%1]").arg(inode);
    for (const Process &p : processes(host)) {
        const QDir fds(host.path(QStringLiteral("/proc/%1/fd").arg(p.pid)));
        for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            char target[64];
            const QByteArray link = QFile::encodeName(fds.filePath(fd));
            const ssize_t n = readlink(link.constData(), target, sizeof(target));
            if (n > 0 && QString::fromLatin1(target, int(n)) == socket) {
                out.append(p.pid);
                break;
            }
        }
    }
    return out;
}

}  // namespace hostchecks
