// The burn worker against the simulated board on an emulated USB bus.
#include <QDir>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "board.h"
#include "burn_util.h"
#include "kellinkerusb.h"
#include "kellogger.h"
#include "libkelupg.h"
#include "msg_capture.h"
#include "private_adb.h"
#include "upg_log.h"
#include "usb_board.h"

using kelsim::Board;
using kelsim::BoardConfig;
using kelsim::Stage;

namespace {

const QString kDevId = QStringLiteral("1:2-3");

// A link whose transfers end with the given libusb code, to stand for the
// I/O and pipe errors that a real cable produces and the emulated bus cannot.
class ErrorCodeLink : public KelLinkerUSB {
public:
    int forced = 0;
    int lastError() const override { return forced ? forced : KelLinkerUSB::lastError(); }
};

class BurnUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kelsim::UsbBoardSim::available()) << "run under umockdev-wrapper";
        sim = std::make_unique<kelsim::UsbBoardSim>();
        imagePath = QDir::current().absoluteFilePath(QStringLiteral("test.img"));
    }
    void TearDown() override {
        link.reset();
        libkelupg_exit();
        sim.reset();
        board.reset();
    }

    void attach(BoardConfig cfg = {}, bool query = true) {
        board = std::make_unique<Board>(cfg);
        id = sim->attach(*board, 1, {2, 3});
        ASSERT_GE(id, 0);
        ASSERT_TRUE(sim->waitPresent(id, true, 5000));
        link = std::make_unique<ErrorCodeLink>();
        if (query) {
            ASSERT_TRUE(link->fetchDeviceInfo(kDevId, false));
            board->clearCommandLog();
        }
    }

    std::map<std::string, std::vector<uint8_t>> image(
        const std::vector<SampleComponent> &c,
        const std::string &parts = "1m(spl),1m(boot),-(rootfs)") {
        return writeAndLoadImage(imagePath, c, &img, parts);
    }

    // A whole job with nothing but the record watching it; false when it hung.
    bool burn(JobRecord &rec, bool reboot) {
        BurnThread w(img.get(), link.get(), false, reboot, 0);
        rec.attach(w);
        return runJob(w);
    }

    std::unique_ptr<Board> board;
    std::unique_ptr<kelsim::UsbBoardSim> sim;
    std::unique_ptr<ErrorCodeLink> link;
    std::unique_ptr<ImageFile> img;
    QString imagePath;
    int id = -1;
};

const std::vector<SampleComponent> kFullImage = {
    {"spl", "spl", "run", 48 * 1024},
    {"uboot", "boot", "burn", 300 * 1024 + 17},
    {"image.target.kernel", "kernel", "burn", 2 * 1024 * 1024 + 5000},
    {"image.target.rootfs", "rootfs", "burn", 1024 * 1024},
};

}  // namespace

TEST_F(BurnUsb, WholeImageFromBootRomThroughUbootToReboot) {
    BoardConfig cfg;
    cfg.runAwayMs = 300;
    attach(cfg);
    auto want = image(kFullImage);
    MsgCapture msgs;
    JobRecord rec;
    ASSERT_TRUE(burn(rec, true));
    EXPECT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
    EXPECT_EQ(rec.failed, 0);
    EXPECT_EQ(rec.started, 1);
    EXPECT_EQ(rec.uboot, 1);
    // The board went away after the boot loader and came back in U-Boot before
    // the next component; without a selection the work mode is 0.
    EXPECT_EQ(rec.events[0], "start 0");
    EXPECT_EQ(rec.events[5], "uboot");
    EXPECT_EQ(board->workModes(), (std::vector<uint32_t>{0}));
    EXPECT_EQ(board->cmdlines(), (std::vector<std::string>{"reset"}));
    EXPECT_EQ(board->storage(), want);
    for (const auto &c : board->components()) {
        EXPECT_TRUE(c.complete) << c.name;
        const bool early = c.name == "spl" || c.name == "image.updater.env";
        EXPECT_EQ(c.stage, early ? Stage::BootRom : Stage::UBoot) << c.name;
    }
    // Progress: every chunk, the rest padded to the stage's block size.
    quint64 padded = 0;
    for (const auto &c : board->components())
        padded += c.bytesReceived;
    EXPECT_EQ(quint64(rec.lastProgress()), padded);
    EXPECT_EQ(rec.progress.front(), 0);
    EXPECT_TRUE(std::is_sorted(rec.progress.begin(), rec.progress.end()));
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Burn online successfully!"));
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Reboot the device ..."));
    EXPECT_FALSE(link->isLinked()) << "the job ends unlinked";
}

