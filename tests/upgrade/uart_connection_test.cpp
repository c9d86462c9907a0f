// Handshake states, announcement limits, open and close of the serial
// transport over a real pty.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "uart_test_util.h"

extern char **environ;

using namespace uarttest;

namespace {

std::mutex g_stateMutex;
std::vector<int> g_states;

void recordState(int state) {
    std::lock_guard<std::mutex> lk(g_stateMutex);
    g_states.push_back(state);
}

std::vector<int> states() {
    std::lock_guard<std::mutex> lk(g_stateMutex);
    return g_states;
}

const char *kChildEnv = "KEL_UART_CHILD_PORT";

}  // namespace

using UartConnection = SerialFixture;

TEST_F(UartConnection, AckToProbeConnectsAndCallbackHearsIt) {
    {
        std::lock_guard<std::mutex> lk(g_stateMutex);
        g_states.clear();
    }
    conn = libuart_open(path.c_str(), &recordState);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(waitConnected());
    EXPECT_TRUE(LogCapture::contains("Got ACK for C"));
    EXPECT_TRUE(LogCapture::contains("Serial state: Connected"));
    ASSERT_FALSE(states().empty());
    EXPECT_EQ(states().front(), LIBUART_STATE_CONNECTED);
    EXPECT_GE(line->stats().probes, 1);
}

TEST_F(UartConnection, AToProbeConnectsAfterHostAck) {
    line->setProbeAnswer(kelsim::kSerA);
    openConnected();
    EXPECT_TRUE(LogCapture::contains("Got A from Device, reply ACK"));
    // The board took the host's ACK; an ordinary transfer follows.
    line->setProbeAnswer(kelsim::kSerACK);
    auto data = pattern(50);
    EXPECT_EQ(libuart_send(conn, data.data(), 50), 50);
    EXPECT_EQ(board.received(), data);
}

TEST_F(UartConnection, SilentBoardStaysDetectingAndCallsAreRefused) {
    line->setMute(true);
    conn = libuart_open(path.c_str(), nullptr);
    ASSERT_NE(conn, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_DETECTING);
    uint8_t buf[8] = {};
    EXPECT_EQ(libuart_send(conn, buf, 8), -1);
    EXPECT_EQ(libuart_recv(conn, buf, 8, 100), -1);
    EXPECT_TRUE(LogCapture::contains("Connection is not ready", UPG_LOG_ERR));
    // When the board starts answering, the manager finds it.
    line->setMute(false);
    EXPECT_TRUE(waitConnected());
}

TEST_F(UartConnection, OtherAnswerToProbeLeavesStateAlone) {
    line->setProbeAnswer('X');
    conn = libuart_open(path.c_str(), nullptr);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(waitFor([] { return LogCapture::contains("uart_conn_mgr_thread: Got 58"); }, 3000))
        << LogCapture::dump();
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_DETECTING);
}

TEST_F(UartConnection, NullConnection) {
    uint8_t b = 0;
    EXPECT_EQ(libuart_send(nullptr, &b, 1), -1);
    EXPECT_EQ(libuart_recv(nullptr, &b, 1, 10), -1);
    EXPECT_EQ(libuart_get_state(nullptr), LIBUART_STATE_DETECTING);
    EXPECT_TRUE(LogCapture::contains("Connection is NULL", UPG_LOG_ERR));
    libuart_close(nullptr);
}

TEST_F(UartConnection, UnansweredAnnouncementEndsAfterOneSecond) {
    {
        std::lock_guard<std::mutex> lk(g_stateMutex);
        g_states.clear();
    }
    conn = libuart_open(path.c_str(), &recordState);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(waitConnected());
    line->setIgnoreTransfers(true);
    auto data = pattern(100);
    auto t0 = Clock::now();
    EXPECT_EQ(libuart_send(conn, data.data(), 100), 0);
    auto took = msSince(t0);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(LogCapture::contains("No answer to DC1", UPG_LOG_ERR));
    auto s = states();
    ASSERT_GE(s.size(), 2u);
    EXPECT_EQ(s[1], LIBUART_STATE_DETECTING);  // as if refused with "A"

    ASSERT_TRUE(waitConnected());  // the probe still gets its ACK
    uint8_t buf[10];
    t0 = Clock::now();
    EXPECT_EQ(libuart_recv(conn, buf, 10, 8000), 0);
    took = msSince(t0);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(LogCapture::contains("No answer to DC2", UPG_LOG_ERR));
    EXPECT_TRUE(board.received().empty());
}

