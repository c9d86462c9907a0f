// The main window against test pages: image selection, label format, start/stop and
// the status row.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSysInfo>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "dialog_util.h"
#include "fake_tab.h"
#include "image_pack.h"
#include "kelcheckbox.h"
#include "keldialog.h"
#include "kelflash.h"
#include "kellineedit.h"
#include "libkelupg.h"
#include "msg_capture.h"
#include "private_adb.h"
#include "qt_wait.h"
#include "qttranslations.h"
#include "settings.h"
#include "uiformat.h"

namespace {

const QString kColon = QString(QChar(0xFF1A));

// A page with the operations the window asks of the real burn and card pages beyond
// the common contract; it records the order of the calls.
class FullPage : public FakeTab {
    Q_OBJECT

public:
    explicit FullPage(QStringList *calls) : calls(calls) {}
    ~FullPage() override {
        libraryUpWhenDestroyed = libkelupg_initialized() != 0;
        qDebug() << "page destroyed marker";
    }
    bool formatting = false;
    static bool libraryUpWhenDestroyed;

    void setImage(ImageFile *img) override {
        calls->append("setImage");
        FakeTab::setImage(img);
    }

public slots:
    void refreshPartitionTree() { calls->append("refreshPartitionTree"); }
    void reapplyConnectType() { calls->append("reapplyConnectType"); }
    void showCardImage() { calls->append("showCardImage"); }
    bool isFormatting() { return formatting; }

private:
    QStringList *calls;
};
bool FullPage::libraryUpWhenDestroyed = false;

std::string packImage(const std::string &path, const std::string &platform = "KV7210") {
    ImagePackSpec spec;
    spec.platform = platform;
    spec.product = "kv7210-evb-long-board-name";
    spec.version = "2.1.0";
    spec.mediaType = "mmc";
    spec.mediaId = "emmc0";
    spec.components.push_back(image_pack_env_component({"parts_mmc=16m(boot),-(data)"}));
    ImagePackComponent spl;
    spl.name = spl.partition = "spl";
    spl.attributes = "run";
    spl.data.assign(3000, 0x5a);
    spec.components.push_back(spl);
    std::string err;
    EXPECT_EQ(image_pack_write(spec, path, &err), 0) << err;
    return path;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::instance().setImagePath(QString());
        Settings::instance().setAutoBurn(false);
        burn = new FakeTab;
        card = new FakeTab;
        window = new KelFlash(burn, card);
        window->show();
        tabs = window->findChild<QTabWidget *>("tabWidget");
        start = window->findChild<QPushButton *>("startBtn");
        path = window->findChild<KelLineEdit *>("imagePath");
        info = window->findChild<QWidget *>("imgInfo");
    }

    void TearDown() override {
        closeVisibleDialogs();
        delete window;
    }

    QLabel *label(const char *name) { return window->findChild<QLabel *>(name); }

    // A valid image chosen and the burn page's board ready: the start button's case.
    void readyToBurn() {
        packImage("good.img");
        window->selectImage("good.img");
        burn->ready = true;
        emit burn->deviceReady(true);
    }

    // A real burn tab watches for adb boards; it polls this one instead.
    PrivateAdb adb{"#!/bin/sh\necho 'error: no devices/emulators found'\n"};
    FakeTab *burn;
    FakeTab *card;
    KelFlash *window;
    QTabWidget *tabs;
    QPushButton *start;
    KelLineEdit *path;
    QWidget *info;
};

}  // namespace

TEST_F(WindowTest, TitleSizeAndPages) {
    EXPECT_EQ(window->windowTitle(), "KelFlash v1.0.8");
    EXPECT_EQ(window->minimumSize(), QSize(800, 490));
    EXPECT_EQ(window->maximumSize(), QSize(800, 490));
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "烧写镜像");
    EXPECT_EQ(tabs->tabText(1), "制作启动卡");
    EXPECT_EQ(tabs->widget(0), burn);
    EXPECT_EQ(tabs->widget(1), card);
    EXPECT_EQ(start->text(), "开始");
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(info->isVisibleTo(window));
    EXPECT_EQ(path->placeholderText(), "请选择镜像文件...");
    EXPECT_TRUE(path->isReadOnly());
    EXPECT_EQ(window->findChild<KelCheckBox *>()->text(), "日志");
    EXPECT_FALSE(window->styleSheet().isEmpty());
    EXPECT_TRUE(window->styleSheet().contains("#startBtn"));
    // The embedded Chinese font became the application font.
    EXPECT_EQ(QApplication::font().family(), "Droid Sans Fallback");
    EXPECT_EQ(QApplication::font().pixelSize(), 14);
}

