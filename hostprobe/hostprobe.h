// The environment checker's window: finds what makes burning fail on this PC
// (several burning tools at once, a virtual machine, services that grab USB
// devices), lists it, and offers to stop and disable VMware's USB arbitration.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class KelButton;

class HostProbe : public QWidget {
    Q_OBJECT

public:
    // `procRoot` is where the process table is read from.
    explicit HostProbe(QWidget *parent = nullptr,
                       const QString &procRoot = QStringLiteral("/proc"));

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
    void waitStopped(const QString &serviceName);

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
