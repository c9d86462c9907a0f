// Packet transport: every piece of a command travels as CBW, one data phase and
// CSW, in the manner of the mass-storage bulk-only transport, either as bulk
// transfers or inside the UART framing. Also the library's process-wide state
// and each device's protocol state.
#include <atomic>
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

// Workers of several boards read this at once; only initialisation, tests and
// single-board callers write it.
struct LibState {
    std::atomic<bool> initialized{false};
    libusb_context *ctx = nullptr;
    std::atomic<int> timeout_ms{UPG_DEFAULT_TRANSFER_TIMEOUT_MS};
    // What a device takes when opened, and the single-board setter's value.
    std::atomic<int> default_max{UPG_PKT_SIZE_SMALL};
    // Bumped by an initialisation (devices start their tags and meta flag over)
    // and by the process-wide size setter (devices take the new size); a device
    // catches up before its next packet, so no list of open devices is needed.
    std::atomic<uint32_t> state_generation{1};
    std::atomic<uint32_t> size_generation{1};
    // The device used last, as the process-wide getters report it.
    std::atomic<uint32_t> last_tag{0};
    std::atomic<int> last_max{UPG_PKT_SIZE_SMALL};
    std::atomic<bool> last_meta{false};
};
LibState g_state;

int usb_send_pkt(upg_device *dev, const void *data, int length);
int usb_recv_pkt(upg_device *dev, void *buf, int length);
int uart_send_pkt(upg_device *dev, const void *data, int length);
int uart_recv_pkt(upg_device *dev, void *buf, int length);
const upg_trans_ops kUsbOps = {usb_send_pkt, usb_recv_pkt};
const upg_trans_ops kUartOps = {uart_send_pkt, uart_recv_pkt};

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
    int rc = libusb_bulk_transfer(dev->handle, ep, data, n, moved, g_state.timeout_ms.load());
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
    kelupg_dev_sync(dev);
    if (length > dev->max_transfer) {
        UPG_LOGE_AS(func, "Data length is over size.");
        return false;
    }
    *tag = dev->tag++;
    g_state.last_tag.store(dev->tag);
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
    int ret = libuart_recv(dev->uart, csw, UPG_CSW_SIZE, g_state.timeout_ms.load());
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

void kelupg_dev_init_state(upg_device *dev, int type) {
    dev->type = type;
    dev->ops = type == UPG_DEV_TYPE_UART ? &kUartOps : &kUsbOps;
    dev->tag = 0;
    dev->fwc_meta_sent = false;
    dev->max_transfer = g_state.default_max.load();
    dev->state_generation = g_state.state_generation.load();
    dev->size_generation = g_state.size_generation.load();
}

void kelupg_dev_sync(upg_device *dev) {
    if (!dev->ops)
        dev->ops = dev->type == UPG_DEV_TYPE_UART ? &kUartOps : &kUsbOps;
    const uint32_t state = g_state.state_generation.load();
    if (dev->state_generation != state) {
        dev->tag = 0;
        dev->fwc_meta_sent = false;
        dev->state_generation = state;
    }
    const uint32_t size = g_state.size_generation.load();
    if (dev->size_generation != size || dev->max_transfer <= 0) {
        dev->max_transfer = g_state.default_max.load();
        dev->size_generation = size;
    }
}

void kelupg_dev_set_meta_sent(upg_device *dev, bool sent) {
    kelupg_dev_sync(dev);
    dev->fwc_meta_sent = sent;
    g_state.last_meta.store(sent);
}

int libkelupg_init(void) {
    g_state.state_generation.fetch_add(1);
    g_state.last_tag.store(0);
    g_state.last_meta.store(false);
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
    g_state.state_generation.fetch_add(1);
    g_state.last_tag.store(0);
    g_state.last_meta.store(false);
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
    return g_state.last_max.load();
}

void kelupg_set_max_transfer_size(int size) {
    if (size <= 0)
        return;
    g_state.default_max.store(size);
    g_state.last_max.store(size);
    g_state.size_generation.fetch_add(1);
}

uint32_t kelupg_trans_get_tag(void) {
    return g_state.last_tag.load();
}

bool kelupg_cmd_fwc_meta_sent(void) {
    return g_state.last_meta.load();
}

uint32_t upg_dev_get_tag(upg_device *dev) {
    if (!dev)
        return 0;
    kelupg_dev_sync(dev);
    return dev->tag;
}

int upg_dev_get_max_transfer_size(upg_device *dev) {
    if (!dev)
        return g_state.default_max.load();
    kelupg_dev_sync(dev);
    return dev->max_transfer;
}

