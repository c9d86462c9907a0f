#include "upg_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// Workers on several threads log through the same sink; the pointer itself must be read atomically.
std::atomic<upg_log_callback_t> g_callback{nullptr};
constexpr int kLogBufferSize = 1024;
constexpr int kPrefixColumns = 40;
}  // namespace

void upg_log_set_callback(upg_log_callback_t callback) {
    g_callback.store(callback);
}

void upg_log_print(int level, const char *func, int line, const char *format, ...) {
    char buf[kLogBufferSize];
    memset(buf, 0, sizeof(buf));
    upg_log_callback_t cb = g_callback.load();
    if (!cb)
        return;

    int used = 0;
    if (func) {
        used = snprintf(buf, sizeof(buf), "%s()%d: ", func, line);
        if (used < 0)
            used = 0;
        if (used >= kLogBufferSize)
            used = kLogBufferSize - 1;
        if (used < kPrefixColumns) {
            memset(buf + used, ' ', kPrefixColumns - used);
            used = kPrefixColumns;
            buf[used] = '\0';
        }
    }
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf + used, sizeof(buf) - used, format, ap);
    va_end(ap);
    cb(level, buf);
}
