// Opening image files on POSIX systems without blocking on what a path names.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image.h"

namespace {

// An image is read from a regular file or, for a card reader's raw copy, a
// block device. Anything else is refused with what it is.
const char *wrongKind(mode_t mode) {
    if (S_ISREG(mode) || S_ISBLK(mode))
        return nullptr;
    if (S_ISDIR(mode))
        return strerror(EISDIR);
    if (S_ISFIFO(mode))
        return "Is a FIFO, not a regular file";
    if (S_ISSOCK(mode))
        return "Is a socket, not a regular file";
    if (S_ISCHR(mode))
        return "Is a character device, not a regular file";
    return "Is not a regular file";
}

FILE *refuse(int err, const char *text, const char **why) {
    if (why)
        *why = text ? text : strerror(err);
    errno = err;
    return nullptr;
}

}  // namespace

FILE *image_file_open(const char *path, const char **why) {
    if (!path)
        return refuse(EINVAL, nullptr, why);
    // The kind is looked at before the open, so that nothing with side effects
    // on open (a terminal, a tape) is ever opened ...
    struct stat st;
    if (stat(path, &st) != 0)
        return refuse(errno, nullptr, why);
    if (const char *kind = wrongKind(st.st_mode))
        return refuse(S_ISDIR(st.st_mode) ? EISDIR : ENODEV, kind, why);
    // ... and again on what was opened: the path may name something else by
    // now. O_NONBLOCK keeps the open of a FIFO that took its place from
    // waiting for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse(errno, nullptr, why);
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        return refuse(err, nullptr, why);
    }
    if (const char *kind = wrongKind(st.st_mode)) {
        close(fd);
        return refuse(S_ISDIR(st.st_mode) ? EISDIR : ENODEV, kind, why);
    }
    // Reads of a file or disk wait for their data as usual.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int err = errno;
        close(fd);
        return refuse(err, nullptr, why);
    }
    FILE *f = fdopen(fd, "rb");
    if (!f) {
        const int err = errno;
        close(fd);
        return refuse(err, nullptr, why);
    }
    return f;
}
