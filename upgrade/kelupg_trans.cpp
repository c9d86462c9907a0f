// Packet transport: every piece of a command travels as CBW, one data phase and
// CSW, in the manner of the mass-storage bulk-only transport, either as bulk
// transfers or inside the UART framing. Every failure is logged and kept as
// the device's last failure.
#include <cstring>

#include "kelupg_internal.h"
#include "libkelupg.h"
#include "upg_log.h"

namespace {

constexpr uint32_t kCbwSignature = 0x43425355u;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355u;  // "USBS"
constexpr uint8_t kCbwFlagOut = 0x00;
constexpr uint8_t kCbwFlagIn = 0x80;
constexpr uint8_t kCbOpSend = 0x01;
constexpr uint8_t kCbOpRecv = 0x02;

int usb_send_pkt(upg_device *dev, const void *data, int length);
int usb_recv_pkt(upg_device *dev, void *buf, int length);
int uart_send_pkt(upg_device *dev, const void *data, int length);
int uart_recv_pkt(upg_device *dev, void *buf, int length);
const upg_trans_ops kUsbOps = {usb_send_pkt, usb_recv_pkt};
const upg_trans_ops kUartOps = {uart_send_pkt, uart_recv_pkt};

int timeout_of(const upg_device *dev) {
    return kelupg_dev_context(dev)->timeout_ms.load();
}

// What a failed bulk transfer was: libusb's time-out, another libusb error
// (the device left, the pipe stalled), or a transfer that moved too little.
int bulk_code(int rc) {
    if (rc == LIBUSB_ERROR_TIMEOUT)
        return UPG_ERR_TIMEOUT;
    return rc != 0 ? UPG_ERR_TRANSFER : UPG_ERR_BAD_REPLY;
}

void put_le32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// One bulk transfer that must move exactly n bytes. Returns the moved count
// and leaves the libusb result in dev->last_error.
int bulk(upg_device *dev, uint8_t ep, uint8_t *data, int n, int *moved) {
    *moved = 0;
    int rc = libusb_bulk_transfer(dev->handle, ep, data, n, moved, timeout_of(dev));
    dev->last_error = rc;
    return rc;
}

// Text beside the value a UART call returned.
const char *uart_text(int ret) {
    if (ret < 0)
        return "line not connected";
    if (ret == 0)
        return "refused by device";
    return "short transfer";
}

// Notes the libusb-like code of a failed exchange; returns the failure's code:
// a line that dropped out is a failed transfer, a connected line that did not
// deliver in time a time-out.
int note_uart_failure(upg_device *dev) {
    const bool connected = libuart_get_state(dev->uart) == LIBUART_STATE_CONNECTED;
    dev->last_error = connected ? LIBUSB_ERROR_IO : LIBUSB_ERROR_NO_DEVICE;
    return connected ? UPG_ERR_TIMEOUT : UPG_ERR_TRANSFER;
}

// The checks both directions make and the packet's CBW, logged under the
// caller's name; false when the packet is refused before a tag is used.
bool begin_packet(upg_device *dev, const void *data, int length, bool host_receives,
                  const char *func, uint8_t *cbw, uint32_t *tag) {
    if (!dev || !data || length <= 0) {
        UPG_LOGE_AS(func, "Invalid parameter.");
        return false;
    }
    kelupg_dev_sync(dev);
    if (length > dev->max_transfer) {
        UPG_LOGE_AS(func, "Data length is over size.");
        return false;
    }
    *tag = dev->tag++;
    kelupg_dev_context(dev)->last_tag.store(dev->tag);
    kelupg_trans_build_cbw(cbw, *tag, uint32_t(length), host_receives);
    UPG_LOGD_AS(func, "Send CBW, tag 0x%x", *tag);
    return true;
}

bool uart_send_cbw(upg_device *dev, const uint8_t *cbw, const char *func) {
    int ret = libuart_send(dev->uart, cbw, UPG_CBW_SIZE);
    if (ret != UPG_CBW_SIZE) {
        UPG_DEV_FAIL_AS(dev, note_uart_failure(dev), func, "CBW send error. %s(%d)", uart_text(ret),
                        ret);
        return false;
    }
    UPG_LOGD_AS(func, "  -> ok");
    return true;
}

// A packet whose CSW arrives leaves no transport error behind.
bool uart_recv_csw(upg_device *dev, uint8_t *csw, uint32_t tag, const char *func) {
    UPG_LOGD_AS(func, "Read CSW, tag 0x%x", tag);
    int ret = libuart_recv(dev->uart, csw, UPG_CSW_SIZE, timeout_of(dev));
    if (ret != UPG_CSW_SIZE) {
        UPG_DEV_FAIL_AS(dev, note_uart_failure(dev), func, "CSW recv error. %s(%d)", uart_text(ret),
                        ret);
        return false;
    }
    dev->last_error = 0;
    return true;
}

int check_csw(upg_device *dev, const uint8_t *csw, uint32_t tag, bool receiving) {
    uint32_t sig = 0, got = 0;
    if (kelupg_trans_check_csw(csw, tag, &sig, &got) == 0)
        return 0;
    if (receiving)
        UPG_DEV_FAIL_AS(dev, UPG_ERR_BAD_REPLY, "kelupg_trans_recv_pkt",
                        "CSW is not matched, Sig %#x, Tag %#x/%#x", sig, got, tag);
    else
        UPG_DEV_FAIL_AS(dev, UPG_ERR_BAD_REPLY, "kelupg_trans_send_pkt",
                        "CSW is not matched, Sig %#x, Tag got %#x, expect %#x", sig, got, tag);
    return -1;
}

const upg_trans_ops *ops_of(upg_device *dev) {
    if (!dev->ops)
        dev->ops = dev->type == UPG_DEV_TYPE_UART ? &kUartOps : &kUsbOps;
    return dev->ops;
}

}  // namespace

