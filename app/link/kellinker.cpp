#include "kellinker.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>
#include <QTime>
#include <cstring>

#include "libkelupg.h"
#include "upg_log.h"

namespace {

QString nowText() {
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

// Plain substring search, case as written: "Running" counts as run.
bool attrHas(const FwcMeta &meta, const char *word) {
    char attr[sizeof(meta.attributes) + 1];
    memcpy(attr, meta.attributes, sizeof(meta.attributes));
    attr[sizeof(meta.attributes)] = '\0';
    return strstr(attr, word) != nullptr;
}

QString recordName(const FwcMeta &meta) {
    return QString::fromLocal8Bit(meta.name, int(strnlen(meta.name, sizeof(meta.name))));
}

}  // namespace

KelLinker::KelLinker(QObject *parent) : QObject(parent) {}

KelLinker::~KelLinker() = default;

QString KelLinker::name() const {
    return m_name;
}

void KelLinker::clearName() {
    m_name.clear();
}

bool KelLinker::fetchDeviceInfo(const QString &devId, bool) {
    m_name = devId;
    return true;
}

upg_device *KelLinker::device() const {
    return nullptr;
}

bool KelLinker::isSerialLine() const {
    const upg_device *dev = device();
    return dev && dev->type == UPG_DEV_TYPE_UART;
}

bool KelLinker::lineConnected() const {
    return upg_uart_dev_connected(device());
}

bool KelLinker::probePacketSize() {
    return false;
}

bool KelLinker::isLargePacket() const {
    return false;
}

int KelLinker::blockSize() const {
    return m_blockSize;
}

QString KelLinker::deviceInfo() const {
    return QString();
}

const char *KelLinker::deviceNameText() const {
    return nullptr;
}

bool KelLinker::link() {
    return false;
}

bool KelLinker::unlink() {
    return false;
}

bool KelLinker::sendData(const char *data, int n) {
    upg_device *dev = device();
    if (!dev)
        return false;
    if (kelupg_cmd_send_fwc_data_update(dev, data, n) == n)
        return true;
    return fail(QStringLiteral("Dev %1 Failed to send data %2").arg(m_name).arg(n));
}

bool KelLinker::sendMetaHead(const FwcMeta &meta) {
    upg_device *dev = device();
    if (!dev)
        return false;

    // The device reads the full 512-byte record; fields keep their file
    // offsets and the tail stays zero.
    uint8_t block[UPG_FWC_META_SIZE] = {0};
    memcpy(block, &meta, sizeof(meta));
    if (kelupg_cmd_set_fwc_meta(dev, block) != 0) {
        return fail(QStringLiteral("Dev %1 Failed to send meta head!").arg(m_name));
    }

    // The block size may differ between boot stages, so it is asked anew
    // for every component.
    int size = kelupg_cmd_get_block_size(dev);
    if (size <= 0) {
        return fail(QStringLiteral("Dev %1 Failed to get block size!").arg(m_name));
    }
    m_blockSize = size;

    if (kelupg_cmd_send_fwc_data_start(dev, meta.size) != 0) {
        return fail(QStringLiteral("Dev %1 Failed to send meta size!").arg(m_name));
    }
    return true;
}

bool KelLinker::metaEnd(const FwcMeta &meta, uint32_t results[3]) {
    upg_device *dev = device();
    if (!dev)
        return false;
    uint32_t scratch[3] = {0, 0, 0};
    if (!results)
        results = scratch;

    // A component that runs makes the device leave its stage right after the
    // final, so its answer may never come: only a missing answer is forgiven.
    // An answer that did arrive and reports a failure means the device refused
    // the component, and calling that burnt would hide a board that won't boot.
    if (attrHas(meta, "run") || attrHas(meta, "Run") || attrHas(meta, "RUN")) {
        // From here until it is back, the board's silence is its departure; the
        // caller ends the expectation once it answers again.
        upg_log_expect_departure(1);
        if (kelupg_cmd_send_fwc_data_final(dev) != 0 && upg_dev_get_last_error(dev) == 0) {
            return fail(QStringLiteral("Dev %1 Failed to send meta end!").arg(m_name));
        }
        qDebug().noquote() << "Don't check the result of" << recordName(meta);
        return true;
    }

    if (kelupg_cmd_send_fwc_data_final(dev) != 0) {
        return fail(QStringLiteral("Dev %1 Failed to send meta end!").arg(m_name));
    }
    if (kelupg_cmd_get_fwc_crc(dev, &results[0]) != 0) {
        return fail(QStringLiteral("Dev %1 Failed to get the CRC!").arg(m_name));
    }
    if (m_verify && results[0] != meta.crc)
        return failAs(Failure::VerifyFailed,
                      QStringLiteral("Dev %1 Checksum mismatch on %2: device 0x%3, image 0x%4")
                          .arg(m_name, recordName(meta))
                          .arg(results[0], 8, 16, QLatin1Char('0'))
                          .arg(meta.crc, 8, 16, QLatin1Char('0')));
    if (attrHas(meta, "burn") && kelupg_cmd_get_fwc_burn_result(dev, &results[1]) != 0) {
        return fail(QStringLiteral("Dev %1 Failed to get burn result!").arg(m_name));
    }
    return true;
}

bool KelLinker::waitReconnect() {
    qDebug().noquote() << "Wait to reconnect dev" << m_name;
    if (!device())
        return false;
    unlink();
    qDebug().noquote() << nowText() << "Wait for Dev" << m_name << "ready";

    // The wait runs on the worker's thread; a stop asked of the job must not sit
    // out the whole deadline.
    QThread *self = QThread::currentThread();
    QElapsedTimer clock;
    clock.start();
    while (!clock.hasExpired(m_reconnectDeadlineMs)) {
        if (link())
            return true;
        if (self->isInterruptionRequested()) {
            qDebug().noquote() << nowText() << "Stopped waiting for Dev" << m_name;
            return false;
        }
        QThread::msleep(m_reconnectRetryMs);
    }
    failAs(Failure::LinkNotReturned, QStringLiteral("Dev %1 lost!").arg(m_name), nowText());
    return false;
}

bool KelLinker::resetDevice() {
    upg_device *dev = device();
    if (!dev)
        return false;
    // The device reboots at once; whether the answer still arrives does not matter.
    static const char cmd[] = "reset";
    const int before = upg_log_departure_expected();
    upg_log_expect_departure(1);
    kelupg_cmd_send_cmdline(dev, cmd, 5);
    upg_log_expect_departure(before);
    qInfo().noquote() << "Dev" << m_name << "was told to reset; it leaves the bus now";
    return true;
}

void KelLinker::release() {}

QStringList KelLinker::listDevices() {
    return QStringList();
}

bool KelLinker::setWorkMode(int) {
    return false;
}

int KelLinker::lastError() const {
    return 0;
}

void KelLinker::setReconnectTiming(int deadlineMs, int retryMs) {
    m_reconnectDeadlineMs = qMax(0, deadlineMs);
    m_reconnectRetryMs = qMax(1, retryMs);
}

void KelLinker::setInfoTiming(int totalMs, int retryMs) {
    m_infoTotalMs = qMax(0, totalMs);
    m_infoRetryMs = qMax(1, retryMs);
}

QString KelLinker::hwInfoText(const QString &prefix, const upg_hw_info &info) {
    auto yesNo = [](bool on) { return on ? tr("是") : tr("否"); };
    QString text = prefix;
    text += QLatin1Char('\n') + tr("启动阶段：");
    text +=
        info.boot_stage == UPG_BOOT_STAGE_BROM ? QStringLiteral("BROM") : QStringLiteral("U-Boot");
    text += QLatin1Char('\n') + tr("安全启动：") + yesNo(info.security & UPG_SEC_SECURE_BOOT);
    text += QLatin1Char('\n') + tr("Boot加密：") + yesNo(info.security & UPG_SEC_BOOT_ENCRYPTION);
    text += QLatin1Char('\n') + tr("防回滚：") + yesNo(info.security & UPG_SEC_ANTI_ROLLBACK);
    return text;
}

QString KelLinker::storageMediaText(const uint8_t *buf, int nbytes) {
    QString text = QLatin1Char('\n') + tr("存储介质：");
    const int count = kelupg_storage_media_count(nbytes);
    for (int i = 0; i < count; ++i) {
        char name[UPG_STORAGE_MEDIA_ENTRY_SIZE + 1];
        if (kelupg_storage_media_name(buf, nbytes, i, name, sizeof(name)) < 0)
            break;
        text += QString::fromLocal8Bit(name) + QLatin1Char(' ');
    }
    return text;
}

bool KelLinker::probePacketSizeOn(upg_device *dev) {
    if (!dev)
        return false;
    bool large = false;
    upg_hw_info info;
    if (kelupg_probe_packet_size_info(dev, &large, &info) != 0)
        return false;
    m_largePacket = large;
    noteChipId(info);
    return true;
}

void KelLinker::noteChipId(const upg_hw_info &info) {
    const char *id = reinterpret_cast<const char *>(info.reserved1);
    int n = int(sizeof(info.reserved1));
    while (n > 0 && id[n - 1] == '\0')
        --n;
    m_chipId = QByteArray(id, n);
}

QString KelLinker::chipIdText(const QByteArray &id) {
    for (char c : id) {
        if (c < 0x20 || c > 0x7E)
            return QString::fromLatin1(id.toHex());
    }
    return QString::fromLatin1(id);
}

namespace {

// The kind of failure the library recorded on the device a step used.
Failure::Code linkFailureOf(const upg_device *dev) {
    if (!dev)
        return Failure::LinkUnavailable;
    switch (upg_dev_last_error(dev)) {
        case UPG_ERR_UNAVAILABLE:
            return Failure::LinkUnavailable;
        case UPG_ERR_REFUSED:
            return Failure::BoardRefused;
        case UPG_ERR_TRANSFER:
        case UPG_ERR_TIMEOUT:
        case UPG_ERR_BAD_REPLY:
            return Failure::LinkLost;
        default:
            // A step refused before anything reached the board.
            return Failure::Internal;
    }
}

}  // namespace

bool KelLinker::fail(const QString &text, const QString &when) {
    return failAs(linkFailureOf(device()), text, when);
}

bool KelLinker::failAs(Failure::Code code, const QString &text, const QString &when) {
    m_error = text;
    m_failCode = code;
    // What the transfer itself said, for whoever reports the failure.
    if (const int libusbCode = upg_dev_get_last_error(device()))
        m_error += QStringLiteral(" (%1)").arg(QString::fromLatin1(libusb_strerror(libusbCode)));
    if (when.isEmpty())
        qCritical().noquote() << text;
    else
        qCritical().noquote() << when << text;
    return false;
}

Failure KelLinker::failure() const {
    if (m_error.isEmpty())
        return Failure();
    return Failure(m_failCode == Failure::None ? Failure::Internal : m_failCode, m_error);
}

bool KelLinker::reportsUboot() const {
    return deviceInfo().contains(tr("启动阶段：") + QStringLiteral("U-Boot"));
}

const char *KelLinker::storedNameText() const {
    return m_devNameText.isEmpty() ? nullptr : m_devNameText.constData();
}
