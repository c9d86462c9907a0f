// Label that reports clicks and hovering.
#pragma once

#include <QLabel>

#include "kelui_global.h"

class KELUI_EXPORT KelLabel : public QLabel {
    Q_OBJECT

public:
    explicit KelLabel(QWidget *parent = nullptr);
    explicit KelLabel(const QString &text, QWidget *parent = nullptr);

    void setBackgroundColor(const QColor &color);

signals:
    void clicked();
    void hover(bool entered);

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;
};
