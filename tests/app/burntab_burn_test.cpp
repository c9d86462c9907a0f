// The burn tab against simulated boards on an emulated USB bus: the device scan
// states, connection-type switching, the adb board, and whole burns counted in
// the statistics database.
#include <QDate>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "board.h"
#include "burntab.h"
#include "dialog_util.h"
#include "fake_tab.h"
#include "kelflash.h"
#include "imagefile.h"
#include "kelcheckbox.h"
#include "kelcombobox.h"
#include "kellinkerserial.h"
#include "kellinkerusb.h"
#include "libkelupg.h"
#include "recordstore.h"
#include "settings.h"
#include "statisticstore.h"
#include "tab_test_util.h"
#include "usb_board.h"

using namespace tabtest;
using kelsim::Board;
using kelsim::Stage;

namespace {

const char kDevId[] = "1:2-3";

// The real USB link, watched: where release() runs, and whether it ever runs
// while an information query is still using the link.
struct LinkWatch {
    std::atomic<bool> inFetch{false};
    std::atomic<bool> overlap{false};
    std::atomic<int> fetchDelayMs{0};
    QThread *releaseThread = nullptr;
};

class WatchedUsbLinker : public KelLinkerUSB {
public:
    explicit WatchedUsbLinker(LinkWatch *watch) : watch(watch) {}
    ~WatchedUsbLinker() override {
        if (!released) {
            release();
        }
    }
    bool fetchDeviceInfo(const QString &id, bool first) override {
        watch->inFetch = true;
        QThread::msleep(watch->fetchDelayMs);
        bool ok = KelLinkerUSB::fetchDeviceInfo(id, first);
        watch->inFetch = false;
        return ok;
    }
    void release() override {
        released = true;
        watch->releaseThread = QThread::currentThread();
        if (watch->inFetch) {
            watch->overlap = true;
        }
        KelLinkerUSB::release();
    }

private:
    LinkWatch *watch;
    bool released = false;
};

class WatchedTab : public BurnTab {
public:
    LinkWatch watch;

protected:
    KelLinker *createLinker(int type) override {
        if (type == 0) {
            return new WatchedUsbLinker(&watch);
        }
        return BurnTab::createLinker(type);
    }
};

QString today() {
    return QDate::currentDate().toString("yyyy-MM-dd");
}

class BurnTabUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kelsim::UsbBoardSim::available()) << "run under umockdev-wrapper";
        sim = std::make_unique<kelsim::UsbBoardSim>();
        adb = std::make_unique<FakeAdb>();
        Settings::instance().setSelectedParts(QString());
        tab = std::make_unique<WatchedTab>();
        tab->show();
        ready = std::make_unique<QSignalSpy>(tab.get(), &BurnTab::deviceReady);
    }

    void TearDown() override {
        ready.reset();
        window.reset();
        tab.reset();
        image.reset();
        libkelupg_exit();
        sim.reset();
        board.reset();
        adb.reset();
    }

    void attach(kelsim::BoardConfig cfg = {}) {
        board = std::make_unique<Board>(cfg);
        boardId = sim->attach(*board, 1, {2, 3});
        ASSERT_GE(boardId, 0);
        ASSERT_TRUE(sim->waitPresent(boardId, true, 5000));
    }

    // The last deviceReady after at least `n` of them.
    bool readyAfter(int n) {
        EXPECT_TRUE(waitFor([&] { return ready->count() >= n; })) << "no deviceReady";
        return ready->count() >= n && ready->last().at(0).toBool();
    }

    QString info() { return tab->findChild<QLabel *>("imageInfo")->text(); }
    bool linkedLook() { return tab->findChild<QLabel *>("devIcon")->property("linked").toBool(); }

    void loadImage(const std::vector<uint8_t> &boot, const std::vector<uint8_t> &rootfs) {
        writeImage(spec({component("image.updater.spl", "spl", pattern(3000, 9), "run"),
                         component("image.target.boot", "boot", boot),
                         component("image.target.rootfs", "rootfs", rootfs)}),
                   "burn.img");
        image = std::make_unique<ImageFile>();
        image->setPath("burn.img");
        ASSERT_EQ(image->loadHeader(), 0);
        tab->setImage(image.get());
        tab->refreshPartitionTree();
    }

    // The window over this tab (it takes the tab over), as the operator has it.
    void openWindow() {
        Settings::instance().setImagePath("burn.img");
        window = std::make_unique<KelFlash>(tab.release(), new FakeTab);
        window->show();
        page = static_cast<WatchedTab *>(window->findChild<BurnTab *>());
    }

    std::unique_ptr<kelsim::UsbBoardSim> sim;
    std::unique_ptr<KelFlash> window;
    WatchedTab *page = nullptr;
    std::unique_ptr<Board> board;
    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<WatchedTab> tab;
    std::unique_ptr<QSignalSpy> ready;
    std::unique_ptr<ImageFile> image;
    int boardId = -1;
};

}  // namespace

