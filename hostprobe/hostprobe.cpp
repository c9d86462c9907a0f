#include "hostprobe.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <QtDebug>

#include "kelbutton.h"
#include "keldialog.h"
#include "kelgroupbox.h"
#include "procscan.h"
#include "services.h"

namespace {

const QStringList kVirtualBoxProcesses = {QStringLiteral("VirtualBox"),
                                          QStringLiteral("VirtualBoxVM")};
const QStringList kVmwareProcesses = {QStringLiteral("vmware"), QStringLiteral("vmware-vmx")};
const QString kArbitrationDisplayName = QStringLiteral("VMware USB Arbitration Service");

constexpr int kStopWaitMs = 5000;
// Between two looks at a stopping service the window keeps handling its events.
constexpr int kStopPollMs = 50;

QString blueLine(const QString &text) {
    return QStringLiteral("<span style=\"color: blue;\">") + text + QStringLiteral("</span><br/>");
}

// The name of `process` that is one of `names`: the name it runs under, or its
// executable's (a program started through a link or under another name).
QString matchingName(const procscan::ProcessInfo &process, const QStringList &names) {
    const QString name = QString::fromStdString(process.name);
    if (names.contains(name)) {
        return name;
    }
    const QString exe = QString::fromStdString(process.exeName);
    return names.contains(exe) ? exe : QString();
}

}  // namespace

HostProbe::HostProbe(QWidget *parent, const hostchecks::Host &host)
    : QWidget(parent),
      host(host),
      procRoot(host.path(QStringLiteral("/proc"))),
      toolList({QStringLiteral("KelFlash"), QStringLiteral("KelFlashPlus"),
                QStringLiteral("Imprinta"), QStringLiteral("ImprintaPlus"),
                QStringLiteral("KelStamp")}) {
    setWindowTitle(tr("PC环境检测工具"));
    setFixedSize(500, 400);
    QFile style(QStringLiteral(":/qss/style.qss"));
    if (style.open(QIODevice::ReadOnly)) {
        setStyleSheet(QString::fromUtf8(style.readAll()));
    }

    QVBoxLayout *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 5, 10, 10);
    layout->setSpacing(10);

    KelGroupBox *infoBox = new KelGroupBox(tr("以下场景将会导致烧写失败"), this);
    infoBox->setBorderColor(QStringLiteral("#ccc"));
    infoBox->setTitleColor(QStringLiteral("blue"));
    infoBox->setMarginTop(13);
    QVBoxLayout *infoLayout = new QVBoxLayout(infoBox);
    infoLayout->setContentsMargins(10, 15, 10, 10);
    infoLayout->setSpacing(0);
    QLabel *infoText = new QLabel(tr("1、打开了多个烧写工具，包括镜像烧写工具和ID烧写工具\n"
                                     "2、正在运行虚拟机（VMware、VirtualBox等）\n"
                                     "3、启动了扫描USB端口的后台服务，如VMware的后台服务VMware USB "
                                     "Arbitration Service\n"
                                     "4、没有访问开发板、串口或读卡器的权限，或串口被其他程序占用"),
                                  infoBox);
    infoText->setWordWrap(true);
    infoLayout->addWidget(infoText);
    layout->addWidget(infoBox);

    // A report of many findings scrolls rather than growing the fixed window.
    QScrollArea *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    showArea = new QLabel(scroll);
    showArea->setObjectName(QStringLiteral("showArea"));
    showArea->setAlignment(Qt::AlignTop);
    showArea->setTextFormat(Qt::RichText);
    showArea->setWordWrap(true);
    scroll->setWidget(showArea);
    layout->addWidget(scroll, 1);

    checkButton = new KelButton(tr("检测当前PC环境"), this);
    layout->addWidget(checkButton);

    connect(checkButton, &KelButton::clicked, this, &HostProbe::checkEnvironment);
    connect(showArea, &QLabel::linkActivated, this, &HostProbe::onReportLinkActivated);

    checkEnvironment();
}

void HostProbe::checkEnvironment() {
    reportHtml.clear();
    checkProcesses();
    checkServices();
    checkHost();
    if (reportHtml.isEmpty()) {
        reportHtml = tr("<span style=\"color: green;\">PC环境OK</span>");
    }
    showArea->setText(reportHtml);
}

