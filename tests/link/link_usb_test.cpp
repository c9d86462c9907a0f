// The USB link and the burn steps against the simulated board on an emulated
// USB bus.
#include <QSignalSpy>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

#include "board.h"
#include "devinfothread.h"
#include "kellinkerusb.h"
#include "libkelupg.h"
#include "link_test_util.h"
#include "msg_capture.h"
#include "upg_driver.h"
#include "usb_board.h"

using kelsim::Board;
using kelsim::BoardConfig;
using kelsim::Stage;
using Log = std::vector<uint8_t>;

namespace {

const QString kDevId = QStringLiteral("1:2-3");

class UsbLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kelsim::UsbBoardSim::available()) << "run under umockdev-wrapper";
        sim = std::make_unique<kelsim::UsbBoardSim>();
    }

    void TearDown() override {
        link.reset();
        libkelupg_exit();
        sim.reset();
        board.reset();
        kelupg_set_transfer_timeout(UPG_DEFAULT_TRANSFER_TIMEOUT_MS);
        upg_driver_set_rescan(10, 2000);
    }

    void attach(BoardConfig cfg = {}) {
        board = std::make_unique<Board>(cfg);
        id = sim->attach(*board, 1, {2, 3});
        ASSERT_GE(id, 0);
        ASSERT_TRUE(sim->waitPresent(id, true, 5000));
        link = std::make_unique<KelLinkerUSB>();
    }

    // Query and open, then forget what that cost on the wire.
    void linkUp() {
        ASSERT_TRUE(link->fetchDeviceInfo(kDevId, false));
        ASSERT_TRUE(link->link());
        board->clearCommandLog();
    }

    std::unique_ptr<Board> board;
    std::unique_ptr<kelsim::UsbBoardSim> sim;
    std::unique_ptr<KelLinkerUSB> link;
    int id = -1;
};

}  // namespace

TEST_F(UsbLinkTest, BurnStepsGoOnTheWireInOrder) {
    attach();
    linkUp();
    MsgCapture msgs;
    EXPECT_EQ(link->blockSize(), 0);

    const auto data = patternData(10000);
    const FwcMeta meta = makeMeta("u-boot.bin", "boot", uint32_t(data.size()), "burn");
    uint32_t results[3] = {0xAAAA, 0xBBBB, 0xCCCC};
    ASSERT_TRUE(burnComponent(*link, meta, data, results)) << msgs.all().toStdString();

    EXPECT_EQ(board->commandLog(), (Log{0x10, 0x11, 0x12, 0x13, 0x14}));
    EXPECT_EQ(link->blockSize(), 512);
    EXPECT_EQ(board->partition("boot"), data);
    const auto comps = board->components();
    ASSERT_EQ(comps.size(), 1u);
    EXPECT_TRUE(comps[0].complete);
    EXPECT_EQ(comps[0].attributes, "burn");
    EXPECT_EQ(results[0], comps[0].crc);
    EXPECT_EQ(results[1], 0u);
    EXPECT_EQ(results[2], 0xCCCCu) << "the run result is never asked";
    EXPECT_FALSE(msgs.contains("Dev"));
}

TEST_F(UsbLinkTest, BurnAloneReadsCrcAndBurnResultOnly) {
    attach();
    linkUp();
    board->setBurnResult(0x5A);
    board->setRunResult(0x77);
    const auto data = patternData(700);
    uint32_t results[3] = {1, 2, 3};
    ASSERT_TRUE(burnComponent(*link, makeMeta("env", "env", 700, "burn"), data, results));
    EXPECT_EQ(results[1], 0x5Au);
    EXPECT_EQ(results[2], 3u);

    // Without "burn" only the checksum is asked.
    board->clearCommandLog();
    uint32_t plain[3] = {1, 2, 3};
    ASSERT_TRUE(burnComponent(*link, makeMeta("cfg", "cfg", 700, ""), data, plain));
    EXPECT_EQ(board->commandLog(), (Log{0x10, 0x11, 0x12, 0x13}));
    EXPECT_EQ(plain[1], 2u);
}

TEST_F(UsbLinkTest, RunComponentSendsFinalOnlyAndLeavesTripleAlone) {
    BoardConfig cfg;
    cfg.runAwayMs = 200;
    attach(cfg);
    linkUp();
    link->setReconnectTiming(10000, 50);
    MsgCapture msgs;

    const auto data = patternData(4096);
    uint32_t results[3] = {11, 22, 33};
    // Both words present: run wins, nothing is read back.
    ASSERT_TRUE(burnComponent(*link, makeMeta("spl", "spl", 4096, "burn,run"), data, results));
    EXPECT_EQ(board->commandLog(), (Log{0x10, 0x11, 0x12}));
    EXPECT_EQ(results[0], 11u);
    EXPECT_EQ(results[1], 22u);
    EXPECT_EQ(results[2], 33u);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Don't check the result of spl"));

    // The board left for U-Boot; the link finds it again.
    ASSERT_TRUE(link->waitReconnect()) << msgs.all().toStdString();
    EXPECT_TRUE(msgs.contains("Wait for Dev 1:2-3 ready"));
    EXPECT_EQ(board->stage(), Stage::UBoot);
    EXPECT_TRUE(link->isLargePacket());

    // "Running" is a run word too.
    board->clearCommandLog();
    ASSERT_TRUE(burnComponent(*link, makeMeta("kernel", "kernel", 4096, "Running"), data, results));
    EXPECT_EQ(board->commandLog(), (Log{0x10, 0x11, 0x12}));
    EXPECT_EQ(results[0], 11u);
    EXPECT_EQ(link->blockSize(), 4096);
}

