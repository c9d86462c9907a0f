#include "hostchecks.h"

#include <QCoreApplication>

namespace hostchecks {

namespace {

struct FixText {
    Fix fix;
    const char *link, *label, *question;
};

const FixText kFixTexts[] = {
    {Fix::BoardRule, "fix:board-rule", QT_TRANSLATE_NOOP("HostChecks", "安装规则"),
     QT_TRANSLATE_NOOP("HostChecks", "确定安装开发板的udev规则吗？")},
    {Fix::JoinSerialGroup, "fix:serial-group", QT_TRANSLATE_NOOP("HostChecks", "加入串口组"),
     QT_TRANSLATE_NOOP("HostChecks", "确定将用户加入串口设备所属的组吗？")},
    {Fix::ModemManagerRule, "fix:modemmanager-rule",
     QT_TRANSLATE_NOOP("HostChecks", "忽略开发板和串口"),
     QT_TRANSLATE_NOOP("HostChecks", "确定让ModemManager忽略开发板和常用串口吗？")},
    {Fix::StopModemManager, "fix:modemmanager-stop", QT_TRANSLATE_NOOP("HostChecks", "停止并禁用"),
     QT_TRANSLATE_NOOP("HostChecks", "确定停止并禁用ModemManager吗？")},
    {Fix::MaskBrltty, "fix:brltty", QT_TRANSLATE_NOOP("HostChecks", "屏蔽这些串口"),
     QT_TRANSLATE_NOOP("HostChecks", "确定让brltty忽略CH340/CH341等串口吗？")},
    {Fix::UsbfsMemory, "fix:usbfs-memory", QT_TRANSLATE_NOOP("HostChecks", "调整为16 MB"),
     QT_TRANSLATE_NOOP("HostChecks", "确定将USB传输内存上限调整为16 MB吗？")},
    {Fix::StopForeignAdb, "fix:adb-server", QT_TRANSLATE_NOOP("HostChecks", "结束该adb服务"),
     QT_TRANSLATE_NOOP("HostChecks", "确定结束其他用户的adb服务吗？")},
    {Fix::CardReaderRule, "fix:card-reader-rule", QT_TRANSLATE_NOOP("HostChecks", "安装读卡器规则"),
     QT_TRANSLATE_NOOP("HostChecks", "确定安装读卡器的udev规则吗？")},
};

const FixText &textOf(Fix fix) {
    for (const FixText &t : kFixTexts) {
        if (t.fix == fix) {
            return t;
        }
    }
    Q_UNREACHABLE();
}

}  // namespace

QString Host::path(const QString &p) const {
    if (live()) {
        return p;
    }
    return root.endsWith(QLatin1Char('/')) ? root + p.mid(1) : root + p;
}

QVector<Finding> checkAll(const Host &host) {
    QVector<Finding> all;
    for (auto check : {checkBoardAccess, checkSerialGroup, checkModemManager, checkBrltty,
                       checkUsbfsMemory, checkAdb, checkCardReaders}) {
        all += check(host);
    }
    return all;
}

QString fixLabel(Fix fix) {
    return QCoreApplication::translate("HostChecks", textOf(fix).label);
}

QString fixQuestion(Fix fix) {
    return QCoreApplication::translate("HostChecks", textOf(fix).question);
}

QString fixLink(Fix fix) {
    return QString::fromLatin1(textOf(fix).link);
}

bool fixFromLink(const QString &link, Fix *fix) {
    for (const FixText &t : kFixTexts) {
        if (link == QLatin1String(t.link)) {
            *fix = t.fix;
            return true;
        }
    }
    return false;
}

}  // namespace hostchecks