TEST_F(WindowTest, DefaultPagesKeepTheContract) {
    KelFlash plain;
    QTabWidget *t = plain.findChild<QTabWidget *>("tabWidget");
    ASSERT_EQ(t->count(), 2);
    for (int i = 0; i < 2; ++i) {
        KelTab *tab = qobject_cast<KelTab *>(t->widget(i));
        ASSERT_NE(tab, nullptr);
        EXPECT_FALSE(tab->isReady());
        EXPECT_FALSE(tab->isWorking());
        EXPECT_FALSE(tab->startWork());
    }
}

TEST_F(WindowTest, SelectGoodImage) {
    std::string img = packImage("good.img");
    window->selectImage("good.img");

    EXPECT_TRUE(window->isImageValid());
    EXPECT_EQ(path->text(), "good.img");
    EXPECT_TRUE(info->isVisibleTo(window));
    EXPECT_EQ(burn->lastImage, &window->currentImage());
    EXPECT_EQ(card->lastImage, &window->currentImage());
    EXPECT_EQ(label("socLabel")->text(),
              "SoC型号" + kColon + "<span style=\"color: #335983;\">KV7210</span>");
    // Longer than 12 characters: cut, the whole value in the tool tip.
    EXPECT_EQ(label("boardLabel")->text(),
              "板级型号" + kColon + "<span style=\"color: #335983;\">kv7210-evb-l...</span>");
    EXPECT_EQ(label("boardLabel")->toolTip(), "kv7210-evb-long-board-name");
    EXPECT_EQ(Settings::instance().imagePath(), "good.img");
    EXPECT_TRUE(visibleDialogs().isEmpty());
}

TEST_F(WindowTest, BadImagesLeaveTheWindowUnchanged) {
    packImage("good.img", "FIRST");
    window->selectImage("good.img");
    QString socText = label("socLabel")->text();

    QFile corrupt("corrupt.img");
    ASSERT_TRUE(corrupt.open(QIODevice::WriteOnly));
    corrupt.write(QByteArray(4096, '\x11'));
    corrupt.close();
    window->selectImage("corrupt.img");
    QList<KelDialog *> alerts = visibleDialogs();
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts.first()->findChild<QLabel *>("message_text")->text(), "无效的镜像文件");
    closeVisibleDialogs();

    // A file cut off in the middle of its header.
    QFile whole("good.img");
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    QByteArray head = whole.read(100);
    QFile truncated("truncated.img");
    ASSERT_TRUE(truncated.open(QIODevice::WriteOnly));
    truncated.write(head);
    truncated.close();
    window->selectImage("truncated.img");
    EXPECT_EQ(visibleDialogs().size(), 1);
    closeVisibleDialogs();

    window->selectImage("missing.img");
    window->selectImage(QString());
    EXPECT_TRUE(visibleDialogs().isEmpty());

    EXPECT_EQ(path->text(), "good.img");
    EXPECT_EQ(label("socLabel")->text(), socText);
    EXPECT_EQ(window->currentImage().path(), "good.img");
    EXPECT_EQ(window->currentImage().platform(), "FIRST");
    EXPECT_EQ(Settings::instance().imagePath(), "good.img");
}

TEST_F(WindowTest, StartupWithMissingStoredImage) {
    Settings::instance().setImagePath("deleted.img");
    KelFlash fresh(new FakeTab, new FakeTab);
    // Reported in this run's log at error level.
    bool reported = false;
    QDir logDir("log");
    for (const QString &name : logDir.entryList({"KelFlash_log_*.log"}, QDir::Files)) {
        QFile f(logDir.filePath(name));
        if (f.open(QIODevice::ReadOnly) &&
            f.readAll().contains("Image file dose not exist: \"deleted.img\"")) {
            reported = true;
        }
    }
    EXPECT_TRUE(reported);
    EXPECT_FALSE(fresh.isImageValid());
    EXPECT_FALSE(fresh.findChild<QWidget *>("imgInfo")->isVisibleTo(&fresh));
    EXPECT_FALSE(fresh.findChild<QPushButton *>("startBtn")->isEnabled());

    packImage("stored.img");
    Settings::instance().setImagePath("stored.img");
    FakeTab *readyTab = new FakeTab;
    readyTab->ready = true;
    KelFlash restored(readyTab, new FakeTab);
    EXPECT_TRUE(restored.isImageValid());
    EXPECT_EQ(restored.findChild<KelLineEdit *>("imagePath")->text(), "stored.img");
    EXPECT_TRUE(restored.findChild<QPushButton *>("startBtn")->isEnabled());
}

