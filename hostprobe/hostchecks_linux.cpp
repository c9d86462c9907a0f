// The checks on Linux: udev rules and node rights for the board and card
// readers, the serial-port group, ModemManager and brltty (both take serial
// adapters as they appear), the usbfs memory limit, and adb.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

#include "hostchecks.h"
#include "hostfacts_linux.h"
#include "services.h"

namespace hostchecks {

namespace {

const QStringList kSystemBinFolders = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                       "/usr/bin",        "/sbin",          "/bin"};

// A rule line that matches the USB id, in any of the ways rules name one:
// ATTRS{idVendor}=="1a86" with ATTRS{idProduct}=="7523", or ENV{PRODUCT}=="1a86/7523/*".
// A line naming the vendor but no product matches every product of the vendor.
bool lineMatches(const QString &line, const QString &vendor, const QString &product) {
    const QString l = line.toLower();
    if (l.contains(vendor + QLatin1Char('/') + product)) {
        return true;
    }
    if (!l.contains(QLatin1Char('"') + vendor + QLatin1Char('"'))) {
        return false;
    }
    const bool namesProduct =
        l.contains(QLatin1String("idproduct")) || l.contains(QLatin1String("id_model_id"));
    return !namesProduct || l.contains(QLatin1Char('"') + product + QLatin1Char('"'));
}

// Does some rule line that sets `key` match the id?
bool rulesCover(const QVector<RuleFile> &rules, const QString &key, const QString &vendor,
                const QString &product) {
    for (const RuleFile &rule : rules) {
        for (const QString &line : ruleLines(rule.text)) {
            if (line.contains(key) && lineMatches(line, vendor, product)) {
                return true;
            }
        }
    }
    return false;
}

QString userName(const Host &host, uint uid) {
    Account user;
    return account(host, uid, &user) ? user.name : QString::number(uid);
}

// The upgrade-function boards attached now, by their usbfs node.
QStringList boardNodes(const Host &host) {
    QStringList nodes;
    const QDir devices(host.path(QStringLiteral("/sys/bus/usb/devices")));
    for (const QString &entry : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        auto attr = [&](const char *name) {
            return readText(devices.filePath(entry) + QLatin1Char('/') + QLatin1String(name))
                .trimmed()
                .toLower();
        };
        if (attr("idVendor") != QLatin1String(kBoardVendor) ||
            attr("idProduct") != QLatin1String(kBoardProduct)) {
            continue;
        }
        nodes << QStringLiteral("/dev/bus/usb/%1/%2")
                     .arg(attr("busnum").toInt(), 3, 10, QLatin1Char('0'))
                     .arg(attr("devnum").toInt(), 3, 10, QLatin1Char('0'));
    }
    return nodes;
}

QStringList inaccessible(const Host &host, const QStringList &nodes) {
    const QSet<uint> groups = accountGroups(host, host.uid);
    QStringList out;
    for (const QString &node : nodes) {
        if (QFileInfo::exists(host.path(node)) &&
            !mayReadWrite(host.path(node), host.uid, groups)) {
            out << node;
        }
    }
    return out;
}

bool defaultRun(const QString &program, const QStringList &args, QString *error) {
    const QString path = QFileInfo(program).isAbsolute()
                             ? program
                             : QStandardPaths::findExecutable(program, kSystemBinFolders);
    if (path.isEmpty()) {
        *error = QCoreApplication::translate("HostChecks", "未找到") + program;
        return false;
    }
    QProcess run;
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(path, args);
    if (!run.waitForFinished(60000) || run.exitStatus() != QProcess::NormalExit ||
        run.exitCode() != 0) {
        *error = QString::fromLocal8Bit(run.readAll()).trimmed();
        if (error->isEmpty()) {
            *error = program + QCoreApplication::translate("HostChecks", " 执行失败");
        }
        return false;
    }
    return true;
}

}  // namespace

Host operatorHost() {
    Host host;
    // pkexec names the user who asked for the rights; run without it, the
    // operator is whoever runs the checker.
    bool ok = false;
    const uint pkexecUid = qEnvironmentVariable("PKEXEC_UID").toUInt(&ok);
    host.uid = ok ? pkexecUid : getuid();
    host.sessionPid = getppid();
    host.programDir = QCoreApplication::applicationDirPath();
    host.run = defaultRun;
    return host;
}

