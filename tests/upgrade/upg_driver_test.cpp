// The storage-media query and its rescan of the bus, against the simulated
// board on an emulated USB bus and behind a pseudo-terminal.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

#include "board.h"
#include "libkelupg.h"
#include "serial_line.h"
#include "upg_driver.h"
#include "upg_log.h"
#include "usb_board.h"

using kelsim::Board;
using kelsim::BoardConfig;
using kelsim::Stage;

namespace {

std::mutex g_logMutex;
std::string g_log;

void collect(int, const char *text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log += text;
    g_log += '\n';
}

std::string libLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

const uint8_t kPath[UPG_PORT_PATH_LEN] = {2, 3, 0, 0, 0, 0, 0};

class StorageMediaTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kelsim::UsbBoardSim::available()) << "run under umockdev-wrapper";
        {
            std::lock_guard<std::mutex> lock(g_logMutex);
            g_log.clear();
        }
        upg_log_set_callback(collect);
        BoardConfig cfg;
        cfg.initialStage = Stage::UBoot;
        board = std::make_unique<Board>(cfg);
        sim = std::make_unique<kelsim::UsbBoardSim>();
        id = sim->attach(*board, 1, {2, 3});
        ASSERT_GE(id, 0);
        ASSERT_TRUE(sim->waitPresent(id, true, 5000));
    }

    void TearDown() override {
        upg_log_set_callback(nullptr);
        libkelupg_exit();
        sim.reset();
        board.reset();
        upg_driver_set_rescan(10, 2000);
    }

    std::unique_ptr<Board> board;
    std::unique_ptr<kelsim::UsbBoardSim> sim;
    int id = -1;
};

}  // namespace

TEST(StorageMediaPolicy, DefaultsAndBounds) {
    int attempts = 0, interval = 0;
    upg_driver_get_rescan(&attempts, &interval);
    EXPECT_EQ(attempts, 10);
    EXPECT_EQ(interval, 2000);
    upg_driver_set_rescan(0, -5);
    upg_driver_get_rescan(&attempts, &interval);
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(interval, 0);
    upg_driver_set_rescan(10, 2000);

    uint8_t *media = reinterpret_cast<uint8_t *>(1);
    EXPECT_EQ(get_storage_media(nullptr, &media, nullptr), -3);
}

