// Serial port backend for Linux: termios, poll and flock.
#include "uart_port.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "upg_log.h"

struct uart_port {
    int fd = -1;
};

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<int>((left.count() + 999) / 1000);
}

// Reads the current settings, lets edit() change them and writes them back, so
// that each setting fails (and is reported) on its own.
template <typename Edit>
bool rewriteSettings(int fd, Edit edit) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    edit(tio);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

uart_port *uart_port_open(const char *port_name) {
    if (!port_name || !*port_name)
        return nullptr;
    // Names without a directory are device names under /dev ("ttyUSB0");
    // anything starting with "/" (ptys, udev symlinks) is used as it stands.
    std::string path =
        port_name[0] == '/' ? std::string(port_name) : std::string("/dev/") + port_name;
    // Non-blocking, so that neither the open nor a read can hang on a line
    // without carrier; every wait is a bounded poll().
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        UPG_LOGE("Cannot open %s: %s", path.c_str(), strerror(errno));
        return nullptr;
    }
    // TIOCEXCL does not stop root, and root is what a factory PC often runs
    // as; the advisory lock stops every other user of this library as well,
    // including a second open from this very process.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        UPG_LOGE("%s is in use by another program", path.c_str());
        ::close(fd);
        return nullptr;
    }
    if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return nullptr;
    }
    uart_port *port = new (std::nothrow) uart_port;
    if (!port) {
        ::close(fd);
        return nullptr;
    }
    port->fd = fd;
    return port;
}

void uart_port_close(uart_port *port) {
    if (!port)
        return;
    if (port->fd >= 0) {
        ioctl(port->fd, TIOCNXCL);
        flock(port->fd, LOCK_UN);
        ::close(port->fd);
    }
    delete port;
}

int uart_port_setup(uart_port *port) {
    int fd = port->fd;
    // Raw bytes, reads never block in the driver: the waiting is done by poll().
    if (!rewriteSettings(fd, [](termios &t) {
            cfmakeraw(&t);
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            t.c_cflag |= CLOCAL | CREAD;
            t.c_cflag &= ~CRTSCTS;
            t.c_iflag &= ~(IXON | IXOFF | IXANY);
        })) {
        UPG_LOGE("Failed to setup comm timeout");
        return -1;
    }
    termios current;
    if (tcgetattr(fd, &current) != 0) {
        UPG_LOGE("Failed to get comm state");
        return -1;
    }
    if (!rewriteSettings(fd, [](termios &t) {
            cfsetispeed(&t, B115200);
            cfsetospeed(&t, B115200);
        })) {
        UPG_LOGE("Failed to set baudrate");
        return -1;
    }
    if (!rewriteSettings(fd, [](termios &t) {
            t.c_cflag &= ~CSIZE;
            t.c_cflag |= CS8;
        })) {
        UPG_LOGE("Failed to set databits");
        return -1;
    }
    if (!rewriteSettings(fd, [](termios &t) { t.c_cflag &= ~CSTOPB; })) {
        UPG_LOGE("Failed to set stopbits");
        return -1;
    }
    if (!rewriteSettings(fd, [](termios &t) { t.c_cflag &= ~(PARENB | PARODD); })) {
        UPG_LOGE("Failed to set parity");
        return -1;
    }
    uart_port_purge(port);
    return 0;
}

int uart_port_write(uart_port *port, const uint8_t *data, int n, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int done = 0;
    while (done < n) {
        ssize_t w = ::write(port->fd, data + done, static_cast<size_t>(n - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return done > 0 ? done : -1;
        int left = msLeft(deadline);
        if (left <= 0)
            break;
        pollfd p{port->fd, POLLOUT, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno != EINTR)
            return done > 0 ? done : -1;
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL)))
            return done > 0 ? done : -1;
    }
    return done;
}

int uart_port_read(uart_port *port, uint8_t *buf, int n, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int got = 0;
    bool polledReadable = false;
    while (got < n) {
        ssize_t r = ::read(port->fd, buf + got, static_cast<size_t>(n - got));
        if (r > 0) {
            got += static_cast<int>(r);
            polledReadable = false;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        // With VMIN = VTIME = 0 an empty queue reads as 0, not EAGAIN; only
        // after poll() said there was something does 0 mean end of file.
        bool hungUp =
            (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || (r == 0 && polledReadable);
        int left = msLeft(deadline);
        if (left <= 0)
            break;
        if (!hungUp) {
            pollfd p{port->fd, POLLIN, 0};
            int pr = poll(&p, 1, left);
            if (pr < 0 && errno != EINTR)
                hungUp = true;
            else if (pr > 0 && !(p.revents & POLLIN))
                hungUp = true;
            else
                polledReadable = pr > 0;
        }
        if (hungUp) {
            // A vanished adapter (or a pty whose other side is gone) reports
            // hang-up at once and for ever; behave like a silent line instead
            // of letting the callers spin.
            std::this_thread::sleep_until(deadline);
            break;
        }
    }
    return got;
}

int uart_port_queued(uart_port *port) {
    int n = 0;
    if (ioctl(port->fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

void uart_port_purge(uart_port *port) {
    tcflush(port->fd, TCIOFLUSH);
}

int uart_port_drop_input(uart_port *port) {
    int n = uart_port_queued(port);
    tcflush(port->fd, TCIFLUSH);
    return n > 0 ? n : 0;
}
