// Fuzzes what the UART transport reads from the line: the device's answer to
// DC2 and the frames behind it (libuart_recv), and its answers to DC1 and to
// every frame sent (libuart_send). The line is an in-memory port whose far
// end answers the presence probe and plays the input back when the host
// announces a transfer. The input layout is described in fuzz_input.h.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz_input.h"
#include "libuart.h"
#include "uart_port_memory.h"
#include "upg_log.h"

namespace {

constexpr char kPortName[] = "fuzz-line";
constexpr uint8_t kACK = 0x06;
constexpr uint8_t kDC1 = 0x11;
constexpr uint8_t kDC2 = 0x12;
constexpr uint8_t kCAN = 0x18;
constexpr uint8_t kProbe = 'C';

// A receive that has everything it can get waits for more until its time-out;
// the in-memory line is silent at once, so this is the time one input costs
// when it leaves a frame unfinished.
constexpr int kRecvTimeoutMs = 3;

// What the device says after the host's next DC1 or DC2. Guarded, since the
// manager thread writes its probes from its own thread.
struct Script {
    std::mutex m;
    uint8_t announce = 0;
    std::vector<uint8_t> bytes;
};
Script g_script;
uart_conn *g_conn = nullptr;

void peer(uart_port *port, const uint8_t *data, int n, void *) {
    if (n != 1)
        return;  // frames and the host's ACK/NAK need no answer beyond the script
    if (data[0] == kProbe) {
        uart_port_memory_queue(port, &kACK, 1);
        return;
    }
    std::lock_guard<std::mutex> lk(g_script.m);
    if (data[0] == g_script.announce) {
        uart_port_memory_queue(port, g_script.bytes.data(), int(g_script.bytes.size()));
        g_script.announce = 0;
    }
}

void dropLog(int, const char *) {}

[[noreturn]] void fault(const char *what, int ret, int n) {
    fprintf(stderr, "uart_fuzz: %s returned %d for %d bytes\n", what, ret, n);
    abort();
}

// Between inputs the connection may have dropped (a device "A", a refused
// DC2); the manager thread finds the device again within a probe.
bool waitConnected() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (libuart_get_state(g_conn) != LIBUART_STATE_CONNECTED) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void closeLine() {
    libuart_close(g_conn);
    g_conn = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    upg_log_set_callback(dropLog);
    if (uart_port_memory_attach(kPortName, peer, nullptr) != 0 ||
        !(g_conn = libuart_open(kPortName, nullptr))) {
        fprintf(stderr, "uart_fuzz: cannot open the in-memory line\n");
        abort();
    }
    atexit(closeLine);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < fuzzin::kUartHeadSize)
        return 0;
    if (!waitConnected()) {
        fprintf(stderr, "uart_fuzz: the in-memory device is not found again\n");
        abort();
    }
    fuzzin::Reader in(data, size);
    const bool send = in.u8() & 1;
    const uint16_t length = in.u16();
    {
        std::lock_guard<std::mutex> lk(g_script.m);
        g_script.announce = send ? kDC1 : kDC2;
        g_script.bytes.assign(in.here(), in.here() + in.left());
        // A device ends a transfer it has nothing more for with CAN; without
        // it every receive would run into its time-out.
        if (!send)
            g_script.bytes.push_back(kCAN);
    }
    if (send) {
        const int n = length % (fuzzin::kUartMaxSend + 1);
        std::vector<uint8_t> payload(size_t(n) + 1);
        for (int i = 0; i < n; ++i)
            payload[size_t(i)] = uint8_t(i * 7);
        int ret = libuart_send(g_conn, payload.data(), n);
        if (ret < -1 || ret > n)
            fault("libuart_send", ret, n);
    } else {
        const int n = length % (fuzzin::kUartMaxRecv + 1);
        // Exactly n bytes on the heap, so that a frame written past the
        // caller's buffer is seen.
        uint8_t *buf = static_cast<uint8_t *>(malloc(n ? size_t(n) : 1));
        int ret = libuart_recv(g_conn, buf, n, kRecvTimeoutMs);
        if (ret < -1 || ret > n)
            fault("libuart_recv", ret, n);
        free(buf);
    }
    std::lock_guard<std::mutex> lk(g_script.m);
    g_script.announce = 0;
    return 0;
}
