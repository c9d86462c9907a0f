#include "kellabel.h"

#include <QMouseEvent>

KelLabel::KelLabel(QWidget *parent) : QLabel(parent) {}

KelLabel::KelLabel(const QString &text, QWidget *parent) : QLabel(text, parent) {}

void KelLabel::setBackgroundColor(const QColor &color) {
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    setPalette(p);
    setAutoFillBackground(true);
}

void KelLabel::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        setFocus();
        emit clicked();
    }
    QLabel::mouseReleaseEvent(event);
}

void KelLabel::enterEvent(QEvent *event) {
    emit hover(true);
    QLabel::enterEvent(event);
}

void KelLabel::leaveEvent(QEvent *event) {
    emit hover(false);
    QLabel::leaveEvent(event);
}