QString modemManagerService() {
    return QStringLiteral("ModemManager.service");
}

QVector<Finding> checkBoardAccess(const Host &host) {
    if (host.uid == 0) {
        return {};
    }
    const QStringList nodes = inaccessible(host, boardNodes(host));
    // Our rule hands the node to the user at the seat; a rule of the site's own
    // may instead give it a group or mode.
    const QVector<RuleFile> rules = effectiveRules(host);
    bool ruled = false;
    for (const char *key : {"uaccess", "MODE", "GROUP", "OWNER"}) {
        ruled = ruled || rulesCover(rules, QLatin1String(key), kBoardVendor, kBoardProduct);
    }
    if (!ruled) {
        return {{QCoreApplication::translate("HostChecks",
                                             "未安装开发板的udev规则，当前用户无法访问开发板"),
                 QStringList{QStringLiteral("/etc/udev/rules.d/") + kBoardRuleName} + nodes,
                 QString(),
                 {Fix::BoardRule}}};
    }
    if (!nodes.isEmpty()) {
        return {{QCoreApplication::translate("HostChecks", "当前用户无法访问开发板的设备节点"),
                 nodes,
                 QCoreApplication::translate("HostChecks", "规则已安装，重新插拔开发板后生效"),
                 {Fix::BoardRule}}};
    }
    return {};
}

QVector<Finding> checkSerialGroup(const Host &host) {
    if (host.uid == 0) {
        return {};
    }
    // Users of a directory service are not in the local files, nor is their
    // membership: nothing can be said about them here.
    Account operatorAccount;
    if (!account(host, host.uid, &operatorAccount)) {
        return {};
    }
    const QString group = serialGroup(host);
    uint gid = 0;
    if (!groupId(host, group, &gid)) {
        return {};
    }
    const QString user = operatorAccount.name;
    if (!accountGroups(host, host.uid).contains(gid)) {
        const QString heading =
            QCoreApplication::translate("HostChecks", "用户%1不在串口设备所属的%2组，无法打开串口")
                .arg(user, group);
        if (!kSerialGroups.contains(group)) {
            return {{heading,
                     {},
                     QCoreApplication::translate("HostChecks", "该组权限过大，请联系管理员处理"),
                     {}}};
        }
        return {{heading, {}, QString(), {Fix::JoinSerialGroup}}};
    }
    // The session the checker was started from shows whether the membership has
    // taken effect; without one, any process of the operator's does.
    QVector<Process> session;
    Process starter;
    if (host.sessionPid > 0 && process(host, host.sessionPid, &starter) &&
        starter.uid == host.uid) {
        session = {starter};
    } else {
        for (const Process &p : processes(host)) {
            if (p.uid == host.uid) {
                session << p;
            }
        }
    }
    bool effective = session.isEmpty();
    for (const Process &p : session) {
        effective = effective || p.groups.contains(gid);
    }
    if (!effective) {
        return {{QCoreApplication::translate("HostChecks", "用户%1已加入%2组，但尚未重新登录")
                     .arg(user, group),
                 {},
                 QCoreApplication::translate("HostChecks", "请注销后重新登录"),
                 {}}};
    }
    return {};
}

QVector<Finding> checkModemManager(const Host &host) {
    if (hostservices::state(modemManagerService()) != hostservices::State::Active) {
        return {};
    }
    const QVector<RuleFile> rules = effectiveRules(host);
    const QString key = QStringLiteral("ID_MM_DEVICE_IGNORE");
    bool covered = rulesCover(rules, key, kBoardVendor, kBoardProduct);
    for (const UsbId &id : kSerialAdapters) {
        covered = covered && rulesCover(rules, key, id.vendor, id.product);
    }
    if (covered) {
        return {};
    }
    return {{QCoreApplication::translate("HostChecks",
                                         "运行了ModemManager，串口出现后的数秒内会被它占用"),
             {QStringLiteral("ModemManager")},
             QString(),
             {Fix::ModemManagerRule, Fix::StopModemManager}}};
}