// Where no udev daemon announces the board's return after the boot loader ran,
// the job still finds it in U-Boot at its new address.
TEST_F(BurnUsb, StageChangeWithoutUevents) {
    sim->setUevents(false);
    attach();
    auto want =
        image({{"spl", "spl", "run", 4096}, {"image.target.rootfs", "rootfs", "burn", 5000}});
    MsgCapture msgs;
    JobRecord rec;
    ASSERT_TRUE(burn(rec, true));
    ASSERT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
    EXPECT_EQ(rec.uboot, 1);
    EXPECT_EQ(board->storage(), want);
    EXPECT_GE(sim->appearances(id), 2) << "the board left the bus and came back";
}

TEST_F(BurnUsb, PartitionSelectionSkipsByFirstMatchingEntry) {
    BoardConfig cfg;
    cfg.runAwayMs = 200;
    attach(cfg);
    auto want = image({{"spl", "spl", "run", 4096},
                       {"image.target.boot", "boot", "burn", 5000},
                       {"image.target.rootfs", "rootfs", "burn", 7000},
                       {"image.updater.boot", "uboot", "burn", 3000},
                       {"image.info", "info", "burn", 100},
                       {"image.target.bootloader", "bl", "burn", 6000}});
    std::vector<PartitionSelection> sel = {selection("boot", false), selection("rootfs", true),
                                           selection("spl", true)};
    MsgCapture msgs;
    JobRecord rec;
    {
        BurnThread w(img.get(), link.get(), false, false, 0);
        w.setPartitions(sel.data(), quint32(sel.size()));
        rec.attach(w);
        ASSERT_TRUE(runJob(w));
    }
    ASSERT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
    auto stored = board->storage();
    EXPECT_EQ(stored.count("boot"), 0u) << "image.target.boot is skipped";
    EXPECT_EQ(stored.count("bl"), 0u) << "'boot' also matches image.target.bootloader";
    EXPECT_EQ(stored["rootfs"], want["rootfs"]);
    EXPECT_EQ(stored["uboot"], want["uboot"]) << "updater components are never skipped";
    EXPECT_EQ(stored["info"], want["info"]) << "no entry matches: burnt";
    EXPECT_EQ(stored["env"], want["env"]);
    EXPECT_EQ(board->workModes(), (std::vector<uint32_t>{1})) << "a selection asks work mode 1";
    EXPECT_EQ(rec.count("skip"), 2);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, " Meta image.target.boot doesn't need burn"));
    // Skipped components count with their full size.
    quint64 total = 0;
    for (const auto &c : board->components())
        total += c.bytesReceived;
    EXPECT_EQ(quint64(rec.lastProgress()), total + 5000 + 6000);
    // A count of 0 is refused and keeps what was there.
    BurnThread w2(img.get(), link.get(), false, false, 0);
    w2.setPartitions(sel.data(), 0);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Invalid partition number 0"));
}

TEST_F(BurnUsb, TargetComponentWhileStillInBootRomFails) {
    attach();
    image({{"image.target.rootfs", "rootfs", "burn", 1000}});
    MsgCapture msgs;
    JobRecord rec;
    ASSERT_TRUE(burn(rec, true));
    EXPECT_EQ(rec.failed, 1);
    EXPECT_EQ(rec.succeeded, 0);
    // retry_cnt 0 allows one resend, which fails the same way.
    EXPECT_EQ(msgs.count("The status of device 1:2-3 error"), 2);
    EXPECT_EQ(rec.count("retry"), 1);
    EXPECT_EQ(board->components().size(), 1u) << "only the environment reached the board";
    EXPECT_TRUE(board->cmdlines().empty()) << "no reboot after a failure";
}

