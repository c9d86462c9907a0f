#include "upg_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kelupg_internal.h"

namespace {
constexpr int kLogBufferSize = 1024;
constexpr int kPrefixColumns = 40;
constexpr int kBoardSize = 48;
// Which board the calling thread works for, and whether that board is about
// to leave the bus. These are the thread's own and no context's: a worker
// drives one board, the library's lines carry no device, and a context is
// shared by the workers of every board, so only the thread can say which
// board a line is about. No other thread reads them.
thread_local char t_board[kBoardSize];
thread_local int t_departure = 0;
}  // namespace

// The sink and the naming switch are the default context's: the library's
// lines name no context, so every context logs through it.

void upg_log_name_boards(int on) {
    upg_context_default()->name_boards.store(on ? 1 : 0);
}

int upg_log_boards_named(void) {
    return upg_context_default()->name_boards.load();
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
    upg_context_default()->log_sink.store(callback);
}

void upg_log_print(int level, const char *func, int line, const char *format, ...) {
    char buf[kLogBufferSize];
    memset(buf, 0, sizeof(buf));
    upg_log_callback_t cb = upg_context_default()->log_sink.load();
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
