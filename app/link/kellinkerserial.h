// Link to a board over a serial port ("ttyUSB0"), speaking the framed UART
// protocol with its presence handshake.
#pragma once

#include "kellinker.h"

class KelLinkerSerial : public KelLinker {
    Q_OBJECT

public:
    explicit KelLinkerSerial(QObject *parent = nullptr);
    ~KelLinkerSerial() override;

    bool fetchDeviceInfo(const QString &portName, bool setWorkModeFirst) override;
    bool probePacketSize() override;
    bool isLargePacket() const override;
    QString deviceInfo() const override;
    const char *deviceNameText() const override;
    bool link() override;
    bool unlink() override;
    void release() override;
    QStringList listDevices() override;

    // How long the information query waits for the handshake to complete.
    // One probe of the connection manager takes up to about 200 ms, so the
    // default leaves room for one whole probe.
    void setConnectWait(int ms) { m_connectWaitMs = qMax(0, ms); }
    int connectWait() const { return m_connectWaitMs; }

    static constexpr int DefaultConnectWaitMs = 250;

protected:
    upg_device *device() const override;

private:
    bool m_released = false;
    bool m_connected = false;
    upg_device *m_dev = nullptr;
    int m_connectWaitMs = DefaultConnectWaitMs;
};
