#include "kelspinner.h"

#include <QPainter>
#include <QTimer>
#include <QtMath>

KelSpinner::KelSpinner(int radius, QWidget *parent) : QWidget(parent), circleRadius(radius) {
    for (int i = 0; i < kDots; ++i) {
        radii.append(i + 1);
    }
    int side = 2 * (circleRadius + kDots) + 2;
    setFixedSize(side, side);

    timer = new QTimer(this);
    timer->setInterval(100);
    connect(timer, &QTimer::timeout, this, &KelSpinner::rotate);
    timer->start();
}

void KelSpinner::setColor(const QColor &color) {
    dotColor = color;
    update();
}

void KelSpinner::rotate() {
    radii.append(radii.takeFirst());
    update();
}

void KelSpinner::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(dotColor, 1));
    painter.setBrush(dotColor);
    QPointF centre(width() / 2.0, height() / 2.0);
    for (int i = 0; i < kDots; ++i) {
        double angle = 2 * M_PI * i / kDots;
        QPointF pos = centre + QPointF(circleRadius * qCos(angle), circleRadius * qSin(angle));
        painter.drawEllipse(pos, radii[i], radii[i]);
    }
}
