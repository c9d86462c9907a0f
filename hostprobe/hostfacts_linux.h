// The system files the checks and fixes read, each in one place: udev rule
// folders, user accounts, who may open a device node, processes, sockets.
// Every path is taken inside the host's root.
#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include "hostchecks.h"

namespace hostchecks {

// The board in its upgrade function.
extern const char kBoardVendor[];
extern const char kBoardProduct[];
// The serial adapters boards are usually wired to (vendor, product): CH340,
// CH341, CH9102, CP210x, FT232R, FT2232, FT231X, PL2303. The first three are the
// CH34x type brltty takes for a braille display.
struct UsbId {
    const char *vendor, *product;
};
extern const QVector<UsbId> kSerialAdapters;
constexpr int kCh34xAdapters = 3;

// The groups distributions give serial ports (Debian's, Arch's): the only ones
// the operator is added to. Not tty, which opens every terminal, nor disk.
extern const QStringList kSerialGroups;

extern const char kBoardRuleName[];
extern const char kModemManagerRuleName[];
extern const char kCardReaderRuleName[];
extern const char kUsbfsMemoryParameter[];
extern const char kUsbfsModprobeFile[];
// What the transfers of boards burning at once need: the kernel's default, which
// the burner is tested with. Zero means no limit.
constexpr int kUsbfsMemoryMb = 16;
constexpr quint16 kAdbPort = 5037;

QString readText(const QString &path);
// A path inside the root as the operator knows it, without a test tree's root.
QString shown(const Host &host, const QString &path);
// The group the serial ports belong to: that of the first port found, else the
// one Debian gives them.
QString serialGroup(const Host &host);

struct RuleFile {
    QString name, path, text;
};
// The rule files udev reads, by name in the order it reads them: a file in
// /etc/udev/rules.d hides one of the same name in /run/udev/rules.d, which hides
// one in /lib or /usr/lib. Masked files (empty, or links to /dev/null) are left out.
QVector<RuleFile> effectiveRules(const Host &host);
// The lines of a rule file that are not comments, with continuations joined.
QStringList ruleLines(const QString &text);

struct Account {
    QString name;
    uint gid = 0;
};
bool account(const Host &host, uint uid, Account *out);
// The groups of /etc/group: name to id, and the ids the user belongs to
// (their primary group and the groups that list them).
bool groupId(const Host &host, const QString &name, uint *gid);
QString groupName(const Host &host, uint gid);
QSet<uint> accountGroups(const Host &host, uint uid);

// May `uid`, a member of `groups`, read and write the node? Owner, group and other
// bits and the access ACL (udev's uaccess tag works through an ACL entry).
bool mayReadWrite(const QString &node, uint uid, const QSet<uint> &groups);

struct Process {
    qint64 pid = 0;
    uint uid = 0;
    QSet<uint> groups;
    QString name;
};
QVector<Process> processes(const Host &host);
bool process(const Host &host, qint64 pid, Process *out);

// The users (by id) who listen on the TCP port on any address, IPv4 and IPv6,
// with the socket inode of each listener.
struct Listener {
    uint uid = 0;
    quint64 inode = 0;
};
QVector<Listener> listeners(const Host &host, quint16 port);
// The processes that hold the socket.
QVector<qint64> socketHolders(const Host &host, quint64 inode);

}  // namespace hostchecks