TEST_F(BurnTabUsb, ScanStatesFromNoBoardToLinkedAndBack) {
    Messages msgs;
    tab->reapplyConnectType();
    ASSERT_TRUE(dynamic_cast<KelLinkerUSB *>(tab->currentLinker()));
    ASSERT_EQ(ready->count(), 1);
    EXPECT_FALSE(ready->at(0).at(0).toBool());
    EXPECT_EQ(tab->message(), "未发现Kelvora设备");
    EXPECT_FALSE(tab->isReady());
    EXPECT_FALSE(linkedLook());

    attach();
    tab->scanDevices();
    EXPECT_TRUE(readyAfter(2)) << msgs.all().toStdString();
    EXPECT_TRUE(tab->isReady());
    EXPECT_EQ(tab->message(), "Kelvora设备已连接");
    EXPECT_TRUE(info().startsWith(QString("USB设备：") + kDevId + "\n启动阶段：BROM"));
    EXPECT_TRUE(linkedLook());
    EXPECT_EQ(tab->currentLinker()->name(), kDevId);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "The status of Kelvora device: true"));

    // A board already named: a scan changes nothing and asks nothing.
    board->clearCommandLog();
    tab->scanDevices();
    EXPECT_FALSE(tab->isQuerying());
    QTest::qWait(200);
    EXPECT_EQ(ready->count(), 2);
    EXPECT_TRUE(board->commandLog().empty());

    // The board leaves: the next scan forgets it.
    sim->detach(boardId);
    ASSERT_TRUE(sim->waitPresent(boardId, false, 5000));
    tab->scanDevices();
    ASSERT_EQ(ready->count(), 3);
    EXPECT_FALSE(ready->last().at(0).toBool());
    EXPECT_FALSE(tab->isReady());
    EXPECT_EQ(info(), "");
    EXPECT_FALSE(linkedLook());
    EXPECT_EQ(tab->currentLinker()->name(), "");
}

TEST_F(BurnTabUsb, BoardThatIsNotListedYetAtItsEventIsFoundSoonAfter) {
    tab->reapplyConnectType();
    ASSERT_EQ(ready->count(), 1);
    EXPECT_EQ(tab->message(), "未发现Kelvora设备");
    // The board shows up a little after the scan that its device event caused.
    QTimer::singleShot(600, [this] { attach(); });
    EXPECT_TRUE(readyAfter(2));
    EXPECT_TRUE(tab->isReady());
}

TEST_F(BurnTabUsb, FailedLinkStillShowsTheBoardButIsNotReady) {
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    // The watcher was paused by the linked board; a failed link resumes nothing,
    // and the adb watcher only runs again after it has been resumed.
    tab->finishWork();
    ASSERT_TRUE(waitFor([&] { return adb->calls() >= 1; }));

    tab->onLinkFinished(false);
    ASSERT_EQ(ready->count(), 2);
    EXPECT_TRUE(ready->last().at(0).toBool());
    EXPECT_EQ(tab->message(), "Kelvora设备已连接");
    EXPECT_FALSE(tab->isReady());
    // The adb watcher keeps polling.
    const int before = adb->calls();
    EXPECT_TRUE(waitFor([&] { return adb->calls() >= before + 2; }));

    // A good link pauses it: at most the cycle in progress still finishes.
    tab->onLinkFinished(true);
    EXPECT_TRUE(tab->isReady());
    QTest::qWait(2500);
    const int paused = adb->calls();
    QTest::qWait(2500);
    EXPECT_EQ(adb->calls(), paused);
}

