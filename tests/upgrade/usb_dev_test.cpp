// The USB device layer against simulated boards on an emulated bus: finding a
// board by bus and port path, listing, interface claims, vanishing boards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "libkelupg.h"
#include "upg_log.h"
#include "usb_board.h"

namespace {

std::vector<std::string> g_errors;

void sink(int level, const char *text) {
    if (level == UPG_LOG_ERR)
        g_errors.push_back(text);
}

bool logged(const std::string &text) {
    for (const auto &l : g_errors)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

std::string dump() {
    std::string s;
    for (const auto &l : g_errors)
        s += l + "\n";
    return s;
}

class UsbDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kelsim::UsbBoardSim::available())
            GTEST_SKIP() << "needs umockdev-wrapper";
        g_errors.clear();
        upg_log_set_callback(sink);
        sim_ = std::make_unique<kelsim::UsbBoardSim>();
    }
    void TearDown() override {
        for (upg_device *d : open_)
            upg_usb_dev_close(d);
        libkelupg_exit();
        sim_.reset();
        upg_log_set_callback(nullptr);
        kelupg_set_transfer_timeout(UPG_DEFAULT_TRANSFER_TIMEOUT_MS);
    }
    upg_device *open(uint8_t bus, std::vector<uint8_t> path) {
        uint8_t p[UPG_PORT_PATH_LEN] = {0};
        if (!path.empty())
            memcpy(p, path.data(), std::min(path.size(), sizeof(p)));
        upg_device *d = upg_usb_dev_open(bus, p);
        if (d)
            open_.push_back(d);
        return d;
    }
    void close(upg_device *d) {
        open_.erase(std::remove(open_.begin(), open_.end(), d), open_.end());
        upg_usb_dev_close(d);
    }
    static std::string where(const upg_dev_info &e) {
        char t[40];
        upg_dev_format_location(t, sizeof(t), e.bus, e.port);
        return t;
    }

    // Boards outlive the bus: its monitor thread looks at them until it stops.
    kelsim::Board &newBoard(kelsim::BoardConfig cfg = {}) {
        boards_.push_back(std::make_unique<kelsim::Board>(cfg));
        return *boards_.back();
    }

    std::vector<std::unique_ptr<kelsim::Board>> boards_;
    std::unique_ptr<kelsim::UsbBoardSim> sim_;
    std::vector<upg_device *> open_;
};

TEST_F(UsbDevices, OpenByBusAndPortPath) {
    kelsim::Board &board = newBoard();
    int id = sim_->attach(board, 1, {1, 4});
    ASSERT_GE(id, 0);
    ASSERT_EQ(libkelupg_init(), 0);

    EXPECT_EQ(open(1, {1, 4, 1}), nullptr);
    EXPECT_EQ(open(2, {1, 4}), nullptr);
    EXPECT_EQ(open(1, {4, 1}), nullptr);
    upg_device *d = open(1, {1, 4});
    ASSERT_NE(d, nullptr) << dump();
    EXPECT_EQ(d->type, UPG_DEV_TYPE_USB);
    EXPECT_EQ(d->vid, UPG_USB_VID);
    EXPECT_EQ(d->pid, UPG_USB_PID);
    EXPECT_EQ(d->ep_out, 0x01);
    EXPECT_EQ(d->ep_in, 0x81);
    EXPECT_EQ(int(d->addr), sim_->deviceAddress(id));
    uint8_t bus = 0, port[UPG_PORT_PATH_LEN];
    ASSERT_EQ(upg_dev_get_bus_port(d, &bus, port), 0);
    EXPECT_EQ(bus, 1);
    EXPECT_EQ(std::vector<uint8_t>(port, port + 7), (std::vector<uint8_t>{1, 4, 0, 0, 0, 0, 0}));

    // It speaks: the first tag after initialisation is 0.
    upg_hw_info info;
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);
    ASSERT_EQ(kelupg_cmd_get_hwinfo(d, &info), 0) << dump();
    EXPECT_EQ(kelupg_trans_get_tag(), 3u);
    EXPECT_EQ(board.commandLog(), (std::vector<uint8_t>{0x00}));
}

