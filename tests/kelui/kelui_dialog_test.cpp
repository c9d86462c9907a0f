// KelUI frame and basic controls, driven through real widgets on the offscreen platform.
#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "dialog_util.h"
#include "fontawesome.h"
#include "kelbutton.h"
#include "kelcheckbox.h"
#include "keldialog.h"
#include "kelframe.h"
#include "kellabel.h"
#include "kelspinner.h"
#include "keltitlebar.h"

namespace {

void closeAllDialogs() {
    KelDialog::closeLoading();
    for (KelDialog *d : visibleDialogs()) {
        d->close();
    }
    QApplication::processEvents();
}

}  // namespace

TEST(FontAwesome, LoadsTheEmbeddedIconFont) {
    QFont font = FontAwesome::getInstance()->getFont();
    EXPECT_EQ(font.family(), "FontAwesome");
    QFontMetrics metrics(font);
    EXPECT_TRUE(metrics.inFont(FontAwesome::getIconChar(FontAwesome::IconCheck)));
    EXPECT_TRUE(metrics.inFont(QChar(0xF1DA)));

    QLabel label;
    FontAwesome::getInstance()->setLabelIcon(&label, FontAwesome::IconClose);
    EXPECT_EQ(label.text(), QString(QChar(0xF00D)));
    EXPECT_EQ(label.font().family(), "FontAwesome");
}

TEST(FontAwesome, AddButtonIconSizesTheButton) {
    QPushButton button;
    FontAwesome::getInstance()->addButtonIcon(&button, FontAwesome::IconHistory, "历史");
    QList<QLabel *> labels = button.findChildren<QLabel *>();
    ASSERT_EQ(labels.size(), 2);
    int expected = labels[0]->fontMetrics().horizontalAdvance(QChar(0xF1DA)) +
                   labels[1]->fontMetrics().horizontalAdvance("历史") + 14;
    EXPECT_EQ(button.minimumWidth(), expected);
    EXPECT_EQ(button.maximumWidth(), expected);
}

TEST(KelCheckBox, ToggleByIndicatorAndText) {
    KelCheckBox box("日志");
    box.show();
    QSignalSpy spy(&box, &KelCheckBox::clicked);
    auto *indicator = box.findChild<QLabel *>("kel_checkbox_indicator");
    ASSERT_NE(indicator, nullptr);
    EXPECT_FALSE(box.isChecked());

    QTest::mouseClick(indicator, Qt::LeftButton);
    EXPECT_TRUE(box.isChecked());
    EXPECT_EQ(indicator->text(), QString(QChar(0xF00C)));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toBool());

    auto *text = box.findChild<KelLabel *>();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(), "日志");
    QTest::mouseClick(text, Qt::LeftButton);
    EXPECT_FALSE(box.isChecked());
    EXPECT_TRUE(indicator->text().isEmpty());
    ASSERT_EQ(spy.count(), 2);
    EXPECT_FALSE(spy.at(1).at(0).toBool());

    // Only a left button toggles.
    QTest::mouseClick(indicator, Qt::RightButton);
    EXPECT_FALSE(box.isChecked());

    // setChecked changes the mark without a signal.
    box.setChecked(true);
    EXPECT_TRUE(box.isChecked());
    EXPECT_EQ(spy.count(), 2);
    EXPECT_EQ(box.width(), text->fontMetrics().horizontalAdvance("日志") + 15 + 6);
}

TEST(KelCheckBox, DisabledIgnoresClicks) {
    KelCheckBox box("自动烧写");
    box.show();
    box.setEnabled(false);
    auto *indicator = box.findChild<QLabel *>("kel_checkbox_indicator");
    auto *text = box.findChild<KelLabel *>();
    EXPECT_FALSE(indicator->isEnabled());
    EXPECT_FALSE(text->isEnabled());
    QSignalSpy spy(&box, &KelCheckBox::clicked);

    QTest::mouseClick(indicator, Qt::LeftButton);
    QTest::mouseClick(text, Qt::LeftButton);
    // Deliver the release straight to the indicator's filter as well: event filters
    // see events that Qt would not hand to a disabled widget.
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(indicator, &release);
    EXPECT_FALSE(box.isChecked());
    EXPECT_EQ(spy.count(), 0);

    box.setEnabled(true);
    QTest::mouseClick(indicator, Qt::LeftButton);
    EXPECT_TRUE(box.isChecked());
}