TEST_F(BurnTabUsb, SwitchingTypeReleasesTheOldLinkOnAHelperThread) {
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    QPointer<KelLinker> usb = tab->currentLinker();

    tab->findChild<KelComboBox *>("typeBox")->setCurrentIndex(1);
    EXPECT_TRUE(dynamic_cast<KelLinkerSerial *>(tab->currentLinker()));
    // The board of the USB link is no longer reachable.
    EXPECT_FALSE(ready->last().at(0).toBool());
    EXPECT_FALSE(tab->isReady());
    EXPECT_EQ(info(), "");
    ASSERT_TRUE(waitFor([&] { return usb.isNull(); })) << "old link not destroyed";
    EXPECT_NE(tab->watch.releaseThread, nullptr);
    EXPECT_NE(tab->watch.releaseThread, QThread::currentThread());
    EXPECT_FALSE(tab->isRetiringLink());

    // Back to USB: a fresh link finds the board again.
    tab->findChild<KelComboBox *>("typeBox")->setCurrentIndex(0);
    EXPECT_TRUE(readyAfter(3));
    EXPECT_TRUE(tab->isReady());
    EXPECT_NE(tab->currentLinker(), usb.data());
}

TEST_F(BurnTabUsb, SwitchDuringAQueryWaitsForItAndDropsItsAnswer) {
    attach();
    tab->watch.fetchDelayMs = 600;
    tab->reapplyConnectType();
    ASSERT_TRUE(tab->isQuerying());
    QPointer<KelLinker> usb = tab->currentLinker();
    tab->findChild<KelComboBox *>("typeBox")->setCurrentIndex(1);
    EXPECT_FALSE(tab->isQuerying());
    ASSERT_TRUE(waitFor([&] { return usb.isNull(); }));
    EXPECT_FALSE(tab->watch.overlap) << "released while the query used the link";
    QTest::qWait(100);
    for (const QList<QVariant> &args : *ready) {
        EXPECT_FALSE(args.at(0).toBool()) << "the stale answer reached the tab";
    }
    EXPECT_FALSE(tab->isReady());
}

TEST_F(BurnTabUsb, AnswerPostedBeforeASwitchIsDropped) {
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(tab->isQuerying());
    // The query ends and posts its answer; no event is processed before the switch.
    QElapsedTimer t;
    t.start();
    while (tab->isQuerying() && t.elapsed() < 15000) {
        QThread::msleep(10);
    }
    ASSERT_FALSE(tab->isQuerying());
    tab->findChild<KelComboBox *>("typeBox")->setCurrentIndex(1);
    QTest::qWait(200);
    for (const QList<QVariant> &args : *ready) {
        EXPECT_FALSE(args.at(0).toBool()) << "the USB board reached the serial link";
    }
    EXPECT_FALSE(tab->isReady());
    EXPECT_EQ(info(), "");
}

TEST_F(BurnTabUsb, DestroyedDuringAQueryWaitsForIt) {
    attach();
    tab->watch.fetchDelayMs = 400;
    tab->reapplyConnectType();
    ASSERT_TRUE(tab->isQuerying());
    tab->findChild<KelComboBox *>("typeBox")->setCurrentIndex(1);
    ready.reset();
    tab.reset();  // must neither crash nor leave the query on a deleted link
    SUCCEED();
}

TEST_F(BurnTabUsb, AdbBoardIsShownForgottenAndFoundAgain) {
    tab->reapplyConnectType();  // empty bus: watcher running
    ASSERT_EQ(ready->count(), 1);
    adb->setAnswer("Linux board1 4.9.88 armv7l\r\r\n");
    EXPECT_TRUE(readyAfter(2));
    EXPECT_TRUE(tab->isAdbMode());
    EXPECT_TRUE(tab->isReady());
    EXPECT_EQ(info(), "设备名称：board1\n系统类型：Linux\nCPU类型：armv7l\n内核版本：4.9.88");
    EXPECT_EQ(tab->message(), "Kelvora设备已连接");

    // No upgrade device listed: the scan forgets the board, the watcher finds it again.
    tab->scanDevices();
    EXPECT_FALSE(ready->last().at(0).toBool());
    EXPECT_FALSE(tab->isAdbMode());
    EXPECT_TRUE(readyAfter(4));
    EXPECT_TRUE(tab->isAdbMode());
}

TEST_F(BurnTabUsb, AdbBoardIsIgnoredWhileAUsbBoardIsLinked) {
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    const QString usbInfo = info();
    tab->onAdbDeviceFound({"Linux", "board1", "4.9.88", "armv7l"});
    EXPECT_EQ(ready->count(), 1);
    EXPECT_EQ(info(), usbInfo);
    EXPECT_FALSE(tab->isAdbMode());
}

