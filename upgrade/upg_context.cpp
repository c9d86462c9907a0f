// The library's contexts and each device's protocol state and last failure.
// The default context is the one file-scope object of the library: the
// process-wide functions are thin calls of their _ctx variants on it.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "kelupg_internal.h"
#include "libkelupg.h"
#include "upg_log.h"

namespace {

upg_context g_default;

upg_context *or_default(upg_context *ctx) {
    return ctx ? ctx : &g_default;
}

}  // namespace

upg_context *upg_context_default(void) {
    return &g_default;
}

upg_context *upg_context_new(void) {
    return new (std::nothrow) upg_context;
}

void upg_context_free(upg_context *ctx) {
    if (!ctx || ctx == &g_default)
        return;
    libkelupg_exit_ctx(ctx);
    delete ctx;
}

upg_context *kelupg_dev_context(const upg_device *dev) {
    return dev ? or_default(dev->context) : &g_default;
}

upg_context *upg_dev_context(const upg_device *dev) {
    return kelupg_dev_context(dev);
}

int libkelupg_init_ctx(upg_context *ctx) {
    ctx = or_default(ctx);
    ctx->state_generation.fetch_add(1);
    ctx->last_tag.store(0);
    ctx->last_meta.store(false);
    // A second initialisation keeps the context: devices opened on it stay valid.
    if (ctx->initialized && ctx->usb)
        return 0;
    libusb_context *usb = nullptr;
    int rc = libusb_init(&usb);
    if (rc != 0) {
        UPG_LOGE_AS("libkelupg_init", "libusb_init() failed");
        return rc;
    }
    ctx->usb = usb;
    ctx->initialized = true;
    return 0;
}

int libkelupg_init_once_ctx(upg_context *ctx) {
    ctx = or_default(ctx);
    if (ctx->initialized)
        return 0;
    return libkelupg_init_ctx(ctx);
}

void libkelupg_exit_ctx(upg_context *ctx) {
    ctx = or_default(ctx);
    if (ctx->initialized && ctx->usb)
        libusb_exit(ctx->usb);
    ctx->usb = nullptr;
    ctx->state_generation.fetch_add(1);
    ctx->last_tag.store(0);
    ctx->last_meta.store(false);
    ctx->initialized = false;
}

int libkelupg_initialized_ctx(upg_context *ctx) {
    return or_default(ctx)->initialized ? 1 : 0;
}

void kelupg_set_transfer_timeout_ctx(upg_context *ctx, int ms) {
    or_default(ctx)->timeout_ms = ms > 0 ? ms : UPG_DEFAULT_TRANSFER_TIMEOUT_MS;
}

int kelupg_get_transfer_timeout_ctx(upg_context *ctx) {
    return or_default(ctx)->timeout_ms;
}

// The process-wide operations: the default context's.

int libkelupg_init(void) {
    return libkelupg_init_ctx(&g_default);
}

int libkelupg_init_once(void) {
    return libkelupg_init_once_ctx(&g_default);
}

void libkelupg_exit(void) {
    libkelupg_exit_ctx(&g_default);
}

int libkelupg_initialized(void) {
    return libkelupg_initialized_ctx(&g_default);
}

void kelupg_set_transfer_timeout(int ms) {
    kelupg_set_transfer_timeout_ctx(&g_default, ms);
}

int kelupg_get_transfer_timeout(void) {
    return kelupg_get_transfer_timeout_ctx(&g_default);
}

int kelupg_get_max_transfer_size(void) {
    return g_default.last_max.load();
}

void kelupg_set_max_transfer_size(int size) {
    if (size <= 0)
        return;
    g_default.default_max.store(size);
    g_default.last_max.store(size);
    g_default.size_generation.fetch_add(1);
}

uint32_t kelupg_trans_get_tag(void) {
    return g_default.last_tag.load();
}

bool kelupg_cmd_fwc_meta_sent(void) {
    return g_default.last_meta.load();
}

// Each device's protocol state.

void kelupg_dev_init_state(upg_device *dev, upg_context *ctx, int type) {
    ctx = or_default(ctx);
    dev->context = ctx;
    dev->type = type;
    dev->ops = nullptr;
    dev->tag = 0;
    dev->fwc_meta_sent = false;
    dev->max_transfer = ctx->default_max.load();
    dev->state_generation = ctx->state_generation.load();
    dev->size_generation = ctx->size_generation.load();
}

void kelupg_dev_sync(upg_device *dev) {
    upg_context *ctx = kelupg_dev_context(dev);
    const uint32_t state = ctx->state_generation.load();
    if (dev->state_generation != state) {
        dev->tag = 0;
        dev->fwc_meta_sent = false;
        dev->state_generation = state;
    }
    const uint32_t size = ctx->size_generation.load();
    if (dev->size_generation != size || dev->max_transfer <= 0) {
        dev->max_transfer = ctx->default_max.load();
        dev->size_generation = size;
    }
}

void kelupg_dev_set_meta_sent(upg_device *dev, bool sent) {
    kelupg_dev_sync(dev);
    dev->fwc_meta_sent = sent;
    kelupg_dev_context(dev)->last_meta.store(sent);
}

uint32_t upg_dev_get_tag(upg_device *dev) {
    if (!dev)
        return 0;
    kelupg_dev_sync(dev);
    return dev->tag;
}

int upg_dev_get_max_transfer_size(upg_device *dev) {
    if (!dev)
        return g_default.default_max.load();
    kelupg_dev_sync(dev);
    return dev->max_transfer;
}

void upg_dev_set_max_transfer_size(upg_device *dev, int size) {
    if (!dev || size <= 0)
        return;
    kelupg_dev_sync(dev);
    dev->max_transfer = size;
    kelupg_dev_context(dev)->last_max.store(size);
}

bool upg_dev_fwc_meta_sent(upg_device *dev) {
    if (!dev)
        return false;
    kelupg_dev_sync(dev);
    return dev->fwc_meta_sent;
}

// Each device's last failure.

void kelupg_dev_fail(upg_device *dev, int code, const char *func, int line, const char *format,
                     ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    upg_log_print(UPG_LOG_ERR, func, line, "%s", text);
    if (!dev || dev->error_code != UPG_ERR_NONE)
        return;
    dev->error_code = code;
    // Cut to fit: the text is for reading, the log line keeps it whole.
    const size_t n = strnlen(text, sizeof(dev->error_text) - 1);
    memcpy(dev->error_text, text, n);
    dev->error_text[n] = '\0';
}

int upg_dev_last_error(const upg_device *dev) {
    return dev ? dev->error_code : UPG_ERR_NONE;
}

const char *upg_dev_error_text(const upg_device *dev) {
    return dev ? dev->error_text : "";
}

void upg_dev_clear_error(upg_device *dev) {
    if (!dev)
        return;
    dev->error_code = UPG_ERR_NONE;
    dev->error_text[0] = '\0';
}
