// USB device layer over libusb: opening an upgrade device by bus number and
// port path, claiming its interface, finding its bulk endpoints, listing the
// attached upgrade devices.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelupg_internal.h"
#include "libkelupg.h"
#include "upg_log.h"

namespace {

bool is_upgrade_device(libusb_device *d, libusb_device_descriptor *desc) {
    if (libusb_get_device_descriptor(d, desc) != 0)
        return false;
    return desc->idVendor == UPG_USB_VID && desc->idProduct == UPG_USB_PID;
}

void report_open_failure(libusb_device *d, int rc) {
    uint8_t port[UPG_PORT_PATH_LEN];
    char where[40];
    if (upg_usb_get_port_numbers(d, port, UPG_PORT_PATH_LEN) < 0)
        memset(port, 0, sizeof(port));
    upg_dev_format_location(where, sizeof(where), libusb_get_bus_number(d), port);
    UPG_LOGE("libusb_open() failed on %s: %s(%d)", where, libusb_strerror(rc), rc);
    if (rc == LIBUSB_ERROR_ACCESS)
        UPG_LOGE(
            "No permission to open the upgrade device %s: install the udev rule %s "
            "(scripts/install-udev-rules puts it in %s), then plug the board in again",
            where, UPG_UDEV_RULE_FILE, UPG_UDEV_RULE_INSTALLED);
}

// Opens d. A device that has gone (its node with it) is no failure to report:
// it is simply not there, and the caller may look elsewhere. On a host with a
// udev daemon a device may also be seen before the daemon has given its node
// the permissions of our rule; with access_pending such a refusal is left to
// the next attempt instead of reported.
libusb_device_handle *open_one(libusb_device *d, bool access_pending, int *rc) {
    libusb_device_handle *handle = nullptr;
    *rc = libusb_open(d, &handle);
    if (*rc == 0)
        return handle;
    if (*rc == LIBUSB_ERROR_ACCESS && access_pending)
        UPG_LOGD("libusb_open(): %s(%d), udev may not have set the device up yet",
                 libusb_strerror(*rc), *rc);
    else if (*rc != LIBUSB_ERROR_NO_DEVICE)
        report_open_failure(d, *rc);
    return nullptr;
}

// Opens the first upgrade device of ctx's list that matches; bus UPG_BUS_ANY
// matches any. *rc is LIBUSB_ERROR_NOT_FOUND when none matches, else the
// result of the open.
libusb_device_handle *open_matching(libusb_context *ctx, uint8_t bus, const uint8_t *port,
                                    bool access_pending, int *rc) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        UPG_LOGE("Get usb list failed");
        *rc = int(n);
        return nullptr;
    }
    libusb_device_handle *handle = nullptr;
    *rc = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor desc;
        if (!is_upgrade_device(list[i], &desc))
            continue;
        if (bus != UPG_BUS_ANY) {
            uint8_t path[UPG_PORT_PATH_LEN];
            if (upg_usb_get_port_numbers(list[i], path, UPG_PORT_PATH_LEN) < 0)
                continue;
            if (libusb_get_bus_number(list[i]) != bus || memcmp(path, port, UPG_PORT_PATH_LEN) != 0)
                continue;
        }
        handle = open_one(list[i], access_pending, rc);
        break;
    }
    libusb_free_device_list(list, 1);
    return handle;
}

// A libusb context made now. The library's context enumerates the system's
// USB devices once, at its start, and afterwards learns of arrivals and
// departures only from the udev daemon's broadcasts. Where none come (no
// daemon: containers, minimal station images; or a container whose network
// namespace the broadcasts do not reach) a board that re-enumerates at a
// stage change is never seen by it. A new context enumerates sysfs afresh.
libusb_context *fresh_context() {
    libusb_context *ctx = nullptr;
    if (int rc = libusb_init(&ctx); rc != 0) {
        UPG_LOGE("libusb_init() failed: %s(%d)", libusb_strerror(rc), rc);
        return nullptr;
    }
    return ctx;
}