TEST_F(BurnTabUsb, WholeBurnWithPartitionSelectionSucceedsAndIsCounted) {
    const int before = StatisticStore::instance().recordOfDate(today()).successCount;
    const auto boot = pattern(5000, 1);
    const auto rootfs = pattern((1 << 20) + 12345, 2);
    Settings::instance().setSelectedParts("rootfs");
    loadImage(boot, rootfs);

    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    auto *partitionBox = tab->findChild<KelCheckBox *>("partitionBox");
    partitionBox->setChecked(true);

    Messages msgs;
    QSignalSpy started(tab.get(), &BurnTab::workStart);
    QSignalSpy progress(tab.get(), &BurnTab::workProgress);
    QSignalSpy done(tab.get(), &BurnTab::workSuccessful);
    QSignalSpy failed(tab.get(), &BurnTab::workFailed);
    ASSERT_TRUE(tab->startWork());
    EXPECT_EQ(tab->message(), "开始烧写，请勿断开设备 ...");
    EXPECT_FALSE(tab->findChild<KelComboBox *>("typeBox")->isEnabled()) << "link in use";
    // A scan while the job runs changes nothing.
    const int readyBefore = ready->count();
    tab->scanDevices();
    EXPECT_EQ(ready->count(), readyBefore);
    EXPECT_FALSE(tab->isQuerying());
    ASSERT_TRUE(waitFor([&] { return done.count() + failed.count() > 0; }, 60000))
        << msgs.all().toStdString();
    ASSERT_EQ(done.count(), 1) << msgs.all().toStdString();
    EXPECT_EQ(started.count(), 1);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last().at(1).toInt(),
              100 * progress.last().at(0).toLongLong() / image->fileSize());

    EXPECT_EQ(tab->message(), "执行成功！");
    EXPECT_EQ(tab->findChild<QLabel *>("tabProgress")->height(), 78);
    EXPECT_TRUE(info().contains("启动阶段：U-Boot")) << info().toStdString();
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Part name: boot , Selected: false"));
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Part name: rootfs , Selected: true"));

    // The board got what was selected, in U-Boot, then the reset.
    EXPECT_EQ(board->partition("rootfs"), rootfs);
    EXPECT_TRUE(board->partition("boot").empty());
    EXPECT_EQ(board->workModes(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(board->cmdlines(), (std::vector<std::string>{"reset"}));

    EXPECT_EQ(StatisticStore::instance().recordOfDate(today()).successCount, before + 1);
    // The board must be found again before the next burn.
    EXPECT_FALSE(tab->isReady());
    EXPECT_FALSE(tab->isWorking());
    EXPECT_EQ(tab->currentLinker()->name(), "");
    EXPECT_TRUE(tab->findChild<KelComboBox *>("typeBox")->isEnabled());
}

TEST_F(BurnTabUsb, StartFromTheReadySignalIsAccepted) {
    // The window's auto-burn starts the job from within deviceReady(true).
    loadImage(pattern(5000, 1), pattern(70000, 2));
    attach();
    QList<bool> starts;
    QObject::connect(tab.get(), &BurnTab::deviceReady, tab.get(), [&](bool isReady) {
        if (isReady) {
            starts << tab->startWork();
        }
    });
    QSignalSpy done(tab.get(), &BurnTab::workSuccessful);
    QSignalSpy failed(tab.get(), &BurnTab::workFailed);
    tab->reapplyConnectType();
    ASSERT_TRUE(waitFor([&] { return !starts.isEmpty(); }));
    EXPECT_EQ(starts, QList<bool>{true});
    ASSERT_TRUE(waitFor([&] { return done.count() + failed.count() > 0; }, 60000));
    EXPECT_EQ(done.count(), 1);
}

// Auto-burn starts on a board once: after the operator stopped it, after it
// failed, after it was burnt and came back from its reset, the board is left
// alone until it has been taken away and a board is attached again.
TEST_F(BurnTabUsb, AutoBurnLeavesTheBoardOfAJobThatEnded) {
    loadImage(pattern(5000, 1), pattern(3 << 20, 2));
    Settings::instance().setAutoBurn(true);
    // The window keeps its board records in data.db of the folder it runs in,
    // beside the statistics: the file is shared, so earlier records stay.
    RecordStore store(RecordTarget::sqlite(QFileInfo("data.db").absoluteFilePath()), "tab-reader");
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    const int before = int(store.count());
    attach();
    openWindow();
    QSignalSpy starts(page, &BurnTab::workStart);
    QSignalSpy done(page, &BurnTab::workSuccessful);
    QSignalSpy failed(page, &BurnTab::workFailed);
    auto *startBtn = window->findChild<QPushButton *>("startBtn");
    ASSERT_TRUE(waitFor([&] { return starts.count() == 1; }));
    auto settle = [&] {
        EXPECT_TRUE(waitFor([&] { return !page->isWorking() && page->isReady(); }, 60000));
        QTest::qWait(1500);
    };
    auto replug = [&](kelsim::BoardConfig cfg = {}) {
        sim->detach(boardId);
        ASSERT_TRUE(sim->waitPresent(boardId, false, 5000));
        page->scanDevices();
        // An operator's hands are slower than a board's re-enumeration.
        QTest::qWait(BoardHolds::kGoneMs + 100);
        attach(cfg);
        page->scanDevices();
    };

    clickWhenModal("confirm_ok_btn");
    QTest::mouseClick(startBtn, Qt::LeftButton);
    settle();
    EXPECT_EQ(starts.count(), 1) << "started again after the operator's stop";
    EXPECT_TRUE(page->findChild<QWidget *>("typeBox")->isEnabled());

    replug();
    board->failCommand(0x10);
    ASSERT_TRUE(waitFor([&] { return failed.count() == 1; }, 60000));
    settle();
    EXPECT_EQ(starts.count(), 2) << "a failure started again on the same board";

    replug();
    ASSERT_TRUE(waitFor([&] { return done.count() == 1; }, 60000));
    // The board resets and comes back in its boot ROM.
    for (int i = 0; i < 10; ++i) {
        page->scanDevices();
        QTest::qWait(300);
    }
    EXPECT_TRUE(page->isReady());
    EXPECT_EQ(starts.count(), 3) << "burnt again after its final reset";
    // The result stays on screen while the board comes back.
    EXPECT_TRUE(page->message().startsWith("执行成功！")) << page->message().toStdString();
    EXPECT_EQ(page->findChild<QLabel *>("tabProgress")->height(), 78);
    EXPECT_TRUE(window->findChild<QLabel *>("resultLabel")->text().contains("SUCCESS"));
    Settings::instance().setAutoBurn(false);

    // Each of the three jobs left its record: stopped, refused, burnt.
    EXPECT_TRUE(waitFor([&] { return store.count() >= before + 3; }, 20000));
    const QList<BoardRecord> jobs = store.records().mid(before);
    ASSERT_EQ(jobs.size(), 3);
    const char *want[][2] = {{"interrupted", "interrupted"}, {"failed", "board-refused"}, {"ok", ""}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(jobs[i].result, want[i][0]) << i;
        EXPECT_EQ(jobs[i].failureCode, want[i][1]) << i;
        EXPECT_EQ(jobs[i].link, "usb") << i;
        EXPECT_EQ(jobs[i].imageName, "burn.img") << i;
        EXPECT_FALSE(jobs[i].chipId.isEmpty()) << i;
    }
    EXPECT_EQ(jobs[2].imageSha256.size(), 64);
}

// A board left in U-Boot is named as such before a start; the forced upgrade
// asks it again, switching it into upgrade work mode.
TEST_F(BurnTabUsb, BoardInUbootNeedsTheForcedUpgrade) {
    kelsim::BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    attach(cfg);
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    EXPECT_TRUE(tab->message().contains("U-Boot")) << tab->message().toStdString();
    EXPECT_TRUE(tab->message().contains("强制升级")) << tab->message().toStdString();
    EXPECT_TRUE(board->workModes().empty());

    QTest::mouseClick(tab->findChild<KelCheckBox *>("forceBox")->findChild<QLabel *>(
                          "kel_checkbox_indicator"),
                      Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return tab->message() == "Kelvora设备已连接"; }))
        << tab->message().toStdString();
    EXPECT_EQ(board->workModes(), (std::vector<uint32_t>{4}));
    EXPECT_TRUE(tab->isReady());
}

