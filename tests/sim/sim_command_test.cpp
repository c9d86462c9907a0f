// "kelsim card" and "kelsim serial -- COMMAND": the simulated card and serial
// board reach the command through KELFLASH_SIM_CARDS and
// KELFLASH_EXTRA_SERIAL_PORTS, and kelflash-cli lists them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

struct Output {
    int status = -1;
    std::string out;  // stdout and stderr
};

// A shell command line, with kelsim and kelflash-cli at hand as $SIM and $CLI.
Output sh(const std::string &line) {
    const std::string bin = getenv("KELFLASH_BINARY_DIR") ? getenv("KELFLASH_BINARY_DIR") : ".";
    const std::string cmd = "SIM=" + bin + "/sim/kelsim CLI=" + bin + "/cli/kelflash-cli; " + line + " 2>&1";
    Output r;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int ws = p ? pclose(p) : -1;
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    return r;
}

bool has(const Output &r, const std::string &text) {
    return r.out.find(text) != std::string::npos;
}

TEST(KelsimCard, CardListListsTheCardWhichGoesAfterwards) {
    for (const std::string loop : {"", "--loop"}) {
        if (!loop.empty() && getuid() != 0)
            continue;
        const Output r = sh("$SIM card --size 8M " + loop +
                         " -- sh -c '$0 card list --json && echo \"named=$KELFLASH_SIM_CARDS\"' $CLI");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has(r, "\"vendor\":\"KelSim\"") && has(r, "\"model\":\"SD Card\"") &&
                    has(r, "\"bus\":\"Virtual\"") && has(r, "\"size\":8388608"))
            << r.out;
        const size_t at = r.out.find("named=");
        ASSERT_NE(at, std::string::npos);
        const std::string card = r.out.substr(at + 6, r.out.find('\n', at) - at - 6);
        EXPECT_TRUE(has(r, "\"node\":\"" + card + "\"")) << r.out;
        EXPECT_EQ(card.rfind(loop.empty() ? "/tmp/kelsim-card-" : "/dev/loop", 0), 0u) << card;
        // The image is removed, the loop device detached.
        const std::string gone = loop.empty() ? card : "/sys/block/" + card.substr(5) + "/loop";
        EXPECT_TRUE(sh("for i in $(seq 50); do [ -e " + gone + " ] || exit 0; sleep 0.1; done; exit 1")
                        .status == 0)
            << gone;
    }
}

// In a mount namespace of its own the system's disks are hidden, so nothing is
// a card but what KELFLASH_SIM_CARDS names; a disk-like path is refused.
TEST(KelsimCard, NoCardIsSaidAndNoDeviceButALoopIsTaken) {
    if (getuid() != 0 || sh("unshare -m true").status != 0)
        GTEST_SKIP() << "needs root and mount namespaces";
    const Output r = sh("KELFLASH_SIM_CARDS='/dev/null /dev/zero' unshare -m sh -c "
                     "'mount -t tmpfs none /sys/block && exec $0 card list' $CLI");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "No card found")) << r.out;
    EXPECT_TRUE(has(r, "Simulated card /dev/null refused")) << r.out;

    EXPECT_EQ(sh("$SIM card --image /dev/null -- true").status, 125);
    EXPECT_EQ(sh("$SIM card --size 10 -- true").status, 2);
    EXPECT_EQ(sh("$SIM card --").status, 2);
}

TEST(KelsimSerial, TheCommandIsOfferedTheBoardsPort) {
    const Output r = sh("$SIM serial -- $CLI devices");
    ASSERT_EQ(r.status, 0) << r.out;
    // The pty is listed first among the serial ports.
    EXPECT_TRUE(has(r, "Serial ports:\n  /dev/pts/")) << r.out;
    EXPECT_EQ(sh("$SIM serial -- sh -c 'exit 7'").status, 7);
    // The serial boards of "kelsim usb" too, by the links it makes for them.
    if (sh("command -v umockdev-wrapper").status == 0) {
        const Output u = sh("$SIM usb --quiet --serial-boards 1 -- sh -c 'echo $KELFLASH_EXTRA_SERIAL_PORTS'");
        EXPECT_EQ(u.out.rfind("/tmp/kelsim-serial-", 0), 0u) << u.out;
    }
}

}  // namespace
