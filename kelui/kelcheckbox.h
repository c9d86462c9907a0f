// Check box in the KelUI look: an icon-font tick in a square, then an optional text.
#pragma once

#include <QWidget>

#include "kelui_global.h"

class QHBoxLayout;
class QLabel;
class KelLabel;

class KELUI_EXPORT KelCheckBox : public QWidget {
    Q_OBJECT

public:
    explicit KelCheckBox(QWidget *parent = nullptr);
    explicit KelCheckBox(const QString &text, QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const;
    void setSpacing(int spacing);
    bool isChecked() const { return checked; }
    void setChecked(bool checked);
    void setEnabled(bool enabled);

signals:
    void clicked(bool isChecked);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void toggle();
    // Fixed to what the indicator, the spacing and the text need.
    void fitWidth();

    QLabel *indicator;
    KelLabel *textLabel = nullptr;
    QHBoxLayout *layout;
    bool checked = false;
};