TEST(LabelFormat, CutsAfterTwelveCharacters) {
    QLabel label("进度：old value");
    setLabelValue(&label, "123456789012");
    EXPECT_EQ(label.text(),
              "进度" + kColon + "<span style=\"color: #335983;\">123456789012</span>");
    EXPECT_TRUE(label.toolTip().isEmpty());

    setLabelValue(&label, "1234567890123", "red");
    EXPECT_EQ(label.text(), "进度" + kColon + "<span style=\"color: red;\">123456789012...</span>");
    EXPECT_EQ(label.toolTip(), "1234567890123");

    // The caption survives repeated updates; the tool tip is cleared again.
    setLabelValue(&label, "5%");
    EXPECT_EQ(label.text(), "进度" + kColon + "<span style=\"color: #335983;\">5%</span>");
    EXPECT_TRUE(label.toolTip().isEmpty());

    // Header text is data, never markup.
    setLabelValue(&label, "<b>x</b>");
    EXPECT_EQ(label.text(),
              "进度" + kColon + "<span style=\"color: #335983;\">&lt;b&gt;x&lt;/b&gt;</span>");
}

TEST(FormatSize, UnitsAndDroppedZeroFraction) {
    EXPECT_EQ(formatSize(1536, 'f', 1), "1.5 KB");
    EXPECT_EQ(formatSize(3221225472ULL, 'f', 1), "3 GB");
    EXPECT_EQ(formatSize(1023, 'f', 1), "1023 B");
    EXPECT_EQ(formatSize(0, 'f', 1), "0 B");
    EXPECT_EQ(formatSize(1024, 'f', 1), "1 KB");
    EXPECT_EQ(formatSize(1572864, 'f', 1), "1.5 MB");
    EXPECT_EQ(formatSize(1048575, 'f', 1), "1024 KB");  // 1023.999 rounds up
    EXPECT_EQ(formatSize(5ULL << 40, 'f', 2), "5120 GB");
}

TEST_F(WindowTest, StartButtonFollowsImageAndReadiness) {
    burn->ready = true;
    emit burn->deviceReady(true);
    EXPECT_FALSE(start->isEnabled());  // no image yet

    packImage("good.img");
    window->selectImage("good.img");
    EXPECT_TRUE(start->isEnabled());

    burn->ready = false;
    emit burn->deviceReady(false);
    EXPECT_FALSE(start->isEnabled());

    // The card page decides while it is current, from the moment it is shown.
    burn->ready = true;
    emit burn->deviceReady(true);
    ASSERT_TRUE(start->isEnabled());
    tabs->setCurrentIndex(1);
    EXPECT_FALSE(start->isEnabled());
    card->ready = true;
    emit card->deviceReady(true);
    EXPECT_TRUE(start->isEnabled());
}

TEST_F(WindowTest, StartAndConfirmedStop) {
    readyToBurn();

    // A page that refuses to start leaves the window idle.
    burn->startResult = false;
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(burn->starts, 1);
    EXPECT_EQ(start->text(), "开始");
    EXPECT_TRUE(card->isEnabled());

    burn->startResult = true;
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(burn->starts, 2);
    EXPECT_EQ(start->text(), "停止");
    EXPECT_FALSE(card->isEnabled());
    EXPECT_TRUE(burn->isEnabled());
    // The other tab cannot be switched to, and the image cannot change under the job.
    EXPECT_FALSE(tabs->isTabEnabled(1));
    QTabBar *bar = tabs->findChild<QTabBar *>();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_FALSE(window->findChild<QPushButton *>("openBtn")->isEnabled());

    // Declined: paused and resumed, still working.
    clickWhenModal("confirm_cancel_btn");
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(burn->pauses, 1);
    EXPECT_EQ(burn->resumes, 1);
    EXPECT_EQ(burn->stops, 0);
    EXPECT_EQ(start->text(), "停止");

    clickWhenModal("confirm_ok_btn");
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(burn->pauses, 2);
    EXPECT_EQ(burn->resumes, 2);
    EXPECT_EQ(burn->stops, 1);
    EXPECT_EQ(start->text(), "开始");
    EXPECT_TRUE(card->isEnabled());
    EXPECT_TRUE(tabs->isTabEnabled(1));
    EXPECT_TRUE(window->findChild<QPushButton *>("openBtn")->isEnabled());
    EXPECT_TRUE(start->isEnabled());
}

