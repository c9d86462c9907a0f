// Busy indicator of the loading box: eight dots of growing size that rotate.
// Private to the library.
#pragma once

#include <QColor>
#include <QVector>
#include <QWidget>

class QTimer;

class KelSpinner : public QWidget {
    Q_OBJECT

public:
    explicit KelSpinner(int radius = 50, QWidget *parent = nullptr);

    void setColor(const QColor &color);
    QColor color() const { return dotColor; }
    int radius() const { return circleRadius; }
    // Dot radii in drawing order; the first entry moves to the back on every tick.
    QVector<int> dotRadii() const { return radii; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void rotate();

    static constexpr int kDots = 8;
    int circleRadius;
    QColor dotColor{0, 145, 255};
    QVector<int> radii;
    QTimer *timer;
};