// Each component fails once at its checksum query; the resends are counted over
// the whole job, not per component.
class RetryBudget : public BurnUsb, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(RetryBudget, CountsResendsOverTheWholeJob) {
    const int retryCnt = GetParam().first;
    const int failingComponents = GetParam().second;
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    std::vector<SampleComponent> comps;
    for (int i = 0; i < 4; ++i)
        comps.push_back({"image.target.p" + std::to_string(i), "p" + std::to_string(i), "burn",
                         size_t(3000 + i)});
    auto want = image(comps, "");
    MsgCapture msgs;
    JobRecord rec;
    {
        BurnThread w(img.get(), link.get(), false, false, retryCnt);
        rec.attach(w);
        Board *b = board.get();
        QObject::connect(&w, &BurnThread::componentStarted,
                         [b, failingComponents](int i, const QString &, quint32) {
                             if (i < failingComponents)
                                 b->failCommand(0x10);
                         });
        QObject::connect(&w, &BurnThread::componentRetry,
                         [b](int, const QString &, int) { b->clearCommandFailure(0x10); });
        ASSERT_TRUE(runJob(w));
    }
    const int allowed = retryCnt <= 0 ? 1 : retryCnt;
    if (failingComponents <= allowed) {
        EXPECT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
        EXPECT_EQ(board->storage(), want);
        EXPECT_EQ(rec.count("retry"), failingComponents);
    } else {
        EXPECT_EQ(rec.failed, 1);
        EXPECT_EQ(rec.count("retry"), allowed);
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Failed to send the meta information!"));
    }
    EXPECT_TRUE(msgs.contains(QtWarningMsg,
                              "Try to resend firmware component image.target.p0 , try count: 1"));
}

INSTANTIATE_TEST_SUITE_P(Budgets, RetryBudget,
                         ::testing::Values(std::make_pair(0, 1), std::make_pair(0, 2),
                                           std::make_pair(-2, 2), std::make_pair(3, 3),
                                           std::make_pair(3, 4)));

// The board leaves after its boot loader and after the reset because it was
// told to: the log says so once, and shows no error for it.
TEST_F(BurnUsb, ExpectedDeparturesAreNoErrors) {
    attach();
    image(kFullImage);
    upg_log_set_callback(libraryLogSink);
    MsgCapture msgs;
    JobRecord rec;
    ASSERT_TRUE(burn(rec, true));
    upg_log_set_callback(nullptr);
    EXPECT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
    EXPECT_TRUE(msgs.of(QtCriticalMsg).isEmpty()) << msgs.all().toStdString();
    EXPECT_EQ(msgs.count("has left the bus to start its next stage, as expected"), 1);
    EXPECT_TRUE(msgs.contains(QtInfoMsg, "Dev 1:2-3 was told to reset"));
}

TEST_F(BurnUsb, IoAndPipeErrorsEndTheJobWithoutResend) {
    for (int code : {-1, -9}) {
        BoardConfig cfg;
        cfg.initialStage = Stage::UBoot;
        attach(cfg);
        image({{"image.target.rootfs", "rootfs", "burn", 3000}}, "");
        link->forced = code;
        board->failCommand(0x10);
        JobRecord rec;
        {
            BurnThread w(img.get(), link.get(), false, false, 5);
            rec.attach(w);
            ASSERT_TRUE(runJob(w));
        }
        EXPECT_EQ(rec.failed, 1) << code;
        EXPECT_EQ(rec.count("retry"), 0) << code;
        link.reset();
        sim->detach(id);
    }
}