void HostProbe::checkProcesses() {
    QStringList foundTools;
    bool virtualBox = false;
    bool vmware = false;
    for (const procscan::ProcessInfo &process :
         procscan::listAll(QFile::encodeName(procRoot).toStdString())) {
        const QString tool = matchingName(process, toolList);
        if (!tool.isEmpty()) {
            foundTools << tool;
        }
        virtualBox = virtualBox || !matchingName(process, kVirtualBoxProcesses).isEmpty();
        vmware = vmware || !matchingName(process, kVmwareProcesses).isEmpty();
    }

    // One tool is the one that started this check; only a second one gets in the way.
    if (foundTools.size() > 1) {
        reportHtml += tr("运行了多个烧写工具:<br/>");
        for (const QString &tool : foundTools) {
            reportHtml += blueLine(tool);
        }
        reportHtml += QStringLiteral("<br/>");
    }
    if (virtualBox || vmware) {
        reportHtml += tr("运行了虚拟机:<br/>");
        if (virtualBox) {
            reportHtml += blueLine(QStringLiteral("VirtualBox"));
        }
        if (vmware) {
            reportHtml += blueLine(QStringLiteral("VMware"));
        }
        reportHtml += QStringLiteral("<br/>");
    }
}

void HostProbe::checkServices() {
    QVector<hostservices::Service> services;
    QString error;
    QStringList otherServices;
    arbitrationService.clear();
    if (!hostservices::list(&services, &error)) {
        qCritical().noquote() << "Failed to get service list:" << error;
        // Not a pass: the services that grab USB ports may be running unseen.
        reportHtml +=
            tr("<span style=\"color: red;\">无法读取系统服务列表，未能检查扫描USB端口的后台服务"
               "</span><br/><br/>");
    } else {
        const QStringList arbitrationNames = hostservices::arbitrationServiceNames();
        for (const hostservices::Service &service : services) {
            if (!service.running) {
                continue;
            }
            if (service.displayName == kArbitrationDisplayName ||
                arbitrationNames.contains(service.name)) {
                arbitrationService = service.name;
            } else if (service.displayName.toLower().contains(QLatin1String("usb"))) {
                otherServices << service.displayName;
            }
        }
        if (!arbitrationService.isEmpty()) {
            reportHtml += tr("运行了扫描USB端口的后台服务:<br/>"
                             "<span style=\"color: blue;\">") +
                          kArbitrationDisplayName +
                          tr("</span>&nbsp;&nbsp;<a href=\"#\" style=\"color: "
                             "red;\">停止并禁用</a><br/><br/>");
        }
    }
    if (!otherServices.isEmpty()) {
        reportHtml += tr("*其他可能会导致烧写失败的服务:<br/>");
        for (const QString &name : otherServices) {
            reportHtml += QStringLiteral("<span style=\"color: orange;\">") + name.toHtmlEscaped() +
                          QStringLiteral("</span><br/>");
        }
    }
}

// Each finding as the other sections are: a heading, what it concerns in blue,
// advice in orange, and its fixes as red links after the last line.
void HostProbe::checkHost() {
    const QString gap = QStringLiteral("&nbsp;&nbsp;");
    for (const hostchecks::Finding &finding : hostchecks::checkAll(host)) {
        QStringList links;
        for (hostchecks::Fix fix : finding.fixes) {
            links << QStringLiteral("<a href=\"") + hostchecks::fixLink(fix) +
                         QStringLiteral("\" style=\"color: red;\">") + hostchecks::fixLabel(fix) +
                         QStringLiteral("</a>");
        }
        QStringList lines;
        for (const QString &item : finding.items) {
            lines << QStringLiteral("<span style=\"color: blue;\">") + item.toHtmlEscaped() +
                         QStringLiteral("</span>");
        }
        if (!finding.advice.isEmpty()) {
            lines << QStringLiteral("<span style=\"color: orange;\">") +
                         finding.advice.toHtmlEscaped() + QStringLiteral("</span>");
        }
        if (!links.isEmpty()) {
            if (lines.isEmpty()) {
                lines << links.join(gap);
            } else {
                lines.last() += gap + links.join(gap);
            }
        }
        reportHtml += finding.heading.toHtmlEscaped() + QStringLiteral(":<br/>") +
                      lines.join(QStringLiteral("<br/>")) + QStringLiteral("<br/><br/>");
    }
}

