// The card page on cards of the test's own (card image files and loop devices,
// declared to the disk registry as removable cards), read back with sfdisk.
#include <QComboBox>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "card_fixture.h"
#include "cardtab.h"
#include "carddisk.h"
#include "diskaccesshint.h"
#include "imagefile.h"
#include "kelflash.h"
#include "modal_answer.h"
#include "pack_sample.h"
#include "private_adb.h"
#include "recordstore.h"
#include "qt_wait.h"
#include "settings.h"
#include "simcards.h"

namespace {

const quint64 kMiB = 1 << 20;

int declareCard(const QString &path, const QString &model = QString()) {
    DiskProperties p;
    p.removable = true;
    p.vendor = "Kel";
    p.model = model;
    return DiskRegistry::instance().declareCard(path, p).number;
}

// A card the card list shows.
struct ListedCard : Card {
    explicit ListedCard(quint64 size = 8 * kMiB, bool loop = false) : Card(size, 512, loop) {
        model = "Card" + QString::number(serial);
        number = declareCard(path, model);
    }
    ~ListedCard() { DiskRegistry::instance().withdrawCard(path); }
    int number = -1;
    QString model;
};

// Packs an image for SD cards into `path`; with `image`, also loads it there.
QString makeImage(const QString &path, const std::string &version = "2.1.0",
                  const std::string &media = "mmc", size_t rootfs = 2 * kMiB,
                  ImageFile *image = nullptr) {
    ImagePackSpec spec = packtest::evbSpec();
    spec.version = version;
    spec.mediaType = media;
    spec.components.push_back(image_pack_env_component({"parts_mmc=1m(spl),-(rootfs)"}));
    spec.components.push_back(packtest::component("spl", "spl", packtest::fillBytes(40000, 1, 3), "run"));
    spec.components.push_back(packtest::component("image.target.rootfs", "rootfs",
                                                  packtest::fillBytes(rootfs, 2, 3), "burn"));
    std::string error;
    EXPECT_EQ(image_pack_write(spec, path.toStdString(), &error), 0) << error;
    if (image) {
        image->setPath(path);
        EXPECT_EQ(image->loadHeader(), 0);
    }
    return path;
}

QStringList partitionNames(const QString &path) {
    QStringList names;
    for (const QJsonValue &v : sfdisk(path).value("partitions").toArray()) {
        names << v.toObject().value("name").toString();
    }
    return names;
}

class CardTabTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeImage("tab.img", "2.1.0", "mmc", 2 * kMiB, &image);
        tab.setImage(&image);
        // The page builds its controls when it is first shown.
        tab.show();
        list = tab.findChild<QComboBox *>("cardList");
        info = tab.findChild<QLabel *>("cardInfo");
    }
    // Starts a bring-up job on the selected card, the operator confirming.
    bool start() {
        answerNextDialog("confirm_ok_btn");
        return tab.startWork();
    }
    bool waitEnd(QSignalSpy &done) { return waitFor([&] { return done.count() > 0; }, 60000); }
    void click(const char *name) { QTest::mouseClick(tab.findChild<QWidget *>(name), Qt::LeftButton); }

    ImageFile image;
    CardTab tab;
    QComboBox *list = nullptr;
    QLabel *info = nullptr;
    QSignalSpy ok{&tab, &KelTab::workSuccessful};
};

TEST_F(CardTabTest, AfterAJobTheRescanReselectsItsCardOrTheFirstOneLeft) {
    std::unique_ptr<ListedCard> cards[3];
    for (auto &c : cards) {
        c = std::make_unique<ListedCard>();
    }
    tab.scanDevices();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->itemText(2), "Kel " + cards[2]->model + " (8 MB)");
    list->setCurrentIndex(2);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitEnd(ok));
    EXPECT_EQ(partitionNames(cards[2]->file), QStringList({"spl", "rootfs"}));
    // The scan after the job: the same card, its new mark, the result kept.
    ASSERT_TRUE(waitFor([&] { return info->isVisibleTo(&tab); }));
    EXPECT_EQ(list->currentIndex(), 2);
    EXPECT_TRUE(info->text().contains("版本号：2.1.0"));
    EXPECT_EQ(tab.message(), "执行成功！");

    cards[2].reset();
    cards[1].reset();
    tab.scanDevices();
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->currentData().toInt(), cards[0]->number);
    cards[0].reset();
    QSignalSpy ready(&tab, &KelTab::deviceReady);
    tab.scanDevices();
    EXPECT_FALSE(list->isVisibleTo(&tab));
    EXPECT_EQ(ready.takeFirst().at(0).toBool(), false);
}

