// Starts the environment checker HostProbe with administrator rights.
#pragma once

#include <QObject>
#include <QString>

class QTimer;

class HostProbeLauncher : public QObject {
    Q_OBJECT

public:
    explicit HostProbeLauncher(QObject *parent = nullptr);
    ~HostProbeLauncher() override;

    // Starts `program` elevated (directly when already privileged). False, with
    // the reason for the operator in `reason`, when it cannot be started at all:
    // no such program, no way to elevate. A refusal that comes later (the
    // operator cancels the password prompt) is failed().
    bool start(const QString &program, QString *reason = nullptr);

signals:
    void failed(const QString &reason);

private:
    void poll();

    qint64 pid = -1;
    QTimer *timer = nullptr;
};