TEST_F(UsbLinkTest, ZeroBlockSizeStopsBeforeTheTransfer) {
    attach();
    linkUp();
    board->setZeroBlockSize(true);
    MsgCapture msgs;
    EXPECT_FALSE(link->sendMetaHead(makeMeta("spl", "spl", 100, "burn")));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Dev 1:2-3 Failed to get block size!"));
    EXPECT_EQ(board->commandLog(), (Log{0x10, 0x11}));
    EXPECT_EQ(link->blockSize(), 0);
}

TEST_F(UsbLinkTest, FailedStepsNameTheLink) {
    attach();
    linkUp();
    MsgCapture msgs;
    EXPECT_FALSE(link->failure());
    board->failCommand(0x10);
    EXPECT_FALSE(link->sendMetaHead(makeMeta("spl", "spl", 100, "burn")));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Dev 1:2-3 Failed to send meta head!"));
    // The same failure as a value: what the board did, in the link's words.
    EXPECT_EQ(link->failure().code(), Failure::BoardRefused);
    EXPECT_EQ(link->failure().message(), link->errorText());
    EXPECT_TRUE(link->failure().message().startsWith("Dev 1:2-3 Failed to send meta head!"));

    // A transfer the device refuses at the end.
    board->clearFaults();
    board->failCommand(0x12);
    const auto data = patternData(100);
    uint32_t results[3] = {};
    EXPECT_FALSE(burnComponent(*link, makeMeta("spl", "spl", 100, "burn"), data, results));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Dev 1:2-3 Failed to send meta end!"));

    // The device leaves in the middle of the data.
    board->clearFaults();
    ASSERT_TRUE(link->sendMetaHead(makeMeta("big", "big", 200000, "burn")));
    board->vanish();
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    const auto big = patternData(65536);
    EXPECT_FALSE(link->sendData(reinterpret_cast<const char *>(big.data()), int(big.size())));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Dev 1:2-3 Failed to send data 65536"));
    EXPECT_NE(link->lastError(), 0);
    EXPECT_EQ(link->failure().code(), Failure::LinkLost);
    link->clearError();
    EXPECT_FALSE(link->failure());
}

TEST_F(UsbLinkTest, ResetDevice) {
    attach();
    linkUp();
    EXPECT_TRUE(link->resetDevice());
    EXPECT_EQ(board->cmdlines(), (std::vector<std::string>{"reset"}));
    link->unlink();
    // It reboots: off the bus, then back.
    EXPECT_TRUE(sim->waitPresent(id, false, 5000));
    ASSERT_TRUE(sim->waitPresent(id, true, 5000));
    EXPECT_EQ(sim->appearances(id), 2);

    // A device that has already gone is still "reset".
    ASSERT_TRUE(link->link());
    board->vanish();
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    EXPECT_TRUE(link->resetDevice());
}

TEST_F(UsbLinkTest, WaitReconnectHonoursItsDeadline) {
    attach();
    linkUp();
    // The board comes back well inside the deadline (the full 10 s; the
    // wait ends as soon as it is there) ...
    link->setReconnectTiming(10000, 20);
    EXPECT_EQ(link->reconnectDeadline(), 10000);
    MsgCapture msgs;
    board->vanish(800);
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    EXPECT_TRUE(link->waitReconnect()) << msgs.all().toStdString();
    EXPECT_TRUE(link->isLinked());
    EXPECT_FALSE(msgs.contains("lost!"));

    // ... and one that stays away far longer than a (shortened) deadline is
    // lost. The margins are seconds wide so that a loaded machine cannot
    // turn either outcome around.
    link->setReconnectTiming(1000, 20);
    board->vanish(6000);
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    EXPECT_FALSE(link->waitReconnect());
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Dev 1:2-3 lost!"));
    EXPECT_FALSE(link->isLinked());
    EXPECT_EQ(link->failure().code(), Failure::LinkNotReturned);
}

