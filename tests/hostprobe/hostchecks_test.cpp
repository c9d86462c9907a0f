// The host checks and their fixes, each against a host's files in a directory of
// the test's own; the service ones against a systemd of python-dbusmock.
#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <sys/xattr.h>

#include "fake_host.h"
#include "hostchecks.h"
#include "hostprobe.h"
#include "keldialog.h"

using namespace hostchecks;

// For the messages of failed expectations.
std::ostream &operator<<(std::ostream &os, const QString &text) {
    return os << text.toStdString();
}

namespace {

constexpr uint kAlice = 1000;
const QString kBoardRule =
    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"33c3\", "
    "ATTR{idProduct}==\"6677\", MODE=\"0660\", TAG+=\"uaccess\"\n";
// As Debian's brltty package has them.
const QString kBrltty =
    "# Device: 1A86:7523\n"
    "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"\n"
    "ENV{PRODUCT}==\"1c71/c005/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"ba\", GOTO=\"brltty_usb_run\"\n";

void users(FakeHostTree &t, const QString &dialout = "") {
    t.file("etc/passwd",
           "root:x:0:0::/root:/bin/bash\nalice:x:1000:1000::/home/alice:/bin/bash\n"
           "bob:x:1001:1001::/home/bob:/bin/bash\n");
    t.file("etc/group", "root:x:0:\ntty:x:5:\ndisk:x:6:\nuucp:x:10:\ndialout:x:20:" + dialout +
                            "\nalice:x:1000:\nbob:x:1001:\n");
}

// A board on bus 1 at address 7, its node owned by root:`gid` with `mode`.
void board(FakeHostTree &t, int mode, int gid = 0) {
    t.file("sys/bus/usb/devices/1-2/idVendor", "33c3\n");
    t.file("sys/bus/usb/devices/1-2/idProduct", "6677\n");
    t.file("sys/bus/usb/devices/1-2/busnum", "1\n");
    t.file("sys/bus/usb/devices/1-2/devnum", "7\n");
    t.file("dev/bus/usb/001/007", "", mode, gid);
}

// A disk `name` in /sys/block below `parent`, its node root:disk 0660.
void disk(FakeHostTree &t, const QString &name, const QString &parent, const char *removable,
          const char *type = "") {
    const QString dir = "sys/devices/" + parent + "/block/" + name;
    t.file(dir + "/removable", QString(removable) + "\n");
    t.file(dir + "/device/type", QString(type) + "\n");
    t.link("sys/block/" + name, t.path(dir));
    t.file("dev/" + name, "", 0660, 6);
}

struct Case {
    const char *name;
    std::function<void(FakeHostTree &)> setup;
    QVector<Finding> (*check)(const Host &);
    QString heading;  // empty: nothing found
    QStringList items;
    QVector<Fix> fixes;
    // What the first fix leaves behind: a file and a line of it, and the command run.
    QString file, line, command;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class HostCheck : public ::testing::TestWithParam<Case> {};

TEST_P(HostCheck, FindsAndFixes) {
    const Case &c = GetParam();
    FakeHostTree tree;
    users(tree);
    c.setup(tree);
    const Host host = tree.host(kAlice);
    const QVector<Finding> found = c.check(host);
    if (c.heading.isEmpty()) {
        EXPECT_TRUE(found.isEmpty()) << found.value(0).heading;
        return;
    }
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found[0].heading, c.heading);
    EXPECT_EQ(found[0].items, c.items);
    EXPECT_EQ(found[0].fixes, c.fixes);
    if (c.fixes.isEmpty()) {
        return;
    }
    QString note, error;
    ASSERT_TRUE(applyFix(host, c.fixes[0], &note, &error)) << error;
    EXPECT_TRUE(tree.read(c.file).contains(c.line)) << tree.read(c.file);
    EXPECT_TRUE(tree.read("dev/null").isEmpty()) << "a fix wrote through a masking link";
    const QStringList &run = *tree.commands;
    EXPECT_TRUE(c.command.isEmpty() ||
                std::any_of(run.begin(), run.end(),
                            [&](const QString &cmd) { return cmd.startsWith(c.command); }))
        << tree.commands->join('\n');
    // A rule only changes a node's rights once udev applies it; everything else is
    // gone from the report at once.
    if (c.check != checkBoardAccess && c.check != checkCardReaders) {
        EXPECT_TRUE(c.check(host).isEmpty()) << c.check(host).value(0).heading;
    }
}

const QString kNoRule = "未安装开发板的udev规则，当前用户无法访问开发板";
const QString kRulePath = "/etc/udev/rules.d/70-kelflash.rules";
const QString kReload = "udevadm control --reload";

INSTANTIATE_TEST_SUITE_P(
    HostProbe, HostCheck,
    ::testing::Values(
        Case{"NoBoardRule",
             [](FakeHostTree &) {},
             checkBoardAccess,
             kNoRule,
             {kRulePath},
             {Fix::BoardRule},
             "etc/udev/rules.d/70-kelflash.rules",
             "TAG+=\"uaccess\"",
             "udevadm trigger --subsystem-match=usb --attr-match=idVendor=33c3"},
        Case{"BoardRuleMaskedInEtc",
             [](FakeHostTree &t) {
                 t.file("lib/udev/rules.d/70-kelflash.rules", kBoardRule);
                 // The mask points into the tree: the fix must replace the
                 // link, never write through it (as root, into /dev/null).
                 t.file("dev/null", "");
                 t.link("etc/udev/rules.d/70-kelflash.rules", t.path("dev/null"));
                 board(t, 0660);
             },
             checkBoardAccess,
             kNoRule,
             {kRulePath, "/dev/bus/usb/001/007"},
             {Fix::BoardRule},
             "etc/udev/rules.d/70-kelflash.rules",
             "33c3",
             kReload},
        Case{"BoardNodeClosed",
             [](FakeHostTree &t) {
                 t.file("lib/udev/rules.d/70-kelflash.rules", kBoardRule);
                 board(t, 0660);
             },
             checkBoardAccess,
             "当前用户无法访问开发板的设备节点",
             {"/dev/bus/usb/001/007"},
             {Fix::BoardRule},
             "etc/udev/rules.d/70-kelflash.rules",
             "6677",
             kReload},
        Case{"BoardNodeOfOperatorsGroup",
             [](FakeHostTree &t) {
                 t.file("usr/lib/udev/rules.d/70-kelflash.rules", kBoardRule);
                 board(t, 0660, 1000);
             },
             checkBoardAccess},
        Case{"SiteRuleGivesAGroup",
             [](FakeHostTree &t) {
                 t.file("etc/udev/rules.d/50-site.rules",
                        "# boards\nSUBSYSTEM==\"usb\", ATTRS{idVendor}==\"33c3\", \\\n"
                        "  GROUP=\"plugdev\"\n");
             },
             checkBoardAccess},
        Case{"NotInDialout",
             [](FakeHostTree &) {},
             checkSerialGroup,
             "用户alice不在串口设备所属的dialout组，无法打开串口",
             {},
             {Fix::JoinSerialGroup},
             "etc/group",
             "dialout:x:20:alice",
             "usermod -R"},
        Case{"PortsOfRootAlone",
             [](FakeHostTree &t) { t.file("dev/ttyS0", "", 0600, 0); },
             checkSerialGroup,
             "用户alice不在串口设备所属的dialout组，无法打开串口",
             {},
             {Fix::JoinSerialGroup},
             "etc/group",
             "dialout:x:20:alice",
             "usermod -R"},
        Case{"PortsOfUucp",
             [](FakeHostTree &t) { t.file("dev/ttyUSB0", "", 0660, 10); },
             checkSerialGroup,
             "用户alice不在串口设备所属的uucp组，无法打开串口",
             {},
             {Fix::JoinSerialGroup},
             "etc/group",
             "uucp:x:10:alice",
             "usermod -R"},
        Case{"DirectoryUser", [](FakeHostTree &t) { t.file("etc/passwd", "root:x:0:0::/:\n"); },
             checkSerialGroup},
        Case{"InDialoutNotLoggedInAgain",
             [](FakeHostTree &t) {
                 users(t, "bob,alice");
                 t.process(300, "bash", kAlice, "1000");
                 t.process(301, "bash", 1001, "20 1001");
             },
             checkSerialGroup,
             "用户alice已加入dialout组，但尚未重新登录",
             {},
             {}},
        Case{"InDialoutLoggedIn",
             [](FakeHostTree &t) {
                 users(t, "alice");
                 t.process(300, "bash", kAlice, "20 1000");
             },
             checkSerialGroup},
        Case{"BrlttyClaimsCh340",
             [](FakeHostTree &t) { t.file("lib/udev/rules.d/85-brltty.rules", kBrltty); },
             checkBrltty,
             "brltty（盲文显示器服务）会占用CH340/CH341等串口",
             {"/lib/udev/rules.d/85-brltty.rules"},
             {Fix::MaskBrltty},
             "etc/udev/rules.d/85-brltty.rules",
             "\nENV{PRODUCT}==\"1c71/c005/*\"",
             kReload},
        Case{"BrlttyWithoutCh340",
             [](FakeHostTree &t) {
                 t.file("lib/udev/rules.d/85-brltty.rules", kBrltty.section('\n', 2));
             },
             checkBrltty},
        Case{
            "UsbfsLimitSmall",
            [](FakeHostTree &t) { t.file("sys/module/usbcore/parameters/usbfs_memory_mb", "4\n"); },
            checkUsbfsMemory,
            "USB传输内存上限过小，烧写可能失败",
            {"usbfs_memory_mb为4 MB，至少需要16 MB"},
            {Fix::UsbfsMemory},
            "etc/modprobe.d/kelflash-usbfs.conf",
            "options usbcore usbfs_memory_mb=16"},
        Case{
            "UsbfsUnlimited",
            [](FakeHostTree &t) { t.file("sys/module/usbcore/parameters/usbfs_memory_mb", "0\n"); },
            checkUsbfsMemory},
        Case{"NoAdb",
             [](FakeHostTree &t) { QFile::remove(t.path("usr/bin/adb")); },
             checkAdb,
             "未找到adb程序，无法连接运行Linux的开发板",
             {},
             {}},
        Case{"BundledAdbOnly",
             [](FakeHostTree &t) {
                 QFile::remove(t.path("usr/bin/adb"));
                 t.file("opt/kelflash/adb/adb", "", 0755);
             },
             checkAdb},
        Case{"OwnAdbServer",
             [](FakeHostTree &t) {
                 t.file("proc/net/tcp",
                        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                        "retrnsmt   uid  timeout inode\n"
                        "   0: 0100007F:13AD 00000000:0000 0A 00000000:00000000 00:00000000 "
                        "00000000  1000        0 4242 1 0 100 0 0 10 0\n");
             },
             checkAdb},
        Case{"UsbCardReaderClosed",
             [](FakeHostTree &t) {
                 disk(t, "sda", "pci0000:00/0000:00:17.0/ata1/host0", "0");
                 disk(t, "sdb", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/host6", "1");
                 disk(t, "mmcblk0", "platform/mmc0/mmc_host/mmc0", "0", "SD");
                 disk(t, "mmcblk1", "platform/mmc1/mmc_host/mmc1", "0", "MMC");
             },
             checkCardReaders,
             "当前用户无法写入读卡器",
             {"/dev/mmcblk0", "/dev/sdb"},
             {Fix::CardReaderRule},
             "etc/udev/rules.d/70-kelflash-cardreader.rules",
             "TAG+=\"uaccess\"",
             "udevadm trigger --subsystem-match=block"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Joining is for the serial-port groups only: the tty group would open every
// terminal of the machine to the operator.
TEST(HostCheckSerialGroup, PortsOfAnotherGroupAreNotJoined) {
    FakeHostTree tree;
    users(tree);
    tree.file("dev/ttyS0", "", 0660, 5);
    const QVector<Finding> found = checkSerialGroup(tree.host(kAlice));
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found[0].heading, "用户alice不在串口设备所属的tty组，无法打开串口");
    EXPECT_EQ(found[0].advice, "该组权限过大，请联系管理员处理");
    EXPECT_TRUE(found[0].fixes.isEmpty());
    const QString before = tree.read("etc/group");
    QString note, error;
    EXPECT_FALSE(applyFix(tree.host(kAlice), Fix::JoinSerialGroup, &note, &error));
    EXPECT_EQ(error, "串口设备属于tty组，不能自动加入");
    EXPECT_EQ(tree.read("etc/group"), before);
    EXPECT_TRUE(tree.commands->isEmpty());
}

// udev's uaccess tag opens a node to the user at the seat with an ACL entry.
TEST(HostCheckAcl, NodeOpenedToTheOperatorByAnAclEntryIsAccessible) {
    FakeHostTree tree;
    users(tree);
    tree.file("lib/udev/rules.d/70-kelflash.rules", kBoardRule);
    board(tree, 0660);
    struct Entry {
        quint16 tag, perm;
        quint32 id;
    };
    for (uint uid : {kAlice, 1001u}) {
        const Entry acl[] = {{1, 6, ~0u}, {2, 6, uid}, {4, 0, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
        QByteArray value("\x02\0\0\0", 4);
        value.append(reinterpret_cast<const char *>(acl), sizeof(acl));
        if (setxattr(QFile::encodeName(tree.path("dev/bus/usb/001/007")), "system.posix_acl_access",
                     value.constData(), size_t(value.size()), 0) != 0) {
            GTEST_SKIP() << "no ACLs on this file system";
        }
        EXPECT_EQ(checkBoardAccess(tree.host(kAlice)).isEmpty(), uid == kAlice);
    }
}

// Another user's adb server on the adb port: a real process stands in for it.
TEST(HostCheckAdb, EndsAnotherUsersAdbServerOnThePort) {
    FakeHostTree tree;
    users(tree);
    QProcess server;
    server.start("sleep", {"60"});
    ASSERT_TRUE(server.waitForStarted());
    const qint64 pid = server.processId();
    tree.process(pid, "adb", 1001, "1001");
    tree.link(QString("proc/%1/fd/3").arg(pid), "socket:[4242]");
    tree.file("proc/net/tcp6",
              "  sl  local_address                         remote_address                        "
              "st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
              "   0: 00000000000000000000000000000000:13AD 00000000000000000000000000000000:0000 "
              "0A 00000000:00000000 00:00000000 00000000  1001        0 4242 1 0 100 0 0 10 0\n");
    const QVector<Finding> found = checkAdb(tree.host(kAlice));
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found[0].heading, "其他用户的adb服务占用了adb端口5037");
    EXPECT_EQ(found[0].items, QStringList{QString("用户bob（进程%1）").arg(pid)});
    QString note, error;
    EXPECT_TRUE(applyFix(tree.host(kAlice), Fix::StopForeignAdb, &note, &error)) << error;
    EXPECT_TRUE(server.waitForFinished(5000));
    EXPECT_EQ(server.exitStatus(), QProcess::CrashExit);
}

// Clicks a report link and accepts the question it asks.
void follow(HostProbe &probe, const QString &link) {
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && !KelDialog::currentLoading() &&
            modal->findChild<QPushButton *>("confirm_ok_btn")) {
            QTest::mouseClick(modal->findChild<QPushButton *>("confirm_ok_btn"), Qt::LeftButton);
        }
    });
    answer.start(10);
    QMetaObject::invokeMethod(probe.findChild<QLabel *>("showArea"), "linkActivated",
                              Q_ARG(QString, link));
}

// ModemManager is judged by the service manager and the rules together; the
// window offers both fixes, and stopping goes through the service manager.
TEST(HostCheckModemManager, IgnoreRuleOrStopAndDisable) {
    const QString mmHeading = "运行了ModemManager，串口出现后的数秒内会被它占用";
    FakeHostTree tree;
    users(tree, "alice");
    tree.file("etc/udev/rules.d/70-kelflash.rules", kBoardRule);
    tree.file("sys/module/usbcore/parameters/usbfs_memory_mb", "2\n");
    {
        FakeSystemd systemd({FakeUnit{"ModemManager.service", "Modem Manager"}});
        ASSERT_TRUE(systemd.running);

        HostProbe probe(nullptr, tree.host(kAlice));
        EXPECT_TRUE(probe.report().contains(
            mmHeading +
            ":<br/><span style=\"color: blue;\">ModemManager</span>&nbsp;&nbsp;<a "
            "href=\"fix:modemmanager-rule\" style=\"color: red;\">忽略开发板和串口</a>&nbsp;&nbsp;"
            "<a href=\"fix:modemmanager-stop\" style=\"color: red;\">停止并禁用</a><br/><br/>"))
            << probe.report();
        EXPECT_TRUE(probe.report().contains("fix:usbfs-memory"));

        follow(probe, "fix:usbfs-memory");
        EXPECT_FALSE(probe.report().contains("fix:usbfs-memory")) << probe.report();
        follow(probe, "fix:modemmanager-stop");
        EXPECT_EQ(systemd.property("ModemManager.service", "ActiveState"), "inactive");
        EXPECT_EQ(systemd.property("ModemManager.service", "UnitFileState"), "disabled");
        EXPECT_EQ(probe.report(), "<span style=\"color: green;\">PC环境OK</span>");
    }

    // A running ModemManager told by a rule to leave our ports alone is no trouble.
    FakeHostTree ruled;
    QString note, error;
    ASSERT_TRUE(applyFix(ruled.host(), Fix::ModemManagerRule, &note, &error)) << error;
    FakeSystemd again({FakeUnit{"ModemManager.service", "Modem Manager"}});
    ASSERT_TRUE(again.running);
    EXPECT_TRUE(checkModemManager(ruled.host()).isEmpty());
    EXPECT_EQ(checkModemManager(tree.host()).value(0).heading, mmHeading);
}

TEST(HostCheckLinks, OnlyTheFixedSetOfLinksNamesAFix) {
    Fix fix;
    for (Fix f :
         {Fix::BoardRule, Fix::JoinSerialGroup, Fix::ModemManagerRule, Fix::StopModemManager,
          Fix::MaskBrltty, Fix::UsbfsMemory, Fix::StopForeignAdb, Fix::CardReaderRule}) {
        ASSERT_TRUE(fixFromLink(fixLink(f), &fix));
        EXPECT_EQ(fix, f);
    }
    EXPECT_FALSE(fixFromLink("#", &fix));
    EXPECT_FALSE(fixFromLink("fix:board-rule; rm -rf /", &fix));
}

}  // namespace