TEST_F(BurnUsb, StopBetweenComponentsEndsWithoutResult) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    image({{"image.target.a", "a", "burn", 3000}, {"image.target.b", "b", "burn", 3000}}, "");
    JobRecord rec;
    {
        BurnThread w(img.get(), link.get(), false, true, 0);
        rec.attach(w);
        QObject::connect(&w, &BurnThread::componentDone, [&w](int i, bool) {
            if (i == 0)
                w.stop();
        });
        ASSERT_TRUE(runJob(w));
    }
    EXPECT_EQ(rec.failed + rec.succeeded, 0);
    ASSERT_EQ(board->components().size(), 1u);
    EXPECT_EQ(board->components()[0].name, "image.target.a");
    EXPECT_TRUE(board->cmdlines().empty());
    EXPECT_FALSE(link->isLinked());
}

TEST_F(BurnUsb, StopInsideAComponentFailsItWithoutRetryTraffic) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    image({{"image.target.big", "big", "burn", 4 * 1024 * 1024}}, "");
    MsgCapture msgs;
    JobRecord rec;
    {
        BurnThread w(img.get(), link.get(), false, true, 2);
        rec.attach(w);
        QObject::connect(&w, &KelThread::threadIsRunning, [&w](qint64 p) {
            if (p > 0)
                w.stop();
        });
        ASSERT_TRUE(runJob(w));
    }
    // The first chunk went and the stop ended the job there: no resend, no
    // recovery query, no second meta head.
    EXPECT_EQ(rec.failed, 1);
    EXPECT_EQ(rec.count("retry"), 0);
    EXPECT_EQ(rec.lastProgress(), 1048576);
    EXPECT_TRUE(board->storage().empty());
    const std::vector<uint8_t> log = board->commandLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), KELUPG_CMD_SET_FWC_META), 1);
    EXPECT_FALSE(msgs.contains("Try to recovery the connection"));
}

// A component that runs may leave before it answers its final; an answer that
// arrives and reports a failure is a refusal all the same.
TEST_F(BurnUsb, RefusedRunComponentFailsTheJob) {
    attach();
    image({{"spl", "spl", "run", 48 * 1024}}, "");
    board->failCommand(KELUPG_CMD_SEND_FWC_DATA);
    MsgCapture msgs;
    JobRecord rec;
    ASSERT_TRUE(burn(rec, false));
    EXPECT_EQ(rec.succeeded, 0);
    EXPECT_EQ(rec.failed, 1);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Failed to send meta end!")) << msgs.all().toStdString();
}

TEST_F(BurnUsb, PauseHoldsAtTheFirstChunkUntilResumed) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    auto want = image({{"image.target.big", "big", "burn", 3 * 1024 * 1024}}, "");
    JobRecord rec;
    BurnThread w(img.get(), link.get(), false, false, 0);
    rec.attach(w);
    w.pause();
    w.start();
    QThread::msleep(600);
    EXPECT_TRUE(w.isRunning());
    EXPECT_EQ(rec.lastProgress(), 0) << "no chunk while paused";
    // A stop while paused changes nothing until the resume.
    w.resume();
    ASSERT_TRUE(w.wait(60000));
    EXPECT_EQ(rec.succeeded, 1);
    EXPECT_EQ(board->storage(), want);
}

TEST(BurnChunks, LargestMultipleOfTheBlockUpToOneMebibyte) {
    EXPECT_EQ(BurnThread::chunkSize(4096), 1048576u);
    EXPECT_EQ(BurnThread::chunkSize(512), 1048576u);
    EXPECT_EQ(BurnThread::chunkSize(3000), 1047000u);
    EXPECT_EQ(BurnThread::chunkSize(2 * 1024 * 1024), 2097152u);
    EXPECT_EQ(BurnThread::chunkSize(1048577), 1048577u);
    EXPECT_EQ(BurnThread::chunkSize(1), 1048576u);
    EXPECT_EQ(BurnThread::chunkSize(0), 0u);
    EXPECT_EQ(BurnThread::chunkSize(-4096), 0u);
    EXPECT_EQ(sizeof(PartitionSelection), 33u);
}

