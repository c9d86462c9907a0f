// KelSwitch, KelSpinBox, KelComboBox and KelGroupBox driven through real Qt events
// on the offscreen platform.
#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <climits>

#include "kelcombobox.h"
#include "kelgroupbox.h"
#include "kelspinbox.h"
#include "kelswitch.h"

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint) {
            ++count;
        }
        return false;
    }
};

void showAndSettle(QWidget *w) {
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    QApplication::processEvents();
}

int lastInt(const QSignalSpy &spy, int arg = 0) {
    return spy.isEmpty() ? INT_MIN : spy.last().at(arg).toInt();
}

}  // namespace

TEST(KelSwitchTest, SizeFollowsTextsPaddingAndFont) {
    KelSwitch sw;
    QFontMetrics fm(sw.font());
    int textWidth = qMax(fm.horizontalAdvance("ON"), fm.horizontalAdvance("OFF"));
    int h = fm.height() + 2 * 5;
    EXPECT_EQ(sw.size(), QSize(h * 3 / 2 + textWidth, h));
    EXPECT_EQ(sw.minimumSize(), sw.maximumSize());

    sw.setPadding(8);
    h = fm.height() + 16;
    EXPECT_EQ(sw.size(), QSize(h * 3 / 2 + textWidth, h));

    sw.setOnText("已开启自动烧写");
    textWidth = fm.horizontalAdvance("已开启自动烧写");
    EXPECT_EQ(sw.width(), h * 3 / 2 + textWidth);
    sw.setOffText("a very long off caption");
    EXPECT_EQ(sw.width(), h * 3 / 2 + fm.horizontalAdvance("a very long off caption"));
}

TEST(KelSwitchTest, LeftReleaseTogglesAndEmitsSetCheckedDoesNot) {
    QWidget window;
    KelSwitch *sw = new KelSwitch(&window);
    showAndSettle(&window);
    QSignalSpy spy(sw, &KelSwitch::clicked);

    EXPECT_FALSE(sw->checked());
    EXPECT_EQ(sw->currentText(), "OFF");
    EXPECT_EQ(sw->currentColor(), QColor(165, 172, 178));

    QTest::mouseClick(sw, Qt::LeftButton);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.last().at(0).toBool());
    EXPECT_TRUE(sw->checked());
    EXPECT_TRUE(sw->hasFocus());
    EXPECT_EQ(sw->currentText(), "ON");
    EXPECT_EQ(sw->currentColor(), QColor(42, 134, 191));

    QTest::mouseClick(sw, Qt::LeftButton);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_FALSE(spy.last().at(0).toBool());

    QTest::mouseClick(sw, Qt::RightButton);
    EXPECT_EQ(spy.count(), 2);
    EXPECT_FALSE(sw->checked());

    sw->setChecked(true);
    EXPECT_TRUE(sw->checked());
    EXPECT_EQ(spy.count(), 2);

    sw->setEnabled(false);
    QTest::mouseClick(sw, Qt::LeftButton);
    EXPECT_EQ(spy.count(), 2);
    EXPECT_TRUE(sw->checked());
}

TEST(KelSwitchTest, OffColourWaitsForNextPaintOnColourRepaints) {
    KelSwitch sw;
    PaintCounter counter;
    sw.installEventFilter(&counter);
    showAndSettle(&sw);
    QTest::qWait(50);
    const int before = counter.count;

    QColor off(10, 20, 30);
    sw.setOffColor(off);
    QTest::qWait(100);
    EXPECT_EQ(counter.count, before);
    EXPECT_EQ(sw.currentColor(), off);

    QColor on(200, 0, 0);
    sw.setOnColor(on);
    QTest::qWait(100);
    EXPECT_GT(counter.count, before);
    // The paint just done used the stored off colour.
    QImage shot = sw.grab().toImage();
    QColor track = shot.pixelColor(shot.width() - 2, shot.height() / 2);
    EXPECT_EQ(track, off);
}