TEST_F(BurnTabUsb, FailedBurnIsReportedAndCounted) {
    const int before = StatisticStore::instance().recordOfDate(today()).failCount;
    loadImage(pattern(100, 1), pattern(100, 2));
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    board->failCommand(0x10);  // every meta head is refused

    QSignalSpy failed(tab.get(), &BurnTab::workFailed);
    ASSERT_TRUE(tab->startWork());
    // Nothing of the job's settings can change under it.
    for (const char *name : {"forceBox", "rebootBox", "partitionBox", "selectAllBox", "partList"}) {
        EXPECT_FALSE(tab->findChild<QWidget *>(name)->isEnabled()) << name;
    }
    ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }, 60000));
    // The cause in the window's words, the log's in the tool tip.
    EXPECT_EQ(tab->message(), "执行失败！\n与设备通信失败");
    for (QLabel *line : tab->findChildren<QLabel *>()) {
        if (line->text() == tab->message()) {
            EXPECT_TRUE(line->toolTip().contains("Failed to send the meta information!"))
                << line->toolTip().toStdString();
        }
    }
    EXPECT_EQ(StatisticStore::instance().recordOfDate(today()).failCount, before + 1);
    EXPECT_TRUE(board->cmdlines().empty()) << "no reset after a failure";
    // The board is still there: it is found again without the operator's help,
    // and the result stays on the message line.
    EXPECT_TRUE(waitFor([&] { return tab->isReady(); }));
    EXPECT_TRUE(linkedLook());
    EXPECT_EQ(tab->message(), "执行失败！\n与设备通信失败");
    for (const char *name : {"forceBox", "rebootBox", "partitionBox", "selectAllBox", "partList"}) {
        EXPECT_TRUE(tab->findChild<QWidget *>(name)->isEnabled()) << name;
    }

    // Another connection type starts from an empty picture.
    tab->findChild<QLabel *>("tabProgress")->setFixedHeight(13);
    tab->findChild<KelComboBox *>("typeBox")->setCurrentIndex(1);
    EXPECT_FALSE(linkedLook());
    EXPECT_EQ(tab->findChild<QLabel *>("tabProgress")->height(), 0);
}