TEST_F(CardTabTest, TheCardsMarkIsComparedWithTheImage) {
    struct Case {
        const char *markVersion;  // none: a card without a mark
        const char *message;
    } cases[] = {{nullptr, ""},
                 {"2.1.0", "SD卡中有相同版本的镜像文件"},
                 {"2.2.0", "SD卡中有其他版本的镜像文件"}};
    ImageFile other;
    std::unique_ptr<ListedCard> card;
    for (const Case &c : cases) {
        card = std::make_unique<ListedCard>();
        if (c.markVersion) {
            makeImage("other.img", c.markVersion, "mmc", 2 * kMiB, &other);
            CardDisk disk;
            ASSERT_TRUE(disk.setDisk(DiskRegistry::instance().disk(card->number)) &&
                        disk.writeImageMark(&other));
        }
        tab.scanDevices();
        EXPECT_EQ(tab.message(), c.message);
        EXPECT_EQ(info->isVisibleTo(&tab), c.markVersion != nullptr);
        if (c.markVersion) {
            EXPECT_TRUE(info->text().contains(QString("版本号：") + c.markVersion));
        }
    }
    // The window asks by name after an image was chosen, and when a job begins.
    tab.setImage(&other);
    ASSERT_TRUE(QMetaObject::invokeMethod(&tab, "showCardImage"));
    EXPECT_EQ(tab.message(), "SD卡中有相同版本的镜像文件");
    bool formatting = true;
    ASSERT_TRUE(QMetaObject::invokeMethod(&tab, "isFormatting", Q_RETURN_ARG(bool, formatting)));
    EXPECT_FALSE(formatting);
    // Without the card there is nothing to compare a new image with.
    card.reset();
    tab.scanDevices();
    tab.showCardImage();
    EXPECT_FALSE(info->isVisibleTo(&tab));
    EXPECT_EQ(tab.message(), "未发现SD卡");
}

// KELFLASH_SIM_CARDS: card image files and loop devices, nothing else, are
// listed as cards; without any card the page says so.
TEST_F(CardTabTest, SimulatedCardsAreListedAndNoCardIsSaid) {
    if (!scanCards().isEmpty()) {
        GTEST_SKIP() << "this computer has a card of its own";
    }
    tab.scanDevices();
    EXPECT_EQ(tab.message(), "未发现SD卡");
    EXPECT_FALSE(list->isVisibleTo(&tab));

    Card file(8 * kMiB, 512, false);
    Card loop(16 * kMiB, 512, true);
    QDir().mkpath("folder");
    QString named = file.file + " /dev/null,folder /nonexistent/card.img";
    if (loop.usable()) {
        named += " " + loop.path;
        EXPECT_EQ(simCardKind(loop.path), SimCardKind::LoopDevice);
    }
    EXPECT_EQ(simCardKind(file.file), SimCardKind::ImageFile);
    for (const char *other : {"/dev/null", "folder", "/nonexistent/card.img"}) {
        EXPECT_EQ(simCardKind(other), SimCardKind::None) << other;
    }
    qputenv(kSimCardsVariable, named.toLocal8Bit());
    tab.scanDevices();
    qunsetenv(kSimCardsVariable);
    EXPECT_EQ(list->count(), loop.usable() ? 2 : 1);
    EXPECT_EQ(list->itemText(0), "KelSim SD Card (8 MB)");
    EXPECT_EQ(list->itemText(1), loop.usable() ? "KelSim SD Card (16 MB)" : "");
    EXPECT_EQ(tab.message(), "");
    EXPECT_TRUE(scanCards().isEmpty()) << "only what the variable names now";
    if (loop.usable()) {
        // A block device, but with no file behind it no card.
        const QString node = loop.path;
        closeDiskHandle(loop.handle);  // else the detach waits for it
        loop.handle = kInvalidDisk;
        loop.device->detach();
        EXPECT_EQ(simCardKind(node), SimCardKind::None);
    }
}

