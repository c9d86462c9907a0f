#include "kelcombobox.h"

#include <QListView>
#include <QWheelEvent>

namespace {

const char *const kComboStyle =
    "QComboBox {"
    " height: 25px; line-height: 25px; border: 1px solid #a5acb2; border-radius: 2px;"
    " padding: 0 6px; }"
    "QComboBox:disabled { color: #999; }"
    "QComboBox::drop-down {"
    " subcontrol-origin: padding; subcontrol-position: top right; width: 18px;"
    " border-left: 1px solid #83a6d9;"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #e1ecf9, stop:0.5 #d0e0f4, stop:0.6 #bad1f0, stop:1 #d4ecfb); }"
    "QComboBox::drop-down:hover {"
    " border-left: 1px solid #ddcf9b;"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #fffdde, stop:0.5 #ffe798, stop:0.6 #ffd656, stop:1 #ffe89f); }"
    "QComboBox::drop-down:disabled {"
    " border-left: 1px solid #a5acb2;"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #f7f7f7, stop:0.5 #e8e8e8, stop:0.6 #d6d6d6, stop:1 #e3e3e3); }"
    "QComboBox::down-arrow { image: url(:/image/arrow_down.ico); width: 14px; }"
    "QComboBox QAbstractItemView {"
    " background: #fff; border: 1px solid #a5acb2; outline: none; }"
    "QComboBox QAbstractItemView::item { height: 25px; color: #333; }"
    "QComboBox QAbstractItemView::item:selected { color: #fff; background: #9ea9b5; }";

}  // namespace

KelComboBox::KelComboBox(QWidget *parent) : QComboBox(parent) {
    // Item styles only reach the popup through a QListView; the default delegate
    // ignores them.
    QListView *popup = new QListView(this);
    popup->setCursor(Qt::PointingHandCursor);
    setView(popup);
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(kComboStyle);

    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &KelComboBox::onCurrentIndexChanged);
}

void KelComboBox::onCurrentIndexChanged(int index) {
    int old = previousIndex;
    previousIndex = index;
    emit indexChanged(old, index);
}

void KelComboBox::wheelEvent(QWheelEvent *event) {
    // A wheel turned while the cursor merely passes over the box must not switch
    // the selection (the connection type, say) under the operator's hand.
    event->accept();
}
