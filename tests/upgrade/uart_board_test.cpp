// The whole serial stack (command set, packets, framing) against the
// simulated board's upgrade service behind a pty.
#include "board.h"
#include "libkelupg.h"
#include "uart_test_util.h"

using namespace uarttest;

namespace {

class UartBoard : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::clear();
        upg_log_set_callback(&LogCapture::callback);
        ASSERT_EQ(libkelupg_init(), 0);
        line.reset(new kelsim::SerialLine(board));
        std::string error;
        ASSERT_TRUE(line->start(&error)) << error;
        dev = upg_uart_dev_open(line->slavePath().c_str(), nullptr);
        ASSERT_NE(dev, nullptr) << LogCapture::dump();
        ASSERT_TRUE(waitFor([this] { return upg_uart_dev_connected(dev); }, 5000));
    }
    void TearDown() override {
        upg_uart_dev_close(dev);
        line->stop();
        libkelupg_exit();
        upg_log_set_callback(nullptr);
    }

    kelsim::Board board;
    std::unique_ptr<kelsim::SerialLine> line;
    upg_device *dev = nullptr;
};

}  // namespace

TEST_F(UartBoard, CommandsTravelOverTheSerialLine) {
    upg_hw_info info;
    ASSERT_GE(kelupg_cmd_get_hwinfo(dev, &info), 0) << LogCapture::dump();

    // Memory written over the line in several packets reads back unchanged.
    auto data = pattern(5000, 41);
    ASSERT_GE(kelupg_cmd_write(dev, 0x40000000, data.data(), 5000), 0) << LogCapture::dump();
    EXPECT_EQ(board.memory(0x40000000, 5000), data);
    std::vector<uint8_t> back(5000);
    ASSERT_GE(kelupg_cmd_read(dev, 0x40000000, back.data(), 5000), 0) << LogCapture::dump();
    EXPECT_EQ(back, data);
    EXPECT_EQ(board.stats().cbwErrors, 0u);
    EXPECT_EQ(line->stats().naksSent, 0);
}

TEST_F(UartBoard, PacketSurvivesNaksOnTheLine) {
    auto data = pattern(2048, 42);
    line->nakNext(3);
    ASSERT_GE(kelupg_cmd_write(dev, 0x40001000, data.data(), 2048), 0) << LogCapture::dump();
    EXPECT_EQ(board.memory(0x40001000, 2048), data);
    EXPECT_EQ(line->stats().naksSent, 3);
}

TEST_F(UartBoard, AnswerToResetArrivesBeforeTheBoardLeaves) {
    // The board takes its answer to "reset" and leaves at once; the answer it
    // already holds must still reach the host instead of leaving it to wait
    // out its whole receive time-out.
    auto t0 = Clock::now();
    ASSERT_EQ(kelupg_cmd_send_cmdline(dev, "reset", 5), 0) << LogCapture::dump();
    EXPECT_LT(msSince(t0), 6000);
    EXPECT_EQ(board.stats().departures, 1u);
    EXPECT_FALSE(LogCapture::contains("Read data time out.")) << LogCapture::dump();

    // Back in its boot ROM a little later, the board is reached again.
    ASSERT_TRUE(board.waitOnline(true, 10000));
    ASSERT_TRUE(waitFor([this] { return upg_uart_dev_connected(dev); }, 15000));
    upg_hw_info info;
    EXPECT_GE(kelupg_cmd_get_hwinfo(dev, &info), 0) << LogCapture::dump();
}