// The second look of an open, for a device that the library's context does
// not know; on success *owner is the context the handle belongs to.
libusb_device_handle *open_fresh(uint8_t bus, const uint8_t *port, libusb_context **owner) {
    libusb_context *ctx = fresh_context();
    if (!ctx)
        return nullptr;
    int rc = 0;
    libusb_device_handle *handle =
        open_matching(ctx, bus, port, upg_usb_udev_daemon_running(), &rc);
    if (!handle) {
        libusb_exit(ctx);
        return nullptr;
    }
    *owner = ctx;
    return handle;
}

// Releases what an open took, in reverse order.
void release(upg_device *dev) {
    if (dev->handle)
        libusb_close(dev->handle);
    if (dev->own_usb)
        libusb_exit(dev->own_usb);
    free(dev);
}

int claim_interface(libusb_device_handle *handle) {
    int rc = libusb_claim_interface(handle, 0);
    if (rc != 0) {
        UPG_LOGE_AS("__claim_interface", "libusb_claim_interface() failed");
        return rc;
    }
    return 0;
}

// The last bulk endpoint of each direction wins.
int find_endpoints(upg_device *dev) {
    libusb_config_descriptor *cfg = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(dev->handle), &cfg) != 0 || !cfg)
        return -1;
    for (int i = 0; i < cfg->bNumInterfaces; i++) {
        const libusb_interface &intf = cfg->interface[i];
        for (int a = 0; a < intf.num_altsetting; a++) {
            const libusb_interface_descriptor &alt = intf.altsetting[a];
            for (int e = 0; e < alt.bNumEndpoints; e++) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
                    continue;
                if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    dev->ep_in = ep.bEndpointAddress;
                else
                    dev->ep_out = ep.bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(cfg);
    return 0;
}

// A zeroed USB record of ctx for the device at bus and port (none: any).
upg_device *new_record(upg_context *ctx, uint8_t bus, const uint8_t *port) {
    upg_device *dev = static_cast<upg_device *>(calloc(1, sizeof(upg_device)));
    if (!dev) {
        UPG_LOGE_AS("upg_usb_dev_open", "Failed to malloc for upg_device");
        return nullptr;
    }
    kelupg_dev_init_state(dev, ctx, UPG_DEV_TYPE_USB);
    dev->bus = bus;
    if (port)
        memcpy(dev->port, port, UPG_PORT_PATH_LEN);
    return dev;
}

// Completes a record whose handle is open: what the device is, its interface
// claimed, its bulk endpoints. On failure the record is released and none
// returned.
upg_device *finish_open(upg_device *dev) {
    libusb_device *d = libusb_get_device(dev->handle);
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(d, &desc) == 0)
        dev->dev_class = desc.bDeviceClass;
    dev->addr = libusb_get_device_address(d);
    if (dev->bus == UPG_BUS_ANY) {
        // Record where the device really is, so the caller can find it again.
        dev->bus = libusb_get_bus_number(d);
        if (upg_usb_get_port_numbers(d, dev->port, UPG_PORT_PATH_LEN) < 0)
            memset(dev->port, 0, UPG_PORT_PATH_LEN);
    }
    dev->vid = UPG_USB_VID;
    dev->pid = UPG_USB_PID;

    if (int rc = claim_interface(dev->handle); rc != 0) {
        // The reason (busy: another program holds the board; access) is worth a line of its own.
        UPG_LOGD_AS("upg_usb_dev_open", "libusb_claim_interface: %s(%d)", libusb_strerror(rc), rc);
        UPG_LOGE_AS("upg_usb_dev_open", "FAILED to claim interface.");
        release(dev);
        return nullptr;
    }
    if (find_endpoints(dev) != 0) {
        UPG_LOGE_AS("upg_usb_dev_open", "FAILED to get UU device endpoint addresses!");
        libusb_release_interface(dev->handle, 0);
        release(dev);
        return nullptr;
    }
    return dev;
}

}  // namespace