TEST(BurnFilter, NamesDecideByFirstEntry) {
    std::vector<PartitionSelection> sel = {selection("boot", false), selection("rootfs", true)};
    const auto *e = sel.data();
    EXPECT_FALSE(BurnThread::needsBurn("image.target.boot", e, 2));
    EXPECT_TRUE(BurnThread::needsBurn("image.target.rootfs", e, 2));
    EXPECT_TRUE(BurnThread::needsBurn("image.updater.boot", e, 2));
    EXPECT_TRUE(BurnThread::needsBurn("image.info", e, 2));
    EXPECT_FALSE(BurnThread::needsBurn("image.target.bootloader", e, 2));
    EXPECT_TRUE(BurnThread::needsBurn("image.target.boot", e, 0));
    EXPECT_TRUE(BurnThread::needsBurn("image.target.boot", nullptr, 2));
    // First match in array order wins.
    std::vector<PartitionSelection> order = {selection("rootfs", true), selection("root", false)};
    EXPECT_TRUE(BurnThread::needsBurn("image.target.rootfs", order.data(), 2));
    // An entry without a name matches nothing.
    std::vector<PartitionSelection> blank = {selection("", false)};
    EXPECT_TRUE(BurnThread::needsBurn("image.target.rootfs", blank.data(), 1));
}

// Block size 3000 in U-Boot: full chunks of 1047000 bytes, the rest padded to
// whole blocks; 2 MiB blocks: one chunk per block.
TEST_F(BurnUsb, ChunksFollowTheBoardsBlockSize) {
    for (uint32_t block : {3000u, 2097152u, 4096u}) {
        BoardConfig cfg;
        cfg.initialStage = Stage::UBoot;
        cfg.blockSizeUBoot = block;
        attach(cfg);
        auto want = image({{"image.target.a", "a", "burn", 2500000},
                           {"image.target.small", "s", "burn", 5000},
                           {"image.target.empty", "e", "burn", 0}},
                          "");
        MsgCapture msgs;
        JobRecord rec;
        {
            BurnThread w(img.get(), link.get(), false, false, 0);
            rec.attach(w);
            ASSERT_TRUE(runJob(w));
        }
        ASSERT_EQ(rec.succeeded, 1) << block << msgs.all().toStdString();
        EXPECT_EQ(board->partition("a"), want["a"]);
        EXPECT_EQ(board->partition("s"), want["s"]);
        const auto comps = board->components();
        ASSERT_EQ(comps.size(), 3u);
        EXPECT_TRUE(comps[2].complete)
            << "a component of size 0 still goes through meta head and end";
        EXPECT_EQ(comps[2].bytesReceived, 0u);
        const uint32_t chunk = BurnThread::chunkSize(int(block));
        std::vector<int> steps;
        for (size_t i = 1; i < rec.progress.size(); ++i)
            steps.push_back(rec.progress[i] - rec.progress[i - 1]);
        const uint32_t full = 2500000 / chunk;
        const uint32_t rest = 2500000 % chunk;
        std::vector<int> expect(full, int(chunk));
        if (rest)
            expect.push_back(int((rest + block - 1) / block * block));
        expect.push_back(int((5000 + block - 1) / block * block));  // 5000 padded (8192 at 4096)
        EXPECT_EQ(steps, expect) << block;
        if (block == 4096) {
            EXPECT_EQ(expect.back(), 8192);
            EXPECT_TRUE(msgs.contains(QtDebugMsg, "Send the rest data 8192"));
            EXPECT_TRUE(
                msgs.contains(QtDebugMsg, "Blocksize 4096 , chunk 1048576 * 0 , rest 5000"));
        }
        link.reset();
        sim->detach(id);
    }
}

