// The environment checker's window: finds what makes burning fail on this PC
// (several burning tools at once, a virtual machine, services that grab USB
// devices, and on this host what keeps a burn from starting: rights, udev rules,
// programs that take serial ports), lists it, and offers the fixes it knows.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include "hostchecks.h"

class QLabel;
class KelButton;

class HostProbe : public QWidget {
    Q_OBJECT

public:
    // `host` is the system looked at and the operator it is looked at for.
    explicit HostProbe(QWidget *parent = nullptr,
                       const hostchecks::Host &host = hostchecks::operatorHost());

    QString report() const { return reportHtml; }

    // Stops one service and waits up to 5 s for it, then disables it on request.
    // True when the stop was accepted or there was nothing to stop.
    bool stopService(const QString &serviceName, bool disable);

public slots:
    void checkEnvironment();

private slots:
    void onReportLinkActivated(const QString &link);

private:
    void checkProcesses();
    void checkServices();
    void checkHost();
    void runFix(hostchecks::Fix fix);
    void waitStopped(const QString &serviceName);

    const hostchecks::Host host;
    const QString procRoot;
    // The executable names of the burning tools.
    const QStringList toolList;
    QString reportHtml;
    QLabel *showArea;
    KelButton *checkButton;
    // The unit under which the arbitration service was last found running.
    QString arbitrationService;
    // A stop the service manager refused for want of administrator rights.
    bool stopNeedsRights = false;
};