uint32_t kelupg_get_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void kelupg_put_le32(uint8_t *p, uint32_t v) {
    put_le32(p, v);
}

void kelupg_trans_build_cbw(uint8_t cbw[UPG_CBW_SIZE], uint32_t tag, uint32_t length,
                            bool host_receives) {
    memset(cbw, 0, UPG_CBW_SIZE);
    put_le32(cbw, kCbwSignature);
    put_le32(cbw + 4, tag);
    put_le32(cbw + 8, length);
    cbw[12] = host_receives ? kCbwFlagIn : kCbwFlagOut;
    cbw[13] = 0;  // LUN
    cbw[14] = 1;  // command block length
    cbw[15] = host_receives ? kCbOpRecv : kCbOpSend;
}

int kelupg_trans_check_csw(const uint8_t csw[UPG_CSW_SIZE], uint32_t expected_tag,
                           uint32_t *sig_out, uint32_t *tag_out) {
    uint32_t sig = kelupg_get_le32(csw);
    uint32_t tag = kelupg_get_le32(csw + 4);
    if (sig_out)
        *sig_out = sig;
    if (tag_out)
        *tag_out = tag;
    return (sig == kCswSignature && tag == expected_tag) ? 0 : -1;
}

int kelupg_trans_send_pkt(upg_device *dev, const void *data, int length) {
    if (!dev) {
        UPG_LOGE("Invalid parameter.");
        return 0;
    }
    kelupg_dev_sync(dev);
    upg_dev_clear_error(dev);
    return ops_of(dev)->send_pkt(dev, data, length);
}

int kelupg_trans_recv_pkt(upg_device *dev, void *buf, int length) {
    if (!dev) {
        UPG_LOGE("Invalid parameter.");
        return 0;
    }
    kelupg_dev_sync(dev);
    upg_dev_clear_error(dev);
    return ops_of(dev)->recv_pkt(dev, buf, length);
}

