// The report of the environment checker's window, its stop link, and stopping one
// service that is slow to stop or was stopped already.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "fake_host.h"
#include "hostprobe.h"
#include "keldialog.h"
#include "msg_capture.h"

namespace {

const QString kBlue = "<span style=\"color: blue;\">";
const QString kOk = "<span style=\"color: green;\">PC环境OK</span>";
const QString kArbitration = "运行了扫描USB端口的后台服务:<br/>" + kBlue +
                             "VMware USB Arbitration Service</span>&nbsp;&nbsp;<a href=\"#\" "
                             "style=\"color: red;\">停止并禁用</a><br/><br/>";
// What a check that could not read the service list says instead of a pass.
const QString kServicesUnchecked =
    "<span style=\"color: red;\">无法读取系统服务列表，未能检查扫描USB端口的后台服务"
    "</span><br/><br/>";
const FakeUnit kArbitrationUnit{"vmware-USBArbitrator.service", "LSB: USB Arbitrator"};
const FakeUnit kHostUnit{"vmware-workstation-server.service", "LSB: Host agent"};

struct Proc {
    int pid;
    const char *name, *exe, *state;
};

class ProcessReport : public ::testing::TestWithParam<std::pair<std::vector<Proc>, QString>> {};

// Without a systemd manager on the bus the processes are reported, and that the
// services could not be checked: never a pass.
TEST_P(ProcessReport, ListsToolsRunningTogetherAndVirtualMachines) {
    FakeProcTable proc;
    for (const Proc &p : GetParam().first) {
        proc.add(p.pid, p.name, p.exe, p.state);
    }
    MsgCapture log;
    HostProbe probe(nullptr, proc.host());
    EXPECT_EQ(probe.findChild<QLabel *>("showArea")->text(), GetParam().second + kServicesUnchecked);
    EXPECT_TRUE(log.contains(QtCriticalMsg, "Failed to get service list"));
}

INSTANTIATE_TEST_SUITE_P(
    HostProbe, ProcessReport,
    ::testing::Values(
        // One tool is the one that started the check.
        std::make_pair(std::vector<Proc>{{40, "KelFlash", "", "S"}, {41, "bash", "", "S"}},
                       QString()),
        // The same tool twice counts twice, a renamed one by its executable, a zombie not.
        std::make_pair(std::vector<Proc>{{90, "KelFlash", "", "S"},
                                         {50, "wrapper", "/opt/imprinta/ImprintaPlus", "R"},
                                         {70, "KelFlash", "/usr/bin/KelFlash", "S"},
                                         {80, "KelStamp", "", "Z"}},
                       "运行了多个烧写工具:<br/>" + kBlue + "ImprintaPlus</span><br/>" + kBlue +
                           "KelFlash</span><br/>" + kBlue + "KelFlash</span><br/><br/>"),
        std::make_pair(std::vector<Proc>{{30, "vmware-vmx", "/usr/lib/vmware/bin/vmware-vmx", "S"},
                                         {31, "VirtualBoxVM", "", "S"}},
                       "运行了虚拟机:<br/>" + kBlue + "VirtualBox</span><br/>" + kBlue +
                           "VMware</span><br/><br/>")));

TEST(ServiceReport, ArbitrationByUnitOrDisplayNameAndOtherRunningUsbServices) {
    FakeProcTable proc;
    for (const FakeUnit &arbitration :
         {kArbitrationUnit, FakeUnit{"vmusbarb.service", "VMware USB Arbitration Service"}}) {
        FakeSystemd systemd({arbitration,
                             {"usbmuxd.service", "Socket daemon for the USBmux protocol"},
                             {"usbguard.service", "USBGuard daemon", "inactive", "dead"},
                             {"cron.service", "Regular background program processing daemon"}});
        ASSERT_TRUE(systemd.running);
        EXPECT_EQ(HostProbe(nullptr, proc.host()).report(),
                  kArbitration +
                      "*其他可能会导致烧写失败的服务:<br/><span style=\"color: "
                      "orange;\">Socket daemon for the USBmux protocol</span><br/>");
    }
}

class StopLink : public ::testing::TestWithParam<std::pair<const char *, QString>> {};

TEST_P(StopLink, StopsTheHostServiceThenStopsAndDisablesArbitration) {
    FakeProcTable proc;
    FakeUnit arbitration = kArbitrationUnit;
    arbitration.onStop = GetParam().first;
    FakeSystemd systemd({kHostUnit, arbitration});
    ASSERT_TRUE(systemd.running);
    HostProbe probe(nullptr, proc.host());
    ASSERT_EQ(probe.report(), kArbitration);

    // Accept the question as soon as it shows, and note what the loading box says.
    QString loading;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (KelDialog::currentLoading()) {
            loading = KelDialog::currentLoading()->findChild<QLabel *>("loading_text")->text();
        } else if (QWidget *modal = QApplication::activeModalWidget()) {
            QTest::mouseClick(modal->findChild<QPushButton *>("confirm_ok_btn"), Qt::LeftButton);
        }
    });
    answer.start(10);
    QMetaObject::invokeMethod(probe.findChild<QLabel *>("showArea"), "linkActivated",
                              Q_ARG(QString, "#"));
    answer.stop();

    EXPECT_EQ(loading, "正在停止服务...");
    EXPECT_EQ(KelDialog::currentLoading(), nullptr);
    EXPECT_EQ(systemd.property(kHostUnit.name, "ActiveState"), "inactive");
    QLabel *alert = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        alert = w->isVisible() && !alert ? w->findChild<QLabel *>("message_text") : alert;
    }
    EXPECT_EQ(alert ? alert->text() : QString(), GetParam().second);
    EXPECT_EQ(probe.report(), alert ? kArbitration : kOk);
    EXPECT_EQ(systemd.property(arbitration.name, "UnitFileState"), "disabled");
    if (alert) {
        alert->window()->close();
    }
}