TEST(KelSpinBoxTest, DefaultsAndInvertedRange) {
    KelSpinBox box;
    EXPECT_EQ(box.getMin(), 0);
    EXPECT_EQ(box.getMax(), 1);
    EXPECT_EQ(box.getValue(), 0);
    EXPECT_EQ(box.getInterval(), 1);

    QSignalSpy spy(&box, &KelSpinBox::valueChanged);
    box.setRange(5, 3);
    EXPECT_EQ(box.getMin(), 5);
    EXPECT_EQ(box.getMax(), 5);
    EXPECT_EQ(box.getValue(), 5);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(lastInt(spy), 5);
    EXPECT_EQ(box.findChild<QLineEdit *>()->text(), "5");
}

TEST(KelSpinBoxTest, SetValueEmitsOnlyRealInRangeChanges) {
    KelSpinBox box;
    box.setRange(0, 10);
    QSignalSpy spy(&box, &KelSpinBox::valueChanged);
    QLineEdit *edit = box.findChild<QLineEdit *>();

    box.setValue(3);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(lastInt(spy), 3);
    box.setValue(3);
    EXPECT_EQ(spy.count(), 1);

    box.setValue(11);
    box.setValue(-1);
    EXPECT_EQ(box.getValue(), 3);
    EXPECT_EQ(edit->text(), "3");
    EXPECT_EQ(spy.count(), 1);

    box.setEmitChanged(false);
    box.setValue(7);
    EXPECT_EQ(box.getValue(), 7);
    EXPECT_EQ(edit->text(), "7");
    EXPECT_EQ(spy.count(), 1);
    box.setRange(2, 4);
    EXPECT_EQ(box.getValue(), 2);
    EXPECT_EQ(spy.count(), 1);
}

TEST(KelSpinBoxTest, StepButtonsAndArrowKeysClampAtTheBounds) {
    QWidget window;
    KelSpinBox *box = new KelSpinBox(&window);
    box->setRange(1, 10);
    box->setInterval(4);
    showAndSettle(&window);
    QList<QPushButton *> buttons = box->findChildren<QPushButton *>();
    ASSERT_EQ(buttons.size(), 2);
    QPushButton *up = buttons[0]->y() < buttons[1]->y() ? buttons[0] : buttons[1];
    QPushButton *down = up == buttons[0] ? buttons[1] : buttons[0];
    EXPECT_EQ(up->width(), 25);
    EXPECT_TRUE(up->autoRepeat());
    EXPECT_EQ(up->autoRepeatDelay(), 500);
    EXPECT_EQ(up->autoRepeatInterval(), 50);
    EXPECT_EQ(up->cursor().shape(), Qt::PointingHandCursor);

    QSignalSpy spy(box, &KelSpinBox::valueChanged);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), 5);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), 9);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), 10);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(spy.count(), 3);

    QLineEdit *edit = box->findChild<QLineEdit *>();
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(box->getValue(), 6);
    QTest::keyClick(edit, Qt::Key_Down);
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(box->getValue(), 1);
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(box->getValue(), 5);
    EXPECT_EQ(edit->text(), "5");
    QTest::mouseClick(down, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), 1);

    // A step wider than the distance to INT_MAX must clamp, not wrap around.
    box->setRange(INT_MAX - 2, INT_MAX);
    box->setInterval(INT_MAX);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), INT_MAX);
    box->setRange(INT_MIN, INT_MIN + 2);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), INT_MIN + 2);
    QTest::mouseClick(down, Qt::LeftButton);
    EXPECT_EQ(box->getValue(), INT_MIN);
}

TEST(KelSpinBoxTest, TypedNumbersAreCommittedOnlyWithinRange) {
    QWidget window;
    KelSpinBox *box = new KelSpinBox(&window);
    QPushButton *other = new QPushButton("other", &window);
    other->move(0, 60);
    box->setRange(10, 50);
    box->setValue(20);
    showAndSettle(&window);
    QLineEdit *edit = box->findChild<QLineEdit *>();
    QSignalSpy spy(box, &KelSpinBox::valueChanged);

    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, "35");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(box->getValue(), 35);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(lastInt(spy), 35);

    // "60" is above the maximum: the validator leaves "6" in the field, below the
    // minimum, so leaving the field must bring back the value actually held.
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, "60");
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(box->getValue(), 35);
    EXPECT_EQ(edit->text(), "35");
    EXPECT_EQ(spy.count(), 1);

    // A number the validator accepted but setValue refuses (set programmatically).
    edit->setText("99");
    emit edit->editingFinished();
    EXPECT_EQ(box->getValue(), 35);
    EXPECT_EQ(edit->text(), "35");
    EXPECT_EQ(spy.count(), 1);

    box->setEditable(false);
    EXPECT_FALSE(edit->isEnabled());
    EXPECT_TRUE(box->isEnabled());
}

