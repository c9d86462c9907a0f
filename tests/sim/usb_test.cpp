// The simulated board on the emulated USB bus, driven with plain libusb calls.
#include "sim_host.h"
#include "usb_board.h"
#include "usb_link.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace kelsim;
using simtest::Host;

namespace {

constexpr uint16_t kVid = 0x33C3, kPid = 0x6677;

class UsbSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UsbBoardSim::available())
            GTEST_SKIP() << "needs umockdev-wrapper";
        sim = std::make_unique<UsbBoardSim>();
    }
    void TearDown() override {
        closeHandle();
        if (ctx)
            libusb_exit(ctx);
        ctx = nullptr;
        sim.reset();
    }
    void init() { ASSERT_EQ(libusb_init(&ctx), 0); }
    void closeHandle() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        h = nullptr;
    }

    // Finds the upgrade device at bus/path in the current device list.
    libusb_device *find(int bus, std::vector<uint8_t> path, int *addr = nullptr) {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        libusb_device *found = nullptr;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor dd;
            libusb_get_device_descriptor(list[i], &dd);
            if (dd.idVendor != kVid || dd.idProduct != kPid)
                continue;
            uint8_t ports[7] = {};
            int np = libusb_get_port_numbers(list[i], ports, 7);
            if (libusb_get_bus_number(list[i]) == bus && np == int(path.size()) &&
                std::equal(path.begin(), path.end(), ports)) {
                found = libusb_ref_device(list[i]);
                if (addr)
                    *addr = libusb_get_device_address(list[i]);
            }
        }
        if (n >= 0)
            libusb_free_device_list(list, 1);
        return found;
    }

    // Waits until the device at bus/path is listed (or not) by libusb.
    bool waitListed(int bus, std::vector<uint8_t> path, bool want, int *addr = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            timeval tv{0, 20000};
            libusb_handle_events_timeout(ctx, &tv);
            libusb_device *d = find(bus, path, addr);
            bool listed = d != nullptr;
            if (d)
                libusb_unref_device(d);
            if (listed == want)
                return true;
        }
        return false;
    }

    Host hostFor(libusb_device_handle *handle, unsigned timeoutMs = 2000) {
        Host host;
        host.out = [handle, timeoutMs](const std::vector<uint8_t> &d) {
            int moved = 0;
            int r = libusb_bulk_transfer(handle, 0x01, const_cast<uint8_t *>(d.data()),
                                         int(d.size()), &moved, timeoutMs);
            return r == 0 && moved == int(d.size());
        };
        host.in = [handle, timeoutMs](size_t n) {
            std::vector<uint8_t> b(n);
            int moved = 0;
            int r = libusb_bulk_transfer(handle, 0x81, b.data(), int(n), &moved, timeoutMs);
            b.resize(r == 0 ? size_t(moved) : 0);
            return b;
        };
        return host;
    }

    std::unique_ptr<UsbBoardSim> sim;
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
};

TEST_F(UsbSimTest, OpenByIdsAndRoundTrip) {
    Board board;
    int id = sim->attach(board, 1, {1, 4});
    ASSERT_GE(id, 0);
    init();
    h = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);

    libusb_config_descriptor *cfg = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(h), &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 1);
    const auto &alt = cfg->interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, 2);
    libusb_free_config_descriptor(cfg);

    // One CBW, a 16-byte command, the CSW with the CBW's tag.
    auto c = simtest::cbw(0x1234, 16, true);
    int moved = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x01, c.data(), 31, &moved, 2000), 0);
    EXPECT_EQ(moved, 31);
    auto hdr = simtest::header(0x00, 0);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x01, hdr.data(), 16, &moved, 2000), 0);
    uint8_t csw[13];
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, csw, 13, &moved, 2000), 0);
    ASSERT_EQ(moved, 13);
    EXPECT_EQ(std::memcmp(csw, "USBS", 4), 0);
    EXPECT_EQ(simtest::get32(csw + 4), 0x1234u);

    // Then the hardware information through receive packets.
    Host host = hostFor(h);
    host.tag = 0x1235;
    uint32_t len = 0;
    ASSERT_EQ(host.response(&len), 0);
    ASSERT_EQ(len, 108u);
    bool ok = false;
    auto info = host.recv(108, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(info[40], 0);  // boot ROM
    EXPECT_EQ(board.commandLog(), std::vector<uint8_t>{0x00});
}

