#include "procscan.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// The kernel keeps at most 15 characters of an executable's name in comm.
constexpr size_t kCommMax = 15;
// After the forced kill a process needs only to be scheduled once to go away.
constexpr int kAfterKillMs = 2000;

std::string readFirstLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

const std::string kProc = "/proc";

std::string entryPath(const std::string &root, int64_t pid, const char *entry) {
    return root + "/" + std::to_string(pid) + "/" + entry;
}

std::string exeBaseName(const std::string &root, int64_t pid) {
    char buf[4096];
    const std::string link = entryPath(root, pid, "exe");
    ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    if (n <= 0) {
        return std::string();
    }
    std::string path(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The state letter of /proc/<pid>/stat; the command field before it may itself hold
// spaces and parentheses, so the state is found after the last ')'.
char processState(const std::string &root, int64_t pid) {
    std::string stat = readFirstLine(entryPath(root, pid, "stat"));
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) {
        return 0;
    }
    return stat[close + 2];
}

// The real user of a process, from the "Uid:" line of its status (real,
// effective, saved, file system ids, in that order).
bool ownedByUs(int64_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "Uid:") == 0) {
            char *end = nullptr;
            const unsigned long uid = strtoul(line.c_str() + 4, &end, 10);
            return end != line.c_str() + 4 && static_cast<uid_t>(uid) == getuid();
        }
    }
    return false;
}

bool nameMatches(int64_t pid, const std::string &name) {
    // A script's exe is its interpreter, so comm (the name it was started under) is
    // the primary key; the exe link catches names longer than comm can hold.
    std::string comm = readFirstLine("/proc/" + std::to_string(pid) + "/comm");
    if (name.size() <= kCommMax && comm == name) {
        return true;
    }
    if (name.size() > kCommMax && comm != name.substr(0, kCommMax)) {
        return false;
    }
    return exeBaseName(kProc, pid) == name;
}

// Exited processes wait as zombies until their parent reaps them; they run no more.
bool liveState(char state) {
    return state != 0 && state != 'Z' && state != 'X' && state != 'x';
}

// The numeric entries of the process table: one per process (threads live below them).
std::vector<int64_t> processIds(const std::string &root) {
    std::vector<int64_t> pids;
    DIR *dir = opendir(root.c_str());
    if (!dir) {
        return pids;
    }
    while (dirent *entry = readdir(dir)) {
        char *end = nullptr;
        long long pid = strtoll(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') {
            pids.push_back(pid);
        }
    }
    closedir(dir);
    return pids;
}

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A victim is held through a pidfd where the kernel offers one: the signal then
// reaches the process that was scanned even if its id is reused meanwhile, and
// poll() reports its exit without polling /proc.
struct Victim {
    int64_t pid;
    int pidfd;
    bool gone;
};

int openPidfd(int64_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

void sendSignal(Victim &v, int sig) {
    if (v.gone) {
        return;
    }
    int rc = -1;
#ifdef SYS_pidfd_send_signal
    if (v.pidfd >= 0) {
        rc = static_cast<int>(syscall(SYS_pidfd_send_signal, v.pidfd, sig, nullptr, 0));
    } else
#endif
    {
        rc = ::kill(static_cast<pid_t>(v.pid), sig);
    }
    if (rc != 0 && errno == ESRCH) {
        v.gone = true;
    }
}

bool hasExited(Victim &v) {
    if (v.gone) {
        return true;
    }
    if (v.pidfd >= 0) {
        pollfd p{v.pidfd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) {
            v.gone = true;
        }
    } else if (!procscan::isAlive(v.pid)) {
        v.gone = true;
    }
    return v.gone;
}

// Waits until every victim has exited or `ms` have passed; true when all are gone.
bool waitAllGone(std::vector<Victim> &victims, int ms) {
    const int64_t deadline = nowMs() + ms;
    for (;;) {
        bool all = true;
        for (Victim &v : victims) {
            all = hasExited(v) && all;
        }
        if (all) {
            return true;
        }
        if (nowMs() >= deadline) {
            return false;
        }
        usleep(20 * 1000);
    }
}

}  // namespace

namespace procscan {

std::vector<int64_t> findByName(const std::string &name) {
    std::vector<int64_t> pids;
    if (name.empty()) {
        return pids;
    }
    const int64_t self = getpid();
    for (int64_t pid : processIds(kProc)) {
        if (pid != self && nameMatches(pid, name) && ownedByUs(pid) && isAlive(pid)) {
            pids.push_back(pid);
        }
    }
    return pids;
}

std::vector<ProcessInfo> listAll(const std::string &procRoot) {
    std::vector<ProcessInfo> processes;
    std::vector<int64_t> pids = processIds(procRoot);
    std::sort(pids.begin(), pids.end());
    for (int64_t pid : pids) {
        if (!liveState(processState(procRoot, pid))) {
            continue;
        }
        ProcessInfo info;
        info.pid = pid;
        info.name = readFirstLine(entryPath(procRoot, pid, "comm"));
        info.exeName = exeBaseName(procRoot, pid);
        processes.push_back(std::move(info));
    }
    return processes;
}

bool isAlive(int64_t pid) {
    return liveState(processState(kProc, pid));
}

int killByName(const std::string &name, int graceMs) {
    std::vector<Victim> victims;
    for (int64_t pid : findByName(name)) {
        Victim v{pid, openPidfd(pid), false};
        // Between the scan and the open the id may have passed to another program.
        if (v.pidfd >= 0 && (!nameMatches(pid, name) || !ownedByUs(pid))) {
            close(v.pidfd);
            continue;
        }
        victims.push_back(v);
    }
    if (graceMs > 0) {
        for (Victim &v : victims) {
            sendSignal(v, SIGTERM);
        }
    }
    if (graceMs <= 0 || !waitAllGone(victims, graceMs)) {
        for (Victim &v : victims) {
            sendSignal(v, SIGKILL);
        }
        waitAllGone(victims, kAfterKillMs);
    }
    for (Victim &v : victims) {
        if (v.pidfd >= 0) {
            close(v.pidfd);
        }
    }
    return static_cast<int>(victims.size());
}

}  // namespace procscan
