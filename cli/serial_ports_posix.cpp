#include "serial_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char *const kPrefixes[] = {"ttyUSB", "ttyACM", "ttyS"};

// Orders ttyS2 before ttyS10.
bool natural_less(const std::string &a, const std::string &b) {
    size_t i = a.find_first_of("0123456789");
    size_t j = b.find_first_of("0123456789");
    std::string pa = a.substr(0, i), pb = b.substr(0, j);
    if (pa != pb)
        return pa < pb;
    long na = i == std::string::npos ? -1 : strtol(a.c_str() + i, nullptr, 10);
    long nb = j == std::string::npos ? -1 : strtol(b.c_str() + j, nullptr, 10);
    return na != nb ? na < nb : a < b;
}

// The kernel makes ttyS0..ttyS31 whether or not a UART is behind them; only a
// port whose driver answers a line-settings query is worth listing.
bool is_real_uart(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY || errno == EACCES;  // present, held or not ours
    termios tio;
    bool ok = tcgetattr(fd, &tio) == 0;
    close(fd);
    return ok;
}

}  // namespace

std::vector<std::string> serial_port_list(const std::string &dev_dir) {
    std::vector<std::string> found[3];
    DIR *d = opendir(dev_dir.c_str());
    if (!d)
        return {};
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        for (int k = 0; k < 3; k++) {
            size_t plen = strlen(kPrefixes[k]);
            if (name.size() <= plen || name.compare(0, plen, kPrefixes[k]) != 0)
                continue;
            if (name.find_first_not_of("0123456789", plen) != std::string::npos)
                continue;
            const std::string path = dev_dir + "/" + name;
            struct stat st;
            if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (k == 2 && !is_real_uart(path))
                continue;
            found[k].push_back(path);
        }
    }
    closedir(d);
    std::vector<std::string> out;
    for (auto &v : found) {
        std::sort(v.begin(), v.end(), natural_less);
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}
