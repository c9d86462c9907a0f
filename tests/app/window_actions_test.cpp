// The main window's secondary actions as an operator uses them: tool bar, image
// history, log window and its check box, the hidden settings sequence.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <gtest/gtest.h>

#include "dialog_util.h"
#include "fake_tab.h"
#include "image_pack.h"
#include "imghistorydialog.h"
#include "kelabout.h"
#include "kelbutton.h"
#include "kelcheckbox.h"
#include "kelcombobox.h"
#include "keldialog.h"
#include "kelflash.h"
#include "kellabel.h"
#include "kellineedit.h"
#include "kellogdialog.h"
#include "kelswitch.h"
#include "msg_capture.h"
#include "private_adb.h"
#include "qt_wait.h"
#include "settingdialog.h"
#include "settings.h"
#include "statisticdialog.h"

namespace {

QString packImage(const QString &name) {
    ImagePackSpec spec;
    spec.platform = "KV7210";
    spec.product = "evb";
    spec.version = "1.0.0";
    spec.mediaType = "mmc";
    spec.mediaId = "emmc0";
    spec.components.push_back(image_pack_env_component({"parts_mmc=16m(boot),-(data)"}));
    std::string err;
    const QString path = QDir::current().absoluteFilePath(name);
    EXPECT_EQ(image_pack_write(spec, path.toStdString(), &err), 0) << err;
    return path;
}

class WindowActions : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::instance().setImagePath(QString());
        Settings::instance().setShowStatistic(false);
        window = new KelFlash(new FakeTab, new FakeTab);
        window->show();
        toolBar = window->findChild<QWidget *>("functionBtn");
        logCheck = window->findChild<KelCheckBox *>("logCheckBox");
    }
    void TearDown() override {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<KelDialog *>(w)) {
                w->close();
            }
        }
        delete window;
    }

    KelLabel *toolLabel(const QString &toolTip) {
        for (KelLabel *label : toolBar->findChildren<KelLabel *>()) {
            if (label->toolTip() == toolTip) {
                return label;
            }
        }
        return nullptr;
    }
    void type(const QString &keys) {
        QTest::keyClicks(window, keys);
        QTest::keyClick(window, Qt::Key_Return);
    }
    SettingDialog *settingsShown() {
        auto *d = window->findChild<SettingDialog *>();
        return d && d->isVisible() ? d : nullptr;
    }

    PrivateAdb adb{"#!/bin/sh\necho 'error: no devices/emulators found'\n"};
    KelFlash *window = nullptr;
    QWidget *toolBar = nullptr;
    KelCheckBox *logCheck = nullptr;
    KelLogDialog *logDialog = nullptr;
};

