// Library-private helpers shared by the transport, device and command files.
#pragma once

#include <atomic>
#include <cstdint>

#include <libusb.h>

#include "libkelupg.h"
#include "upg_log.h"

// Everything the library keeps beyond one device. Workers of several boards
// read it at once; only initialisation, tests and single-board callers write
// it, so every word that changes after the context is made is atomic.
struct upg_context {
    std::atomic<bool> initialized{false};
    libusb_context *usb = nullptr;
    std::atomic<int> timeout_ms{UPG_DEFAULT_TRANSFER_TIMEOUT_MS};
    // What a device takes when opened, and the single-board setter's value.
    std::atomic<int> default_max{UPG_PKT_SIZE_SMALL};
    // Bumped by an initialisation (devices start their tags and meta flag over)
    // and by the context-wide size setter (devices take the new size); a device
    // catches up before its next packet, so no list of open devices is needed.
    std::atomic<uint32_t> state_generation{1};
    std::atomic<uint32_t> size_generation{1};
    // The device used last, as the context-wide getters report it.
    std::atomic<uint32_t> last_tag{0};
    std::atomic<int> last_max{UPG_PKT_SIZE_SMALL};
    std::atomic<bool> last_meta{false};
    // Storage-media rescan for devices without a policy of their own. A board
    // that switched mode takes a few seconds to come back on the bus, so the
    // rescan is generous: up to 10 tries, 2 s apart.
    std::atomic<int> rescan_attempts{10};
    std::atomic<int> rescan_interval_ms{2000};
    // Used in the default context only: the library's lines name no context.
    std::atomic<upg_log_callback_t> log_sink{nullptr};
    std::atomic<int> name_boards{0};
    // The table upg_usb_dev_get_list hands out, for the callers of one board.
    upg_dev_info table[UPG_DEV_TABLE_SIZE] = {};
};

uint32_t kelupg_get_le32(const uint8_t *p);
void kelupg_put_le32(uint8_t *p, uint32_t v);
// The context a device belongs to; a record made without an open function
// (zero-filled) belongs to the default context.
upg_context *kelupg_dev_context(const upg_device *dev);
// Gives a new device record its context, its transport and a fresh protocol state.
void kelupg_dev_init_state(upg_device *dev, upg_context *ctx, int type);
// Brings a device's protocol state up to date with an initialisation of its
// context or a context-wide size setting made since its last packet.
void kelupg_dev_sync(upg_device *dev);
void kelupg_dev_set_meta_sent(upg_device *dev, bool sent);
// Logs an error line under func and line, as UPG_LOGE_AS does, and keeps its
// text and code as dev's last failure, unless a failure deeper down (the
// transport's) was already recorded for the operation under way. dev may be
// none: then only the line is logged.
void kelupg_dev_fail(upg_device *dev, int code, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
#define UPG_DEV_FAIL(dev, code, ...) kelupg_dev_fail((dev), (code), __func__, __LINE__, __VA_ARGS__)
#define UPG_DEV_FAIL_AS(dev, code, func, ...) \
    kelupg_dev_fail((dev), (code), (func), __LINE__, __VA_ARGS__)
// True when a udev daemon runs on this host: it sets up device nodes (their
// permissions) and broadcasts the devices that come and go.
bool upg_usb_udev_daemon_running(void);
