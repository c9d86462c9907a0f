// Payload rate of the serial transport against the simulated board pacing its
// line at 115200 baud, as a ratio to what the line itself carries (11520
// bytes/s at 8N1). Usage: uart_bench [packets-of-64KiB] [packets-of-2KiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libuart.h"
#include "serial_line.h"
#include "serial_raw.h"
#include "upg_log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLineRate = 115200.0 / 10.0;

struct Result {
    double seconds = 0;
    long long payload = 0;
    bool ok = true;
};

void quietLog(int level, const char *text) {
    if (level <= UPG_LOG_ERR)
        fprintf(stderr, "  log: %s\n", text);
}

std::vector<uint8_t> fakeCsw() {
    std::vector<uint8_t> csw(13, 0);
    memcpy(csw.data(), "USBS", 4);
    return csw;
}

// Data phase alone: one libuart_send / libuart_recv per packet.
Result runData(uart_conn *conn, kelsim::RawBoardPort &board, int size, int packets, bool send) {
    std::vector<uint8_t> buf(static_cast<size_t>(size), 0x5A);
    Result r;
    auto t0 = Clock::now();
    for (int i = 0; i < packets; ++i) {
        int got;
        if (send) {
            got = libuart_send(conn, buf.data(), size);
        } else {
            board.serve(buf);
            got = libuart_recv(conn, buf.data(), size, 20000);
        }
        r.ok = r.ok && got == size;
        r.payload += got > 0 ? got : 0;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return r;
}

// A whole transport packet as the packet layer carries it over the line:
// CBW, data phase, CSW, each its own exchange.
Result runPackets(uart_conn *conn, kelsim::RawBoardPort &board, int size, int packets, bool send) {
    std::vector<uint8_t> buf(static_cast<size_t>(size), 0xA5);
    std::vector<uint8_t> cbw(31, 0);
    memcpy(cbw.data(), "USBC", 4);
    uint8_t csw[13];
    Result r;
    auto t0 = Clock::now();
    for (int i = 0; i < packets; ++i) {
        bool ok = libuart_send(conn, cbw.data(), 31) == 31;
        int got;
        if (send) {
            got = libuart_send(conn, buf.data(), size);
        } else {
            board.serve(buf);
            got = libuart_recv(conn, buf.data(), size, 20000);
        }
        board.serve(fakeCsw());
        ok = ok && got == size && libuart_recv(conn, csw, 13, 10000) == 13;
        r.ok = r.ok && ok;
        r.payload += got > 0 ? got : 0;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return r;
}

void print(const char *what, int size, int packets, const Result &r) {
    double rate = r.payload / r.seconds;
    printf("%-34s %6d B x %2d  %8.1f B/s  ratio %.3f%s\n", what, size, packets, rate,
           rate / kLineRate, r.ok ? "" : "  (FAILED)");
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    int big = argc > 1 ? atoi(argv[1]) : 2;
    int small = argc > 2 ? atoi(argv[2]) : 8;
    upg_log_set_callback(&quietLog);

    kelsim::RawBoardPort board;
    board.setKeepReceived(false);
    kelsim::SerialLine::Options opt;
    opt.pace = true;
    kelsim::SerialLine line(board, opt);
    std::string error;
    if (!line.start(&error)) {
        fprintf(stderr, "cannot start the simulated line: %s\n", error.c_str());
        return 1;
    }
    uart_conn *conn = libuart_open(line.slavePath().c_str(), nullptr);
    if (!conn) {
        fprintf(stderr, "cannot open %s\n", line.slavePath().c_str());
        return 1;
    }
    auto t0 = Clock::now();
    while (libuart_get_state(conn) != LIBUART_STATE_CONNECTED) {
        if (Clock::now() - t0 > std::chrono::seconds(5)) {
            fprintf(stderr, "the simulated board never answered\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    printf("line rate %.0f B/s (115200 baud 8N1), simulated board paced\n", kLineRate);

    bool ok = true;
    struct Case {
        const char *name;
        int size;
        int packets;
        bool send;
        bool whole;
    } cases[] = {
        {"send data phase", 65536, big, true, false},
        {"recv data phase", 65536, big, false, false},
        {"send packet (CBW+data+CSW)", 65536, big, true, true},
        {"recv packet (CBW+data+CSW)", 65536, big, false, true},
        {"send data phase", 2048, small, true, false},
        {"recv data phase", 2048, small, false, false},
        {"send packet (CBW+data+CSW)", 2048, small, true, true},
        {"recv packet (CBW+data+CSW)", 2048, small, false, true},
    };
    for (auto &c : cases) {
        if (c.packets <= 0)
            continue;
        Result r = c.whole ? runPackets(conn, board, c.size, c.packets, c.send)
                           : runData(conn, board, c.size, c.packets, c.send);
        print(c.name, c.size, c.packets, r);
        ok = ok && r.ok;
    }
    libuart_close(conn);
    line.stop();
    return ok ? 0 : 1;
}