TEST_F(StorageMediaTest, AnswerIsReturnedUnchanged) {
    upg_device *dev = upg_usb_dev_open(1, kPath);
    ASSERT_NE(dev, nullptr);
    uint8_t *media = nullptr;
    uint8_t port[UPG_PORT_PATH_LEN] = {9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(get_storage_media(dev, &media, port), 2 * UPG_STORAGE_MEDIA_ENTRY_SIZE);
    EXPECT_STREQ(reinterpret_cast<char *>(media), "emmc0");
    EXPECT_STREQ(reinterpret_cast<char *>(media) + UPG_STORAGE_MEDIA_ENTRY_SIZE, "sd1");
    EXPECT_EQ(memcmp(port, kPath, UPG_PORT_PATH_LEN), 0);
    free(media);
    upg_usb_dev_close(dev);
    EXPECT_EQ(libLog().find("connected"), std::string::npos);
}

TEST_F(StorageMediaTest, RescansAfterTheDeviceReenumerates) {
    // Far more tries than the board needs to come back, so that a loaded
    // machine does not run out of them; the query ends at the first success.
    upg_driver_set_rescan(200, 50);
    upg_device *dev = upg_usb_dev_open(1, kPath);
    ASSERT_NE(dev, nullptr);
    // The board drops off the bus and comes back as a new device: the old
    // handle is dead, the same place on the bus answers again.
    board->vanish(300);
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    uint8_t *media = nullptr;
    const int n = get_storage_media(dev, &media, nullptr);
    upg_usb_dev_close(dev);
    ASSERT_EQ(n, 2 * UPG_STORAGE_MEDIA_ENTRY_SIZE) << libLog();
    ASSERT_NE(media, nullptr);
    EXPECT_STREQ(reinterpret_cast<char *>(media), "emmc0");
    free(media);
    EXPECT_NE(libLog().find("Bus:Port 1:2-3 connected"), std::string::npos) << libLog();
    EXPECT_EQ(sim->appearances(id), 2);
}

TEST_F(StorageMediaTest, GivesUpWhenNobodyComesBack) {
    upg_driver_set_rescan(3, 20);
    upg_device *dev = upg_usb_dev_open(1, kPath);
    ASSERT_NE(dev, nullptr);
    board->vanish();
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    uint8_t *media = nullptr;
    EXPECT_EQ(get_storage_media(dev, &media, nullptr), -1);
    EXPECT_EQ(media, nullptr);
    EXPECT_EQ(upg_dev_last_error(dev), UPG_ERR_UNAVAILABLE);
    EXPECT_STREQ(upg_dev_error_text(dev), "No device is connected");
    upg_usb_dev_close(dev);
    EXPECT_NE(libLog().find("No device is connected"), std::string::npos) << libLog();
}

// Boards burnt side by side keep their own policy: this one's few quick tries
// end the query long before the process-wide policy's 10 tries 2 s apart would.
TEST_F(StorageMediaTest, ADevicesOwnRescanPolicyApplies) {
    upg_driver_set_rescan(10, 2000);
    upg_device *dev = upg_usb_dev_open(1, kPath);
    ASSERT_NE(dev, nullptr);
    upg_driver_set_dev_rescan(dev, 3, 20);
    board->vanish();
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    uint8_t *media = nullptr;
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(get_storage_media(dev, &media, nullptr), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
    upg_usb_dev_close(dev);
    EXPECT_NE(libLog().find("No device is connected"), std::string::npos) << libLog();
}

TEST_F(StorageMediaTest, NoRescanForADeviceThatIsStillAttached) {
    // The board has no media at all but stays on the bus, claimed through the
    // caller's handle: reopening it could not succeed, so it is not tried, and
    // no buffer is handed out.
    board->setStorageMedia({});
    upg_driver_set_rescan(3, 20);
    upg_device *dev = upg_usb_dev_open(1, kPath);
    ASSERT_NE(dev, nullptr);
    uint8_t *media = nullptr;
    EXPECT_EQ(get_storage_media(dev, &media, nullptr), -1);
    EXPECT_EQ(media, nullptr);
    // The board's own answer is the reason, not the rescan that was not made.
    EXPECT_EQ(upg_dev_last_error(dev), UPG_ERR_REFUSED);
    EXPECT_STREQ(upg_dev_error_text(dev), "no available storage media devices");
    upg_usb_dev_close(dev);
    EXPECT_NE(libLog().find("failed on an attached device"), std::string::npos) << libLog();
    EXPECT_EQ(libLog().find("claim"), std::string::npos) << libLog();
}

TEST(StorageMediaSerial, NoRescanOverASerialLine) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    Board board(cfg);
    kelsim::SerialLine line(board);
    std::string error;
    ASSERT_TRUE(line.start(&error)) << error;
    upg_driver_set_rescan(3, 20);
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.clear();
    }
    upg_log_set_callback(collect);

    upg_device *dev = upg_uart_dev_open(line.slavePath().c_str(), nullptr);
    ASSERT_NE(dev, nullptr);
    for (int i = 0; i < 300 && !upg_uart_dev_connected(dev); ++i)
        usleep(10000);
    ASSERT_TRUE(upg_uart_dev_connected(dev));

    uint8_t *media = nullptr;
    const int n = get_storage_media(dev, &media, nullptr);
    EXPECT_EQ(n, 2 * UPG_STORAGE_MEDIA_ENTRY_SIZE) << libLog();
    free(media);

    board.setStorageMedia({});
    media = nullptr;
    EXPECT_EQ(get_storage_media(dev, &media, nullptr), -1);
    EXPECT_EQ(media, nullptr);
    EXPECT_EQ(libLog().find("No device is connected"), std::string::npos);

    upg_uart_dev_close(dev);
    upg_log_set_callback(nullptr);
    line.stop();
    libkelupg_exit();
    upg_driver_set_rescan(10, 2000);
}
