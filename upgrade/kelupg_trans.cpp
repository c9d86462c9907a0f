// Packet transport: every piece of a command travels as CBW, one data phase and
// CSW, in the manner of the mass-storage bulk-only transport, either as bulk
// transfers or inside the UART framing. Also the library's process-wide state.
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

struct LibState {
    bool initialized = false;
    libusb_context *ctx = nullptr;
    uint32_t tag = 0;
    int max_transfer = UPG_PKT_SIZE_SMALL;
    int timeout_ms = UPG_DEFAULT_TRANSFER_TIMEOUT_MS;
};
LibState g_state;

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
    int rc = libusb_bulk_transfer(dev->handle, ep, data, n, moved, g_state.timeout_ms);
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

void note_uart_failure(upg_device *dev) {
    dev->last_error = libuart_get_state(dev->uart) == LIBUART_STATE_CONNECTED
                          ? LIBUSB_ERROR_IO
                          : LIBUSB_ERROR_NO_DEVICE;
}

// The checks both directions make and the packet's CBW, logged under the
// caller's name; false when the packet is refused before a tag is used.
bool begin_packet(upg_device *dev, const void *data, int length, bool host_receives,
                  const char *func, uint8_t *cbw, uint32_t *tag) {
    if (!dev || !data || length <= 0) {
        UPG_LOGE_AS(func, "Invalid parameter.");
        return false;
    }
    if (length > g_state.max_transfer) {
        UPG_LOGE_AS(func, "Data length is over size.");
        return false;
    }
    *tag = g_state.tag++;
    kelupg_trans_build_cbw(cbw, *tag, uint32_t(length), host_receives);
    UPG_LOGD_AS(func, "Send CBW, tag 0x%x", *tag);
    return true;
}

bool uart_send_cbw(upg_device *dev, const uint8_t *cbw, const char *func) {
    int ret = libuart_send(dev->uart, cbw, UPG_CBW_SIZE);
    if (ret != UPG_CBW_SIZE) {
        note_uart_failure(dev);
        UPG_LOGE_AS(func, "CBW send error. %s(%d)", uart_text(ret), ret);
        return false;
    }
    UPG_LOGD_AS(func, "  -> ok");
    return true;
}

// A packet whose CSW arrives leaves no transport error behind.
bool uart_recv_csw(upg_device *dev, uint8_t *csw, uint32_t tag, const char *func) {
    UPG_LOGD_AS(func, "Read CSW, tag 0x%x", tag);
    int ret = libuart_recv(dev->uart, csw, UPG_CSW_SIZE, g_state.timeout_ms);
    if (ret != UPG_CSW_SIZE) {
        note_uart_failure(dev);
        UPG_LOGE_AS(func, "CSW recv error. %s(%d)", uart_text(ret), ret);
        return false;
    }
    dev->last_error = 0;
    return true;
}

int check_csw(const uint8_t *csw, uint32_t tag, bool receiving) {
    uint32_t sig = 0, got = 0;
    if (kelupg_trans_check_csw(csw, tag, &sig, &got) == 0)
        return 0;
    if (receiving)
        UPG_LOGE_AS("kelupg_trans_recv_pkt", "CSW is not matched, Sig %#x, Tag %#x/%#x", sig, got,
                    tag);
    else
        UPG_LOGE_AS("kelupg_trans_send_pkt", "CSW is not matched, Sig %#x, Tag got %#x, expect %#x",
                    sig, got, tag);
    return -1;
}

}  // namespace

uint32_t kelupg_get_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void kelupg_put_le32(uint8_t *p, uint32_t v) {
    put_le32(p, v);
}

libusb_context *kelupg_usb_context(void) {
    return g_state.ctx;
}

int libkelupg_init(void) {
    kelupg_cmd_reset_state();
    g_state.tag = 0;
    // A second initialisation keeps the context: devices opened on it stay valid.
    if (g_state.initialized && g_state.ctx)
        return 0;
    libusb_context *ctx = nullptr;
    int rc = libusb_init(&ctx);
    if (rc != 0) {
        UPG_LOGE("libusb_init() failed");
        return rc;
    }
    g_state.ctx = ctx;
    g_state.initialized = true;
    return 0;
}

int libkelupg_init_once(void) {
    if (g_state.initialized)
        return 0;
    return libkelupg_init();
}

void libkelupg_exit(void) {
    if (g_state.initialized && g_state.ctx)
        libusb_exit(g_state.ctx);
    g_state.ctx = nullptr;
    g_state.tag = 0;
    kelupg_cmd_reset_state();
    g_state.initialized = false;
}

int libkelupg_initialized(void) {
    return g_state.initialized ? 1 : 0;
}

void kelupg_set_transfer_timeout(int ms) {
    g_state.timeout_ms = ms > 0 ? ms : UPG_DEFAULT_TRANSFER_TIMEOUT_MS;
}