int upg_usb_get_port_numbers(libusb_device *dev, uint8_t *buf, int size) {
    if (!dev || !buf || size <= 0) {
        UPG_LOGE("%s() Invalid port number %d", __func__, -1);
        return -1;
    }
    int n = libusb_get_port_numbers(dev, buf, size);
    if (n < 0 || n > size) {
        UPG_LOGE("%s() Invalid port number %d", __func__, n);
        return -1;
    }
    memset(buf + n, 0, size_t(size - n));
    return n;
}

upg_device *upg_usb_dev_open(uint8_t bus, const uint8_t port[UPG_PORT_PATH_LEN]) {
    return upg_usb_dev_open_ctx(upg_context_default(), bus, port);
}

upg_device *upg_usb_dev_open_ctx(upg_context *ctx, uint8_t bus,
                                 const uint8_t port[UPG_PORT_PATH_LEN]) {
    if (!ctx)
        ctx = upg_context_default();
    if (libkelupg_init_once_ctx(ctx) != 0)
        return nullptr;
    if (bus != UPG_BUS_ANY && !port) {
        UPG_LOGE_AS("upg_usb_dev_open", "Invalid parameter.");
        return nullptr;
    }
    upg_device *dev = new_record(ctx, bus, port);
    if (!dev)
        return nullptr;
    // Most opens find the device in the library's context. One it does not know
    // (no match, or a match that has gone) costs a sysfs enumeration: that
    // happens while a board is away (a caller waiting for it tries every
    // 100 ms or so) or when none is attached.
    int rc = 0;
    dev->handle = open_matching(ctx->usb, bus, dev->port, false, &rc);
    if (!dev->handle && (rc == LIBUSB_ERROR_NOT_FOUND || rc == LIBUSB_ERROR_NO_DEVICE))
        dev->handle = open_fresh(bus, dev->port, &dev->own_usb);
    if (!dev->handle) {
        free(dev);
        return nullptr;
    }
    return finish_open(dev);
}

void upg_usb_dev_close(upg_device *dev) {
    if (!dev)
        return;
    if (dev->handle)
        libusb_release_interface(dev->handle, 0);
    release(dev);
}

int upg_usb_dev_list(upg_dev_info *table, int capacity) {
    return upg_usb_dev_list_ctx(upg_context_default(), table, capacity);
}

int upg_usb_dev_list_ctx(upg_context *ctx, upg_dev_info *table, int capacity) {
    if (!ctx)
        ctx = upg_context_default();
    if (!table || capacity <= 0) {
        UPG_LOGE_AS("upg_usb_dev_list", "Invalid parameter.");
        return -3;
    }
    if (libkelupg_init_once_ctx(ctx) != 0)
        return -1;
    libusb_context *usb = fresh_context();
    libusb_device **list = nullptr;
    ssize_t n = usb ? libusb_get_device_list(usb, &list) : ssize_t(LIBUSB_ERROR_OTHER);
    if (n < 0) {
        UPG_LOGE_AS("upg_usb_dev_list", "Get usb list failed");
        if (usb)
            libusb_exit(usb);
        return -1;
    }
    memset(table, 0, sizeof(upg_dev_info) * size_t(capacity));
    int count = 0;
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor desc;
        if (!is_upgrade_device(list[i], &desc))
            continue;
        if (count == capacity) {
            UPG_LOGE_AS("upg_usb_dev_list",
                        "More than %d upgrade devices attached; the others are not listed",
                        capacity);
            break;
        }
        uint8_t bus = libusb_get_bus_number(list[i]);
        uint8_t port[UPG_PORT_PATH_LEN];
        if (upg_usb_get_port_numbers(list[i], port, UPG_PORT_PATH_LEN) < 0)
            continue;
        // A board that a worker holds refuses the claim; with several boards
        // that line must say which one, not the caller's board.
        char caller[48] = {0};
        const int naming = upg_log_boards_named();
        if (naming) {
            char where[40];
            snprintf(caller, sizeof(caller), "%s", upg_log_board());
            upg_dev_format_location(where, sizeof(where), bus, port);
            upg_log_set_board(where);
        }
        upg_device *dev = new_record(ctx, bus, port);
        int rc = 0;
        if (dev && !(dev->handle = open_one(list[i], false, &rc))) {
            free(dev);
            dev = nullptr;
        }
        if (dev)
            dev = finish_open(dev);
        if (!dev) {
            UPG_LOGE_AS("upg_usb_dev_list", "Error, open USB device failed");
        } else {
            upg_dev_info &e = table[count++];
            e.bus = dev->bus;
            memcpy(e.port, dev->port, UPG_PORT_PATH_LEN);
            e.addr = dev->addr;
            e.dev_class = dev->dev_class;
            upg_usb_dev_close(dev);
        }
        if (naming)
            upg_log_set_board(caller);
    }
    libusb_free_device_list(list, 1);
    libusb_exit(usb);
    return count;
}

