// Push button in the KelUI look.
#pragma once

#include <QPushButton>

#include "kelui_global.h"

class KELUI_EXPORT KelButton : public QPushButton {
    Q_OBJECT

public:
    explicit KelButton(QWidget *parent = nullptr);
    explicit KelButton(const QString &text, QWidget *parent = nullptr);

    // A fixed width of at least `width`, wider when the text needs it (English
    // texts are often longer than the Chinese ones the widths were made for).
    void setFixedWidthForText(int width);

signals:
    void hover(bool entered);

protected:
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void init();
};