TEST(KelCheckBox, EmptyTextCreatesNoLabel) {
    KelCheckBox box;
    EXPECT_EQ(box.findChild<KelLabel *>(), nullptr);
    EXPECT_TRUE(box.text().isEmpty());
    box.setText("后来");
    EXPECT_EQ(box.text(), "后来");
}

TEST(KelLabel, ClickAndHoverSignals) {
    KelLabel label("x");
    label.show();
    QSignalSpy clicked(&label, &KelLabel::clicked);
    QTest::mouseClick(&label, Qt::LeftButton);
    QTest::mouseClick(&label, Qt::RightButton);
    EXPECT_EQ(clicked.count(), 1);

    label.setBackgroundColor(QColor("#123456"));
    EXPECT_TRUE(label.autoFillBackground());
    EXPECT_EQ(label.palette().color(QPalette::Window), QColor("#123456"));
}

TEST(KelTitleBar, ButtonTypesShowTheRightButtons) {
    KelDialog dialog(nullptr, true);
    dialog.show();
    KelTitleBar *bar = dialog.titleBar();
    ASSERT_NE(bar, nullptr);
    auto visible = [bar](const char *name) {
        return bar->findChild<QPushButton *>(name)->isVisible();
    };
    // The dialog's own bar shows only the close button.
    EXPECT_FALSE(visible("titlebar_min_btn"));
    EXPECT_FALSE(visible("titlebar_max_btn"));
    EXPECT_FALSE(visible("titlebar_restore_btn"));
    EXPECT_TRUE(visible("titlebar_close_btn"));

    struct {
        KelTitleBar::ButtonType type;
        bool min, max;
    } cases[] = {{KelTitleBar::MinButton, true, false},
                 {KelTitleBar::MaxButton, false, true},
                 {KelTitleBar::MinMaxButton, true, true},
                 {KelTitleBar::CloseButtonOnly, false, false},
                 {KelTitleBar::ButtonType(42), false, false}};
    for (const auto &c : cases) {
        dialog.setTitleButtonType(c.type);
        EXPECT_EQ(visible("titlebar_min_btn"), c.min) << c.type;
        EXPECT_EQ(visible("titlebar_max_btn"), c.max) << c.type;
        EXPECT_FALSE(visible("titlebar_restore_btn")) << c.type;
        EXPECT_TRUE(visible("titlebar_close_btn")) << c.type;
    }
    auto *close = bar->findChild<QPushButton *>("titlebar_close_btn");
    EXPECT_EQ(close->toolTip(), "关闭");
    EXPECT_EQ(close->text(), QString(QChar(0xF00D)));
    EXPECT_EQ(close->property("class").toString(), "titlebar_btn");
    EXPECT_EQ(close->size(), QSize(30, 30));
}

TEST(KelTitleBar, DragMovesWindowExceptWhenMaximised) {
    KelDialog dialog(nullptr, true);
    dialog.resize(300, 200);
    dialog.move(100, 100);
    dialog.show();
    dialog.setTitleButtonType(KelTitleBar::MinMaxButton);
    KelTitleBar *bar = dialog.titleBar();

    QPoint start = dialog.pos();
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 10));
    QMouseEvent move(QEvent::MouseMove, QPointF(80, 30), bar->mapToGlobal(QPoint(80, 30)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, QPoint(80, 30));
    EXPECT_EQ(dialog.pos(), start + QPoint(30, 20));

    // Maximised: a press does not start a drag; a double click restores.
    bar->toShowMaximized();
    EXPECT_FALSE(bar->findChild<QPushButton *>("titlebar_max_btn")->isVisible());
    EXPECT_TRUE(bar->findChild<QPushButton *>("titlebar_restore_btn")->isVisible());
    QPoint maxPos = dialog.pos();
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 10));
    QApplication::sendEvent(bar, &move);
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, QPoint(80, 30));
    EXPECT_EQ(dialog.pos(), maxPos);

    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 10));
    EXPECT_TRUE(bar->findChild<QPushButton *>("titlebar_max_btn")->isVisible());
    EXPECT_FALSE(bar->findChild<QPushButton *>("titlebar_restore_btn")->isVisible());
}