TEST_F(UsbLinkTest, InformationTextInTheBootRom) {
    BoardConfig cfg;
    cfg.securityFlags = 0x05;
    cfg.bootDevice1 = 3;
    cfg.bootDevice2 = 9;
    attach(cfg);
    MsgCapture msgs;
    ASSERT_TRUE(link->fetchDeviceInfo(kDevId, true));
    EXPECT_EQ(link->deviceInfo(), QStringLiteral("USB设备：1:2-3\n启动阶段：BROM\n安全启动：是\n"
                                                 "Boot加密：否\n防回滚：是"));
    EXPECT_EQ(link->name(), kDevId);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Boot device1: 3 Boot device2: 9"));
    // The boot ROM is neither switched nor asked for media; the query's
    // handle is closed again.
    EXPECT_EQ(board->commandLog(), (Log{0x00}));
    EXPECT_FALSE(link->isLinked());
    EXPECT_TRUE(link->link());

    // A query that fails leaves no text that could pass for the next board's.
    link->unlink();
    sim->detach(id);
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    EXPECT_FALSE(link->fetchDeviceInfo(kDevId, false));
    EXPECT_EQ(link->deviceInfo(), QString());
}

TEST_F(UsbLinkTest, InformationTextInUBootWithMedia) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    cfg.securityFlags = 0x02;
    attach(cfg);
    MsgCapture msgs;
    ASSERT_TRUE(link->fetchDeviceInfo(kDevId, false));
    EXPECT_EQ(link->deviceInfo(),
              QStringLiteral("USB设备：1:2-3\n启动阶段：U-Boot\n安全启动：否\nBoot加密：是\n"
                             "防回滚：否\n存储介质：emmc0 sd1 "));
    EXPECT_EQ(board->commandLog(), (Log{0x00, 0x16}));
    EXPECT_TRUE(board->workModes().empty());

    // Asked to switch first: mode 4 goes out before the media question.
    board->clearCommandLog();
    ASSERT_TRUE(link->fetchDeviceInfo(kDevId, true));
    EXPECT_EQ(board->commandLog(), (Log{0x00, 0x0A, 0x16}));
    EXPECT_EQ(board->workModes(), (std::vector<uint32_t>{4}));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Set upg work mode: 4"));
}

TEST_F(UsbLinkTest, MediaFailureDoesNotFailTheQuery) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    board->setStorageMedia({});
    upg_driver_set_rescan(2, 20);
    MsgCapture msgs;
    ASSERT_TRUE(link->fetchDeviceInfo(kDevId, false));
    EXPECT_TRUE(link->deviceInfo().endsWith(QStringLiteral("防回滚：否")));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Failed to get storage media"));
}

TEST_F(UsbLinkTest, MuteDeviceGivesTheZeroedRecord) {
    attach();
    board->setMute(true);
    kelupg_set_transfer_timeout(150);
    link->setInfoTiming(600, 100);
    MsgCapture msgs;
    ASSERT_TRUE(link->fetchDeviceInfo(kDevId, false));
    EXPECT_EQ(link->deviceInfo(), QStringLiteral("USB设备：1:2-3\n启动阶段：BROM\n安全启动：否\n"
                                                 "Boot加密：否\n防回滚：否"));
    EXPECT_GE(msgs.count("Get Usb device hd info failed!"), 1);
    EXPECT_GE(msgs.count("Try to get Usb device hd info..."), 1);
}

TEST_F(UsbLinkTest, WorkModeNeedsADevice) {
    attach();
    EXPECT_FALSE(link->setWorkMode(1));
    linkUp();
    EXPECT_TRUE(link->setWorkMode(1));
    board->failCommand(0x0A);
    MsgCapture msgs;
    EXPECT_FALSE(link->setWorkMode(0));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Set upg work mode 0 failed: -1"));
    EXPECT_EQ(board->workModes().front(), 1u);
}

TEST_F(UsbLinkTest, ListsUpgradeDevices) {
    MsgCapture msgs;
    KelLinkerUSB empty;
    EXPECT_TRUE(empty.listDevices().isEmpty());
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "No device available"));
    libkelupg_exit();

    attach();
    Board second;
    const int id2 = sim->attach(second, 2, {1, 4, 2});
    ASSERT_GE(id2, 0);
    ASSERT_TRUE(sim->waitPresent(id2, true, 5000));
    sim->addDummyDevices(3);
    QStringList devs = link->listDevices();
    devs.sort();
    EXPECT_EQ(devs, (QStringList{"1:2-3", "2:1-4-2"}));
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "There are 2 device available"));
    sim->detach(id2);
}

TEST_F(UsbLinkTest, DevInfoThreadRunsTheQuery) {
    attach();
    DevInfoThread thread(link.get(), kDevId, 0);
    QSignalSpy spy(&thread, &DevInfoThread::linkFinished);
    thread.start();
    ASSERT_TRUE(thread.wait(30000));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toBool());
    EXPECT_TRUE(link->deviceInfo().startsWith(QStringLiteral("USB设备：1:2-3")));
}