void upg_dev_set_max_transfer_size(upg_device *dev, int size) {
    if (!dev || size <= 0)
        return;
    kelupg_dev_sync(dev);
    dev->max_transfer = size;
    g_state.last_max.store(size);
}

bool upg_dev_fwc_meta_sent(upg_device *dev) {
    if (!dev)
        return false;
    kelupg_dev_sync(dev);
    return dev->fwc_meta_sent;
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
    return dev->ops->send_pkt(dev, data, length);
}

int kelupg_trans_recv_pkt(upg_device *dev, void *buf, int length) {
    if (!dev) {
        UPG_LOGE("Invalid parameter.");
        return 0;
    }
    kelupg_dev_sync(dev);
    return dev->ops->recv_pkt(dev, buf, length);
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
        note_uart_failure(dev);
        UPG_LOGE_AS(SEND_FUNC, "Send data error %s(%d)", uart_text(ret), ret);
        return 0;
    }
    UPG_LOGD_AS(SEND_FUNC, "ok");
    if (!uart_recv_csw(dev, csw, tag, SEND_FUNC))
        return 0;
    if (check_csw(csw, tag, false) != 0)
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
        UPG_LOGE_AS(SEND_FUNC, "Invalid handle.");
        return 0;
    }
    int moved = 0;
    int rc = bulk(dev, dev->ep_out, cbw, UPG_CBW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CBW_SIZE) {
        UPG_LOGE_AS(SEND_FUNC, "CBW tag 0x%x, size %d, %s(%d)", tag, moved, libusb_strerror(rc),
                    rc);
        return 0;
    }
    UPG_LOGD_AS(SEND_FUNC, "  -> ok");
    UPG_LOGD_AS(SEND_FUNC, "Send data, len %d", length);
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    rc = bulk(dev, dev->ep_out, static_cast<uint8_t *>(const_cast<void *>(data)), length, &moved);
    if (rc != 0 || moved != length) {
        UPG_LOGE_AS(SEND_FUNC, "Send tag 0x%x, size %d/%d, %s(%d)", tag, moved, length,
                    libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(SEND_FUNC, "  -> ok");
    UPG_LOGD_AS(SEND_FUNC, "Read CSW, tag 0x%x", tag);
    rc = bulk(dev, dev->ep_in, csw, UPG_CSW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CSW_SIZE) {
        UPG_LOGE_AS(SEND_FUNC, "CSW tag 0x%x, size %d, %s(%d)", tag, moved, libusb_strerror(rc),
                    rc);
        return 0;
    }
    if (check_csw(csw, tag, false) != 0)
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
    int ret = libuart_recv(dev->uart, buf, length, g_state.timeout_ms.load());
    if (ret != length) {
        note_uart_failure(dev);
        UPG_LOGE_AS(RECV_FUNC, "Recv data error. %s(%d)", uart_text(ret), ret);
        return 0;
    }
    UPG_LOGD_AS(RECV_FUNC, "  -> ok");
    if (!uart_recv_csw(dev, csw, tag, RECV_FUNC))
        return 0;
    if (check_csw(csw, tag, true) != 0)
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
        UPG_LOGE_AS(RECV_FUNC, "Invalid handle.");
        return 0;
    }
    int moved = 0;
    int rc = bulk(dev, dev->ep_out, cbw, UPG_CBW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CBW_SIZE) {
        UPG_LOGE_AS(RECV_FUNC, "CBW size %d, %s(%d)", moved, libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(RECV_FUNC, "  -> ok");
    UPG_LOGD_AS(RECV_FUNC, "Read data, len %d", length);
    rc = bulk(dev, dev->ep_in, static_cast<uint8_t *>(buf), length, &moved);
    if (rc != 0 || moved != length) {
        UPG_LOGE_AS(RECV_FUNC, "Read len %d/%d, %s(%d)", moved, length, libusb_strerror(rc), rc);
        return 0;
    }
    UPG_LOGD_AS(RECV_FUNC, "  -> ok");
    UPG_LOGD_AS(RECV_FUNC, "Read CSW, tag 0x%x", tag);
    rc = bulk(dev, dev->ep_in, csw, UPG_CSW_SIZE, &moved);
    if (rc != 0 || moved != UPG_CSW_SIZE) {
        UPG_LOGE_AS(RECV_FUNC, "CSW size %d, %s(%d)", moved, libusb_strerror(rc), rc);
        return 0;
    }
    if (check_csw(csw, tag, true) != 0)
        return 0;
    return length;
}

}  // namespace