void HostProbe::runFix(hostchecks::Fix fix) {
    if (!KelDialog::confirm(this, hostchecks::fixQuestion(fix))) {
        return;
    }
    QString note, error;
    bool done = false;
    if (fix == hostchecks::Fix::StopModemManager) {
        KelDialog::loading(this, tr("正在停止服务..."), true);
        stopNeedsRights = false;
        done = stopService(hostchecks::modemManagerService(), true);
    } else {
        KelDialog::loading(this, tr("正在处理..."), true);
        done = hostchecks::applyFix(host, fix, &note, &error);
        if (!done) {
            qCritical().noquote() << "Fix" << hostchecks::fixLink(fix) << "failed:" << error;
        }
    }
    KelDialog::closeLoading();
    checkEnvironment();
    if (!done && fix == hostchecks::Fix::StopModemManager) {
        KelDialog::alert(
            this, stopNeedsRights ? tr("停止失败，停止服务需要管理员权限") : tr("停止失败"), true);
    } else if (!done) {
        KelDialog::alert(this, tr("处理失败，") + error, true);
    } else if (!note.isEmpty()) {
        KelDialog::alert(this, note, true);
    }
}

void HostProbe::onReportLinkActivated(const QString &link) {
    hostchecks::Fix fix;
    if (hostchecks::fixFromLink(link, &fix)) {
        runFix(fix);
        return;
    }
    if (!KelDialog::confirm(this, tr("确定停止并禁用服务吗？"))) {
        return;
    }
    KelDialog::loading(this, tr("正在停止服务..."), true);
    stopNeedsRights = false;
    bool stopped = true;
    for (const QString &name : hostservices::hostServiceNames()) {
        if (!stopService(name, false)) {
            stopped = false;
            break;
        }
    }
    if (stopped) {
        const QStringList arbitration = arbitrationService.isEmpty()
                                            ? hostservices::arbitrationServiceNames()
                                            : QStringList{arbitrationService};
        for (const QString &name : arbitration) {
            stopped = stopService(name, true) && stopped;
        }
    }
    KelDialog::closeLoading();
    if (stopped) {
        checkEnvironment();
    } else if (stopNeedsRights) {
        KelDialog::alert(this, tr("停止失败，停止服务需要管理员权限"), true);
    } else {
        KelDialog::alert(this, tr("停止失败"), true);
    }
}

bool HostProbe::stopService(const QString &serviceName, bool disable) {
    switch (hostservices::state(serviceName)) {
        case hostservices::State::Missing:
            qWarning().noquote() << "Service" << serviceName << "not found";
            return true;
        case hostservices::State::Unreadable:
            qCritical().noquote() << "Failed to get status of service" << serviceName;
            return false;
        case hostservices::State::Stopped:
            // Left enabled: the operator stopped it on purpose and may want it back.
            return true;
        case hostservices::State::Active:
            break;
    }

    QString error;
    const hostservices::StopRequest request = hostservices::requestStop(serviceName, &error);
    const bool accepted = request == hostservices::StopRequest::Accepted;
    if (accepted) {
        qDebug().noquote() << "Stop service" << serviceName;
        waitStopped(serviceName);
    } else {
        qCritical().noquote() << "Failed to stop service" << serviceName << error;
        stopNeedsRights = stopNeedsRights || request == hostservices::StopRequest::NeedsRights;
    }

    if (disable) {
        if (hostservices::disable(serviceName, &error)) {
            qDebug().noquote() << "Disable service" << serviceName;
        } else {
            qCritical().noquote() << "Failed to disable service" << serviceName << error;
        }
    }
    return accepted;
}

void HostProbe::waitStopped(const QString &serviceName) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const hostservices::State state = hostservices::state(serviceName);
        if (state == hostservices::State::Unreadable) {
            qCritical().noquote() << "Failed to wait service" << serviceName << "stopped";
            return;
        }
        if (state != hostservices::State::Active) {
            return;
        }
        if (waited.elapsed() > kStopWaitMs) {
            qCritical().noquote() << "Wait service" << serviceName << "stopped timeout";
            return;
        }
        QEventLoop pause;
        QTimer::singleShot(kStopPollMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
}