TEST_F(UsbDevices, BehindAHubAndOnAnyBus) {
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 3, {1, 3}), 0);  // 3-1.3
    ASSERT_EQ(libkelupg_init(), 0);
    EXPECT_EQ(open(3, {1}), nullptr);  // the hub itself is no upgrade device
    upg_device *d = open(3, {1, 3});
    ASSERT_NE(d, nullptr) << dump();
    close(d);

    // Bus 255: the first upgrade device anywhere, and where it really sits.
    d = open(UPG_BUS_ANY, {});
    ASSERT_NE(d, nullptr) << dump();
    EXPECT_EQ(d->bus, 3);
    EXPECT_EQ(d->port[0], 1);
    EXPECT_EQ(d->port[1], 3);
    EXPECT_EQ(d->port[2], 0);
    close(d);

    upg_dev_info *table = nullptr;
    ASSERT_EQ(upg_usb_dev_get_list(&table), 1);
    EXPECT_EQ(where(table[0]), "3:1-3");
}

// The port path comes back zero-filled to the buffer's end; a buffer too small
// for the path is an error, not a cut-off path that could match another port.
TEST_F(UsbDevices, PortNumbersAndASecondInitialisation) {
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 2, {3, 1, 2}), 0);
    ASSERT_EQ(libkelupg_init(), 0);
    upg_device *d = open(2, {3, 1, 2});
    ASSERT_NE(d, nullptr) << dump();
    libusb_device *ud = libusb_get_device(d->handle);
    uint8_t path[UPG_PORT_PATH_LEN];
    memset(path, 0xEE, sizeof(path));
    EXPECT_EQ(upg_usb_get_port_numbers(ud, path, UPG_PORT_PATH_LEN), 3);
    EXPECT_EQ(std::vector<uint8_t>(path, path + 7), (std::vector<uint8_t>{3, 1, 2, 0, 0, 0, 0}));
    g_errors.clear();
    EXPECT_EQ(upg_usb_get_port_numbers(ud, path, 2), -1);
    EXPECT_TRUE(logged("upg_usb_get_port_numbers() Invalid port number -")) << dump();

    // Initialising again restarts the tags but leaves open devices usable.
    upg_hw_info info;
    ASSERT_EQ(kelupg_cmd_get_hwinfo(d, &info), 0) << dump();
    ASSERT_EQ(libkelupg_init(), 0);
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);
    EXPECT_EQ(kelupg_cmd_get_hwinfo(d, &info), 0) << dump();
    EXPECT_EQ(board.commandLog(), (std::vector<uint8_t>{0x00, 0x00}));
}

TEST_F(UsbDevices, NoBoardAnywhere) {
    sim_->addDummyDevices(3);
    ASSERT_EQ(libkelupg_init(), 0);
    EXPECT_EQ(open(UPG_BUS_ANY, {}), nullptr);
    upg_dev_info *table = nullptr;
    EXPECT_EQ(upg_usb_dev_get_list(&table), -1);
    EXPECT_NE(table, nullptr);  // the list was readable: the (empty) table is handed out
}

// A board behind many other devices sits late in the system list; the listing
// must still find it.
TEST_F(UsbDevices, ListingLooksPastTheSixteenthDevice) {
    ASSERT_GE(sim_->addDummyDevices(20), 20);
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 1, {1}), 0);
    ASSERT_EQ(libkelupg_init(), 0);

    // Where libusb puts it (the test means nothing if it is early).
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    ssize_t pos = -1;
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == UPG_USB_VID)
            pos = i;
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    ASSERT_GT(n, 20);
    ASSERT_GE(pos, 16) << "the board is not behind the others in the system list (" << pos << " of "
                       << n << ")";

    upg_dev_info *table = nullptr;
    ASSERT_EQ(upg_usb_dev_get_list(&table), 1) << dump();
    EXPECT_EQ(where(table[0]), "1:1");
}

TEST_F(UsbDevices, TableKeepsSixteenBoards) {
    for (int i = 0; i < 18; i++) {
        ASSERT_GE(sim_->attach(newBoard(), 2, {uint8_t(1 + i / 6), uint8_t(1 + i % 6)}), 0);
    }
    ASSERT_EQ(libkelupg_init(), 0);
    upg_dev_info *table = nullptr;
    ASSERT_EQ(upg_usb_dev_get_list(&table), UPG_DEV_TABLE_SIZE) << dump();
    EXPECT_TRUE(logged("More than 16 upgrade devices attached"));
    for (int i = 0; i < UPG_DEV_TABLE_SIZE; i++)
        EXPECT_EQ(table[i].bus, 2);
}

