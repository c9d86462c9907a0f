#include "upg_driver.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kelupg_internal.h"
#include "upg_log.h"

namespace {

// Whether the last transfer says the device has gone from the bus: libusb
// reports a vanished device as gone, or as an I/O or pipe error when it left
// in the middle of a transfer.
bool device_has_left(upg_device *dev) {
    const int err = upg_dev_get_last_error(dev);
    return err == LIBUSB_ERROR_NO_DEVICE || err == LIBUSB_ERROR_IO || err == LIBUSB_ERROR_PIPE;
}

}  // namespace

void upg_driver_set_rescan(int attempts, int interval_ms) {
    upg_driver_set_rescan_ctx(upg_context_default(), attempts, interval_ms);
}

void upg_driver_get_rescan(int *attempts, int *interval_ms) {
    upg_driver_get_rescan_ctx(upg_context_default(), attempts, interval_ms);
}

void upg_driver_set_rescan_ctx(upg_context *ctx, int attempts, int interval_ms) {
    if (!ctx)
        ctx = upg_context_default();
    ctx->rescan_attempts = attempts < 1 ? 1 : attempts;
    ctx->rescan_interval_ms = interval_ms < 0 ? 0 : interval_ms;
}

void upg_driver_get_rescan_ctx(upg_context *ctx, int *attempts, int *interval_ms) {
    if (!ctx)
        ctx = upg_context_default();
    if (attempts)
        *attempts = ctx->rescan_attempts;
    if (interval_ms)
        *interval_ms = ctx->rescan_interval_ms;
}

void upg_driver_set_dev_rescan(upg_device *dev, int attempts, int interval_ms) {
    if (!dev)
        return;
    dev->rescan_attempts = attempts < 0 ? 1 : attempts;
    dev->rescan_interval_ms = interval_ms < 0 ? 0 : interval_ms;
}

void upg_driver_get_dev_rescan(const upg_device *dev, int *attempts, int *interval_ms) {
    const bool own = dev && dev->rescan_attempts > 0;
    const upg_context *ctx = kelupg_dev_context(dev);
    if (attempts)
        *attempts = own ? dev->rescan_attempts : ctx->rescan_attempts.load();
    if (interval_ms)
        *interval_ms = own ? dev->rescan_interval_ms : ctx->rescan_interval_ms.load();
}

int get_storage_media(upg_device *dev, uint8_t **out, uint8_t *port_path) {
    if (!dev || !out) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    *out = nullptr;

    uint8_t bus = 0;
    uint8_t port[UPG_PORT_PATH_LEN] = {0};
    if (upg_dev_get_bus_port(dev, &bus, port) == 0 && port_path)
        memcpy(port_path, port, UPG_PORT_PATH_LEN);

    int ret = kelupg_cmd_get_storage_media(dev, out);
    if (ret >= 0)
        return ret;

    // A serial device has no place on a bus to look for it again.
    if (dev->type != UPG_DEV_TYPE_USB || port[0] == 0)
        return -1;
    // The rescan looks for a device that re-enumerated at the same place. One
    // that is still attached (it answered with a failure, or not in time) is
    // still claimed through the caller's handle, so every reopen would fail
    // and the caller would wait out the whole rescan for nothing.
    if (!device_has_left(dev)) {
        UPG_LOGE("Storage media query failed on an attached device (%d)",
                 upg_dev_get_last_error(dev));
        return -1;
    }

    upg_device *found = nullptr;
    int attempts = 0;
    int interval = 0;
    upg_driver_get_dev_rescan(dev, &attempts, &interval);
    for (int i = 0; i < attempts; ++i) {
        found = upg_usb_dev_open_ctx(kelupg_dev_context(dev), bus, port);
        if (found)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
    if (!found) {
        // The failed query's own reason was recorded before the rescan began.
        upg_dev_clear_error(dev);
        UPG_DEV_FAIL(dev, UPG_ERR_UNAVAILABLE, "No device is connected");
        return -1;
    }

    char where[40];
    upg_dev_format_location(where, sizeof(where), bus, port);
    upg_log_print(UPG_LOG_PLAIN, nullptr, 0, "Bus:Port %s connected", where);

    // The same board on its new address: it speaks in the packets it did.
    upg_dev_set_max_transfer_size(found, upg_dev_get_max_transfer_size(dev));
    ret = kelupg_cmd_get_storage_media(found, out);
    if (ret < 1) {
        // The caller asks the device it holds why the query failed.
        dev->error_code = found->error_code;
        memcpy(dev->error_text, found->error_text, sizeof(dev->error_text));
    }
    upg_usb_dev_close(found);
    if (ret < 1) {
        free(*out);
        *out = nullptr;
        return -1;
    }
    return ret;
}
