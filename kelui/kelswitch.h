// Painted on/off switch.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include "kelui_global.h"

class KELUI_EXPORT KelSwitch : public QWidget {
    Q_OBJECT

public:
    explicit KelSwitch(QWidget *parent = nullptr);

    bool checked() const { return isChecked; }
    void setChecked(bool checked);

    void setOnText(const QString &text);
    void setOffText(const QString &text);
    void setPadding(int padding);
    void setOnColor(QColor &color);
    void setOffColor(QColor &color);

    QString currentText() const { return isChecked ? onText : offText; }
    QColor currentColor() const { return isChecked ? onColor : offColor; }

signals:
    void clicked(bool isChecked);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void updateSize();

    int padding = 5;
    bool isChecked = false;
    QString onText = QStringLiteral("ON");
    QString offText = QStringLiteral("OFF");
    QColor onColor = QColor(42, 134, 191);
    QColor offColor = QColor(165, 172, 178);
    int textWidth = 0;
    int switchHeight = 0;
    int switchWidth = 0;
};