int kelupg_get_transfer_timeout(void) {
    return g_state.timeout_ms;
}

int kelupg_get_max_transfer_size(void) {
    return g_state.max_transfer;
}

void kelupg_set_max_transfer_size(int size) {
    if (size > 0)
        g_state.max_transfer = size;
}

uint32_t kelupg_trans_get_tag(void) {
    return g_state.tag;
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
    uint8_t cbw[UPG_CBW_SIZE];
    uint8_t csw[UPG_CSW_SIZE];
    uint32_t tag = 0;
    if (!begin_packet(dev, data, length, false, __func__, cbw, &tag))
        return 0;

    if (dev->type == UPG_DEV_TYPE_UART) {
        if (!uart_send_cbw(dev, cbw, __func__))
            return 0;
        UPG_LOGD("Send data, len %d", length);
        int ret = libuart_send(dev->uart, data, length);
        if (ret != length) {
            note_uart_failure(dev);
            UPG_LOGE("Send data error %s(%d)", uart_text(ret), ret);
            return 0;
        }
        UPG_LOGD("ok");
        if (!uart_recv_csw(dev, csw, tag, __func__))
            return 0;
    } else {
        if (!dev->handle) {
            UPG_LOGE("Invalid handle.");
            return 0;
        }
        int moved = 0;
        int rc = bulk(dev, dev->ep_out, cbw, UPG_CBW_SIZE, &moved);
        if (rc != 0 || moved != UPG_CBW_SIZE) {
            UPG_LOGE("CBW tag 0x%x, size %d, %s(%d)", tag, moved, libusb_strerror(rc), rc);
            return 0;
        }
        UPG_LOGD("  -> ok");
        UPG_LOGD("Send data, len %d", length);
        // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
        rc = bulk(dev, dev->ep_out, static_cast<uint8_t *>(const_cast<void *>(data)), length,
                  &moved);
        if (rc != 0 || moved != length) {
            UPG_LOGE("Send tag 0x%x, size %d/%d, %s(%d)", tag, moved, length, libusb_strerror(rc),
                     rc);
            return 0;
        }
        UPG_LOGD("  -> ok");
        UPG_LOGD("Read CSW, tag 0x%x", tag);
        rc = bulk(dev, dev->ep_in, csw, UPG_CSW_SIZE, &moved);
        if (rc != 0 || moved != UPG_CSW_SIZE) {
            UPG_LOGE("CSW tag 0x%x, size %d, %s(%d)", tag, moved, libusb_strerror(rc), rc);
            return 0;
        }
    }
    if (check_csw(csw, tag, false) != 0)
        return 0;
    return length;
}

int kelupg_trans_recv_pkt(upg_device *dev, void *buf, int length) {
    uint8_t cbw[UPG_CBW_SIZE];
    uint8_t csw[UPG_CSW_SIZE];
    uint32_t tag = 0;
    if (!begin_packet(dev, buf, length, true, __func__, cbw, &tag))
        return 0;

    if (dev->type == UPG_DEV_TYPE_UART) {
        if (!uart_send_cbw(dev, cbw, __func__))
            return 0;
        UPG_LOGD("Read data, len %d", length);
        int ret = libuart_recv(dev->uart, buf, length, g_state.timeout_ms);
        if (ret != length) {
            note_uart_failure(dev);
            UPG_LOGE("Recv data error. %s(%d)", uart_text(ret), ret);
            return 0;
        }
        UPG_LOGD("  -> ok");
        if (!uart_recv_csw(dev, csw, tag, __func__))
            return 0;
    } else {
        if (!dev->handle) {
            UPG_LOGE("Invalid handle.");
            return 0;
        }
        int moved = 0;
        int rc = bulk(dev, dev->ep_out, cbw, UPG_CBW_SIZE, &moved);
        if (rc != 0 || moved != UPG_CBW_SIZE) {
            UPG_LOGE("CBW size %d, %s(%d)", moved, libusb_strerror(rc), rc);
            return 0;
        }
        UPG_LOGD("  -> ok");
        UPG_LOGD("Read data, len %d", length);
        rc = bulk(dev, dev->ep_in, static_cast<uint8_t *>(buf), length, &moved);
        if (rc != 0 || moved != length) {
            UPG_LOGE("Read len %d/%d, %s(%d)", moved, length, libusb_strerror(rc), rc);
            return 0;
        }
        UPG_LOGD("  -> ok");
        UPG_LOGD("Read CSW, tag 0x%x", tag);
        rc = bulk(dev, dev->ep_in, csw, UPG_CSW_SIZE, &moved);
        if (rc != 0 || moved != UPG_CSW_SIZE) {
            UPG_LOGE("CSW size %d, %s(%d)", moved, libusb_strerror(rc), rc);
            return 0;
        }
    }
    if (check_csw(csw, tag, true) != 0)
        return 0;
    return length;
}
