// The fixes on Linux. The checker runs as root, so each one touches only what it
// names: rule files of our own (or, for brltty, an override of its own rules)
// with content that is part of this program, the usbfs limit, the operator's
// membership of the serial-port group, and adb servers on the adb port.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>
#include <QtDebug>

#include <csignal>

#include "hostchecks.h"
#include "hostfacts_linux.h"
#include "procscan.h"

namespace hostchecks {

namespace {

constexpr int kAdbStopWaitMs = 3000;

// Written whole or not at all, readable by everyone as udev and modprobe want.
bool writeFile(const Host &host, const QString &path, const QByteArray &content, QString *error) {
    const QString target = host.path(path);
    // A rule masked by a link to /dev/null is unmasked by writing the rule in
    // the link's place: QSaveFile would follow the link and, run as root,
    // replace /dev/null itself (or whatever else the link points at).
    const QFileInfo existing(target);
    if (existing.isSymLink() && !QFile::remove(target)) {
        *error = QCoreApplication::translate("HostChecks", "无法写入%1：无法删除指向%2的链接")
                     .arg(path, existing.symLinkTarget());
        return false;
    }
    QSaveFile file(target);
    if (!QDir().mkpath(QFileInfo(target).path()) || !file.open(QIODevice::WriteOnly) ||
        file.write(content) != content.size() ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                             QFile::ReadOther) ||
        !file.commit()) {
        *error = QCoreApplication::translate("HostChecks", "无法写入%1：%2")
                     .arg(path, file.errorString());
        return false;
    }
    return true;
}

bool installRule(const Host &host, const QString &name, QString *error) {
    QFile rule(QStringLiteral(":/udev/") + name);
    if (!rule.open(QIODevice::ReadOnly)) {
        *error = QCoreApplication::translate("HostChecks", "程序中缺少规则") + name;
        return false;
    }
    return writeFile(host, QStringLiteral("/etc/udev/rules.d/") + name, rule.readAll(), error);
}

// Makes udev read its rules again and, with `trigger` arguments, apply them to
// the devices attached now. Without a running udev the rules still apply from
// its next start, so a failure here does not undo the fix.
void reloadUdev(const Host &host, const QStringList &trigger = {}) {
    QString error;
    if (!host.run(QStringLiteral("udevadm"),
                  {QStringLiteral("control"), QStringLiteral("--reload")}, &error)) {
        qWarning().noquote() << "Failed to reload udev rules:" << error;
        return;
    }
    if (!trigger.isEmpty() && !host.run(QStringLiteral("udevadm"),
                                        QStringList{QStringLiteral("trigger")} + trigger, &error)) {
        qWarning().noquote() << "Failed to apply udev rules:" << error;
    }
}

bool joinSerialGroup(const Host &host, QString *note, QString *error) {
    // The group is looked up again, never taken from the report, and must be one
    // that opens serial ports and nothing more (not tty, which opens every
    // terminal, nor disk or root).
    Account user;
    if (!account(host, host.uid, &user)) {
        *error = QCoreApplication::translate("HostChecks", "未找到用户%1").arg(host.uid);
        return false;
    }
    const QString group = serialGroup(host);
    uint gid = 0;
    if (!kSerialGroups.contains(group) || !groupId(host, group, &gid) || gid == 0) {
        *error =
            QCoreApplication::translate("HostChecks", "串口设备属于%1组，不能自动加入").arg(group);
        return false;
    }
    if (!accountGroups(host, host.uid).contains(gid)) {
        QStringList args = {QStringLiteral("-a"), QStringLiteral("-G"), group, user.name};
        if (!host.live()) {
            args = QStringList{QStringLiteral("-R"), host.root} + args;
        }
        if (!host.run(QStringLiteral("usermod"), args, error)) {
            return false;
        }
    }
    *note = QCoreApplication::translate("HostChecks", "已将用户%1加入%2组，请注销后重新登录")
                .arg(user.name, group);
    return true;
}

// brltty's own rules with the lines that claim CH34x adapters commented out, put
// where they hide the packaged file; its other devices work as before.
bool maskBrltty(const Host &host, QString *error) {
    bool any = false;
    for (const RuleFile &rule : effectiveRules(host)) {
        if (!rule.name.contains(QLatin1String("brltty"))) {
            continue;
        }
        QStringList out = {
            QStringLiteral("# %1 without the lines for CH340/CH341/CH9102 serial adapters,")
                .arg(shown(host, rule.path)),
            QStringLiteral("# which are no braille displays on a burning station. Written by "
                           "KelFlash's HostProbe;"),
            QStringLiteral("# remove this file to give brltty all its rules back."),
        };
        bool changed = false;
        for (const QString &line : rule.text.split(QLatin1Char('\n'))) {
            const QString lower = line.trimmed().toLower();
            bool claims = false;
            for (int i = 0; i < kCh34xAdapters && !lower.startsWith(QLatin1Char('#')); ++i) {
                const UsbId &id = kSerialAdapters[i];
                claims = claims ||
                         lower.contains(QStringLiteral("%1/%2").arg(id.vendor, id.product)) ||
                         (lower.contains(QStringLiteral("\"%1\"").arg(id.vendor)) &&
                          lower.contains(QStringLiteral("\"%1\"").arg(id.product)));
            }
            out << (claims ? QStringLiteral("# ") + line : line);
            changed = changed || claims;
        }
        if (changed) {
            if (!writeFile(host, QStringLiteral("/etc/udev/rules.d/") + rule.name,
                           out.join(QLatin1Char('\n')).toUtf8(), error)) {
                return false;
            }
            any = true;
        }
    }
    if (!any) {
        *error = QCoreApplication::translate("HostChecks", "未找到brltty的udev规则");
        return false;
    }
    reloadUdev(host);
    return true;
}

bool raiseUsbfsMemory(const Host &host, QString *error) {
    const QByteArray value = QByteArray::number(kUsbfsMemoryMb) + '\n';
    QFile parameter(host.path(QString::fromLatin1(kUsbfsMemoryParameter)));
    if (!parameter.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        parameter.write(value) != value.size() || !parameter.flush()) {
        *error = QCoreApplication::translate("HostChecks", "无法修改usbfs_memory_mb：") +
                 parameter.errorString();
        return false;
    }
    // For the next boot too, where usbcore is a module; a kernel built with it
    // takes the value only from its command line.
    return writeFile(host, QString::fromLatin1(kUsbfsModprobeFile),
                     "# Written by KelFlash's HostProbe: room for the transfers of several "
                     "boards burning at once.\noptions usbcore usbfs_memory_mb=" +
                         value,
                     error);
}

// Ends the adb servers of other users that listen on the adb port: only
// processes called adb that hold the listening socket.
bool stopForeignAdb(const Host &host, QString *note) {
    QVector<qint64> pids;
    for (const Listener &l : listeners(host, kAdbPort)) {
        for (qint64 pid : socketHolders(host, l.inode)) {
            Process p;
            if (l.uid != host.uid && process(host, pid, &p) && p.uid == l.uid &&
                p.name == QLatin1String("adb")) {
                pids << pid;
            }
        }
    }
    for (qint64 pid : pids) {
        qDebug().noquote() << "Stop adb server" << pid;
        ::kill(pid_t(pid), SIGTERM);
    }
    for (int waited = 0; waited < kAdbStopWaitMs; waited += 50) {
        bool alive = false;
        for (qint64 pid : pids) {
            alive = alive || procscan::isAlive(pid);
        }
        if (!alive) {
            return true;
        }
        QThread::msleep(50);
    }
    // A server that does not answer its signal is ended without asking.
    bool forced = false;
    for (qint64 pid : pids) {
        if (procscan::isAlive(pid)) {
            ::kill(pid_t(pid), SIGKILL);
            forced = true;
        }
    }
    *note = forced ? QCoreApplication::translate("HostChecks", "adb服务未及时退出，已强制结束")
                   : QString();
    return true;
}

}  // namespace