TEST(KelDialog, FrameAndTitle) {
    KelDialog withBar(nullptr, true);
    withBar.setTitle("标题");
    EXPECT_EQ(withBar.titleBar()->titleText(), "标题");
    EXPECT_TRUE(withBar.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(withBar.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(withBar.contentWidget()->objectName(), "dialog_content");

    KelDialog bare(nullptr, false);
    EXPECT_EQ(bare.titleBar(), nullptr);
    bare.setTitle("ignored");  // no title bar: nothing happens, nothing crashes
    bare.setTitleButtonType(KelTitleBar::MinButton);
    EXPECT_EQ(bare.findChild<KelTitleBar *>(), nullptr);

    QSignalSpy closed(&bare, &KelDialog::closed);
    bare.show();
    bare.close();
    EXPECT_EQ(closed.count(), 1);
}

TEST(KelDialog, ConfirmAcceptedAndRejected) {
    clickWhenModal("confirm_ok_btn");
    EXPECT_NE(KelDialog::confirm(nullptr, "确定吗？"), 0);
    clickWhenModal("confirm_cancel_btn");
    EXPECT_EQ(KelDialog::confirm(nullptr, "确定吗？"), 0);
    QApplication::processEvents();
    EXPECT_TRUE(visibleDialogs().isEmpty());
}

TEST(KelDialog, AlertShowsAndClosesOnOk) {
    KelDialog::alert(nullptr, "出错了", false);
    QList<KelDialog *> shown = visibleDialogs();
    ASSERT_EQ(shown.size(), 1);
    KelDialog *alert = shown.first();
    EXPECT_EQ(alert->titleBar()->titleText(), "提示");
    EXPECT_EQ(alert->width(), 300);
    EXPECT_EQ(alert->findChild<QLabel *>("message_text")->text(), "出错了");
    QPointer<KelDialog> guard(alert);
    QTest::mouseClick(alert->findChild<QPushButton *>("alert_ok_btn"), Qt::LeftButton);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());  // deleted on close
}

TEST(KelDialog, LoadingReplacesThePreviousOne) {
    KelDialog::closeLoading();  // none shown: nothing happens
    EXPECT_EQ(KelDialog::currentLoading(), nullptr);

    KelDialog::loading(nullptr, "请稍候", false);
    QPointer<KelDialog> first = KelDialog::currentLoading();
    ASSERT_FALSE(first.isNull());
    EXPECT_TRUE(first->isModal());
    EXPECT_TRUE(first->contentWidget()->styleSheet().contains("rgba(0, 0, 0, 0)"));

    KelDialog::loading(nullptr, "处理中", true);
    QPointer<KelDialog> second = KelDialog::currentLoading();
    ASSERT_FALSE(second.isNull());
    EXPECT_NE(first.data(), second.data());
    EXPECT_TRUE(first.isNull() || !first->isVisible());
    EXPECT_TRUE(second->isVisible());
    EXPECT_TRUE(second->contentWidget()->styleSheet().contains("rgba(0, 0, 0, 0.6)"));
    EXPECT_EQ(second->findChild<QLabel *>("loading_text")->text(), "处理中");
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());

    KelDialog::closeLoading();
    EXPECT_EQ(KelDialog::currentLoading(), nullptr);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(second.isNull());
}

TEST(KelDialog, InfoClosesItselfUnlessTimeIsNegative) {
    closeAllDialogs();
    KelDialog::info(nullptr, "已保存", 50);
    QList<KelDialog *> shown = visibleDialogs();
    ASSERT_EQ(shown.size(), 1);
    QPointer<KelDialog> toast = shown.first();
    EXPECT_EQ(toast->height(), 40);
    EXPECT_EQ(toast->titleBar(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return toast.isNull(); }, 10000));

    KelDialog::info(nullptr, "一直显示", -1);
    shown = visibleDialogs();
    ASSERT_EQ(shown.size(), 1);
    QPointer<KelDialog> sticky = shown.first();
    QTest::qWait(200);
    EXPECT_FALSE(sticky.isNull());
    EXPECT_TRUE(sticky->isVisible());
    sticky->close();
}

TEST(KelFrame, BorderBands) {
    QSize size(200, 100);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(0, 50), size), KelFrame::LeftEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(3, 50), size), KelFrame::LeftEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(4, 50), size), KelFrame::NoEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(199, 50), size), KelFrame::RightEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(195, 50), size), KelFrame::NoEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(100, 0), size), KelFrame::TopEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(100, 97), size), KelFrame::BottomEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(1, 1), size), KelFrame::LeftEdge | KelFrame::TopEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(198, 98), size), KelFrame::RightEdge | KelFrame::BottomEdge);
    EXPECT_EQ(KelFrame::edgesAt(QPoint(-1, 50), size), KelFrame::NoEdge);
}

