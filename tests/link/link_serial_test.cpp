// The serial link against the simulated board behind a pseudo-terminal.
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <memory>

#include "board.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "link_test_util.h"
#include "msg_capture.h"
#include "pty_pair.h"
#include "serial_board_test.h"
#include "serial_line.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using kelsim::Board;
using kelsim::BoardConfig;
using kelsim::Stage;
using Log = std::vector<uint8_t>;

namespace {

// Sits between the host and the simulated board like a slow USB-serial
// adapter that has just been plugged in: whatever the board says before
// delayMs have passed since the host's first byte is held back until then.
class SlowAdapter {
public:
    SlowAdapter(const std::string &boardTty, int delayMs) : m_delay(delayMs) {
        std::string error;
        m_ok = m_host.open(&error);
        m_board = ::open(boardTty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio;
        if (m_board >= 0 && tcgetattr(m_board, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_board, TCSANOW, &tio);
        }
        m_ok = m_ok && m_board >= 0;
        if (m_ok)
            m_thread = std::thread([this] { run(); });
    }
    ~SlowAdapter() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_board >= 0)
            ::close(m_board);
    }
    bool ok() const { return m_ok; }
    std::string hostPath() const { return m_host.slavePath(); }

private:
    void run() {
        using Clock = std::chrono::steady_clock;
        bool started = false;
        Clock::time_point release;
        std::deque<uint8_t> held;
        uint8_t buf[4096];
        while (!m_stop) {
            pollfd fds[2] = {{m_host.masterFd(), POLLIN, 0}, {m_board, POLLIN, 0}};
            poll(fds, 2, 2);
            ssize_t n = ::read(m_host.masterFd(), buf, sizeof(buf));
            if (n > 0) {
                if (!started) {
                    started = true;
                    release = Clock::now() + std::chrono::milliseconds(m_delay);
                }
                writeAll(m_board, buf, size_t(n));
            }
            n = ::read(m_board, buf, sizeof(buf));
            if (n > 0)
                held.insert(held.end(), buf, buf + n);
            if (started && Clock::now() >= release && !held.empty()) {
                std::vector<uint8_t> out(held.begin(), held.end());
                held.clear();
                writeAll(m_host.masterFd(), out.data(), out.size());
            }
        }
    }
    static void writeAll(int fd, const uint8_t *p, size_t n) {
        while (n > 0) {
            ssize_t w = ::write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= size_t(w);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    int m_delay;
    kelsim::PtyPair m_host;
    int m_board = -1;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class SerialLinkTest : public SerialBoardTest {
protected:
    void start(BoardConfig cfg = {}, kelsim::SerialLine::Options opt = {}) {
        startBoard(cfg, opt);
        if (HasFatalFailure())
            return;
        // The handshake runs on the line's own threads; on a loaded machine
        // it can take far longer than the default wait, so the tests that
        // need a board give it plenty of time.
        link->setConnectWait(kGenerousWaitMs);
    }

    static constexpr int kGenerousWaitMs = 10000;
};

}  // namespace

// The handshake may take as long as one whole probe (the board has 200 ms to
// answer "C"), so the query must not give up after a few milliseconds: by
// default it waits longer than that, and it waits for the handshake rather
// than a fixed number of quick checks. Whether 250 ms suffice on a given
// machine depends on its load, so the slow board is met with a long wait and
// the query is only required to end as soon as the board is there.
TEST_F(SerialLinkTest, FindsABoardThatAnswersTheProbeInItsOwnTime) {
    EXPECT_GE(KelLinkerSerial().connectWait(), 200);
    EXPECT_EQ(KelLinkerSerial().connectWait(), KelLinkerSerial::DefaultConnectWaitMs);

    kelsim::SerialLine::Options opt;
    opt.pace = true;  // the bytes travel at 115200 baud
    start({}, opt);
    SlowAdapter adapter(line->slavePath(), 100);
    ASSERT_TRUE(adapter.ok());
    port = QString::fromStdString(adapter.hostPath());
    MsgCapture msgs;
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(link->fetchDeviceInfo(port, false)) << msgs.all().toStdString();
    EXPECT_LT(clock.elapsed(), kGenerousWaitMs / 2) << "the query did not end with the handshake";
    EXPECT_EQ(link->deviceInfo(), QStringLiteral("UART设备：") + port +
                                      QStringLiteral("\n启动阶段：BROM\n安全启动：否\n"
                                                     "Boot加密：否\n防回滚：否"));
    EXPECT_EQ(link->name(), port);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Try to connect " + port));
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Device info: UART设备："));
    EXPECT_EQ(board->commandLog(), (Log{0x00}));
    EXPECT_EQ(link->deviceNameText(), nullptr);
}

// The wait bounds the query: a board that answers only after it is not
// found (the adapter holds the answer far longer than the wait, so the
// outcome does not depend on the machine's speed).
TEST_F(SerialLinkTest, BoardSlowerThanTheWaitIsNotFound) {
    start();
    SlowAdapter adapter(line->slavePath(), 3000);
    ASSERT_TRUE(adapter.ok());
    port = QString::fromStdString(adapter.hostPath());
    link->setConnectWait(10);
    MsgCapture msgs;
    EXPECT_FALSE(link->fetchDeviceInfo(port, false));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Cannot find Kelvora device in " + port));
    EXPECT_TRUE(link->deviceInfo().isEmpty());
}

TEST_F(SerialLinkTest, UBootAppendsItsMedia) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    cfg.securityFlags = 0x07;
    cfg.storageMedia = {"nand0"};
    start(cfg);
    ASSERT_TRUE(link->fetchDeviceInfo(port, true));
    EXPECT_EQ(link->deviceInfo(), QStringLiteral("UART设备：") + port +
                                      QStringLiteral("\n启动阶段：U-Boot\n安全启动：是\n"
                                                     "Boot加密：是\n防回滚：是\n存储介质：nand0 "));
    // The work-mode flag means nothing over a serial line.
    EXPECT_EQ(board->commandLog(), (Log{0x00, 0x16}));
}

TEST_F(SerialLinkTest, SilentPortIsNotABoard) {
    start();
    line->setMute(true);
    // A line that never answers is given up after the default wait.
    link->setConnectWait(KelLinkerSerial::DefaultConnectWaitMs);
    MsgCapture msgs;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(link->fetchDeviceInfo(port, false));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Cannot find Kelvora device in " + port));
    EXPECT_TRUE(link->deviceInfo().isEmpty());
    EXPECT_FALSE(msgs.contains("Failed to get hardware info!"));
}

TEST_F(SerialLinkTest, PortThatCannotBeOpened) {
    KelLinkerSerial serial;
    MsgCapture msgs;
    EXPECT_FALSE(serial.fetchDeviceInfo("/nonexistent/ttyKEL9", false));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Failed to open /nonexistent/ttyKEL9"));
    EXPECT_FALSE(serial.isLinked());
}

TEST_F(SerialLinkTest, BurnStepsOverTheLine) {
    start();
    ASSERT_TRUE(link->fetchDeviceInfo(port, false));
    ASSERT_TRUE(link->isLinked());
    board->clearCommandLog();

    const auto data = patternData(5000);
    uint32_t results[3] = {0, 0, 0xEE};
    ASSERT_TRUE(burnComponent(*link, makeMeta("spl", "spl", 5000, "burn"), data, results));
    EXPECT_EQ(board->commandLog(), (Log{0x10, 0x11, 0x12, 0x13, 0x14}));
    EXPECT_EQ(board->partition("spl"), data);
    EXPECT_EQ(results[0], board->components().at(0).crc);
    EXPECT_EQ(results[2], 0xEEu);

    // The board reboots right behind its answer; whether that answer makes it
    // over the line does not matter, so do not wait the full time-out for it.
    kelupg_set_transfer_timeout(1500);
    EXPECT_TRUE(link->resetDevice());
    kelupg_set_transfer_timeout(UPG_DEFAULT_TRANSFER_TIMEOUT_MS);
    EXPECT_EQ(board->cmdlines(), (std::vector<std::string>{"reset"}));

    // Releasing closes the port; the link has no device afterwards.
    link->release();
    EXPECT_FALSE(link->isLinked());
    EXPECT_FALSE(link->unlink());
}

TEST_F(SerialLinkTest, WaitReconnectReopensThePort) {
    start();
    ASSERT_TRUE(link->fetchDeviceInfo(port, false));
    link->setReconnectTiming(2000, 20);
    MsgCapture msgs;
    EXPECT_TRUE(link->waitReconnect());
    EXPECT_TRUE(link->isLinked());
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Wait for Dev " + port + " ready"));
}