TEST_F(WindowTest, JobEndingDuringTheStopQuestionIsNotAborted) {
    readyToBurn();
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_EQ(start->text(), "停止");

    // The job succeeds while the operator still reads the question, then says yes.
    QTimer::singleShot(0, [this] {
        burn->working = false;
        emit burn->workSuccessful();
    });
    clickWhenModal("confirm_ok_btn");
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(burn->stops, 0);
    EXPECT_EQ(label("resultLabel")->text(),
              "结果" + kColon + "<span style=\"color: green;\">SUCCESS</span>");
    EXPECT_EQ(start->text(), "开始");
    EXPECT_TRUE(card->isEnabled());
}

TEST_F(WindowTest, AutoBurnPressesStart) {
    packImage("good.img");
    window->selectImage("good.img");
    Settings::instance().setAutoBurn(true);
    burn->ready = true;
    emit burn->deviceReady(true);
    EXPECT_EQ(burn->starts, 1);
    EXPECT_EQ(start->text(), "停止");
    Settings::instance().setAutoBurn(false);
}

TEST_F(WindowTest, ClosingDuringAJobAsksAndWaitsForTheStop) {
    readyToBurn();
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_EQ(start->text(), "停止");

    // Declined: the job goes on and the window stays.
    clickWhenModal("confirm_cancel_btn");
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(burn->pauses, 1);
    EXPECT_EQ(burn->resumes, 1);
    EXPECT_EQ(burn->stops, 0);

    // Agreed: the job is stopped, and the window goes only once it has ended.
    burn->stopEndsJob = false;
    clickWhenModal("confirm_ok_btn");
    window->close();
    EXPECT_EQ(burn->stops, 1);
    QTest::qWait(300);
    EXPECT_TRUE(window->isVisible());
    window->close();  // asked once is enough
    EXPECT_TRUE(visibleDialogs().isEmpty());
    burn->working = false;
    EXPECT_TRUE(waitFor([&] { return !window->isVisible(); }, 2000));
    EXPECT_EQ(burn->stops, 1);
}

TEST_F(WindowTest, ResultStaysWhenTheBoardIsFoundAgain) {
    readyToBurn();
    QTest::mouseClick(start, Qt::LeftButton);
    emit burn->workStart();
    emit burn->workProgress(4096, 50);
    window->onTimerTick();
    burn->working = false;
    emit burn->workSuccessful();
    // The board resets and comes back: the page reports it ready again.
    emit burn->deviceReady(false);
    emit burn->deviceReady(true);
    EXPECT_EQ(label("resultLabel")->text(),
              "结果" + kColon + "<span style=\"color: green;\">SUCCESS</span>");
    EXPECT_EQ(label("progressLabel")->text(),
              "进度" + kColon + "<span style=\"color: #335983;\">100%</span>");
    EXPECT_EQ(label("timeLabel")->text(),
              "用时" + kColon + "<span style=\"color: #335983;\">1s</span>");
    // The next job starts from an empty row.
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(label("resultLabel")->text(),
              "结果" + kColon + "<span style=\"color: #335983;\"></span>");
}

TEST_F(WindowTest, HeaderFieldsTooWideForTheRowHaveToolTipsAndKeepTheirDistance) {
    ImagePackSpec spec;
    spec.platform = "KV7210-PRO-X";
    spec.product = "kv7210-evb-x";
    spec.version = "2026.03.01-r";
    spec.mediaType = "mmc";
    spec.mediaId = "emmc0";
    spec.components.push_back(image_pack_env_component({"parts_mmc=-(data)"}));
    std::string err;
    ASSERT_EQ(image_pack_write(spec, "wide.img", &err), 0) << err;
    window->selectImage("wide.img");
    QApplication::processEvents();
    int clipped = 0;
    for (const char *name : {"socLabel", "boardLabel", "versionLabel", "mediaLabel"}) {
        QLabel *l = label(name);
        if (l->width() < l->sizeHint().width()) {
            ++clipped;
            EXPECT_FALSE(l->toolTip().isEmpty()) << name;
        }
    }
    EXPECT_GT(clipped, 0) << "the row is wide enough: the case is not tested";
    QWidget *logBox = window->findChild<QWidget *>("logCheckBox");
    const int infoRight = info->mapTo(window, QPoint(info->width(), 0)).x();
    EXPECT_GE(logBox->mapTo(window, QPoint(0, 0)).x() - infoRight, 15);
}

