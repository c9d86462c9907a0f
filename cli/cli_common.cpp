#include <atomic>
#include <cstdarg>
#include <cstring>

#include "cli.h"
#include "upg_log.h"

namespace {

std::atomic<bool> g_verbose{false};

void stderrSink(int level, const char *text) {
    // Debug and plain progress text of the library only on request.
    if ((level == UPG_LOG_DEBUG || level == UPG_LOG_PLAIN || level > UPG_LOG_DEBUG) &&
        !g_verbose.load())
        return;
    fprintf(stderr, "%s\n", text ? text : "");
    fflush(stderr);
}

}  // namespace

void kelcli_set_verbose(bool on) {
    g_verbose.store(on);
}

bool kelcli_verbose() {
    return g_verbose.load();
}

void kelcli_install_log_sink() {
    upg_log_set_callback(stderrSink);
}

int kelcli_fail(const char *format, ...) {
    fputs("kelflash-cli: ", stderr);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    return KELCLI_FAIL;
}

int kelcli_usage_error(const char *command, const char *format, ...) {
    fprintf(stderr, "kelflash-cli %s: ", command);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fprintf(stderr, "\nTry 'kelflash-cli %s --help'.\n", command);
    return KELCLI_USAGE;
}

bool kelcli_is_help(const char *arg) {
    return strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0;
}

bool kelcli_take_verbose(const char *arg) {
    if (strcmp(arg, "-v") != 0 && strcmp(arg, "--verbose") != 0)
        return false;
    kelcli_set_verbose(true);
    return true;
}