int upg_usb_dev_get_list(upg_dev_info **table) {
    return upg_usb_dev_get_list_ctx(upg_context_default(), table);
}

int upg_usb_dev_get_list_ctx(upg_context *ctx, upg_dev_info **table) {
    if (!ctx)
        ctx = upg_context_default();
    const int count = upg_usb_dev_list_ctx(ctx, ctx->table, UPG_DEV_TABLE_SIZE);
    if (count < 0)
        memset(ctx->table, 0, sizeof(ctx->table));
    if (table && count >= 0)
        *table = ctx->table;
    return count > 0 ? count : -1;
}

int upg_dev_get_bus_port(upg_device *dev, uint8_t *bus, uint8_t port[UPG_PORT_PATH_LEN]) {
    if (!dev || !bus || !port)
        return -1;
    *bus = dev->bus;
    memcpy(port, dev->port, UPG_PORT_PATH_LEN);
    return 0;
}

int upg_dev_get_last_error(upg_device *dev) {
    return dev ? dev->last_error : 0;
}

int upg_dev_format_location(char *out, size_t size, uint8_t bus,
                            const uint8_t port[UPG_PORT_PATH_LEN]) {
    if (!out || size == 0)
        return -3;
    int used = snprintf(out, size, "%u:", unsigned(bus));
    for (int i = 0; port && i < UPG_PORT_PATH_LEN && port[i] != 0; i++) {
        size_t at = used < 0 ? 0 : size_t(used);
        used += snprintf(at < size ? out + at : nullptr, at < size ? size - at : 0, "%s%u",
                         i ? "-" : "", unsigned(port[i]));
    }
    return used;
}

int upg_dev_parse_location(const char *text, uint8_t *bus, uint8_t port[UPG_PORT_PATH_LEN]) {
    return upg_dev_parse_location_ex(text, 0, bus, port, nullptr);
}

int upg_dev_parse_location_ex(const char *text, int flags, uint8_t *bus,
                              uint8_t port[UPG_PORT_PATH_LEN], int *bad) {
    int scratch = 0;
    if (!bad)
        bad = &scratch;
    *bad = UPG_LOC_BAD_FORM;
    if (!text || !bus || !port)
        return -3;
    const bool shown = (flags & UPG_LOC_SHOWN_FORM) != 0;
    const char *colon = strchr(text, ':');
    if (shown && (!colon || strchr(colon + 1, ':')))
        return -3;
    uint8_t path[UPG_PORT_PATH_LEN] = {0};
    const char *p = text;
    char *end = nullptr;
    *bad = UPG_LOC_BAD_BUS;
    if (!isdigit(static_cast<unsigned char>(*p)))
        return -3;
    unsigned long b = strtoul(p, &end, 10);
    if (b > 255 || (*end != ':' && (shown || *end != '-')))
        return -3;
    *bad = UPG_LOC_BAD_PORT;
    p = end + 1;
    int n = 0;
    for (;;) {
        if (!isdigit(static_cast<unsigned char>(*p)) || n == UPG_PORT_PATH_LEN)
            return -3;
        unsigned long v = strtoul(p, &end, 10);
        if (v == 0 || v > 255)
            return -3;
        path[n++] = uint8_t(v);
        if (*end == '\0')
            break;
        if (*end != '-' && (shown || *end != '.'))
            return -3;
        p = end + 1;
    }
    *bad = 0;
    *bus = uint8_t(b);
    memcpy(port, path, UPG_PORT_PATH_LEN);
    return 0;
}
