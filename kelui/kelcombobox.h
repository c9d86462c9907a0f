// Combo box that reports the index it left as well as the one it took.
#pragma once

#include <QComboBox>

#include "kelui_global.h"

class KELUI_EXPORT KelComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit KelComboBox(QWidget *parent = nullptr);

signals:
    void indexChanged(int oldIndex, int curIndex);

protected:
    void wheelEvent(QWheelEvent *event) override;

private slots:
    void onCurrentIndexChanged(int index);

private:
    int previousIndex = 0;
};
