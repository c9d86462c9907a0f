#include "run_command.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelsim {

namespace {

volatile sig_atomic_t g_child = 0;

void forwardSignal(int sig) {
    if (g_child > 0)
        kill(pid_t(g_child), sig);
}

}  // namespace

int runCommand(const char *who, char **argv, const std::function<bool()> &tick) {
    struct sigaction sa {};
    sa.sa_handler = forwardSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "kelsim %s: fork: %s\n", who, strerror(errno));
        return kOwnFailure;
    }
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        execvp(argv[0], argv);
        fprintf(stderr, "kelsim %s: cannot run %s: %s\n", who, argv[0], strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }
    g_child = pid;
    int ws = 0;
    bool ticking = bool(tick);
    for (;;) {
        if (ticking)
            ticking = tick();
        const pid_t got = waitpid(pid, &ws, ticking ? WNOHANG : 0);
        if (got == pid)
            break;
        if (got < 0 && errno != EINTR)
            break;
        if (ticking)
            usleep(20000);
    }
    g_child = 0;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
}

void interruptCommand() {
    if (g_child > 0)
        kill(pid_t(g_child), SIGINT);
}

void prependToVariable(const char *name, const std::string &paths) {
    const char *old = getenv(name);
    std::string value = paths;
    if (old && *old)
        value += std::string(" ") + old;
    setenv(name, value.c_str(), 1);
}

namespace {
volatile std::sig_atomic_t g_stopSignal = 0;
void onStopSignal(int) {
    g_stopSignal = 1;
}
}  // namespace

void printAndWaitForStop(const std::string &path) {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    printf("%s\n", path.c_str());
    fflush(stdout);
    while (!g_stopSignal)
        pause();
}

}  // namespace kelsim