TEST_F(BurnTabUsb, BoardThatVanishedDuringTheJobIsShownGone) {
    loadImage(pattern(100, 1), pattern(2 << 20, 2));
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    board->vanishAfterBytes(1 << 20);

    QSignalSpy failed(tab.get(), &BurnTab::workFailed);
    ASSERT_TRUE(tab->startWork());
    ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }, 60000));
    EXPECT_TRUE(waitFor([&] { return !linkedLook(); }));
    EXPECT_FALSE(tab->isReady());
    // The result and its cause stay; the picture shows the board gone.
    EXPECT_EQ(tab->message(), "执行失败！\n设备已断开，未能重新连接");
}

TEST_F(BurnTabUsb, BurnOfAnAdbBoardStartsItsUpgradeService) {
    const auto rootfs = pattern(70000, 3);
    loadImage(pattern(5000, 1), rootfs);
    tab->reapplyConnectType();
    adb->setAnswer("Linux board1 4.9.88 armv7l\r\r\n");
    ASSERT_TRUE(readyAfter(2));
    ASSERT_TRUE(tab->isAdbMode());

    QSignalSpy done(tab.get(), &BurnTab::workSuccessful);
    QSignalSpy failed(tab.get(), &BurnTab::workFailed);
    ASSERT_TRUE(tab->startWork());
    EXPECT_FALSE(tab->isAdbMode());
    // The board's service comes up as an upgrade device once adb started it.
    ASSERT_TRUE(waitFor([&] { return adb->kelupgStarted(); }));
    // What the job waits for, while nothing moves.
    EXPECT_TRUE(tab->message().startsWith("开始烧写，请勿断开设备 ...\n等待设备启动升级服务."))
        << tab->message().toStdString();
    attach();
    ASSERT_TRUE(waitFor([&] { return done.count() + failed.count() > 0; }, 60000));
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(board->partition("rootfs"), rootfs);
    EXPECT_EQ(board->workModes(), (std::vector<uint32_t>{0})) << "no partition selection";
}

TEST_F(BurnTabUsb, StoppedBurnGivesTheConnectionControlsBack) {
    loadImage(pattern(5000, 1), pattern(3 << 20, 2));
    attach();
    tab->reapplyConnectType();
    ASSERT_TRUE(readyAfter(1));
    ASSERT_TRUE(tab->startWork());
    auto *typeBox = tab->findChild<KelComboBox *>("typeBox");
    EXPECT_FALSE(typeBox->isEnabled());
    tab->stopWork();
    EXPECT_EQ(tab->message(), "执行中止！");
    EXPECT_FALSE(tab->isReady()) << "ready while the stopped job is still ending";
    // Whether the job ends with a failure or, stopped between two components,
    // without a result, the controls come back and the board is ready again.
    ASSERT_TRUE(waitFor([&] { return !tab->isWorking(); }, 60000));
    EXPECT_TRUE(waitFor([&] { return typeBox->isEnabled(); }));
    EXPECT_TRUE(waitFor([&] { return tab->isReady(); }));
    EXPECT_TRUE(ready->last().at(0).toBool());
}
