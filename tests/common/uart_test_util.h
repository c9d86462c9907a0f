// Shared pieces of the serial transport tests: a log capture and a fixture
// with a simulated board behind a real pty.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "libuart.h"
#include "serial_line.h"
#include "serial_raw.h"
#include "upg_log.h"

namespace uarttest {

using Clock = std::chrono::steady_clock;

inline int64_t msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class LogCapture {
public:
    static void callback(int level, const char *text) {
        std::lock_guard<std::mutex> lk(mutex());
        lines().push_back({level, text});
    }
    static void clear() {
        std::lock_guard<std::mutex> lk(mutex());
        lines().clear();
    }
    static bool contains(const std::string &needle, int level = -100) {
        std::lock_guard<std::mutex> lk(mutex());
        for (auto &l : lines())
            if ((level == -100 || l.first == level) && l.second.find(needle) != std::string::npos)
                return true;
        return false;
    }
    static std::string dump() {
        std::lock_guard<std::mutex> lk(mutex());
        std::string s;
        for (auto &l : lines())
            s += std::to_string(l.first) + " " + l.second + "\n";
        return s;
    }

private:
    static std::mutex &mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<int, std::string>> &lines() {
        static std::vector<std::pair<int, std::string>> v;
        return v;
    }
};

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed = 1) {
    // Payload without control bytes, so that a frame the host rejects by its
    // header cannot look like new frames to whoever skips over it.
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(0x30 + rng() % 0x40);
    return v;
}

inline bool waitFor(const std::function<bool()> &pred, int timeoutMs) {
    auto start = Clock::now();
    while (!pred()) {
        if (msSince(start) > timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class SerialFixture : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::clear();
        upg_log_set_callback(&LogCapture::callback);
        line.reset(new kelsim::SerialLine(board));
        std::string error;
        ASSERT_TRUE(line->start(&error)) << error;
        path = line->slavePath();
    }
    void TearDown() override {
        // What both sides said is the only clue to a failure seen once.
        if (HasFailure())
            std::cerr << LogCapture::dump();
        if (conn)
            libuart_close(conn);
        conn = nullptr;
        line->stop();
        upg_log_set_callback(nullptr);
    }
    // Opens the host side and waits until the handshake has connected it.
    void openConnected() {
        conn = libuart_open(path.c_str(), nullptr);
        ASSERT_NE(conn, nullptr) << LogCapture::dump();
        ASSERT_TRUE(waitConnected()) << LogCapture::dump();
    }
    bool waitConnected(int timeoutMs = 5000) {
        return waitFor([this] { return libuart_get_state(conn) == LIBUART_STATE_CONNECTED; },
                       timeoutMs);
    }

    kelsim::RawBoardPort board;
    std::unique_ptr<kelsim::SerialLine> line;
    std::string path;
    uart_conn *conn = nullptr;
};

}  // namespace uarttest
