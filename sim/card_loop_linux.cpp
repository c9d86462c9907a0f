#include "card_loop.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelsim {

CardLoop::~CardLoop() {
    // The device was attached to clear itself when its last user lets go: this
    // one, or a command that still holds it.
    if (fd_ >= 0)
        ::close(fd_);
}

bool CardLoop::attach(const std::string &file, std::string *error) {
    const int backing = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        *error = file + ": " + strerror(errno);
        return false;
    }
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        *error = std::string("/dev/loop-control: ") + strerror(errno);
        ::close(backing);
        return false;
    }
    // Another program may take the free device first: ask again.
    for (int attempt = 0; attempt < 10 && fd_ < 0; ++attempt) {
        const int n = ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0) {
            *error = std::string("no free loop device: ") + strerror(errno);
            break;
        }
        const std::string node = "/dev/loop" + std::to_string(n);
        const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            *error = node + ": " + strerror(errno);
            continue;
        }
        loop_config config;
        memset(&config, 0, sizeof(config));
        config.fd = uint32_t(backing);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_PARTSCAN;
        strncpy(reinterpret_cast<char *>(config.info.lo_file_name), file.c_str(), LO_NAME_SIZE - 1);
        if (ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
            fd_ = fd;
            node_ = node;
            break;
        }
        const int failure = errno;
        *error = node + ": " + strerror(failure);
        ::close(fd);
        if (failure != EBUSY)
            break;
    }
    ::close(control);
    ::close(backing);
    return fd_ >= 0;
}

}  // namespace kelsim