TEST(KelComboBoxTest, ReportsOldAndNewIndex) {
    KelComboBox combo;
    QSignalSpy spy(&combo, &KelComboBox::indexChanged);
    combo.addItems({"USB", "串口", "网络"});
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.last(), (QList<QVariant>{0, 0}));

    combo.setCurrentIndex(2);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.last(), (QList<QVariant>{0, 2}));
    combo.setCurrentIndex(1);
    EXPECT_EQ(spy.last(), (QList<QVariant>{2, 1}));
    combo.setCurrentIndex(1);
    EXPECT_EQ(spy.count(), 3);

    combo.clear();
    EXPECT_EQ(spy.last(), (QList<QVariant>{1, -1}));
    EXPECT_EQ(combo.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(combo.view()->cursor().shape(), Qt::PointingHandCursor);
}

TEST(KelComboBoxTest, WheelDoesNotChangeSelection) {
    QWidget window;
    KelComboBox *combo = new KelComboBox(&window);
    QComboBox *plain = new QComboBox(&window);
    plain->move(0, 40);
    for (QComboBox *box : {static_cast<QComboBox *>(combo), plain}) {
        box->addItems({"a", "b", "c"});
        box->setCurrentIndex(1);
    }
    showAndSettle(&window);
    QSignalSpy spy(combo, &KelComboBox::indexChanged);

    auto turn = [](QWidget *w, int delta) {
        QPoint pos = w->rect().center();
        QWheelEvent ev(pos, w->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                       Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w, &ev);
        return ev.isAccepted();
    };
    // Swallowed: the wheel goes neither to the selection nor on to the parent.
    EXPECT_TRUE(turn(combo, -120));
    EXPECT_TRUE(turn(combo, 120));
    EXPECT_TRUE(turn(combo, 120));
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_EQ(spy.count(), 0);

    // The same wheel does move an ordinary combo box here, so the events are real.
    turn(plain, -120);
    EXPECT_NE(plain->currentIndex(), 1);
}

TEST(KelGroupBoxTest, EverySetterRebuildsTheStyleAtOnce) {
    KelGroupBox box("以下场景将会导致烧写失败");
    EXPECT_EQ(box.title(), "以下场景将会导致烧写失败");
    QString style = box.styleSheet();
    EXPECT_TRUE(style.contains("margin-top: 10px"));
    EXPECT_TRUE(style.contains("border: 1px solid #a6cdff"));
    EXPECT_TRUE(style.contains("border-radius: 3px"));
    EXPECT_TRUE(style.contains("color: #333333"));

    box.setBorderColor("#ccc");
    box.setTitleColor("blue");
    box.setMarginTop(13);
    style = box.styleSheet();
    EXPECT_TRUE(style.contains("border: 1px solid #ccc"));
    EXPECT_TRUE(style.contains("color: blue"));
    EXPECT_TRUE(style.contains("margin-top: 13px"));

    box.setStyleType(2);
    style = box.styleSheet();
    EXPECT_TRUE(style.contains("border: none"));
    EXPECT_TRUE(style.contains("border-top: 1px solid #ccc"));
    EXPECT_FALSE(style.contains("border-radius"));

    // Any type but 2 is the full frame.
    box.setStyleType(7);
    EXPECT_TRUE(box.styleSheet().contains("border-radius: 3px"));

    // The sheet takes effect at once: a wider top margin pushes the contents down.
    box.resize(200, 80);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    const int top = box.contentsRect().top();
    box.setMarginTop(43);
    EXPECT_GE(box.contentsRect().top(), top + 30);
}