namespace {

// The packet functions log under the public names: the messages are the
// transport's, whichever line carries it.
#define SEND_FUNC "kelupg_trans_send_pkt"
#define RECV_FUNC "kelupg_trans_recv_pkt"

int uart_send_pkt(upg_device *dev, const void *data, int length) {
    uint8_t cbw[UPG_CBW_SIZE];
    uint8_t csw[UPG_CSW_SIZE];
    uint32_t tag = 0;
    if (!begin_packet(dev, data, length, false, SEND_FUNC, cbw, &tag))
        return 0;
    if (!uart_send_cbw(dev, cbw, SEND_FUNC))
        return 0;
    UPG_LOGD_AS(SEND_FUNC, "Send data, len %d", length);
    int ret = libuart_send(dev->uart, data, length);
    if (ret != length) {
        UPG_DEV_FAIL_AS(dev, note_uart_failure(dev), SEND_FUNC, "Send data error %s(%d)",
                        uart_text(ret), ret);
        return 0;
    }
    UPG_LOGD_AS(SEND_FUNC, "ok");
    if (!uart_recv_csw(dev, csw, tag, SEND_FUNC))
        return 0;
    if (check_csw(dev, csw, tag, false) != 0)
        return 0;
    return length;
}

int usb_send_pkt(upg_device *dev, const void *data, int length) {
    uint8_t cbw[UPG_CBW_SIZE];
    uint8_t csw[UPG_CSW_SIZE];
    uint32_t tag = 0;
    if (!begin_packet(dev, data, length, false, SEND_FUNC, cbw, &tag))
        return 0;
    if (!dev->handle) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_UNAVAILABLE, SEND_FUNC, "Invalid handle.");
        return 0;
    }
    int moved = 0;
    int rc = bulk(dev, dev->ep_out, cbw, UPG_CBW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CBW_SIZE) {
        UPG_DEV_FAIL_AS(dev, bulk_code(rc), SEND_FUNC, "CBW tag 0x%x, size %d, %s(%d)", tag, moved,
                        libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(SEND_FUNC, "  -> ok");
    UPG_LOGD_AS(SEND_FUNC, "Send data, len %d", length);
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    rc = bulk(dev, dev->ep_out, static_cast<uint8_t *>(const_cast<void *>(data)), length, &moved);
    if (rc != 0 || moved != length) {
        UPG_DEV_FAIL_AS(dev, bulk_code(rc), SEND_FUNC, "Send tag 0x%x, size %d/%d, %s(%d)", tag,
                        moved, length, libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(SEND_FUNC, "  -> ok");
    UPG_LOGD_AS(SEND_FUNC, "Read CSW, tag 0x%x", tag);
    rc = bulk(dev, dev->ep_in, csw, UPG_CSW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CSW_SIZE) {
        UPG_DEV_FAIL_AS(dev, bulk_code(rc), SEND_FUNC, "CSW tag 0x%x, size %d, %s(%d)", tag, moved,
                        libusb_strerror(rc), rc);
        return 0;
    }
    if (check_csw(dev, csw, tag, false) != 0)
        return 0;
    return length;
}

int uart_recv_pkt(upg_device *dev, void *buf, int length) {
    uint8_t cbw[UPG_CBW_SIZE];
    uint8_t csw[UPG_CSW_SIZE];
    uint32_t tag = 0;
    if (!begin_packet(dev, buf, length, true, RECV_FUNC, cbw, &tag))
        return 0;
    if (!uart_send_cbw(dev, cbw, RECV_FUNC))
        return 0;
    UPG_LOGD_AS(RECV_FUNC, "Read data, len %d", length);
    int ret = libuart_recv(dev->uart, buf, length, timeout_of(dev));
    if (ret != length) {
        UPG_DEV_FAIL_AS(dev, note_uart_failure(dev), RECV_FUNC, "Recv data error. %s(%d)",
                        uart_text(ret), ret);
        return 0;
    }
    UPG_LOGD_AS(RECV_FUNC, "  -> ok");
    if (!uart_recv_csw(dev, csw, tag, RECV_FUNC))
        return 0;
    if (check_csw(dev, csw, tag, true) != 0)
        return 0;
    return length;
}

int usb_recv_pkt(upg_device *dev, void *buf, int length) {
    uint8_t cbw[UPG_CBW_SIZE];
    uint8_t csw[UPG_CSW_SIZE];
    uint32_t tag = 0;
    if (!begin_packet(dev, buf, length, true, RECV_FUNC, cbw, &tag))
        return 0;
    if (!dev->handle) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_UNAVAILABLE, RECV_FUNC, "Invalid handle.");
        return 0;
    }
    int moved = 0;
    int rc = bulk(dev, dev->ep_out, cbw, UPG_CBW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CBW_SIZE) {
        UPG_DEV_FAIL_AS(dev, bulk_code(rc), RECV_FUNC, "CBW size %d, %s(%d)", moved,
                        libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(RECV_FUNC, "  -> ok");
    UPG_LOGD_AS(RECV_FUNC, "Read data, len %d", length);
    rc = bulk(dev, dev->ep_in, static_cast<uint8_t *>(buf), length, &moved);
    if (rc != 0 || moved != length) {
        UPG_DEV_FAIL_AS(dev, bulk_code(rc), RECV_FUNC, "Read len %d/%d, %s(%d)", moved, length,
                        libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(RECV_FUNC, "  -> ok");
    UPG_LOGD_AS(RECV_FUNC, "Read CSW, tag 0x%x", tag);
    rc = bulk(dev, dev->ep_in, csw, UPG_CSW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CSW_SIZE) {
        UPG_DEV_FAIL_AS(dev, bulk_code(rc), RECV_FUNC, "CSW size %d, %s(%d)", moved,
                        libusb_strerror(rc), rc);
        return 0;
    }
    if (check_csw(dev, csw, tag, true) != 0)
        return 0;
    return length;
}

}  // namespace