TEST_F(UsbSimTest, BehindHubWithManyOtherDevices) {
    Board board;
    EXPECT_EQ(sim->addDummyDevices(20), 20);
    ASSERT_GE(sim->attach(board, 1, {1, 3}), 0);
    init();
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    // root hub, hub 1-1, 20 dummies, the board
    EXPECT_EQ(n, 23);
    libusb_free_device_list(list, 1);
    libusb_device *dev = find(1, {1, 3});
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(find(1, {1, 4}), nullptr);
    ASSERT_EQ(libusb_open(dev, &h), 0);
    libusb_unref_device(dev);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    Host host = hostFor(h);
    uint32_t bs = 0;
    ASSERT_TRUE(host.value(0x11, &bs));
    EXPECT_EQ(bs, 512u);
}

TEST_F(UsbSimTest, HeldInterfaceCannotBeClaimedAgain) {
    Board board;
    ASSERT_GE(sim->attach(board), 0);
    init();
    h = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    libusb_device_handle *h2 = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(libusb_claim_interface(h2, 0), LIBUSB_ERROR_BUSY);
    libusb_close(h2);
    // Released: the next one gets it.
    ASSERT_EQ(libusb_release_interface(h, 0), 0);
    h2 = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(libusb_claim_interface(h2, 0), 0);
    libusb_release_interface(h2, 0);
    libusb_close(h2);
}

TEST_F(UsbSimTest, RunComponentLeavesAndComesBackInUboot) {
    BoardConfig cfg;
    cfg.runAwayMs = 200;
    Board board(cfg);
    int id = sim->attach(board, 1, {1, 4});
    init();
    int addr1 = 0;
    ASSERT_TRUE(waitListed(1, {1, 4}, true, &addr1));
    libusb_device *dev = find(1, {1, 4});
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(libusb_open(dev, &h), 0);
    libusb_unref_device(dev);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    Host host = hostFor(h);
    std::vector<uint8_t> spl(3000, 0x5A);
    EXPECT_EQ(host.burn("image.updater.spl", "", spl, 512, "run"), 0);

    EXPECT_TRUE(sim->waitPresent(id, false, 5000));
    // The old handle is dead.
    uint32_t v = 0;
    EXPECT_FALSE(host.value(0x11, &v));
    closeHandle();

    int addr2 = 0;
    ASSERT_TRUE(waitListed(1, {1, 4}, true, &addr2));
    EXPECT_NE(addr1, addr2);
    EXPECT_EQ(sim->appearances(id), 2);
    dev = find(1, {1, 4});
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(libusb_open(dev, &h), 0);
    libusb_unref_device(dev);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    Host host2 = hostFor(h);
    host2.maxPacket = 65536;
    uint32_t len = 0;
    ASSERT_TRUE(host2.send(simtest::header(0x00, 0)));
    ASSERT_EQ(host2.response(&len), 0);
    bool ok = false;
    auto info = host2.recv(len, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(info[40], 1);  // U-Boot
    EXPECT_EQ(board.partition("image.updater.spl"), spl);
}

TEST_F(UsbSimTest, VanishEndsPendingTransfersWithNoDevice) {
    Board board;
    int id = sim->attach(board);
    init();
    h = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);

    // An IN transfer waits (the board has nothing to say), then the board dies.
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        board.vanish();
    });
    uint8_t buf[13];
    int moved = 0;
    int r = libusb_bulk_transfer(h, 0x81, buf, 13, &moved, 10000);
    killer.join();
    EXPECT_EQ(r, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(sim->present(id));
    // Later transfers fail the same way.
    auto c = simtest::cbw(1, 16, true);
    r = libusb_bulk_transfer(h, 0x01, c.data(), 31, &moved, 2000);
    EXPECT_EQ(r, LIBUSB_ERROR_NO_DEVICE);
    closeHandle();
    EXPECT_TRUE(waitListed(1, {1, 4}, false));
}

TEST_F(UsbSimTest, MuteBoardTimesOut) {
    Board board;
    sim->attach(board);
    init();
    h = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    board.setMute(true);
    Host host = hostFor(h, 300);
    EXPECT_FALSE(host.send(simtest::header(0x00, 0)));
    // Un-muted, the board drops the answer nobody read and serves the next
    // packet normally.
    board.setMute(false);
    uint32_t bs = 0;
    EXPECT_TRUE(host.value(0x11, &bs));
    EXPECT_EQ(bs, 512u);
    EXPECT_EQ(board.stats().staleAnswersDropped, 1u);
}

