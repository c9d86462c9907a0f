// Integer field with step buttons.
#pragma once

#include <QColor>
#include <QWidget>

#include "kelui_global.h"

class QFrame;
class QIntValidator;
class QLineEdit;
class KelButton;

class KELUI_EXPORT KelSpinBox : public QWidget {
    Q_OBJECT

public:
    explicit KelSpinBox(QWidget *parent = nullptr);

    void setRange(int min, int max);
    int getMin() const { return minimum; }
    int getMax() const { return maximum; }
    void setValue(int value);
    int getValue() const { return value; }
    void setInterval(int interval);
    int getInterval() const { return interval; }
    void setEditable(bool editable);
    void setEmitChanged(bool emitChanged);
    void setTextColor(QColor color);

signals:
    void valueChanged(int _value);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void stepUp();
    void stepDown();
    void commitText();

private:
    void applyStyle();

    int minimum = 0;
    int maximum = 1;
    int value = 0;
    int interval = 1;
    bool emitChanged = true;
    QColor textColor;

    QFrame *frame = nullptr;
    QLineEdit *lineEdit = nullptr;
    QIntValidator *validator = nullptr;
    KelButton *upButton = nullptr;
    KelButton *downButton = nullptr;
};