TEST_F(WindowActions, HiddenSequenceOpensSettings) {
    const struct {
        const char *keys;
        bool opens;
    } cases[] = {
        {"vq1j", false}, {"vqj", true}, {"vqjx", false}, {"VQJ", true},
        {"xvqj", false}, {"VqJ", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        type(c.keys);
        EXPECT_EQ(settingsShown() != nullptr, c.opens);
        if (settingsShown()) {
            settingsShown()->close();
        }
    }
    // The keypad's Enter is not Return.
    QTest::keyClicks(window, "vqj");
    QTest::keyClick(window, Qt::Key_Enter);
    EXPECT_EQ(settingsShown(), nullptr);
}

// The connection-type box takes letters for its own search; the sequence
// still counts while it has the focus.
TEST_F(WindowActions, HiddenSequenceWorksWhileAControlHasTheFocus) {
    QWidget *page = window->findChild<QTabWidget *>("tabWidget")->widget(0);
    auto *box = new KelComboBox(page);
    box->addItem("USB");
    box->addItem("串口");
    box->show();
    QApplication::setActiveWindow(window);
    box->setFocus();
    ASSERT_TRUE(waitFor([&] { return QApplication::focusWidget() == box; }, 2000));
    QTest::keyClicks(box, "vqj");
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_NE(settingsShown(), nullptr);
    EXPECT_EQ(box->currentIndex(), 0);
}

TEST_F(WindowActions, SavedSettingsShowTheStatisticsIconRightAligned) {
    KelLabel *statistics = toolLabel("统计");
    ASSERT_NE(statistics, nullptr);
    EXPECT_FALSE(statistics->isVisible());
    EXPECT_EQ(toolBar->findChildren<KelLabel *>().size(), 4);
    EXPECT_EQ(toolBar->geometry().right() + 1, 790);
    EXPECT_EQ(toolBar->y(), 12);
    const int narrow = toolBar->width();

    type("vqj");
    SettingDialog *settings = settingsShown();
    ASSERT_NE(settings, nullptr);
    QTest::mouseClick(settings->statisticSwitch(), Qt::LeftButton);
    QTest::mouseClick(settings->findChild<QPushButton *>("setting_save_btn"), Qt::LeftButton);
    EXPECT_TRUE(Settings::instance().showStatistic());
    EXPECT_TRUE(statistics->isVisible());
    EXPECT_GT(toolBar->width(), narrow);
    EXPECT_EQ(toolBar->geometry().right() + 1, 790);

    QTest::mouseClick(statistics, Qt::LeftButton);
    EXPECT_TRUE(window->findChild<StatisticDialog *>()->isVisible());
}

TEST_F(WindowActions, LogCheckBoxFollowsTheLogWindow) {
    // The window is built on first use and shows what was logged before.
    qWarning() << "a warning before the log window";
    EXPECT_EQ(window->findChild<KelLogDialog *>(), nullptr);
    QTest::mouseClick(logCheck->findChild<QLabel *>(), Qt::LeftButton);
    ASSERT_TRUE(logCheck->isChecked());
    logDialog = window->findChild<KelLogDialog *>();
    ASSERT_NE(logDialog, nullptr);
    EXPECT_TRUE(logDialog->isVisible());
    const QRect frame = window->frameGeometry();
    EXPECT_EQ(logDialog->geometry(), QRect(frame.left(), frame.bottom() + 3, frame.width(), 200));

    // The logger feeds it, coloured by type.
    qWarning() << "a warning for the log window";
    EXPECT_TRUE(waitFor([&] {
        const QString text = logDialog->textView()->toPlainText();
        return text.contains("[warn ] a warning before the log window") &&
               text.contains("[warn ] a warning for the log window");
    }));

    logDialog->close();
    EXPECT_FALSE(logCheck->isChecked());
    logDialog->move(40, 50);
    QTest::mouseClick(logCheck->findChild<QLabel *>(), Qt::LeftButton);
    EXPECT_TRUE(logDialog->isVisible());
    EXPECT_EQ(logDialog->pos(), QPoint(40, 50));
    QTest::mouseClick(logCheck->findChild<QLabel *>(), Qt::LeftButton);
    EXPECT_FALSE(logDialog->isVisible());
}

TEST_F(WindowActions, HistoryPicksAnImage) {
    QFile::remove("img_history.txt");
    const QString first = packImage("first.img");
    const QString second = packImage("second.img");
    const QString gone = packImage("gone.img");
    // Chosen before the history was ever opened, on a station without a history
    // file: recorded all the same, and no error.
    MsgCapture log;
    window->selectImage(gone);

    auto *historyBtn = window->findChild<QPushButton *>("historyBtn");
    QTest::mouseClick(historyBtn, Qt::LeftButton);
    auto *history = window->findChild<ImgHistoryDialog *>();
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->listWidget()->count(), 1);
    EXPECT_EQ(history->listWidget()->item(0)->text(), gone);
    EXPECT_EQ(log.of(QtCriticalMsg), QStringList());
    history->close();

    window->selectImage(first);
    QTest::qWait(1100);  // the records' times have whole seconds
    window->selectImage(second);
    window->selectImage(gone);
    QFile::remove(gone);
    QTest::mouseClick(historyBtn, Qt::LeftButton);
    QListWidget *list = history->listWidget();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(2)->text(), first);

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(2)).center());
    EXPECT_FALSE(history->isVisible());
    EXPECT_EQ(window->currentImage().path(), first);
    EXPECT_EQ(window->findChild<KelLineEdit *>("imagePath")->text(), first);

    // A file that went away leaves the image as it was.
    QTest::mouseClick(historyBtn, Qt::LeftButton);
    const QList<QListWidgetItem *> goneItems = list->findItems(gone, Qt::MatchExactly);
    ASSERT_EQ(goneItems.size(), 1);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(goneItems.first()).center());
    EXPECT_EQ(window->currentImage().path(), first);
}

TEST_F(WindowActions, ToolBarActions) {
    // No checker beside this program: the operator is told why (and no
    // elevation is ever asked for from a test).
    QTest::mouseClick(toolLabel("检查环境"), Qt::LeftButton);
    EXPECT_EQ(alertText(), "无法启动检测工具：程序目录中没有HostProbe");
    closeEveryDialog();

    // No browser on this (offscreen) desktop: said, not silently dropped.
    QTest::mouseClick(toolLabel("反馈"), Qt::LeftButton);
    EXPECT_EQ(alertText(), "无法打开反馈页面：未找到可用的浏览器");
    closeEveryDialog();
    // Nor a program for the log file.
    QTest::mouseClick(logCheck->findChild<QLabel *>(), Qt::LeftButton);
    QTest::mouseClick(window->findChild<KelLogDialog *>()->findChild<QPushButton *>("log_file_btn"),
                      Qt::LeftButton);
    EXPECT_TRUE(alertText().startsWith("无法打开日志文件：未找到可用的程序")) << alertText().toStdString();
    closeEveryDialog();

    // The about box is made once and offers the update check.
    QTest::mouseClick(toolLabel("关于"), Qt::LeftButton);
    window->findChild<KelAbout *>()->close();
    QTest::mouseClick(toolLabel("关于"), Qt::LeftButton);
    ASSERT_EQ(window->findChildren<KelAbout *>().size(), 1);
    EXPECT_TRUE(window->findChild<KelAbout *>()->updateButton()->isVisible());
}

TEST(FeedbackUrl, FromTheDeploymentSettings) {
    Settings::instance().setValue("deploy", "feedback_server", "http://fb.example.com:8080/");
    EXPECT_EQ(KelFlash::feedbackUrl().toString(),
              "http://fb.example.com:8080/api/feedback_edit?app_id=1&version_no=1.0.8");
    Settings::instance().setValue("deploy", "feedback_server", QString());
    EXPECT_EQ(KelFlash::feedbackUrl().host(), "feedback.kelvora.invalid");
}

}  // namespace
