// "kelsim serial" as a program: prints its pty, serves until SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "libkelupg.h"
#include "uart_test_util.h"

extern char **environ;

using namespace uarttest;

namespace {

class KelsimSerial {
public:
    bool start(const std::vector<std::string> &args) {
        const char *bin = getenv("KELFLASH_BINARY_DIR");
        if (!bin)
            return false;
        std::string exe = std::string(bin) + "/sim/kelsim";
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::vector<std::string> all{exe, "serial"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            pid_ = -1;
            return false;
        }
        // The first line is the pty path.
        FILE *out = fdopen(fds[0], "r");
        char line[512] = {};
        bool ok = fgets(line, sizeof(line), out) != nullptr;
        fclose(out);
        path_ = line;
        while (!path_.empty() && (path_.back() == '\n' || path_.back() == '\r'))
            path_.pop_back();
        return ok && !path_.empty();
    }
    // SIGTERM, then the exit status (-1 when it did not end by itself).
    int stop() {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~KelsimSerial() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string &path() const { return path_; }

private:
    pid_t pid_ = -1;
    std::string path_;
};

}  // namespace

TEST(KelsimSerialCli, RawServesAndSinks) {
    auto served = pattern(3000, 51);
    {
        std::ofstream f("serve.bin", std::ios::binary);
        f.write(reinterpret_cast<const char *>(served.data()), 3000);
    }
    KelsimSerial sim;
    ASSERT_TRUE(sim.start({"--raw", "--serve", "serve.bin", "--sink", "sink.bin"}));
    ASSERT_EQ(sim.path().rfind("/dev/pts/", 0), 0u) << sim.path();

    uart_conn *conn = libuart_open(sim.path().c_str(), nullptr);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(
        waitFor([conn] { return libuart_get_state(conn) == LIBUART_STATE_CONNECTED; }, 5000));
    std::vector<uint8_t> got(3000);
    EXPECT_EQ(libuart_recv(conn, got.data(), 3000, 5000), 3000);
    EXPECT_EQ(got, served);
    auto sent = pattern(1500, 52);
    EXPECT_EQ(libuart_send(conn, sent.data(), 1500), 1500);
    libuart_close(conn);

    EXPECT_EQ(sim.stop(), 0);
    std::ifstream in("sink.bin", std::ios::binary);
    std::vector<uint8_t> sink((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(sink, sent);
}

TEST(KelsimSerialCli, BoardAnswersCommands) {
    KelsimSerial sim;
    ASSERT_TRUE(sim.start({"--stage", "uboot"}));
    ASSERT_EQ(libkelupg_init(), 0);
    upg_device *dev = upg_uart_dev_open(sim.path().c_str(), nullptr);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(waitFor([dev] { return upg_uart_dev_connected(dev); }, 5000));
    upg_hw_info info;
    EXPECT_GE(kelupg_cmd_get_hwinfo(dev, &info), 0);
    upg_uart_dev_close(dev);
    libkelupg_exit();
    EXPECT_EQ(sim.stop(), 0);
}

TEST(KelsimSerialCli, BadOptions) {
    KelsimSerial sim;
    EXPECT_FALSE(sim.start({"--bogus"}));
    EXPECT_EQ(sim.stop(), 2);
}
