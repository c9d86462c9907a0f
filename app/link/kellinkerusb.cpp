#include "kellinkerusb.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <cstring>

#include "upg_driver.h"

KelLinkerUSB::KelLinkerUSB(QObject *parent) : KelLinker(parent) {}

KelLinkerUSB::~KelLinkerUSB() {
    if (!m_released)
        release();
}

bool KelLinkerUSB::fetchDeviceInfo(const QString &devId, bool setWorkModeFirst) {
    // Whatever this query finds, the text of an earlier board no longer applies.
    m_info.clear();
    clearChipId();
    uint8_t bus = 0;
    uint8_t port[UPG_PORT_PATH_LEN] = {0};
    int bad = 0;
    if (upg_dev_parse_location_ex(devId.toUtf8().constData(), UPG_LOC_SHOWN_FORM, &bus, port,
                                  &bad) != 0) {
        qCritical().noquote() << (bad == UPG_LOC_BAD_FORM  ? "Usb devStr invalid!"
                                  : bad == UPG_LOC_BAD_BUS ? "Usb busnum invalid!"
                                                           : "Usb port invalid!");
        return false;
    }
    m_bus = bus;
    memcpy(m_port, port, sizeof(m_port));

    // A handle of its own: the link's device stays as it is until link().
    upg_device *dev = upg_usb_dev_open(m_bus, m_port);
    if (!dev) {
        qCritical().noquote() << "Open Usb device failed!";
        return false;
    }

    // A board fresh on the bus may need a moment before its service answers.
    upg_hw_info info;
    memset(&info, 0, sizeof(info));
    QElapsedTimer clock;
    clock.start();
    while (!clock.hasExpired(m_infoTotalMs)) {
        upg_hw_info answer;
        memset(&answer, 0, sizeof(answer));
        if (kelupg_cmd_get_hwinfo(dev, &answer) == 0) {
            info = answer;
            break;
        }
        qCritical().noquote() << "Get Usb device hd info failed!";
        QThread::msleep(m_infoRetryMs);
        qDebug().noquote() << "Try to get Usb device hd info...";
    }

    m_info = hwInfoText(tr("USB设备：") + devId, info);
    noteChipId(info);

    uint8_t *media = nullptr;
    if (info.boot_stage != UPG_BOOT_STAGE_BROM) {
        // U-Boot lists its media only in the storage-query work mode.
        if (setWorkModeFirst)
            setWorkModeOn(dev, UPG_WORK_MODE_STORAGE_QUERY);
        uint8_t path[UPG_PORT_PATH_LEN] = {0};
        const int n = get_storage_media(dev, &media, path);
        if (n >= 0)
            m_info += storageMediaText(media, n);
        else
            qWarning().noquote() << "Failed to get storage media";
    } else {
        qDebug().noquote() << "Boot device1:" << int(info.boot_dev1)
                           << "Boot device2:" << int(info.boot_dev2);
    }

    upg_usb_dev_close(dev);
    free(media);
    m_name = devId;
    return true;
}

upg_device *KelLinkerUSB::device() const {
    return m_dev;
}

bool KelLinkerUSB::probePacketSize() {
    return probePacketSizeOn(m_dev);
}

bool KelLinkerUSB::isLargePacket() const {
    return largePacketOn(m_dev);
}

QString KelLinkerUSB::deviceInfo() const {
    return m_info;
}

const char *KelLinkerUSB::deviceNameText() const {
    return storedNameText();
}

bool KelLinkerUSB::link() {
    if (m_dev)
        return true;
    m_dev = upg_usb_dev_open(m_bus, m_port);
    if (!m_dev)
        return false;
    if (probePacketSize())
        return true;
    unlink();
    return false;
}

bool KelLinkerUSB::unlink() {
    if (!m_dev)
        return false;
    upg_usb_dev_close(m_dev);
    m_dev = nullptr;
    return true;
}

void KelLinkerUSB::release() {
    if (m_dev)
        unlink();
    m_released = true;
    qDebug().noquote() << "Release usb resource";
    emit releaseFinish();
}

QStringList KelLinkerUSB::listDevices() {
    QStringList list;
    upg_dev_info table[UPG_DEV_TABLE_SIZE];
    const int count = upg_usb_dev_list(table, UPG_DEV_TABLE_SIZE);
    if (count <= 0) {
        qDebug().noquote() << "No device available";
        return list;
    }
    qDebug().noquote() << "There are" << count << "device available";
    for (int i = 0; i < count; ++i) {
        char where[UPG_LOCATION_TEXT_SIZE];
        upg_dev_format_location(where, sizeof(where), table[i].bus, table[i].port);
        list << QString::fromLatin1(where);
    }
    return list;
}

bool KelLinkerUSB::setWorkMode(int mode) {
    return m_dev ? setWorkModeOn(m_dev, mode) : false;
}

bool KelLinkerUSB::setWorkModeOn(upg_device *dev, int mode) {
    upg_cfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.work_mode = uint32_t(mode);
    const int ret = kelupg_cmd_set_upg_cfg(dev, &cfg);
    if (ret == 0) {
        qWarning().noquote() << "Set upg work mode:" << mode;
        return true;
    }
    qCritical().noquote() << "Set upg work mode" << mode << "failed:" << ret;
    return false;
}

int KelLinkerUSB::lastError() const {
    return upg_dev_get_last_error(m_dev);
}
