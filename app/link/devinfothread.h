// Runs a link's hardware-information query off the GUI thread.
#pragma once

#include <QString>
#include <QThread>

class KelLinker;

class DevInfoThread : public QThread {
    Q_OBJECT

public:
    // The link is not owned; it must outlive the thread's run.
    DevInfoThread(KelLinker *link, const QString &devId, int setWorkModeFirst,
                  QObject *parent = nullptr);

signals:
    void linkFinished(bool linked);

protected:
    void run() override;

private:
    KelLinker *m_link;
    QString m_devId;
    int m_setWorkModeFirst;
};
