// Title bar of the frameless KelUI dialogs: icon, title, window buttons, dragging.
#pragma once

#include <QIcon>
#include <QPoint>
#include <QWidget>

#include "kelui_global.h"

class QLabel;
class QPushButton;

class KELUI_EXPORT KelTitleBar : public QWidget {
    Q_OBJECT

public:
    enum ButtonType {
        MinButton = 0,
        MaxButton = 1,
        MinMaxButton = 2,
        CloseButtonOnly = 3,
    };
    Q_ENUM(ButtonType)

    explicit KelTitleBar(QWidget *parent = nullptr);

    void setTitleText(QString text);
    QString titleText() const;
    void setButtonType(ButtonType type);
    ButtonType buttonType() const { return type; }
    // The icon every title bar created afterwards shows in front of its title.
    static void setBarIcon(QIcon icon);
    void setTitleIcon(QIcon icon, QSize size);
    void setTitleIcon(QString path, QSize size);

public slots:
    void toShowMaximized();
    void toShowNormal();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QPushButton *createButton(const QString &objectName, const QString &toolTip, int glyph);

    QLabel *iconLabel;
    QLabel *titleLabel;
    QPushButton *minButton;
    QPushButton *maxButton;
    QPushButton *restoreButton;
    QPushButton *closeButton;
    ButtonType type = CloseButtonOnly;
    bool pressed = false;
    QPoint lastPos;
};