TEST_F(UartConnection, StaleBytesAreNotTakenForAnAnswer) {
    openConnected();
    line->setIgnoreTransfers(true);
    // A late ACK and some noise nobody asked for, waiting in the host's queue.
    auto before = line->stats().bytesToHost;
    line->injectToHost({kelsim::kSerACK, 0x33, kelsim::kSerACK});
    ASSERT_TRUE(waitFor([&] { return line->stats().bytesToHost >= before + 3; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto data = pattern(100);
    EXPECT_EQ(libuart_send(conn, data.data(), 100), 0);
    EXPECT_TRUE(LogCapture::contains("No answer to DC1", UPG_LOG_ERR));
    EXPECT_TRUE(board.received().empty());
    EXPECT_TRUE(line->frames().empty());
}

TEST_F(UartConnection, RefusedAnnouncement) {
    openConnected();
    line->refuseNext(2);
    auto data = pattern(100);
    EXPECT_EQ(libuart_send(conn, data.data(), 100), 0);
    ASSERT_TRUE(waitConnected());
    uint8_t buf[10];
    EXPECT_EQ(libuart_recv(conn, buf, 10, 3000), 0);
    EXPECT_TRUE(LogCapture::contains("Device refused DC1", UPG_LOG_ERR));
    EXPECT_TRUE(LogCapture::contains("Device refused DC2", UPG_LOG_ERR));
    EXPECT_TRUE(board.received().empty());
}

TEST_F(UartConnection, BoardThatVanishesAndComesBack) {
    {
        std::lock_guard<std::mutex> lk(g_stateMutex);
        g_states.clear();
    }
    conn = libuart_open(path.c_str(), &recordState);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(waitConnected());
    line->vanishAfter(0, 700);
    uint8_t buf[10];
    EXPECT_EQ(libuart_recv(conn, buf, 10, 3000), 0);
    // The manager may already have found the board again by now; the
    // callback saw the drop either way.
    auto s = states();
    ASSERT_GE(s.size(), 2u);
    EXPECT_EQ(s[0], LIBUART_STATE_CONNECTED);
    EXPECT_EQ(s[1], LIBUART_STATE_DETECTING);
    // Back after its absence: the manager's probe reconnects.
    ASSERT_TRUE(waitConnected(5000));
    auto data = pattern(700, 31);
    board.serve(data);
    std::vector<uint8_t> got(700);
    EXPECT_EQ(libuart_recv(conn, got.data(), 700, 5000), 700);
    EXPECT_EQ(got, data);
}

TEST_F(UartConnection, CloseWhileManagerWaitsForAnAnswer) {
    line->setMute(true);
    for (int i = 0; i < 3; ++i) {
        conn = libuart_open(path.c_str(), nullptr);
        ASSERT_NE(conn, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 40 * i));
        auto t0 = Clock::now();
        libuart_close(conn);
        conn = nullptr;
        EXPECT_LT(msSince(t0), 2000);
    }
    EXPECT_TRUE(LogCapture::contains("Receive close event, uart_conn_mgr_thread() exit ..."));
}

TEST_F(UartConnection, SecondOpenOfTheSamePortIsRefused) {
    openConnected();
    LogCapture::clear();
    EXPECT_EQ(libuart_open(path.c_str(), nullptr), nullptr);
    EXPECT_TRUE(LogCapture::contains("Failed to open COM device.", UPG_LOG_ERR));
    // Through a symlink it is still the same port.
    // Named per process: a second run of this binary may share the directory.
    std::string link = "uart_link_" + std::to_string(getpid());
    unlink(link.c_str());
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    std::string linkPath = std::string(cwd) + "/" + link;
    EXPECT_EQ(libuart_open(linkPath.c_str(), nullptr), nullptr);

    // And from another process.
    std::string self = "/proc/self/exe";
    char exe[4096];
    ssize_t n = readlink(self.c_str(), exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    exe[n] = 0;
    std::string env = std::string(kChildEnv) + "=" + path;
    std::vector<std::string> envs{env};
    for (char **e = environ; *e; ++e)
        envs.push_back(*e);
    std::vector<char *> envp;
    for (auto &s : envs)
        envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    const char *argv[] = {exe, "--gtest_also_run_disabled_tests",
                          "--gtest_filter=UartChild.DISABLED_OpenPort", nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, exe, nullptr, nullptr, const_cast<char **>(argv), envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the other process could open the port";

    // Free again once closed.
    libuart_close(conn);
    conn = libuart_open(linkPath.c_str(), nullptr);
    EXPECT_NE(conn, nullptr);
    unlink(link.c_str());
}

// Run in a child process by the test above: exit code 3 when the open is refused.
TEST(UartChild, DISABLED_OpenPort) {
    const char *port = getenv(kChildEnv);
    ASSERT_NE(port, nullptr);
    uart_conn *c = libuart_open(port, nullptr);
    if (!c)
        _exit(3);
    libuart_close(c);
    _exit(4);
}

TEST_F(UartConnection, PortNamesAndPortsThatAreNotSerial) {
    // A bare name is looked up under /dev.
    ASSERT_EQ(path.rfind("/dev/", 0), 0u);
    conn = libuart_open(path.c_str() + 5, nullptr);
    ASSERT_NE(conn, nullptr);
    EXPECT_TRUE(waitConnected());
    libuart_close(conn);
    conn = nullptr;

    EXPECT_EQ(libuart_open("ttyKelNoSuchPort9", nullptr), nullptr);
    EXPECT_EQ(libuart_open("", nullptr), nullptr);
    EXPECT_EQ(libuart_open(nullptr, nullptr), nullptr);
    EXPECT_TRUE(LogCapture::contains("Failed to open COM device.", UPG_LOG_ERR));
    // A plain file opens but cannot be set up as a serial line.
    FILE *f = fopen("not_a_tty", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    std::string file = std::string(cwd) + "/not_a_tty";
    EXPECT_EQ(libuart_open(file.c_str(), nullptr), nullptr);
    EXPECT_TRUE(LogCapture::contains("Failed to setup comm timeout", UPG_LOG_ERR));
}