TEST_F(UsbDevices, HeldInterfaceIsRefused) {
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 1, {2}), 0);
    ASSERT_EQ(libkelupg_init(), 0);
    upg_device *first = open(1, {2});
    ASSERT_NE(first, nullptr);
    g_errors.clear();
    EXPECT_EQ(open(1, {2}), nullptr);
    EXPECT_TRUE(logged("__claim_interface()")) << dump();
    EXPECT_TRUE(logged("libusb_claim_interface() failed")) << dump();
    EXPECT_TRUE(logged("FAILED to claim interface.")) << dump();

    // The listing leaves a held board out and says why.
    upg_dev_info *table = nullptr;
    EXPECT_EQ(upg_usb_dev_get_list(&table), -1);
    EXPECT_TRUE(logged("Error, open USB device failed"));

    // Once released it is listed and opened again.
    close(first);
    EXPECT_EQ(upg_usb_dev_get_list(&table), 1);
    EXPECT_NE(open(1, {2}), nullptr) << dump();
}

// Without a udev daemon nobody announces a board that comes back with a new
// address: the listing and the open must still find it where it now is.
TEST_F(UsbDevices, BoardBackWithoutUeventsIsListedAndOpened) {
    kelsim::Board &board = newBoard();
    int id = sim_->attach(board, 1, {1, 4});
    ASSERT_GE(id, 0);
    ASSERT_EQ(libkelupg_init(), 0);
    upg_dev_info *table = nullptr;
    ASSERT_EQ(upg_usb_dev_get_list(&table), 1) << dump();

    sim_->setUevents(false);
    board.vanish(50);
    auto back = [&] { return sim_->appearances(id) == 2 && sim_->present(id); };
    for (int i = 0; i < 500 && !back(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(back()) << "the board came back with a new address";
    const int addr = sim_->deviceAddress(id);

    ASSERT_EQ(upg_usb_dev_get_list(&table), 1) << dump();
    EXPECT_EQ(int(table[0].addr), addr);
    upg_device *d = open(1, {1, 4});
    ASSERT_NE(d, nullptr) << dump();
    EXPECT_EQ(int(d->addr), addr);
    upg_hw_info info;
    EXPECT_EQ(kelupg_cmd_get_hwinfo(d, &info), 0) << dump();
    EXPECT_TRUE(g_errors.empty()) << dump();
}

TEST_F(UsbDevices, VanishedAndSilentBoards) {
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 1, {1, 4}), 0);
    ASSERT_EQ(libkelupg_init(), 0);
    upg_device *d = open(1, {1, 4});
    ASSERT_NE(d, nullptr);

    // A board that never answers: the (shortened) transfer time-out ends the packet.
    kelupg_set_transfer_timeout(300);
    board.setMute(true);
    uint8_t buf[16];
    EXPECT_EQ(kelupg_trans_recv_pkt(d, buf, 16), 0);
    EXPECT_EQ(upg_dev_get_last_error(d), LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(logged("Read len 0/16"));
    board.setMute(false);

    board.vanish();
    upg_hw_info info;
    EXPECT_EQ(kelupg_cmd_get_hwinfo(d, &info), -1);
    int err = upg_dev_get_last_error(d);
    EXPECT_TRUE(err == LIBUSB_ERROR_NO_DEVICE || err == LIBUSB_ERROR_IO) << err;
}

// Each failure stays on its device as a code and the text of its log line.
// The device lives in a context of its own, whose short time-out leaves the
// default context's alone.
TEST_F(UsbDevices, EachFailureIsKeptOnItsDevice) {
    kelsim::Board &board = newBoard();
    ASSERT_GE(sim_->attach(board, 1, {1, 4}), 0);
    upg_context *ctx = upg_context_new();
    ASSERT_NE(ctx, nullptr);
    kelupg_set_transfer_timeout_ctx(ctx, 300);
    const uint8_t path[UPG_PORT_PATH_LEN] = {1, 4};
    upg_device *d = upg_usb_dev_open_ctx(ctx, 1, path);
    ASSERT_NE(d, nullptr) << dump();
    EXPECT_EQ(upg_dev_context(d), ctx);
    EXPECT_EQ(kelupg_get_transfer_timeout(), UPG_DEFAULT_TRANSFER_TIMEOUT_MS);
    EXPECT_EQ(libkelupg_initialized(), 0) << "the default context was not needed";

    const struct {
        const char *what;
        std::function<void()> arrange;
        int code;
        const char *text;
    } cases[] = {
        {"answered", [] {}, UPG_ERR_NONE, ""},
        {"refused", [&] { board.failCommand(KELUPG_CMD_SET_UPG_CFG); }, UPG_ERR_REFUSED,
         "RESP status is not ok."},
        {"garbled",
         [&] {
             board.clearCommandFailure(KELUPG_CMD_SET_UPG_CFG);
             board.corruptCsw(1);
         },
         UPG_ERR_BAD_REPLY, "CSW is not matched"},
        {"silent", [&] { board.setMute(true); }, UPG_ERR_TIMEOUT, "(-7)"},
        {"gone",
         [&] {
             board.setMute(false);
             board.vanish();
         },
         UPG_ERR_TRANSFER, ""},
    };
    upg_cfg cfg{};
    for (const auto &c : cases) {
        c.arrange();
        g_errors.clear();
        EXPECT_EQ(kelupg_cmd_set_upg_cfg(d, &cfg) == 0, c.code == UPG_ERR_NONE) << c.what;
        EXPECT_EQ(upg_dev_last_error(d), c.code) << c.what << ": " << upg_dev_error_text(d);
        const std::string text = upg_dev_error_text(d);
        EXPECT_NE(text.find(c.text), std::string::npos) << c.what << ": " << text;
        if (c.code != UPG_ERR_NONE)
            EXPECT_TRUE(logged(text)) << c.what << ": the text is the log line's\n" << dump();
        else
            EXPECT_EQ(text, "");
    }
    upg_usb_dev_close(d);
    upg_context_free(ctx);
}

}  // namespace