TEST_F(WindowTest, StatusRowFollowsTheWork) {
    readyToBurn();
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_EQ(start->text(), "停止");

    emit burn->workStart();
    emit burn->workProgress(4096, 50);
    EXPECT_EQ(label("progressLabel")->text(),
              "进度" + kColon + "<span style=\"color: #335983;\">50%</span>");
    // Within the first second there is no rate yet.
    EXPECT_EQ(label("rateLabel")->text(),
              "速率" + kColon + "<span style=\"color: #335983;\"></span>");

    window->onTimerTick();
    window->onTimerTick();
    EXPECT_EQ(label("timeLabel")->text(),
              "用时" + kColon + "<span style=\"color: #335983;\">2s</span>");

    QTest::qWait(1100);
    emit burn->workProgress(3 * 1024 * 1024, 60);
    EXPECT_TRUE(label("rateLabel")->text().contains("/s</span>"));

    burn->working = false;
    emit burn->workFailed();
    EXPECT_EQ(label("resultLabel")->text(),
              "结果" + kColon + "<span style=\"color: red;\">FAIL</span>");
    EXPECT_EQ(start->text(), "开始");
    EXPECT_TRUE(card->isEnabled());

    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(label("resultLabel")->text(),
              "结果" + kColon + "<span style=\"color: #335983;\"></span>");
    burn->working = false;
    emit burn->workSuccessful();
    EXPECT_EQ(label("resultLabel")->text(),
              "结果" + kColon + "<span style=\"color: green;\">SUCCESS</span>");
    EXPECT_EQ(label("progressLabel")->text(),
              "进度" + kColon + "<span style=\"color: #335983;\">100%</span>");
}

TEST_F(WindowTest, TabChangeScansAndLeaves) {
    int burnScans = burn->scans;
    tabs->setCurrentIndex(1);
    EXPECT_EQ(card->scans, 1);
    EXPECT_EQ(burn->leaves, 1);
    tabs->setCurrentIndex(0);
    EXPECT_EQ(burn->scans, burnScans + 1);
    EXPECT_EQ(card->leaves, 1);
}

TEST_F(WindowTest, DeviceChangesGoToTheCurrentPage) {
    window->onDeviceChange(0x8000);  // disk arrival while the burn page is current
    window->onDeviceChange(0x8004);
    EXPECT_EQ(burn->scans, 0);
    EXPECT_EQ(card->scans, 0);
    window->onDeviceChange(7);
    EXPECT_EQ(burn->scans, 1);
    window->onDeviceChange(0x18);  // anything else is only logged
    EXPECT_EQ(burn->scans, 1);

    tabs->setCurrentIndex(1);
    int cardScans = card->scans;
    window->onDeviceChange(7);
    EXPECT_EQ(card->scans, cardScans);
    window->onDeviceChange(0x8000);
    window->onDeviceChange(0x8004);
    EXPECT_EQ(card->scans, cardScans + 2);
    EXPECT_EQ(burn->scans, 1);
}

TEST_F(WindowTest, LogLinesAtStartAndOnImageSelection) {
    MsgCapture capture;
    window->logSystemInfo();
    QStringList debug = capture.of(QtDebugMsg);
    ASSERT_EQ(debug.size(), 4);
    EXPECT_EQ(debug[0], "Software Version: \"1.0.8\"");
    EXPECT_TRUE(debug[1].startsWith("Machine Name: \"")) << debug[1].toStdString();
    EXPECT_TRUE(debug[2].startsWith("System Name: \"")) << debug[2].toStdString();
    EXPECT_EQ(debug[3], "CPU Architecture: \"" + QSysInfo::currentCpuArchitecture() + "\" \n");

    window->selectImage("nowhere.img");
    EXPECT_EQ(capture.of(QtCriticalMsg), QStringList{"Image file dose not exist: \"nowhere.img\""});

    packImage("good.img");
    window->selectImage("good.img");
    debug = capture.of(QtDebugMsg).mid(4);
    QStringList expected = {
        "Parse the image header from \"good.img\"",
        "Soc type: \"KV7210\"",
        "Board type: \"kv7210-evb-long-board-name\"",
        "Image version: \"2.1.0\"",
        "Storage type: \"mmc\"",
        "Storage ID: \"emmc0\"",
        "Meta count: \"" + QString::number(window->currentImage().fwcCount()) + "\" \n",
    };
    EXPECT_EQ(debug, expected);
    EXPECT_GE(window->currentImage().fwcCount(), 2u);
}

