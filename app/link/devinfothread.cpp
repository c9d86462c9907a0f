#include "devinfothread.h"

#include "kellinker.h"

DevInfoThread::DevInfoThread(KelLinker *link, const QString &devId, int setWorkModeFirst,
                             QObject *parent)
    : QThread(parent), m_link(link), m_devId(devId), m_setWorkModeFirst(setWorkModeFirst) {}

void DevInfoThread::run() {
    const bool linked = m_link ? m_link->fetchDeviceInfo(m_devId, m_setWorkModeFirst != 0) : false;
    emit linkFinished(linked);
}
