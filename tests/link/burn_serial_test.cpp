// The burn worker over a serial line: the simulated board behind a pty.
#include <QDir>
#include <gtest/gtest.h>
#include <functional>
#include <memory>

#include "board.h"
#include "burn_util.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "msg_capture.h"
#include "serial_board_test.h"
#include "serial_line.h"

using kelsim::Board;
using kelsim::BoardConfig;
using kelsim::Stage;

namespace {

class BurnSerial : public SerialBoardTest {
protected:
    void start(BoardConfig cfg = {}, kelsim::SerialLine::Options opt = {}) {
        startBoard(cfg, opt);
        if (HasFatalFailure())
            return;
        link->setConnectWait(5000);
        MsgCapture msgs;
        ASSERT_TRUE(link->fetchDeviceInfo(port, false)) << msgs.all().toStdString();
        imagePath = QDir::current().absoluteFilePath(QStringLiteral("serial.img"));
    }
    void SetUp() override {
        // The board reboots right behind its answer to "reset"; that answer
        // need not be waited for the full time.
        kelupg_set_transfer_timeout(2000);
    }
    void TearDown() override {
        kelupg_set_transfer_timeout(UPG_DEFAULT_TRANSFER_TIMEOUT_MS);
        SerialBoardTest::TearDown();
    }
    std::map<std::string, std::vector<uint8_t>> image(const std::vector<SampleComponent> &c) {
        return writeAndLoadImage(imagePath, c, &img);
    }

    std::unique_ptr<ImageFile> img;
    QString imagePath;
};

const std::vector<SampleComponent> kImage = {
    {"spl", "spl", "run", 20000},
    {"uboot", "boot", "burn", 30000},
    {"image.target.rootfs", "rootfs", "burn", 70000},
};

}  // namespace

// The board goes silent after the boot loader and comes back in U-Boot; the
// worker reopens the line, waits for the board's answer and goes on.
class BurnSerialAway : public BurnSerial, public ::testing::WithParamInterface<int> {};

TEST_P(BurnSerialAway, WholeImageThroughUbootToReboot) {
    BoardConfig cfg;
    cfg.runAwayMs = GetParam();
    start(cfg);
    auto want = image(kImage);
    MsgCapture msgs;
    JobRecord rec;
    {
        BurnThread w(img.get(), link.get(), false, true, 3);
        rec.attach(w);
        ASSERT_TRUE(runJob(w, 90000));
    }
    ASSERT_EQ(rec.succeeded, 1) << msgs.all().toStdString();
    EXPECT_EQ(rec.uboot, 1) << msgs.all().toStdString();
    EXPECT_EQ(rec.count("retry"), 0) << "the stage change costs no resend";
    EXPECT_EQ(board->storage(), want);
    for (const auto &c : board->components()) {
        EXPECT_EQ(c.stage,
                  c.name == "spl" || c.name == "image.updater.env" ? Stage::BootRom : Stage::UBoot)
            << c.name;
    }
    EXPECT_TRUE(board->workModes().empty()) << "a serial line has no work modes";
    if (GetParam() > 1500) {
        EXPECT_TRUE(msgs.contains(QtDebugMsg, "Wait for Dev " + port + " ready"));
    }
    EXPECT_EQ(board->cmdlines(), (std::vector<std::string>{"reset"}));
}

// Short: the line protocol bridges the silence. Long: the worker's probe fails,
// it reopens the line and waits for the board's answer.
INSTANTIATE_TEST_SUITE_P(AwayTimes, BurnSerialAway, ::testing::Values(300, 2500));

// Refused and garbled frames are repeated by the line protocol; the stored
// bytes are the image's or the job fails - never a false success.
TEST_F(BurnSerial, LineFaultsNeverTurnIntoFalseSuccess) {
    struct Case {
        const char *what;
        std::function<void(kelsim::SerialLine &)> inject;
    };
    const std::vector<Case> cases = {
        {"NAKs", [](kelsim::SerialLine &l) { l.nakPattern("NxxNNxxxxN"); }},
        {"CRC errors", [](kelsim::SerialLine &l) { l.corruptCrcNext(2); }},
        {"wrong complement", [](kelsim::SerialLine &l) { l.wrongComplementNext(1); }},
    };
    for (const auto &c : cases) {
        BoardConfig cfg;
        cfg.initialStage = Stage::UBoot;
        start(cfg);
        auto want = image({{"image.target.boot", "boot", "burn", 30000},
                           {"image.target.rootfs", "rootfs", "burn", 40000}});
        c.inject(*line);
        MsgCapture msgs;
        JobRecord rec;
        {
            BurnThread w(img.get(), link.get(), false, false, 3);
            rec.attach(w);
            ASSERT_TRUE(runJob(w, 90000)) << c.what;
        }
        ASSERT_EQ(rec.succeeded + rec.failed, 1) << c.what;
        if (rec.succeeded) {
            EXPECT_EQ(board->storage(), want) << c.what;
        } else {
            EXPECT_TRUE(msgs.contains(QtCriticalMsg, "")) << c.what;
        }
        stopBoard();
    }
}

TEST_F(BurnSerial, SilentBoardFailsWithoutHanging) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    start(cfg);
    image(kImage);
    link->setReconnectTiming(1500, 50);
    MsgCapture msgs;
    JobRecord rec;
    {
        BurnThread w(img.get(), link.get(), false, false, 1);
        rec.attach(w);
        QObject::connect(&w, &KelThread::threadIsRunning, [this](int p) {
            if (p > 0)
                line->setMute(true);
        });
        ASSERT_TRUE(runJob(w, 90000));
    }
    EXPECT_EQ(rec.failed, 1);
    EXPECT_EQ(rec.succeeded, 0);
}