TEST_F(CardTabTest, RefusalsOnlyShowTheirMessage) {
    ListedCard card;
    tab.scanDevices();
    ImageFile upper;
    makeImage("upper.img", "2.1.0", "MMC", 2 * kMiB, &upper);
    tab.setImage(&upper);
    auto alert = answerNextDialog("alert_ok_btn");
    EXPECT_FALSE(tab.startWork());
    ASSERT_TRUE(waitFor([&] { return !alert->isEmpty(); }));
    EXPECT_EQ(*alert, "制作启动卡的镜像文件必须是mmc类型！");
    tab.setImage(&image);

    // Root may not write an immutable file, anyone else a read-only one.
    const bool root = getuid() == 0;
    ASSERT_EQ(root ? run("chattr", {"+i", card.file}) : QString(), "");
    QFile::setPermissions(card.file, QFile::ReadOwner);
    EXPECT_FALSE(start());
    const QString hint = diskAccessHint().isEmpty() ? "" : "\n" + diskAccessHint();
    EXPECT_EQ(tab.message(), "写SD卡的操作需要\"以管理员身份运行\"" + hint);
    answerNextDialog("confirm_ok_btn");
    click("formatBtn");
    EXPECT_EQ(tab.message(), "格式化SD卡的操作需要\"以管理员身份运行\"" + hint);
    if (root) {
        run("chattr", {"-i", card.file});
    }
    EXPECT_EQ(tab.currentWorker(), nullptr);
}

// With the image check of the hidden settings on, an image whose component
// differs from its record's CRC-32 is refused before the card is touched.
TEST_F(CardTabTest, ADamagedImageIsRefusedWithTheCheckOn) {
    ListedCard card;
    tab.scanDevices();
    QFile f("tab.img");
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.seek(f.size() - 10));
    const char was = f.read(1).at(0);
    ASSERT_TRUE(f.seek(f.size() - 10) && f.putChar(char(was ^ 1)));
    f.close();
    Settings::instance().setCheckImageCrc(true);
    EXPECT_FALSE(start());
    Settings::instance().setCheckImageCrc(false);
    EXPECT_EQ(tab.message(),
              "镜像文件已损坏：image.target.rootfs 的数据与记录的CRC校验值不符，已拒绝使用！");
    EXPECT_EQ(tab.currentWorker(), nullptr);
    EXPECT_EQ(card.bytes(), QByteArray(int(8 * kMiB), '\0'));
}

// A card that cannot be written is refused before the question: one locked
// against writing, and one put in the reader after the list was made (another
// loop device at the same node).
TEST_F(CardTabTest, ALockedOrChangedCardIsRefusedBeforeTheQuestion) {
    ListedCard reader(8 * kMiB, true);
    NEED_CARD(reader);
    closeDiskHandle(reader.handle);
    reader.handle = kInvalidDisk;
    tab.scanDevices();
    ASSERT_EQ(list->currentData().toInt(), reader.number);
    const QString node = reader.path;

    ASSERT_EQ(run("blockdev", {"--setro", node}), "");
    EXPECT_FALSE(tab.startWork()) << "no question may be asked: none is answered";
    EXPECT_EQ(tab.message(), "SD卡处于写保护状态，请关闭写保护开关后重试");
    tab.showSuccess(QString());
    click("formatBtn");
    EXPECT_EQ(tab.message(), "SD卡处于写保护状态，请关闭写保护开关后重试");
    run("blockdev", {"--setrw", node});

    QFile other("other.img");
    ASSERT_TRUE(other.open(QIODevice::WriteOnly) && other.write(QByteArray(int(kMiB), '\x42')) > 0 &&
                other.resize(qint64(8 * kMiB)));
    other.close();
    reader.device->detach();
    ASSERT_EQ(run("losetup", {node, "other.img"}), "");
    EXPECT_FALSE(tab.startWork());
    EXPECT_EQ(tab.message(), "SD卡已更换或已拔出，请重新选择SD卡");
    // Listed again: the card now in the reader is another one.
    EXPECT_NE(list->currentData().toInt(), reader.number);
    run("losetup", {"--detach", node});
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_TRUE(other.read(qint64(kMiB)) == QByteArray(int(kMiB), '\x42'));
    EXPECT_EQ(tab.currentWorker(), nullptr);
}

