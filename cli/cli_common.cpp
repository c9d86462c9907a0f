#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <sys/types.h>

#include "cli.h"
#include "reporter.h"
#include "image.h"
#include "upg_log.h"

namespace {

void stderrSink(int level, const char *text) {
    // Debug and plain progress text of the library only on request.
    if ((level == UPG_LOG_DEBUG || level == UPG_LOG_PLAIN || level > UPG_LOG_DEBUG) &&
        !kelcli_verbose())
        return;
    fprintf(stderr, "%s\n", text ? text : "");
    fflush(stderr);
}

}  // namespace

void kelcli_set_verbose(bool on) {
    Reporter::instance().setVerbose(on);
}

bool kelcli_verbose() {
    return Reporter::instance().verbose();
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

bool kelcli_image_readable(const char *path, std::string *why) {
    const char *reason = nullptr;
    FILE *f = image_file_open(path, &reason);
    if (!f) {
        *why = reason;
        return false;
    }
    // A block device tells its size only through a seek to its end.
    const off_t len = fseeko(f, 0, SEEK_END) == 0 ? ftello(f) : -1;
    const int err = errno;
    fclose(f);
    if (len < 0) {
        *why = strerror(err);
        return false;
    }
    if (len == 0) {
        *why = "the file is empty";
        return false;
    }
    if (len < IMAGE_HEADER_SIZE) {
        *why = "the file has only " + std::to_string(len) + " bytes, less than the " +
               std::to_string(IMAGE_HEADER_SIZE) + "-byte header";
        return false;
    }
    return true;
}