bool applyFix(const Host &host, Fix fix, QString *note, QString *error) {
    note->clear();
    if (!host.run) {
        *error = QCoreApplication::translate("HostChecks", "无法执行系统命令");
        return false;
    }
    const QString replug = QCoreApplication::translate("HostChecks", "请重新插拔设备");
    switch (fix) {
        case Fix::BoardRule:
            if (!installRule(host, QString::fromLatin1(kBoardRuleName), error)) {
                return false;
            }
            reloadUdev(host, {QStringLiteral("--subsystem-match=usb"),
                              QStringLiteral("--attr-match=idVendor=") + kBoardVendor});
            *note =
                QCoreApplication::translate("HostChecks", "规则已安装，如仍无法访问，") + replug;
            return true;
        case Fix::JoinSerialGroup:
            return joinSerialGroup(host, note, error);
        case Fix::ModemManagerRule:
            if (!installRule(host, QString::fromLatin1(kModemManagerRuleName), error)) {
                return false;
            }
            reloadUdev(host);
            *note = QCoreApplication::translate("HostChecks", "规则已安装，已插入的串口") + replug;
            return true;
        case Fix::MaskBrltty:
            if (!maskBrltty(host, error)) {
                return false;
            }
            *note = QCoreApplication::translate("HostChecks", "已插入的串口") + replug;
            return true;
        case Fix::UsbfsMemory:
            return raiseUsbfsMemory(host, error);
        case Fix::StopForeignAdb:
            return stopForeignAdb(host, note);
        case Fix::CardReaderRule:
            if (!installRule(host, QString::fromLatin1(kCardReaderRuleName), error)) {
                return false;
            }
            reloadUdev(host, {QStringLiteral("--subsystem-match=block")});
            *note = QCoreApplication::translate("HostChecks",
                                                "规则已安装，如仍无法写入，请重新插入读卡器");
            return true;
        case Fix::StopModemManager:
            break;
    }
    *error = QCoreApplication::translate("HostChecks", "该问题需由服务管理处理");
    return false;
}

}  // namespace hostchecks