QVector<Finding> checkBrltty(const Host &host) {
    QStringList files;
    for (const RuleFile &rule : effectiveRules(host)) {
        if (!rule.name.contains(QLatin1String("brltty"))) {
            continue;
        }
        bool claims = false;
        for (const QString &line : ruleLines(rule.text)) {
            for (int i = 0; i < kCh34xAdapters; ++i) {
                claims = claims ||
                         lineMatches(line, kSerialAdapters[i].vendor, kSerialAdapters[i].product);
            }
        }
        if (claims) {
            files << shown(host, rule.path);
        }
    }
    if (files.isEmpty()) {
        return {};
    }
    return {{QCoreApplication::translate("HostChecks",
                                         "brltty（盲文显示器服务）会占用CH340/CH341等串口"),
             files,
             QString(),
             {Fix::MaskBrltty}}};
}

QVector<Finding> checkUsbfsMemory(const Host &host) {
    bool ok = false;
    const int mb =
        readText(host.path(QString::fromLatin1(kUsbfsMemoryParameter))).trimmed().toInt(&ok);
    if (!ok || mb == 0 || mb >= kUsbfsMemoryMb) {
        return {};
    }
    return {{QCoreApplication::translate("HostChecks", "USB传输内存上限过小，烧写可能失败"),
             {QCoreApplication::translate("HostChecks", "usbfs_memory_mb为%1 MB，至少需要%2 MB")
                  .arg(mb)
                  .arg(kUsbfsMemoryMb)},
             QString(),
             {Fix::UsbfsMemory}}};
}

QVector<Finding> checkAdb(const Host &host) {
    QVector<Finding> out;
    QStringList holders;
    for (const Listener &l : listeners(host, kAdbPort)) {
        if (l.uid == host.uid) {
            continue;
        }
        QStringList pids;
        for (qint64 pid : socketHolders(host, l.inode)) {
            pids << QString::number(pid);
        }
        holders << QCoreApplication::translate("HostChecks", "用户%1").arg(userName(host, l.uid)) +
                       (pids.isEmpty() ? QString()
                                       : QCoreApplication::translate("HostChecks", "（进程%1）")
                                             .arg(pids.join(',')));
    }
    if (!holders.isEmpty()) {
        out.append({QCoreApplication::translate("HostChecks", "其他用户的adb服务占用了adb端口%1")
                        .arg(kAdbPort),
                    holders,
                    QString(),
                    {Fix::StopForeignAdb}});
    }

    bool found = QFileInfo(host.programDir + QStringLiteral("/adb/adb")).isExecutable();
    for (const QString &folder : kSystemBinFolders) {
        found = found || QFileInfo(host.path(folder + QStringLiteral("/adb"))).isExecutable();
    }
    if (!found) {
        out.append(
            {QCoreApplication::translate("HostChecks", "未找到adb程序，无法连接运行Linux的开发板"),
             {},
             QCoreApplication::translate("HostChecks", "请安装adb（apt install adb）"),
             {}});
    }
    return out;
}

QVector<Finding> checkCardReaders(const Host &host) {
    if (host.uid == 0) {
        return {};
    }
    // Removable disks on USB, and SD cards in a reader of the machine's own.
    QStringList readers;
    const QDir block(host.path(QStringLiteral("/sys/block")));
    for (const QString &disk :
         block.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
        const bool usb = QFileInfo(block.filePath(disk)).symLinkTarget().contains("/usb");
        const bool removable =
            readText(block.filePath(disk) + QStringLiteral("/removable")).trimmed() == "1";
        // An mmcblk disk is an SD card or soldered eMMC; only the card is for us.
        const bool sdCard =
            readText(block.filePath(disk) + QStringLiteral("/device/type")).trimmed() == "SD";
        if ((usb && removable) || sdCard) {
            readers << QStringLiteral("/dev/") + disk;
        }
    }
    const QStringList nodes = inaccessible(host, readers);
    if (nodes.isEmpty()) {
        return {};
    }
    return {{QCoreApplication::translate("HostChecks", "当前用户无法写入读卡器"),
             nodes,
             QCoreApplication::translate("HostChecks",
                                         "不建议加入disk组：它能读写所有磁盘，等同root权限"),
             {Fix::CardReaderRule}}};
}

}  // namespace hostchecks