INSTANTIATE_TEST_SUITE_P(
    HostProbe, StopLink,
    ::testing::Values(std::make_pair("stops", QString()),
                      std::make_pair("refuses", QString("停止失败")),
                      std::make_pair("denied", QString("停止失败，停止服务需要管理员权限"))));

TEST(StopService, WaitsFiveSecondsForAServiceThatNeverStopsAndLeavesAStoppedOneEnabled) {
    const QString name = "vmware-USBArbitrator.service";
    struct {
        FakeUnit unit;
        const char *activeAfter, *fileStateAfter, *log;
    } cases[] = {
        {{name, "LSB: USB Arbitrator", "active", "running", "hangs"},
         "deactivating",
         "disabled",
         "Wait service vmware-USBArbitrator.service stopped timeout"},
        {{name, "LSB: USB Arbitrator", "inactive", "dead"}, "inactive", "enabled", ""},
    };
    FakeProcTable proc;
    for (const auto &c : cases) {
        FakeSystemd systemd({c.unit});
        ASSERT_TRUE(systemd.running);
        HostProbe probe(nullptr, proc.host());
        MsgCapture log;
        EXPECT_TRUE(probe.stopService(name, true));
        EXPECT_EQ(systemd.property(name, "ActiveState"), c.activeAfter);
        EXPECT_EQ(systemd.property(name, "UnitFileState"), c.fileStateAfter);
        EXPECT_EQ(log.of(QtCriticalMsg).join(""), c.log);
    }
}

// HostProbe runs as root: neither its arguments nor the environment's plug-in
// folders may make it load a library. The window starts on Qt's own platform all
// the same; its first check (no service manager) says it has started.
TEST(HostProbeProgram, LoadsNoPluginItsCallerNames) {
    QTemporaryDir dir;
    const QString plugins = dir.filePath("platforms"), mark = dir.filePath("loaded");
    ASSERT_TRUE(QDir().mkpath(plugins) && QFile::copy(MARKER_PLATFORM, plugins + "/libm.so"));
    const std::pair<QStringList, QString> cases[] = {
        {{"-platformpluginpath", plugins, "-platform", "marker"}, ""},
        {{"-plugin", "marker"}, "QT_QPA_PLATFORM_PLUGIN_PATH=" + plugins},
        {{}, "QT_PLUGIN_PATH=" + dir.path()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((c.first.join(' ') + c.second).toStdString());
        // The bus is the test's own, without a service manager.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOSTPROBE_TEST_MARK", mark);
        if (!c.second.isEmpty()) {
            env.insert(c.second.section('=', 0, 0), c.second.section('=', 1));
        }
        QProcess probe;
        probe.setProcessEnvironment(env);
        probe.start(HOSTPROBE_PROGRAM, c.first);
        ASSERT_TRUE(probe.waitForStarted());
        QByteArray err;
        waitFor([&] {
            err += probe.readAllStandardError();
            return err.contains("Failed to get service list") || probe.state() != QProcess::Running;
        }, 30000);
        EXPECT_FALSE(QFile::remove(mark));
        EXPECT_EQ(probe.state(), QProcess::Running) << err.toStdString();
        probe.kill();
        probe.waitForFinished();
    }
}

}  // namespace