// Run by the next test as an operator without rights, on a card it may only read.
TEST_F(CardTabTest, DISABLED_AsOperator) {
    declareCard(qEnvironmentVariable("READ_ONLY_CARD"));
    tab.scanDevices();
    EXPECT_FALSE(start());
    EXPECT_TRUE(tab.message().endsWith("\n" + diskAccessHint())) << tab.message().toStdString();
    EXPECT_TRUE(tab.message().contains("disk组"));
}

TEST(CardTabAccess, AnOperatorWithoutRightsIsToldHowToGetThem) {
    if (getuid() != 0) {
        GTEST_SKIP() << "only root can act as another user";
    }
    QTemporaryDir dir("/tmp/cardtab-XXXXXX");
    QFile card(dir.filePath("card.img"));
    ASSERT_TRUE(card.open(QIODevice::WriteOnly) && card.resize(kMiB));
    card.close();
    QFile::setPermissions(dir.path(), QFile::Permissions(0x7777));
    QProcess child;
    child.setWorkingDirectory(dir.path());
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("READ_ONLY_CARD", card.fileName());
    child.setProcessEnvironment(env);
    child.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                            QCoreApplication::applicationFilePath(), "--gtest_also_run_disabled_tests",
                            "--gtest_filter=CardTabTest.DISABLED_AsOperator"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString out = QString::fromUtf8(child.readAll());
    if (!out.contains("[==========]")) {
        GTEST_SKIP() << "the test program cannot run as nobody here: " << out.toStdString();
    }
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
}

TEST_F(CardTabTest, AFormatReportsItsStagesAndLeavesOneVolume) {
    ListedCard card(16 * kMiB);
    tab.scanDevices();
    click("tableSwitch");
    EXPECT_EQ(tab.message(), "注意：Kelvora启动卡暂时只支持GPT格式");
    click("tableSwitch");
    EXPECT_EQ(tab.message(), "");
    click("tableSwitch");
    QSignalSpy progress(&tab, &KelTab::workProgress);
    auto question = answerNextDialog("confirm_ok_btn");
    click("formatBtn");
    // Accepting formats, so the question must be whether to go on.
    EXPECT_EQ(*question, "格式化SD卡会造成数据丢失，请确认是否继续？");
    EXPECT_TRUE(tab.isFormatting());
    ASSERT_TRUE(waitEnd(ok)) << tab.message().toStdString();
    QList<qint64> stages;
    for (const QList<QVariant> &args : progress) {
        stages << args.at(1).toLongLong();  // the percentage: a stage has no position
    }
    EXPECT_EQ(stages, (QList<qint64>{10, 20, 50, 100}));
    EXPECT_EQ(progress.last().at(0).toLongLong(), -1) << "a format is no transfer: no rate";
    EXPECT_FALSE(tab.isFormatting());
    EXPECT_EQ(sfdisk(card.file).value("label").toString(), "dos");
    EXPECT_EQ(partitionNames(card.file).size(), 1);
}