// Two boards driven at once keep their own protocol state: a U-Boot board's
// large packets, one board's meta record and tags do not leak to the other,
// and each board's own thread drives it.
TEST_F(UsbDevices, BoardsKeepTheirOwnProtocolState) {
    kelsim::BoardConfig uboot;
    uboot.initialStage = kelsim::Stage::UBoot;
    kelsim::Board &brom = newBoard();
    kelsim::Board &big = newBoard(uboot);
    ASSERT_GE(sim_->attach(brom, 1, {4}), 0);
    ASSERT_GE(sim_->attach(big, 1, {5}), 0);
    ASSERT_EQ(libkelupg_init(), 0);
    upg_device *a = open(1, {4});
    upg_device *b = open(1, {5});
    ASSERT_TRUE(a && b) << dump();

    bool largeA = true, largeB = false;
    std::thread ta([&] { EXPECT_EQ(kelupg_probe_packet_size(a, &largeA), 0); });
    std::thread tb([&] { EXPECT_EQ(kelupg_probe_packet_size(b, &largeB), 0); });
    ta.join();
    tb.join();
    EXPECT_FALSE(largeA);
    EXPECT_TRUE(largeB);
    EXPECT_EQ(upg_dev_get_max_transfer_size(a), UPG_PKT_SIZE_SMALL);
    EXPECT_EQ(upg_dev_get_max_transfer_size(b), UPG_PKT_SIZE_LARGE);

    const uint32_t tagA = upg_dev_get_tag(a);
    const uint32_t tagB = upg_dev_get_tag(b);
    uint8_t meta[UPG_FWC_META_SIZE] = {0};
    ASSERT_EQ(kelupg_cmd_set_fwc_meta(b, meta), 0) << dump();
    EXPECT_TRUE(upg_dev_fwc_meta_sent(b));
    EXPECT_FALSE(upg_dev_fwc_meta_sent(a));
    uint32_t crc = 0;
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(a, &crc), -4);
    EXPECT_EQ(upg_dev_get_tag(a), tagA);
    EXPECT_GT(upg_dev_get_tag(b), tagB);
}
