// Push button in the KelUI look.
#pragma once

#include <QPushButton>

#include "kelui_global.h"

class KELUI_EXPORT KelButton : public QPushButton {
    Q_OBJECT

public:
    explicit KelButton(QWidget *parent = nullptr);
    explicit KelButton(const QString &text, QWidget *parent = nullptr);

signals:
    void hover(bool entered);

protected:
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void init();
};
