#include "stop_requests.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The handler only writes the signal's number into a pipe: everything else
// happens on the watching thread, where it may take locks and write output.
int g_pipe[2] = {-1, -1};
std::thread g_watcher;
struct sigaction g_oldInt;
struct sigaction g_oldTerm;

void onSignal(int sig) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (write(g_pipe[1], &b, 1) < 0) {
        // A full pipe holds enough requests already.
    }
    errno = saved;
}

void watch(kelcli_stop_handler_t handler, void *ctx) {
    int timeoutMs = -1;
    for (;;) {
        pollfd p = {g_pipe[0], POLLIN, 0};
        const int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            timeoutMs = handler(nullptr, ctx);
            continue;
        }
        unsigned char sig = 0;
        if (r < 0 || read(g_pipe[0], &sig, 1) != 1 || sig == 0)
            return;  // 0: watching is over
        timeoutMs = handler(sig == SIGINT ? "SIGINT" : "SIGTERM", ctx);
    }
}

}  // namespace

bool kelcli_stop_requests_begin(kelcli_stop_handler_t handler, void *ctx) {
    if (pipe2(g_pipe, O_CLOEXEC) != 0)
        return false;
    fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
    g_watcher = std::thread(watch, handler, ctx);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    // Calls that a signal interrupts go on: the watching thread acts on it.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &g_oldInt);
    sigaction(SIGTERM, &sa, &g_oldTerm);
    return true;
}

void kelcli_stop_requests_end() {
    if (!g_watcher.joinable())
        return;
    sigaction(SIGINT, &g_oldInt, nullptr);
    sigaction(SIGTERM, &g_oldTerm, nullptr);
    const unsigned char over = 0;
    while (write(g_pipe[1], &over, 1) < 0 && errno == EINTR) {
    }
    g_watcher.join();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}
