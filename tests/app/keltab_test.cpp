#include "imagefile.h"
#include "keltab.h"
#include "msg_capture.h"
#include "testworkers.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

namespace {

// Writes a minimal well-formed image: header with magic, no FWC records and
// `dataSize` bytes of component data, so that its "file size" is `dataSize`. The
// data is a hole in the file, so even images of several GiB cost nothing.
QString writeImage(const QString &name, quint32 dataSize) {
    QByteArray bytes(2048, '\0');
    std::memcpy(bytes.data(), "KEL.FW\0", 7);
    const quint32 metaSize = 0;
    for (int i = 0; i < 4; ++i) {
        bytes[336 + i] = static_cast<char>((metaSize >> (8 * i)) & 0xff);
        bytes[344 + i] = static_cast<char>((dataSize >> (8 * i)) & 0xff);
    }
    const QString path = QDir::current().absoluteFilePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.resize(2048 + qint64(dataSize))) {
        return QString();
    }
    return path;
}

std::unique_ptr<ImageFile> loadImage(const QString &name, quint32 dataSize) {
    auto image = std::make_unique<ImageFile>();
    const QString path = writeImage(name, dataSize);
    if (path.isEmpty() || image->setPath(path) != 0 || image->loadHeader() != 0) {
        return nullptr;
    }
    return image;
}

// A page that runs a LoopWorker, as the burn and card tabs run theirs.
class TestTab : public KelTab {
public:
    bool startWork() override {
        adoptWorker(new LoopWorker(image));
        worker->start();
        return true;
    }
    LoopWorker *loopWorker() { return static_cast<LoopWorker *>(worker); }
};

QLabel *fillOf(KelTab &tab) {
    return tab.findChild<QLabel *>("tabProgress");
}

}  // namespace

TEST(KelTab, BaseDefaults) {
    KelTab tab;
    EXPECT_FALSE(tab.isReady());
    EXPECT_FALSE(tab.startWork());
    EXPECT_FALSE(tab.isWorking());
    tab.releaseWorker();  // nothing to release
    QLabel *fill = fillOf(tab);
    ASSERT_NE(fill, nullptr);
    EXPECT_EQ(fill->width(), 84);
    EXPECT_EQ(fill->maximumHeight(), 0);
    ASSERT_NE(fill->parentWidget(), nullptr);
    EXPECT_EQ(fill->parentWidget()->minimumSize(), QSize(84, 78));
    EXPECT_EQ(fill->parentWidget()->maximumSize(), QSize(84, 78));
}

TEST(KelTab, SetProgressBoundsAndRounding) {
    auto image = loadImage("progress.img", 1000);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->fileSize(), 1000u);
    KelTab tab;
    tab.setImage(image.get());
    QSignalSpy spy(&tab, &KelTab::workProgress);
    QLabel *fill = fillOf(tab);

    tab.setProgress(500);
    ASSERT_EQ(spy.size(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 500);
    EXPECT_EQ(spy.at(0).at(1).toInt(), 50);
    EXPECT_EQ(fill->maximumHeight(), 39);

    {
        MsgCapture messages;
        tab.setProgress(-1);
        tab.setProgress(1001);
        const QStringList warnings = messages.of(QtWarningMsg);
        ASSERT_EQ(warnings.size(), 2);
        EXPECT_TRUE(warnings.at(0).startsWith("Invalid progress position: "));
        EXPECT_TRUE(warnings.at(0).endsWith("-1"));
        EXPECT_TRUE(warnings.at(1).endsWith("1001"));
    }
    EXPECT_EQ(spy.size(), 1);
    EXPECT_EQ(fill->maximumHeight(), 39);

    tab.setProgress(1000);
    ASSERT_EQ(spy.size(), 2);
    EXPECT_EQ(spy.at(1).at(1).toInt(), 100);
    EXPECT_EQ(fill->maximumHeight(), 78);
    EXPECT_EQ(fill->minimumHeight(), 78);

    tab.setProgress(1);  // 0.078 px and 0.1 % both truncate to 0
    EXPECT_EQ(spy.at(2).at(1).toInt(), 0);
    EXPECT_EQ(fill->maximumHeight(), 0);

    // Whole-number percentages: 29 of 100 is 29 %, which a floating ratio loses.
    tab.setProgress(290);
    EXPECT_EQ(spy.at(3).at(1).toInt(), 29);
    EXPECT_EQ(fill->maximumHeight(), 22);
}