// The whole page in the window, as an operator sees it: a reader whose card
// comes, is made a bring-up card with the start button, is formatted, and is
// pulled out during the next job.
TEST(CardPage, ACardComesIsWrittenFormattedAndGoesWithTheDevice) {
    PrivateAdb adb("#!/bin/sh\necho 'error: no devices/emulators found'\n");
    Settings::instance().setImagePath(QString());
    // Every job leaves its record in data.db, beside the statistics.
    RecordStore store(RecordTarget::sqlite(QFileInfo("data.db").absoluteFilePath()), "card-reader");
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    const int before = int(store.count());
    KelFlash window;
    window.show();
    auto *tabs = window.findChild<QTabWidget *>("tabWidget");
    tabs->setCurrentIndex(1);
    auto *page = static_cast<CardTab *>(tabs->widget(1));
    auto *list = window.findChild<QComboBox *>("cardList");
    auto *startBtn = window.findChild<QPushButton *>("startBtn");
    ListedCard reader(64 * kMiB, true);
    NEED_CARD(reader);
    closeDiskHandle(reader.handle);  // only the page uses the card
    reader.handle = kInvalidDisk;
    // The card is "inserted": the kernel tells about the disk again.
    QFile uevent("/sys/block/" + QFileInfo(reader.path).fileName() + "/uevent");
    ASSERT_TRUE(uevent.open(QIODevice::WriteOnly) && uevent.write("change\n") > 0);
    uevent.close();
    ASSERT_TRUE(waitFor([&] { return list->findData(reader.number) >= 0 && list->isVisible(); }));
    list->setCurrentIndex(list->findData(reader.number));

    window.selectImage(makeImage("window.img"));
    answerNextDialog("confirm_ok_btn");
    QTest::mouseClick(startBtn, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return page->message() == "执行成功！"; }, 60000));
    EXPECT_EQ(partitionNames(reader.path), QStringList({"spl", "rootfs"}));

    answerNextDialog("confirm_ok_btn");
    QTest::mouseClick(window.findChild<QPushButton *>("formatBtn"), Qt::LeftButton);
    EXPECT_TRUE(waitFor([&] { return !startBtn->isEnabled(); })) << "a second job on the card";
    ASSERT_TRUE(waitFor([&] { return !page->isFormatting() && page->message() == "执行成功！"; },
                        60000));
    EXPECT_EQ(sfdisk(reader.path).value("label").toString(), "gpt");
    EXPECT_TRUE(window.findChild<QLabel *>("resultLabel")->text().contains("SUCCESS"));

    window.selectImage(makeImage("big.img", "2.1.0", "mmc", 40 * kMiB));
    answerNextDialog("confirm_ok_btn");
    QTest::mouseClick(startBtn, Qt::LeftButton);
    page->pauseWork();
    QSignalSpy progress(page, &KelTab::workProgress);
    ASSERT_TRUE(waitFor([&] { return progress.count() > 0; }));
    // The reader loses its medium while the job is held between two chunks,
    // then goes away; the card list empties without a click.
    QFile::resize(reader.file, 0);
    run("losetup", {"--set-capacity", reader.path});
    reader.device->detach();
    page->resumeWork();
    // The removal's rescan and the job's failure come from two threads: either
    // may reach the page first.
    ASSERT_TRUE(waitFor([&] { return !list->isVisible() && page->message() == "执行失败！"; },
                        60000))
        << page->message().toStdString();
    EXPECT_TRUE(window.findChild<QLabel *>("resultLabel")->text().contains("FAIL"));
    EXPECT_FALSE(startBtn->isEnabled());

    ASSERT_TRUE(waitFor([&] { return store.count() >= before + 3; }));
    const QList<BoardRecord> jobs = store.records().mid(before);
    ASSERT_EQ(jobs.size(), 3);
    const char *want[][3] = {{"card-write", "ok", "window.img"},
                             {"card-format", "ok", ""},
                             {"card-write", "failed", "big.img"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(jobs[i].jobKind, want[i][0]) << i;
        EXPECT_EQ(jobs[i].result, want[i][1]) << i;
        EXPECT_EQ(jobs[i].imageName, want[i][2]) << i;
        EXPECT_EQ(jobs[i].link, "card") << i;
        EXPECT_EQ(jobs[i].location, reader.path) << i;
        EXPECT_EQ(jobs[i].cardSize, qint64(64 * kMiB)) << i;
    }
    EXPECT_GT(jobs[0].bytesWritten, 0);
    // The failed job was held before its first chunk: it wrote nothing.
    EXPECT_EQ(jobs[2].bytesWritten, 0);
    EXPECT_FALSE(jobs[2].failureCode.isEmpty());
    EXPECT_FALSE(jobs[2].failureMessage.isEmpty());
}

}  // namespace
