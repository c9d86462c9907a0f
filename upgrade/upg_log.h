// Library log routine: every message of the upgrade library goes through here.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Levels follow syslog numbering; -1 is plain progress text without a function name.
#define UPG_LOG_PLAIN (-1)
#define UPG_LOG_ERR 3
#define UPG_LOG_INFO 6
#define UPG_LOG_DEBUG 7

typedef void (*upg_log_callback_t)(int level, const char *text);

// The sink of every line of the library, whichever context the line is about
// (it is kept in the default context). None: nothing is logged.
void upg_log_set_callback(upg_log_callback_t callback);
// With several boards at once, every line says which board it is about: the
// calling thread's lines begin with "[location] " once it has named the board
// it works for. Null or "" takes the name back (one board: lines unchanged).
// The name is the thread's own; a thread the library starts for a device
// takes over the name of the thread that opened it.
void upg_log_set_board(const char *location);
// The calling thread's board, "" when none.
const char *upg_log_board(void);
// Whether boards are named at all (process-wide, off by default): then also the
// lines of a device listing, which opens one board after another, name the
// board they are about.
void upg_log_name_boards(int on);
int upg_log_boards_named(void);
// While on, the calling thread's board is expected to leave the bus: it was told
// to start its next stage or to reset. The transfers that fail because it has
// gone are that departure, not faults, so their error lines are logged at debug
// level. The flag is the thread's own, like the board's name.
void upg_log_expect_departure(int on);
int upg_log_departure_expected(void);
void upg_log_print(int level, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

#ifdef __cplusplus
}
#endif

#define UPG_LOGE(...) upg_log_print(UPG_LOG_ERR, __func__, __LINE__, __VA_ARGS__)
#define UPG_LOGI(...) upg_log_print(UPG_LOG_INFO, __func__, __LINE__, __VA_ARGS__)
#define UPG_LOGD(...) upg_log_print(UPG_LOG_DEBUG, __func__, __LINE__, __VA_ARGS__)
// For messages that the protocol reports under another function's name.
#define UPG_LOGE_AS(name, ...) upg_log_print(UPG_LOG_ERR, name, __LINE__, __VA_ARGS__)
#define UPG_LOGD_AS(name, ...) upg_log_print(UPG_LOG_DEBUG, name, __LINE__, __VA_ARGS__)