TEST(KelTab, ProgressKeepsMovingPastTwoGibibytes) {
    // The largest image the format can describe.
    auto image = loadImage("huge.img", 0xFFFFFFFFu);
    ASSERT_NE(image, nullptr);
    KelTab tab;
    tab.setImage(image.get());
    QSignalSpy spy(&tab, &KelTab::workProgress);
    const qint64 positions[] = {qint64(1) << 31, qint64(3) << 30, 0xFFFFFFFFll};
    const int percents[] = {50, 75, 100};
    for (int i = 0; i < 3; ++i) {
        tab.setProgress(positions[i]);
        ASSERT_EQ(spy.size(), i + 1);
        EXPECT_EQ(spy.at(i).at(0).toLongLong(), positions[i]);
        EXPECT_EQ(spy.at(i).at(1).toInt(), percents[i]);
    }
    EXPECT_EQ(fillOf(tab)->maximumHeight(), 78);
}

TEST(KelTab, SetProgressWithoutImageOrWithEmptyImage) {
    KelTab tab;
    QSignalSpy spy(&tab, &KelTab::workProgress);
    MsgCapture messages;
    tab.setProgress(5);
    EXPECT_EQ(spy.size(), 0);
    EXPECT_TRUE(messages.of(QtWarningMsg).isEmpty());

    auto empty = loadImage("empty.img", 0);
    ASSERT_NE(empty, nullptr);
    tab.setImage(empty.get());
    tab.setProgress(0);  // no division by a zero size
    EXPECT_EQ(spy.size(), 0);
    EXPECT_EQ(messages.of(QtWarningMsg).size(), 1);
}

TEST(KelTab, StopShowsAbortThenFailureReplacesIt) {
    auto image = loadImage("stop.img", 1000);
    ASSERT_NE(image, nullptr);
    TestTab tab;
    tab.setImage(image.get());
    QSignalSpy started(&tab, &KelTab::workStart);
    QSignalSpy failed(&tab, &KelTab::workFailed);
    ASSERT_TRUE(tab.startWork());
    EXPECT_TRUE(tab.isWorking());
    ASSERT_TRUE(waitFor([&] { return started.size() == 1; }));

    tab.pauseWork();
    EXPECT_TRUE(tab.loopWorker()->isPaused());
    tab.resumeWork();
    EXPECT_FALSE(tab.loopWorker()->isPaused());

    tab.stopWork();
    EXPECT_EQ(tab.message(), QString("执行中止！"));
    EXPECT_EQ(tab.findChildren<QLabel *>().last()->styleSheet(), QString("color: blue;"));
    ASSERT_TRUE(waitFor([&] { return failed.size() == 1; }));
    EXPECT_EQ(tab.message(), QString("执行失败！"));
    EXPECT_EQ(tab.findChildren<QLabel *>().last()->styleSheet(), QString("color: red;"));
    ASSERT_TRUE(waitFor([&] { return !tab.isWorking(); }));
}

TEST(KelTab, SuccessIsRelayedWithProgress) {
    auto image = loadImage("ok.img", 1000);
    ASSERT_NE(image, nullptr);
    TestTab tab;
    tab.setImage(image.get());
    QSignalSpy progress(&tab, &KelTab::workProgress);
    QSignalSpy succeeded(&tab, &KelTab::workSuccessful);
    ASSERT_TRUE(tab.startWork());
    tab.loopWorker()->succeedNow = true;
    ASSERT_TRUE(waitFor([&] { return succeeded.size() == 1; }));
    ASSERT_EQ(progress.size(), 1);
    EXPECT_EQ(progress.at(0).at(0).toInt(), 500);
    EXPECT_EQ(progress.at(0).at(1).toInt(), 50);
    EXPECT_EQ(tab.message(), QString("执行成功！"));
}

TEST(KelTab, ReleaseWorkerDestroysARunningWorker) {
    auto image = loadImage("release.img", 1000);
    ASSERT_NE(image, nullptr);
    TestTab tab;
    tab.setImage(image.get());
    ASSERT_TRUE(tab.startWork());
    ASSERT_TRUE(tab.isWorking());
    tab.releaseWorker();
    EXPECT_EQ(tab.currentWorker(), nullptr);
    EXPECT_FALSE(tab.isWorking());

    // A second job replaces the first; the tab's destruction stops the running one.
    ASSERT_TRUE(tab.startWork());
    ASSERT_TRUE(tab.startWork());
    EXPECT_TRUE(tab.isWorking());
}
