// Upgrade devices reached over a serial line: the packets travel through the
// UART transport's framing instead of bulk endpoints.
#include <cstdlib>

#include "kelupg_internal.h"
#include "libkelupg.h"
#include "upg_log.h"

// The messages are the open's, whichever context it is made in.
#define OPEN_FUNC "upg_uart_dev_open"

upg_device *upg_uart_dev_open(const char *port_name, libuart_state_cb_t callback) {
    return upg_uart_dev_open_ctx(upg_context_default(), port_name, callback);
}

upg_device *upg_uart_dev_open_ctx(upg_context *ctx, const char *port_name,
                                  libuart_state_cb_t callback) {
    if (!port_name) {
        UPG_LOGE_AS(OPEN_FUNC, "Invalid parameter.");
        return nullptr;
    }
    if (libkelupg_init_once_ctx(ctx) != 0)
        return nullptr;
    upg_device *dev = static_cast<upg_device *>(calloc(1, sizeof(upg_device)));
    if (!dev) {
        UPG_LOGE_AS(OPEN_FUNC, "Failed to malloc for upg_device");
        return nullptr;
    }
    kelupg_dev_init_state(dev, ctx, UPG_DEV_TYPE_UART);
    dev->uart = libuart_open(port_name, callback);
    if (!dev->uart) {
        UPG_LOGE_AS(OPEN_FUNC, "Failed to open UART port %s", port_name);
        free(dev);
        return nullptr;
    }
    return dev;
}

void upg_uart_dev_close(upg_device *dev) {
    if (!dev)
        return;
    if (dev->uart)
        libuart_close(dev->uart);
    free(dev);
}

bool upg_uart_dev_connected(upg_device *dev) {
    if (!dev || !dev->uart)
        return false;
    return libuart_get_state(dev->uart) == LIBUART_STATE_CONNECTED;
}
