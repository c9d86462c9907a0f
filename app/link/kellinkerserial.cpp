#include "kellinkerserial.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QThread>
#include <cstdlib>
#include <cstring>

#include "extraserialports.h"
#include "libkelupg.h"
#include "upg_driver.h"

KelLinkerSerial::KelLinkerSerial(QObject *parent) : KelLinker(parent) {}

KelLinkerSerial::~KelLinkerSerial() {
    if (!m_released)
        release();
}

bool KelLinkerSerial::fetchDeviceInfo(const QString &portName, bool) {
    m_name = portName;
    m_connected = false;
    // A failed query must not leave the text of an earlier board behind.
    m_info.clear();
    clearChipId();
    if (!link())
        return false;

    // The connection manager sends its probe as soon as the port is open, but
    // the board may take up to 200 ms to answer, and USB-serial adapters add
    // their own latency: wait for one whole probe, leaving as soon as it has
    // seen the board.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        m_connected = upg_uart_dev_connected(m_dev);
        if (m_connected || clock.hasExpired(m_connectWaitMs))
            break;
        QThread::msleep(2);
    }
    if (!m_connected) {
        qWarning().noquote() << "Cannot find Kelvora device in" << portName;
        return false;
    }

    upg_hw_info info;
    memset(&info, 0, sizeof(info));
    if (kelupg_cmd_get_hwinfo(m_dev, &info) != 0) {
        qWarning().noquote() << "Failed to get hardware info!";
        return false;
    }

    QString text = hwInfoText(tr("UART设备：") + portName, info);
    noteChipId(info);
    if (info.boot_stage != UPG_BOOT_STAGE_BROM) {
        uint8_t *media = nullptr;
        const int n = get_storage_media(m_dev, &media, nullptr);
        if (n >= 0)
            text += storageMediaText(media, n);
        else
            qWarning().noquote() << "Failed to get storage media";
        free(media);
    }
    qDebug().noquote() << "Device info:" << text;
    m_info = text;
    return true;
}

upg_device *KelLinkerSerial::device() const {
    return m_dev;
}

bool KelLinkerSerial::probePacketSize() {
    return probePacketSizeOn(m_dev);
}

bool KelLinkerSerial::isLargePacket() const {
    return largePacketOn(m_dev);
}

QString KelLinkerSerial::deviceInfo() const {
    return m_connected ? m_info : QString();
}

const char *KelLinkerSerial::deviceNameText() const {
    return m_connected ? storedNameText() : nullptr;
}

bool KelLinkerSerial::link() {
    if (m_dev)
        return true;
    qDebug().noquote() << "Try to connect" << m_name;
    m_dev = upg_uart_dev_open(m_name.toLocal8Bit().constData(), nullptr);
    if (!m_dev) {
        qWarning().noquote() << "Failed to open" << m_name;
        return false;
    }
    return true;
}

bool KelLinkerSerial::unlink() {
    if (!m_dev)
        return false;
    upg_uart_dev_close(m_dev);
    m_dev = nullptr;
    return true;
}

void KelLinkerSerial::release() {
    if (m_dev)
        unlink();
    m_released = true;
    qDebug().noquote() << "Release Serial resource";
    emit releaseFinish();
}

// The ports the operator named (a simulator's pty, a bridged port) come first,
// then those the system reports.
QStringList KelLinkerSerial::listDevices() {
    QStringList list;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        list << info.portName();
    return withExtraSerialPorts(list);
}
