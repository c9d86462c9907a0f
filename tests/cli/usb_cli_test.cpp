// "kelflash-cli devices" and "kelflash-cli probe" run as child processes
// against simulated boards on the emulated bus and behind a pty.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "board.h"
#include "serial_line.h"
#include "usb_board.h"

namespace {

struct CliRun {
    int status = -1;
    std::string out;
};

CliRun cli(const std::string &args) {
    const char *bin = getenv("KELFLASH_BINARY_DIR");
    std::string cmd = std::string(bin ? bin : ".") + "/cli/kelflash-cli " + args + " 2>&1";
    CliRun r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

class CliUsb : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kelsim::UsbBoardSim::available())
            GTEST_SKIP() << "needs umockdev-wrapper";
        sim_ = std::make_unique<kelsim::UsbBoardSim>();
    }
    // Boards outlive the bus: its monitor thread looks at them until it stops.
    kelsim::Board &newBoard(kelsim::BoardConfig cfg = {}) {
        boards_.push_back(std::make_unique<kelsim::Board>(cfg));
        return *boards_.back();
    }

    std::vector<std::unique_ptr<kelsim::Board>> boards_;
    std::unique_ptr<kelsim::UsbBoardSim> sim_;
};

TEST_F(CliUsb, DevicesListsBoardsByLocation) {
    kelsim::Board &a = newBoard();
    kelsim::Board &b = newBoard();
    ASSERT_GE(sim_->attach(a, 1, {2, 3}), 0);
    ASSERT_GE(sim_->attach(b, 2, {4}), 0);
    sim_->addDummyDevices(3);
    CliRun r = cli("devices");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "USB upgrade devices:")) << r.out;
    EXPECT_TRUE(contains(r.out, "  1:2-3 ")) << r.out;
    EXPECT_TRUE(contains(r.out, "  2:4 ")) << r.out;
    EXPECT_TRUE(contains(r.out, "Serial ports:")) << r.out;

    sim_->detach();
    r = cli("devices");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "USB upgrade devices:\n  none")) << r.out;
    EXPECT_EQ(cli("devices extra").status, 2);
}

TEST_F(CliUsb, ProbeInBootRom) {
    kelsim::BoardConfig cfg;
    cfg.securityFlags = 0x05;  // secure boot and anti-rollback
    cfg.bootDevice1 = 2;
    cfg.bootDevice2 = 7;
    kelsim::Board &board = newBoard(cfg);
    ASSERT_GE(sim_->attach(board, 1, {2, 3}), 0);
    CliRun r = cli("probe --usb 1:2-3");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot stage:      BROM")) << r.out;
    EXPECT_TRUE(contains(r.out, "Secure boot:     enabled")) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot encryption: disabled")) << r.out;
    EXPECT_TRUE(contains(r.out, "Anti-rollback:   enabled")) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot device 1:   2")) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot device 2:   7")) << r.out;
    EXPECT_TRUE(contains(r.out, "Storage media:   (reported in U-Boot only)")) << r.out;
    EXPECT_TRUE(board.workModes().empty());  // the boot ROM is not asked for media

    // The kernel's spelling of the same place works too.
    EXPECT_EQ(cli("probe --usb 1-2.3").status, 0);
}

TEST_F(CliUsb, ProbeInUBootListsStorageMedia) {
    kelsim::BoardConfig cfg;
    cfg.initialStage = kelsim::Stage::UBoot;
    cfg.storageMedia = {"emmc0", "sd1", "spinor"};
    kelsim::Board &board = newBoard(cfg);
    ASSERT_GE(sim_->attach(board, 3, {1}), 0);
    CliRun r = cli("probe --usb 3:1");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot stage:      U-Boot")) << r.out;
    EXPECT_TRUE(contains(r.out, "Packet size:     65536 bytes")) << r.out;
    EXPECT_TRUE(contains(r.out, "Secure boot:     disabled")) << r.out;
    EXPECT_TRUE(contains(r.out, "Storage media:   emmc0, sd1, spinor")) << r.out;
    EXPECT_EQ(board.workModes(), (std::vector<uint32_t>{4}));
    if (getenv("KEL_SHOW_OUTPUT"))
        printf("%s", r.out.c_str());
}

TEST_F(CliUsb, ProbeFailuresAndUsage) {
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 1, {4}), 0);
    CliRun r = cli("probe --usb 1:5");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "no upgrade device could be opened at 1:5")) << r.out;

    EXPECT_EQ(cli("probe").status, 2);
    EXPECT_EQ(cli("probe --usb").status, 2);
    EXPECT_EQ(cli("probe --usb one:two").status, 2);
    EXPECT_EQ(cli("probe --usb 1:4 --serial ttyUSB0").status, 2);
    EXPECT_EQ(cli("probe --bogus").status, 2);
    EXPECT_EQ(cli("probe --help").status, 0);
}

TEST(CliSerial, ProbeOverThePty) {
    kelsim::BoardConfig cfg;
    cfg.securityFlags = 0x02;
    kelsim::Board board(cfg);
    kelsim::SerialLine line(board);
    std::string err;
    ASSERT_TRUE(line.start(&err)) << err;
    CliRun r = cli("probe --serial " + line.slavePath());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "Device:          serial " + line.slavePath())) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot stage:      BROM")) << r.out;
    EXPECT_TRUE(contains(r.out, "Boot encryption: enabled")) << r.out;
    EXPECT_TRUE(contains(r.out, "Packet size:     2048 bytes")) << r.out;

    line.setMute(true);
    r = cli("probe --serial " + line.slavePath());
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "no board answers on")) << r.out;
    line.stop();
}

}  // namespace