// Faults on the wire: the job either stores exactly the image or fails; it
// never reports success otherwise and never hangs.
TEST_F(BurnUsb, FaultsNeverTurnIntoFalseSuccess) {
    struct Case {
        const char *what;
        std::function<void(Board &)> inject;
        bool mustFail;
    };
    const std::vector<Case> cases = {
        {"wrong CSW tag", [](Board &b) { b.corruptCsw(1, kelsim::CswFault::Tag); }, false},
        {"wrong CSW signature", [](Board &b) { b.corruptCsw(2); }, false},
        {"refused data start", [](Board &b) { b.failCommand(0x12); }, true},
        {"vanished for good", [](Board &b) { b.vanishAfterBytes(200000); }, true},
        {"late return", [](Board &b) { b.vanishAfterBytes(200000, 400, Stage::UBoot); }, false},
        {"zero block size", [](Board &b) { b.setZeroBlockSize(true); }, true},
    };
    for (const auto &c : cases) {
        BoardConfig cfg;
        cfg.initialStage = Stage::UBoot;
        attach(cfg);
        auto want = image(
            {{"image.target.a", "a", "burn", 1500000}, {"image.target.b", "b", "burn", 20000}}, "");
        link->setReconnectTiming(3000, 50);
        MsgCapture msgs;
        JobRecord rec;
        {
            BurnThread w(img.get(), link.get(), false, false, 2);
            rec.attach(w);
            // In the middle of the first component, once data flows.
            std::atomic<bool> injected{false};
            Board *b = board.get();
            QObject::connect(&w, &KelThread::threadIsRunning, [&, b](int p) {
                if (p > 0 && !injected.exchange(true))
                    c.inject(*b);
            });
            ASSERT_TRUE(runJob(w, 90000)) << c.what;
        }
        EXPECT_EQ(rec.failed + rec.succeeded, 1) << c.what;
        if (rec.succeeded) {
            EXPECT_FALSE(c.mustFail) << c.what << "\n" << msgs.all().toStdString();
            EXPECT_EQ(board->storage(), want) << c.what;
        } else {
            EXPECT_FALSE(msgs.all().isEmpty());
            const QString all = msgs.all();
            EXPECT_TRUE(all.contains("Failed to send the meta information!") ||
                        all.contains("The burnning process has error!") ||
                        all.contains("Connection recovery failed!") ||
                        all.contains("Failed to send") || all.contains("Device is disconnect!"))
                << c.what << "\n"
                << all.toStdString();
        }
        link.reset();
        libkelupg_exit();
        sim->detach(id);
    }
}

TEST_F(BurnUsb, DeviceThatNeverComesBackIsLost) {
    attach();
    image({{"spl", "spl", "run", 4096}, {"image.target.rootfs", "rootfs", "burn", 4096}});
    board->setRunAwayMs(600000);
    link->setReconnectTiming(1500, 50);
    MsgCapture msgs;
    JobRecord rec;
    ASSERT_TRUE(burn(rec, true));
    EXPECT_EQ(rec.failed, 1);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Dev 1:2-3 is completely lost!"));
    EXPECT_EQ(rec.uboot, 0);
}

TEST_F(BurnUsb, UnopenableDeviceAndMissingImage) {
    attach();
    image({{"spl", "spl", "run", 100}});
    {
        MsgCapture msgs;
        KelLinkerUSB never;  // knows no device: cannot be opened
        JobRecord rec;
        BurnThread w(img.get(), &never, false, true, 0);
        rec.attach(w);
        ASSERT_TRUE(runJob(w));
        EXPECT_EQ(rec.failed, 1);
        EXPECT_EQ(rec.started, 1);
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Failed to open Kelvora device"));
    }
    {
        ASSERT_TRUE(QFile::remove(imagePath));
        MsgCapture msgs;
        JobRecord rec;
        BurnThread w(img.get(), link.get(), false, true, 0);
        rec.attach(w);
        ASSERT_TRUE(runJob(w));
        EXPECT_EQ(rec.failed, 1);
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Failed to open image file " + imagePath));
        EXPECT_FALSE(link->isLinked());
    }
}