TEST_F(WindowTest, DeviceChangeLogLines) {
    MsgCapture capture;
    window->onDeviceChange(0x8000);
    window->onDeviceChange(0x8004);
    window->onDeviceChange(7);
    window->onDeviceChange(0x18);
    EXPECT_EQ(capture.of(QtDebugMsg),
              (QStringList{"\nWinEvent: Some device arrival or removed 32768",
                           "\nWinEvent: Some device arrival or removed 32772",
                           "\nWinEvent: Some devnode changed",
                           "\nWindowsEvent: Receive other event 24"}));
}

TEST_F(WindowTest, NegativeProgressPositionShowsNoRate) {
    readyToBurn();
    QTest::mouseClick(start, Qt::LeftButton);
    emit burn->workStart();
    QTest::qWait(1100);
    emit burn->workProgress(-4096, 10);
    EXPECT_EQ(label("progressLabel")->text(),
              "进度" + kColon + "<span style=\"color: #335983;\">10%</span>");
    EXPECT_EQ(label("rateLabel")->text(),
              "速率" + kColon + "<span style=\"color: #335983;\"></span>");
}

TEST(WindowPages, PageSpecificOperationsAndCardFormat) {
    packImage("paged.img");
    Settings::instance().setImagePath("paged.img");
    QStringList burnCalls, cardCalls;
    auto *burnPage = new FullPage(&burnCalls);
    auto *cardPage = new FullPage(&cardCalls);
    auto *window = new KelFlash(burnPage, cardPage);
    // The stored image is adopted first, then the burn page sets up its connection.
    EXPECT_EQ(burnCalls, (QStringList{"setImage", "refreshPartitionTree", "reapplyConnectType"}));
    EXPECT_EQ(cardCalls, (QStringList{"setImage", "showCardImage"}));

    burnCalls.clear();
    cardCalls.clear();
    window->selectImage("paged.img");
    EXPECT_EQ(burnCalls, (QStringList{"setImage", "refreshPartitionTree"}));
    EXPECT_EQ(cardCalls, (QStringList{"setImage", "showCardImage"}));

    auto *tabs = window->findChild<QTabWidget *>("tabWidget");
    QTimer *clock = nullptr;
    for (QTimer *t : window->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (t->interval() == 1000) {
            clock = t;
        }
    }
    ASSERT_NE(clock, nullptr);
    QLabel *result = window->findChild<QLabel *>("resultLabel");
    KelFlash::setLabelValue(result, "FAIL", "red");

    // A job on the burn page does not start the clock on its own workStart.
    emit burnPage->workStart();
    EXPECT_FALSE(clock->isActive());

    // The card page is current but not formatting: nothing but the start time.
    tabs->setCurrentIndex(1);
    emit cardPage->workStart();
    EXPECT_FALSE(clock->isActive());
    EXPECT_TRUE(result->text().contains("FAIL"));

    // A format started from inside the card page resets the row and starts the clock.
    cardPage->formatting = true;
    window->onTimerTick();
    emit cardPage->workStart();
    EXPECT_TRUE(clock->isActive());
    EXPECT_EQ(result->text(), "结果" + kColon + "<span style=\"color: #335983;\"></span>");
    window->onTimerTick();
    EXPECT_EQ(window->findChild<QLabel *>("timeLabel")->text(),
              "用时" + kColon + "<span style=\"color: #335983;\">1s</span>");
    cardPage->formatting = false;
    emit cardPage->workSuccessful();
    EXPECT_FALSE(clock->isActive());
    EXPECT_TRUE(burnPage->isEnabled());

    // The pages go before the library shuts down, and what they log on the way out
    // still reaches this run's log file.
    FullPage::libraryUpWhenDestroyed = false;
    delete window;
    EXPECT_TRUE(FullPage::libraryUpWhenDestroyed);
    bool logged = false;
    QDir logDir("log");
    for (const QString &name : logDir.entryList({"KelFlash_log_*.log"}, QDir::Files)) {
        QFile f(logDir.filePath(name));
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains("page destroyed marker")) {
            logged = true;
        }
    }
    EXPECT_TRUE(logged);
    Settings::instance().setImagePath(QString());
}

TEST(QtTranslations, QtsOwnDialogsSpeakTheProgramsLanguage) {
    ASSERT_TRUE(installQtTranslations(*QCoreApplication::instance()));
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QString::fromUtf8("查找范围："));
}

#include "kelflash_window_test.moc"
