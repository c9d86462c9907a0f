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
constexpr int kBoardSize = 48;
// Each worker names its own board; no other thread reads it.
thread_local char t_board[kBoardSize];
thread_local int t_departure = 0;
std::atomic<int> g_name_boards{0};
}  // namespace

void upg_log_name_boards(int on) {
    g_name_boards.store(on ? 1 : 0);
}

int upg_log_boards_named(void) {
    return g_name_boards.load();
}

void upg_log_set_board(const char *location) {
    snprintf(t_board, sizeof(t_board), "%s", location ? location : "");
}

void upg_log_expect_departure(int on) {
    t_departure = on ? 1 : 0;
}

int upg_log_departure_expected(void) {
    return t_departure;
}

const char *upg_log_board(void) {
    return t_board;
}

void upg_log_set_callback(upg_log_callback_t callback) {
    g_callback.store(callback);
}

void upg_log_print(int level, const char *func, int line, const char *format, ...) {
    char buf[kLogBufferSize];
    memset(buf, 0, sizeof(buf));
    upg_log_callback_t cb = g_callback.load();
    if (!cb)
        return;
    if (level == UPG_LOG_ERR && t_departure)
        level = UPG_LOG_DEBUG;

    // The board's name goes before the function's, which keeps its 40 columns.
    int used = t_board[0] ? snprintf(buf, sizeof(buf), "[%s] ", t_board) : 0;
    if (used < 0)
        used = 0;
    const int start = used;
    if (func) {
        used += snprintf(buf + used, sizeof(buf) - used, "%s()%d: ", func, line);
        if (used < start)
            used = start;
        if (used >= kLogBufferSize)
            used = kLogBufferSize - 1;
        if (used < start + kPrefixColumns) {
            memset(buf + used, ' ', start + kPrefixColumns - used);
            used = start + kPrefixColumns;
            buf[used] = '\0';
        }
    }
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf + used, sizeof(buf) - used, format, ap);
    va_end(ap);
    cb(level, buf);
}