TEST(KelFrame, ResizableDialogShowsResizeCursorOnlyInTheBand) {
    KelDialog dialog(nullptr, true);
    dialog.resize(300, 200);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QWindow *window = dialog.windowHandle();
    ASSERT_NE(window, nullptr);

    auto hover = [window](QPoint pos) {
        QMouseEvent move(QEvent::MouseMove, pos, pos, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(window, &move);
        return window->cursor().shape();
    };
    // Not resizable: the border is nothing special.
    EXPECT_NE(hover(QPoint(1, 100)), Qt::SizeHorCursor);

    dialog.setDragResizable(true);
    EXPECT_EQ(hover(QPoint(1, 100)), Qt::SizeHorCursor);
    EXPECT_EQ(hover(QPoint(150, 198)), Qt::SizeVerCursor);
    EXPECT_EQ(hover(QPoint(298, 198)), Qt::SizeFDiagCursor);
    EXPECT_EQ(hover(QPoint(298, 1)), Qt::SizeBDiagCursor);
    EXPECT_EQ(hover(QPoint(150, 100)), Qt::ArrowCursor);

    dialog.setDragResizable(false);
    EXPECT_NE(hover(QPoint(1, 100)), Qt::SizeHorCursor);
}

TEST(KelDialog, ConfirmSurvivesItsParentGoingAway) {
    QPointer<QWidget> parent = new QWidget;
    parent->show();
    QTimer *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, parent] {
        if (QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            delete parent.data();
        }
    });
    timer->start();
    // The dialog dies with its parent: the answer is "no" and nothing is freed twice.
    EXPECT_EQ(KelDialog::confirm(parent, "继续吗？"), 0);
    EXPECT_TRUE(parent.isNull());
    EXPECT_TRUE(visibleDialogs().isEmpty());
}

TEST(KelDialog, LoadingSpinnerFollowsTheMode) {
    auto spinnerOf = [](KelDialog *box) -> KelSpinner * {
        for (QWidget *w : box->findChildren<QWidget *>()) {
            if (qstrcmp(w->metaObject()->className(), "KelSpinner") == 0) {
                return static_cast<KelSpinner *>(w);
            }
        }
        return nullptr;
    };

    KelDialog::loading(nullptr, "请稍候", false);
    KelDialog *light = KelDialog::currentLoading();
    ASSERT_NE(light, nullptr);
    KelSpinner *spinner = spinnerOf(light);
    ASSERT_NE(spinner, nullptr);
    EXPECT_EQ(spinner->radius(), 30);
    EXPECT_EQ(spinner->color(), QColor(0, 145, 255));
    EXPECT_TRUE(light->findChild<QLabel *>("loading_text")->styleSheet().contains("#2f2f2f"));
    EXPECT_TRUE(light->titleBar() == nullptr);

    // The dots keep turning: sizes 1..8 move one place per tick.
    QVector<int> before = spinner->dotRadii();
    EXPECT_EQ(before, (QVector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return spinner->dotRadii() != before; }, 5000));

    KelDialog::loading(nullptr, "处理中", true);
    KelDialog *dark = KelDialog::currentLoading();
    ASSERT_NE(dark, nullptr);
    spinner = spinnerOf(dark);
    ASSERT_NE(spinner, nullptr);
    EXPECT_EQ(spinner->color(), QColor("#fcfcfc"));
    EXPECT_TRUE(dark->findChild<QLabel *>("loading_text")->styleSheet().contains("#fcfcfc"));
    KelDialog::closeLoading();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(KelButton, HoverSignals) {
    KelButton button("确定");
    KelLabel label("x");
    QSignalSpy buttonHover(&button, &KelButton::hover);
    QSignalSpy labelHover(&label, &KelLabel::hover);
    for (QWidget *w : {static_cast<QWidget *>(&button), static_cast<QWidget *>(&label)}) {
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(w, &enter);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(w, &leave);
    }
    ASSERT_EQ(buttonHover.count(), 2);
    EXPECT_TRUE(buttonHover.at(0).at(0).toBool());
    EXPECT_FALSE(buttonHover.at(1).at(0).toBool());
    ASSERT_EQ(labelHover.count(), 2);
    EXPECT_TRUE(labelHover.at(0).at(0).toBool());
    EXPECT_FALSE(labelHover.at(1).at(0).toBool());
    EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
}