// An image cut short after its header was read is refused before the board
// is touched; one that is cut while the job runs fails at the missing bytes,
// without a resend that would read the same file again.
TEST_F(BurnUsb, ImageCutShortIsNeverBurnt) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    for (bool duringJob : {false, true}) {
        SCOPED_TRACE(duringJob ? "cut during the job" : "cut before the job");
        image({{"image.target.a", "a", "burn", 1500000}}, "");
        QFile f(imagePath);
        if (!duringJob) {
            ASSERT_TRUE(f.resize(f.size() - 300000));
        }
        board->clearCommandLog();
        MsgCapture msgs;
        JobRecord rec;
        {
            BurnThread w(img.get(), link.get(), false, false, 1);
            rec.attach(w);
            QObject::connect(&w, &BurnThread::componentStarted, [&] {
                if (duringJob)
                    f.resize(f.size() - 300000);
            });
            ASSERT_TRUE(runJob(w));
        }
        EXPECT_EQ(rec.failed, 1);
        EXPECT_EQ(rec.succeeded, 0);
        EXPECT_EQ(rec.count("retry"), 0);
        EXPECT_EQ(board->storage().count("a"), 0u);
        if (duringJob) {
            EXPECT_TRUE(msgs.contains(QtCriticalMsg, ": the image file ends early"))
                << msgs.all().toStdString();
        } else {
            EXPECT_TRUE(msgs.contains(QtCriticalMsg, "lies beyond the end of the image file"))
                << msgs.all().toStdString();
            EXPECT_TRUE(board->commandLog().empty());
        }
    }
}

// An adb command that ends (or never starts) without a word must not hold the
// job forever: it goes on to wait for the board and gives up.
TEST_F(BurnUsb, AdbCommandEndingSilentlyDoesNotHang) {
    PrivateAdb adb("#!/bin/sh\nexit 1\n");
    image({{"image.target.rootfs", "rootfs", "burn", 100}}, "");
    KelLinkerUSB usb;
    MsgCapture msgs;
    JobRecord rec;
    {
        BurnThread w(img.get(), &usb, true, false, 0, CheckThread::adbProgram());
        w.setAdbTiming(500, 50);
        rec.attach(w);
        ASSERT_TRUE(runJob(w, 30000));
    }
    EXPECT_EQ(rec.failed, 1);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Wait kelupg timeout"));
}

// The board of a Linux system appears as an upgrade device once the adb
// command has started its upgrade service.
TEST_F(BurnUsb, AdbStartWaitsForTheBoardToAppear) {
    PrivateAdb adb("#!/bin/sh\necho \"kelupg: upgrade service on\"\nsleep 30\n");
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    board = std::make_unique<Board>(cfg);
    auto want = image({{"image.target.rootfs", "rootfs", "burn", 10000}}, "");
    KelLinkerUSB usb;
    MsgCapture msgs;
    JobRecord rec;
    std::thread plug([&] {
        QThread::msleep(700);
        id = sim->attach(*board, 1, {2, 3});
    });
    {
        BurnThread w(img.get(), &usb, true, false, 0, CheckThread::adbProgram());
        w.setAdbTiming(10000, 100);
        rec.attach(w);
        ASSERT_TRUE(runJob(w));
    }
    plug.join();
    EXPECT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "kelupg: upgrade service on"));
    EXPECT_EQ(board->partition("rootfs"), want["rootfs"]);

    // Nothing appears: the wait gives up.
    sim->detach(id);
    ASSERT_TRUE(sim->waitPresent(id, false, 5000));
    MsgCapture late;
    JobRecord rec2;
    {
        BurnThread w(img.get(), &usb, true, false, 0, CheckThread::adbProgram());
        w.setAdbTiming(800, 50);
        rec2.attach(w);
        ASSERT_TRUE(runJob(w));
    }
    EXPECT_EQ(rec2.failed, 1);
    EXPECT_EQ(rec2.started, 0);
    EXPECT_TRUE(late.contains(QtCriticalMsg, "Wait kelupg timeout"));
}
