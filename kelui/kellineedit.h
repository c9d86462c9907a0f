// Line edit in the KelUI look.
#pragma once

#include <QLineEdit>

#include "kelui_global.h"

class KELUI_EXPORT KelLineEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit KelLineEdit(QWidget *parent = nullptr);
    explicit KelLineEdit(const QString &text, QWidget *parent = nullptr);

private:
    void init();
};
