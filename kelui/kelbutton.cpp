#include "kelbutton.h"

namespace {

const char *const kButtonStyle =
    "QPushButton {"
    " height: 25px; line-height: 25px; padding: 0 5px;"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #e1ecf9, stop:0.5 #d0e0f4, stop:0.6 #bad1f0, stop:1 #d4ecfb);"
    " border-radius: 2px; border: 1px solid #83a6d9; outline: none; }"
    "QPushButton:hover {"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #fffdde, stop:0.5 #ffe798, stop:0.6 #ffd656, stop:1 #ffe89f);"
    " border: 1px solid #ddcf9b; }"
    "QPushButton:disabled {"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #f7f7f7, stop:0.5 #e8e8e8, stop:0.6 #d6d6d6, stop:1 #e3e3e3);"
    " color: #8d8d8d; border: 1px solid #d3d4d9; }";

}  // namespace

KelButton::KelButton(QWidget *parent) : QPushButton(parent) {
    init();
}

KelButton::KelButton(const QString &text, QWidget *parent) : QPushButton(text, parent) {
    init();
}

void KelButton::init() {
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(kButtonStyle);
}

void KelButton::enterEvent(QEvent *event) {
    emit hover(true);
    QPushButton::enterEvent(event);
}

void KelButton::leaveEvent(QEvent *event) {
    emit hover(false);
    QPushButton::leaveEvent(event);
}

void KelButton::setFixedWidthForText(int width) {
    // The style sheet's padding, with room to spare.
    constexpr int kPadding = 20;
    setFixedWidth(qMax(width, fontMetrics().horizontalAdvance(text()) + kPadding));
}