TEST_F(UsbSimTest, TwoBoardsAndABoardDestroyedWhileAttached) {
    auto first = std::make_unique<Board>();
    Board second;
    int id1 = sim->attach(*first, 1, {1, 4});
    int id2 = sim->attach(second, 2, {3, 1, 2});
    ASSERT_GE(id1, 0);
    ASSERT_GE(id2, 0);
    EXPECT_EQ(sim->attach(second, 1, {1, 4}), -1);  // place taken
    EXPECT_EQ(sim->attach(second, 1, {1, 0}), -1);  // no port 0
    init();
    ASSERT_TRUE(waitListed(1, {1, 4}, true));
    ASSERT_TRUE(waitListed(2, {3, 1, 2}, true));
    // The board goes away before the simulator: it leaves the bus by itself.
    first.reset();
    EXPECT_FALSE(sim->present(id1));
    EXPECT_TRUE(waitListed(1, {1, 4}, false));
    libusb_device *dev = find(2, {3, 1, 2});
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(libusb_open(dev, &h), 0);
    libusb_unref_device(dev);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    Host host = hostFor(h);
    uint32_t bs = 0;
    EXPECT_TRUE(host.value(0x11, &bs));
}

TEST_F(UsbSimTest, ChildProcessSeesTheBoard) {
    Board board;
    sim->attach(board, 1, {1, 2});
    // lsusb is not guaranteed; a forked child doing plain libusb is enough.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        libusb_context *c = nullptr;
        if (libusb_init(&c) != 0)
            _exit(2);
        libusb_device_handle *hh = libusb_open_device_with_vid_pid(c, kVid, kPid);
        int rc = 3;
        if (hh && libusb_claim_interface(hh, 0) == 0) {
            auto cb = simtest::cbw(7, 16, true);
            auto hd = simtest::header(0x11, 0);
            uint8_t csw[13];
            int m = 0;
            if (libusb_bulk_transfer(hh, 0x01, cb.data(), 31, &m, 2000) == 0 &&
                libusb_bulk_transfer(hh, 0x01, hd.data(), 16, &m, 2000) == 0 &&
                libusb_bulk_transfer(hh, 0x81, csw, 13, &m, 2000) == 0 && m == 13 &&
                simtest::get32(csw + 4) == 7)
                rc = 0;
            libusb_release_interface(hh, 0);
        }
        if (hh)
            libusb_close(hh);
        libusb_exit(c);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(board.commandLog(), std::vector<uint8_t>{0x11});
}

}  // namespace

// The link model's arithmetic, and a paced board: a component's data phases
// take at least what the link can carry (never checked from above: the
// machine may be slower than the link).
TEST_F(UsbSimTest, PacedLinkTakesAtLeastTheModelsTime) {
    using std::chrono::microseconds;
    const UsbLinkModel hs = UsbLinkModel::highSpeed();
    EXPECT_EQ(hs.bytesPerSecond, 53248000.0);
    const struct {
        size_t bytes;
        long long ns;
    } times[] = {{0, 125000}, {13, 125000}, {6656, 125000}, {6657, 134615}, {65536, 1230769}};
    for (const auto &t : times)
        EXPECT_NEAR(double(hs.transferTime(t.bytes).count()), double(t.ns), 1.0) << t.bytes;
    EXPECT_EQ(UsbLinkModel{}.transferTime(65536).count(), 0);

    const double rate = 4e6;
    sim->setLink(UsbLinkModel{rate});
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    Board board(cfg);
    ASSERT_GE(sim->attach(board, 1, {1, 4}), 0);
    init();
    h = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    Host host = hostFor(h);
    host.maxPacket = 65536;
    std::vector<uint8_t> data(4 * 65536);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + (i >> 12));
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(host.burn("image.target.rootfs", "rootfs", data, 4096), 0);
    const auto took = std::chrono::steady_clock::now() - begun;
    // Four 64 KiB data phases at 4 MB/s, each with a command and a status of
    // one microframe: the rest of the conversation only adds to it.
    const auto least = microseconds(4 * (65536 * 1000000LL / 4000000 + 2 * 125));
    EXPECT_GE(took, least);
    EXPECT_EQ(board.partition("rootfs"), data);
}
