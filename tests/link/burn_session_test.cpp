// The burn session against simulated boards on an emulated USB bus: its one
// stream of events for a board, and three boards burnt at once.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <memory>

#include "board.h"
#include "burn_util.h"
#include "burnsession.h"
#include "libkelupg.h"
#include "usb_board.h"

using kelsim::Board;
using kelsim::BoardConfig;

namespace {

const std::vector<SampleComponent> kImage = {
    {"spl", "spl", "run", 30000},
    {"uboot", "boot", "burn", 200000},
    {"image.target.rootfs", "rootfs", "burn", 500000},
};

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kelsim::UsbBoardSim::available()) << "run under umockdev-wrapper";
        sim = std::make_unique<kelsim::UsbBoardSim>();
        want = writeAndLoadImage(QDir::current().absoluteFilePath("session.img"), kImage, &img);
    }
    void TearDown() override {
        sessions.clear();
        libkelupg_exit();
        sim.reset();
        boards.clear();
    }

    // Board n (1..) at 1:(3+n) with its own chip identifier.
    Board &attach(int n) {
        BoardConfig cfg;
        cfg.runAwayMs = 200;
        cfg.resetAwayMs = 200;
        cfg.chipId = "SIM-00000" + std::to_string(n);
        boards.push_back(std::make_unique<Board>(cfg));
        const int id = sim->attach(*boards.back(), 1, {uint8_t(3 + n)});
        EXPECT_TRUE(sim->waitPresent(id, true, 5000));
        return *boards.back();
    }

    BurnSession &session(int n) {
        BurnRequest r;
        r.image = img.get();
        r.location = QStringLiteral("1:%1").arg(3 + n);
        r.retries = 0;
        r.nameBoard = true;
        sessions.push_back(std::make_unique<BurnSession>(r));
        return *sessions.back();
    }

    // Runs the event loop until every session has sent its result.
    bool waitForResults(int timeoutMs = 60000) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            bool all = true;
            for (const auto &s : sessions)
                all = all && s->isFinished();
            if (all)
                return true;
            if (clock.hasExpired(timeoutMs))
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
    }

    std::unique_ptr<kelsim::UsbBoardSim> sim;
    std::vector<std::unique_ptr<Board>> boards;
    std::vector<std::unique_ptr<BurnSession>> sessions;
    std::unique_ptr<ImageFile> img;
    std::map<std::string, std::vector<uint8_t>> want;
};

}  // namespace

TEST_F(Session, OneBoardSendsOneStreamOfEvents) {
    attach(1);
    BurnSession &s = session(1);
    QStringList events;
    QObject::connect(&s, &BurnSession::event, [&events](const BurnEvent &e) {
        static const char *const kNames[] = {"info",  "start",    "linked", "component",
                                             "done",  "progress", "stage",  "waiting",
                                             "retry", "result"};
        QString word = QLatin1String(kNames[e.kind]);
        if (e.kind == BurnEvent::ComponentStarted || e.kind == BurnEvent::ComponentDone)
            word += QLatin1Char(' ') + e.name;
        EXPECT_EQ(e.location, "1:4");
        if (events.isEmpty() || events.last() != word || word != "progress")
            events.append(word);
    });
    ASSERT_TRUE(s.open());
    s.start();
    ASSERT_TRUE(waitForResults());
    // The board leaves after its boot loader and comes back into U-Boot, where
    // the rest goes; the result is the last word.
    EXPECT_EQ(events.join(", ").toStdString(),
              "info, start, linked, progress, component image.updater.env, progress, "
              "done image.updater.env, component spl, progress, done spl, component uboot, "
              "waiting, stage, progress, done uboot, component image.target.rootfs, progress, "
              "done image.target.rootfs, result");
    const BurnResult &r = s.result();
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.failure.codeName(), "");
    EXPECT_EQ(r.location, "1:4");
    EXPECT_EQ(r.link, "usb");
    EXPECT_EQ(r.chipId, QByteArray("SIM-000001"));
    EXPECT_TRUE(r.info.contains("1:4")) << r.info.toStdString();
    EXPECT_EQ(r.componentsDone, 4);
    EXPECT_EQ(r.retries, 0);
    EXPECT_GE(r.bytes, 730000u);
    EXPECT_TRUE(r.component.isEmpty());
    EXPECT_LE(r.started, r.ended);
    EXPECT_EQ(boards[0]->storage(), want);
}

// Three boards at once, the second of which vanishes for good in the middle
// of its root file system: two results are whole, the third names what failed.
TEST_F(Session, ThreeBoardsAtOnce) {
    for (int n = 1; n <= 3; ++n)
        attach(n);
    boards[1]->vanishInComponent("image.target.rootfs", 600000);
    for (int n = 1; n <= 3; ++n) {
        BurnSession &s = session(n);
        ASSERT_TRUE(s.open()) << n;
        s.start();
    }
    ASSERT_TRUE(waitForResults(120000));
    for (int n = 1; n <= 3; ++n) {
        const BurnResult &r = sessions[size_t(n - 1)]->result();
        EXPECT_EQ(r.location, QStringLiteral("1:%1").arg(3 + n));
        EXPECT_EQ(r.chipId, QByteArray("SIM-00000") + QByteArray::number(n));
        if (n == 2) {
            EXPECT_FALSE(r.ok());
            EXPECT_TRUE(r.failure.code() == Failure::LinkLost ||
                        r.failure.code() == Failure::LinkNotReturned)
                << r.failure.codeName().toStdString();
            EXPECT_EQ(r.component, "image.target.rootfs");
            EXPECT_FALSE(r.failure.message().isEmpty());
        } else {
            EXPECT_TRUE(r.ok()) << n << r.failure.message().toStdString();
            EXPECT_EQ(boards[size_t(n - 1)]->storage(), want) << n;
        }
    }
}
