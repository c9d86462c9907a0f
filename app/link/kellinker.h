// Base of every device link: one way of reaching a board (USB, serial port,
// network). Holds the common state and runs the per-component burn steps on
// whatever device handle the subclass provides.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "failure.h"
#include "image.h"

struct upg_device;
struct upg_hw_info;

class KelLinker : public QObject {
    Q_OBJECT

public:
    explicit KelLinker(QObject *parent = nullptr);
    ~KelLinker() override;

    virtual QString name() const;
    virtual void clearName();
    virtual bool fetchDeviceInfo(const QString &devId, bool setWorkModeFirst);
    virtual bool probePacketSize();
    virtual bool isLargePacket() const;
    virtual int blockSize() const;
    virtual QString deviceInfo() const;
    // None (null) when there is nothing to offer.
    virtual const char *deviceNameText() const;
    virtual bool link();
    virtual bool unlink();
    virtual bool sendData(const char *data, int n);
    virtual bool sendMetaHead(const FwcMeta &meta);
    // results: device checksum, burn result, run result (filled in that order).
    virtual bool metaEnd(const FwcMeta &meta, uint32_t results[3]);
    virtual bool waitReconnect();
    virtual bool resetDevice();
    virtual void release();
    virtual QStringList listDevices();
    virtual bool setWorkMode(int mode);
    virtual int lastError() const;

    // Between link() and unlink(): the link holds an open device.
    bool isLinked() const { return device() != nullptr; }
    // The open device is reached over a serial line.
    bool isSerialLine() const;
    // The serial line's presence handshake is complete (false for none and
    // for a device on the bus).
    bool lineConnected() const;

    // How long waitReconnect looks for the device again and how often it
    // tries (10000 ms, every 100 ms).
    void setReconnectTiming(int deadlineMs, int retryMs);
    int reconnectDeadline() const { return m_reconnectDeadlineMs; }

    // How long the information query keeps asking a silent device and how
    // long it pauses between tries (5000 ms, 500 ms).
    void setInfoTiming(int totalMs, int retryMs);

    // Whether each burnt component's checksum, as the board reports it, must
    // equal the CRC of the image's record. Off by default: a board may compute
    // its checksum differently.
    void setVerify(bool on) { m_verify = on; }
    bool verifies() const { return m_verify; }

    // The chip identifier of the board last heard from (hardware-information
    // bytes 44..107, as the board reports it in either stage); empty when it
    // reports none. Two boards of one batch differ here and nowhere else.
    QByteArray chipId() const { return m_chipId; }
    // The identifier as text for messages: itself when printable, else hex.
    static QString chipIdText(const QByteArray &id);
    // The last information query found the board running U-Boot (a board
    // left there by a stopped or failed burn, or started into it).
    bool reportsUboot() const;

    // Why the last failed step of this link failed; empty when none has.
    QString errorText() const { return m_error; }
    // The same as a value: the error text with the kind of failure the upgrade
    // library recorded on the device when the step failed (none could be
    // opened: LinkUnavailable; a transfer failed, timed out or was answered
    // out of protocol: LinkLost; the board answered with a failure:
    // BoardRefused; the board did not come back: LinkNotReturned; its
    // checksum differs: VerifyFailed). No failure while errorText() is empty.
    Failure failure() const;
    void clearError() {
        m_error.clear();
        m_failCode = Failure::None;
    }

signals:
    void releaseFinish();

protected:
    // The open device; none outside link() ... unlink(). It stays inside the
    // link: callers use the link's operations.
    virtual upg_device *device() const;

    // The information text shared by every kind of link; prefix is the
    // "USB设备：" / "UART设备：" caption with the device identifier.
    static QString hwInfoText(const QString &prefix, const upg_hw_info &info);
    // Keeps the chip identifier of a hardware-information record.
    void noteChipId(const upg_hw_info &info);
    void clearChipId() { m_chipId.clear(); }
    // "\n存储介质：" and every medium's name followed by " ".
    static QString storageMediaText(const uint8_t *buf, int nbytes);

    // The packet-size probe on an open device handle; the answer is kept for
    // largePacketOn() and stays meaningful only while that handle is open.
    bool probePacketSizeOn(upg_device *dev);
    bool largePacketOn(const upg_device *dev) const { return dev ? m_largePacket : false; }
    // The device name text if the link has one, else null.
    const char *storedNameText() const;
    // Logs text as critical (after when, if any) and keeps it as the link's
    // error text, with the kind of failure the library recorded on the device;
    // returns false for the caller to pass on.
    bool fail(const QString &text, const QString &when = QString());
    // The same with a kind of failure the link knows better than the library.
    bool failAs(Failure::Code code, const QString &text, const QString &when = QString());

    int m_blockSize = 0;
    QString m_name;
    // What the last information query found, as shown to the user.
    QString m_info;
    QByteArray m_devNameText;

    int m_reconnectDeadlineMs = 10000;
    int m_reconnectRetryMs = 100;
    int m_infoTotalMs = 5000;
    int m_infoRetryMs = 500;

private:
    bool m_largePacket = false;
    bool m_verify = false;
    QString m_error;
    Failure::Code m_failCode = Failure::None;
    QByteArray m_chipId;
};
