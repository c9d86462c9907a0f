// Titled frame; style type 2 draws only a rule along the top.
#pragma once

#include <QGroupBox>
#include <QString>

#include "kelui_global.h"

class KELUI_EXPORT KelGroupBox : public QGroupBox {
    Q_OBJECT

public:
    explicit KelGroupBox(QWidget *parent = nullptr);
    explicit KelGroupBox(const QString &title, QWidget *parent = nullptr);

    void setStyleType(int type);
    void setTitleColor(const QString &color);
    void setBorderColor(const QString &color);
    void setMarginTop(int margin);

private:
    void applyStyle();

    int styleType = 1;
    QString titleColor = QStringLiteral("#333333");
    QString borderColor = QStringLiteral("#a6cdff");
    int marginTop = 10;
};
