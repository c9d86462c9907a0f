// Link to a board's upgrade interface on the USB bus, addressed by bus number
// and port path ("1:2-3").
#pragma once

#include "kellinker.h"
#include "libkelupg.h"

class KelLinkerUSB : public KelLinker {
    Q_OBJECT

public:
    explicit KelLinkerUSB(QObject *parent = nullptr);
    ~KelLinkerUSB() override;

    bool fetchDeviceInfo(const QString &devId, bool setWorkModeFirst) override;
    bool probePacketSize() override;
    bool isLargePacket() const override;
    QString deviceInfo() const override;
    const char *deviceNameText() const override;
    bool link() override;
    bool unlink() override;
    void release() override;
    QStringList listDevices() override;
    bool setWorkMode(int mode) override;
    int lastError() const override;

    uint8_t busNumber() const { return m_bus; }
    const uint8_t *portPath() const { return m_port; }

protected:
    upg_device *device() const override;

private:
    // Sets the work mode on dev: the link's device, or the handle the
    // information query opens for itself.
    static bool setWorkModeOn(upg_device *dev, int mode);

    bool m_released = false;
    uint8_t m_bus = 0;
    uint8_t m_port[UPG_PORT_PATH_LEN] = {0};
    upg_device *m_dev = nullptr;
};
