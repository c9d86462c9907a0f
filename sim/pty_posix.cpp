#include "pty_pair.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kelsim {

PtyPair::~PtyPair() {
    close();
}

bool PtyPair::open(std::string *error) {
    close();
    auto fail = [&](const char *what) {
        if (error)
            *error = std::string(what) + ": " + strerror(errno);
        close();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail("posix_openpt");
    if (grantpt(master_) != 0)
        return fail("grantpt");
    if (unlockpt(master_) != 0)
        return fail("unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof(name)) != 0)
        return fail("ptsname_r");
    slavePath_ = name;
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0)
        return fail("open slave");
    termios tio;
    if (tcgetattr(slaveKeep_, &tio) != 0)
        return fail("tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(slaveKeep_, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("fcntl");
    return true;
}

void PtyPair::close() {
    if (slaveKeep_ >= 0)
        ::close(slaveKeep_);
    if (master_ >= 0)
        ::close(master_);
    slaveKeep_ = -1;
    master_ = -1;
    slavePath_.clear();
}

}  // namespace kelsim
