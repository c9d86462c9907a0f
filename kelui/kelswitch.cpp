#include "kelswitch.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {
const QColor kDisabledTrack(210, 210, 210);
}

KelSwitch::KelSwitch(QWidget *parent) : QWidget(parent) {
    setCursor(Qt::PointingHandCursor);
    updateSize();
}

void KelSwitch::setChecked(bool checked) {
    isChecked = checked;
    update();
}

void KelSwitch::setOnText(const QString &text) {
    onText = text;
    updateSize();
    update();
}

void KelSwitch::setOffText(const QString &text) {
    offText = text;
    updateSize();
    update();
}

void KelSwitch::setPadding(int value) {
    padding = value;
    updateSize();
    update();
}

void KelSwitch::setOnColor(QColor &color) {
    onColor = color;
    update();
}

void KelSwitch::setOffColor(QColor &color) {
    // Taken up by the next paint; callers set both colours and repaint once.
    offColor = color;
}

void KelSwitch::updateSize() {
    QFontMetrics fm(font());
    textWidth = qMax(fm.horizontalAdvance(onText), fm.horizontalAdvance(offText));
    switchHeight = fm.height() + 2 * padding;
    switchWidth = switchHeight * 3 / 2 + textWidth;
    setFixedSize(switchWidth, switchHeight);
}

void KelSwitch::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    const int h = height();
    const int w = width();
    const qreal radius = h / 2.0;

    QPainterPath track;
    track.addRoundedRect(QRectF(0, 0, w, h), radius, radius);
    QColor trackColor = isEnabled() ? (isChecked ? onColor : offColor) : kDisabledTrack;
    painter.fillPath(track, trackColor);

    // The knob sits inside the track's end cap; the text fills the rest of the track.
    const qreal knobMargin = qMax(1, padding / 2);
    const qreal knobSize = h - 2 * knobMargin;
    QRectF knob;
    QRectF textRect;
    if (isChecked) {
        knob = QRectF(w - knobMargin - knobSize, knobMargin, knobSize, knobSize);
        textRect = QRectF(0, 0, w - h, h);
    } else {
        knob = QRectF(knobMargin, knobMargin, knobSize, knobSize);
        textRect = QRectF(h, 0, w - h, h);
    }
    painter.setBrush(Qt::white);
    painter.drawEllipse(knob);

    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(textRect, Qt::AlignCenter, currentText());
}

void KelSwitch::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        isChecked = !isChecked;
        update();
        setFocus();
        emit clicked(isChecked);
    }
    QWidget::mouseReleaseEvent(event);
}
