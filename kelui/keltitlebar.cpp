#include "keltitlebar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include "fontawesome.h"

namespace {

QIcon &barIcon() {
    static QIcon icon;
    return icon;
}

const char *const kTitleBarStyle =
    "#kel_titlebar {"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 #e1ecf9, stop:0.5 #bad1f0, stop:1 #e1ecf9);"
    " border-top-left-radius: 4px; border-top-right-radius: 4px;"
    " border: 1px solid #83a6d9; }"
    "#titlebar_text { color: #000; }"
    "QPushButton[class=\"titlebar_btn\"] {"
    " background: transparent; border: none; color: #4a4e53; font-size: 14px; }"
    "QPushButton[class=\"titlebar_btn\"]:hover { color: #000; }"
    "#titlebar_close_btn:hover { color: #d81e06; }";

}  // namespace

KelTitleBar::KelTitleBar(QWidget *parent) : QWidget(parent) {
    setFixedHeight(30);
    setStyleSheet(kTitleBarStyle);

    QWidget *container = new QWidget(this);
    container->setObjectName("kel_titlebar");
    container->setAttribute(Qt::WA_StyledBackground);
    QHBoxLayout *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(container);

    iconLabel = new QLabel(container);
    if (!barIcon().isNull()) {
        iconLabel->setPixmap(barIcon().pixmap(16, 16));
        iconLabel->setContentsMargins(0, 0, 5, 0);
    }
    titleLabel = new QLabel(container);
    titleLabel->setObjectName("titlebar_text");

    minButton = createButton("titlebar_min_btn", tr("最小化"), FontAwesome::IconMinus);
    maxButton = createButton("titlebar_max_btn", tr("最大化"), FontAwesome::IconExpand);
    restoreButton = createButton("titlebar_restore_btn", tr("还原"), FontAwesome::IconCompress);
    closeButton = createButton("titlebar_close_btn", tr("关闭"), FontAwesome::IconClose);

    QHBoxLayout *layout = new QHBoxLayout(container);
    layout->setContentsMargins(5, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(iconLabel);
    layout->addWidget(titleLabel, 1);
    layout->addWidget(minButton);
    layout->addWidget(maxButton);
    layout->addWidget(restoreButton);
    layout->addWidget(closeButton);

    connect(minButton, &QPushButton::clicked, this, [this] { window()->showMinimized(); });
    connect(maxButton, &QPushButton::clicked, this, &KelTitleBar::toShowMaximized);
    connect(restoreButton, &QPushButton::clicked, this, &KelTitleBar::toShowNormal);
    connect(closeButton, &QPushButton::clicked, this, [this] { window()->close(); });

    setButtonType(CloseButtonOnly);
}

QPushButton *KelTitleBar::createButton(const QString &objectName, const QString &toolTip,
                                       int glyph) {
    QPushButton *button = new QPushButton(this);
    button->setProperty("class", "titlebar_btn");
    button->setFixedSize(30, 30);
    button->setCursor(Qt::PointingHandCursor);
    button->setObjectName(objectName);
    button->setToolTip(toolTip);
    button->setFocusPolicy(Qt::NoFocus);
    FontAwesome::getInstance()->setButtonIcon(button, FontAwesome::IconIdentity(glyph));
    return button;
}

void KelTitleBar::setTitleText(QString text) {
    titleLabel->setText(text);
}

QString KelTitleBar::titleText() const {
    return titleLabel->text();
}

void KelTitleBar::setButtonType(ButtonType t) {
    minButton->hide();
    maxButton->hide();
    restoreButton->hide();
    type = t;
    switch (t) {
        case MinButton:
            minButton->show();
            break;
        case MaxButton:
            maxButton->show();
            break;
        case MinMaxButton:
            minButton->show();
            maxButton->show();
            break;
        default:
            break;
    }
}

void KelTitleBar::setBarIcon(QIcon icon) {
    barIcon() = icon;
}

void KelTitleBar::setTitleIcon(QIcon icon, QSize size) {
    iconLabel->setPixmap(icon.pixmap(size));
    iconLabel->setContentsMargins(0, 0, 5, 0);
}

void KelTitleBar::setTitleIcon(QString path, QSize size) {
    setTitleIcon(QIcon(path), size);
}

void KelTitleBar::toShowMaximized() {
    maxButton->hide();
    restoreButton->show();
    window()->showMaximized();
}

void KelTitleBar::toShowNormal() {
    restoreButton->hide();
    maxButton->show();
    window()->showNormal();
}

void KelTitleBar::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // A maximised window keeps its place: a drag would only tear it off the screen edge.
    if (type == MinMaxButton && maxButton->isHidden()) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed = true;
    lastPos = event->globalPos();
    event->accept();
}

void KelTitleBar::mouseMoveEvent(QMouseEvent *event) {
    if (!pressed) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    QPoint pos = event->globalPos();
    window()->move(window()->pos() + (pos - lastPos));
    lastPos = pos;
}

void KelTitleBar::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        pressed = false;
    }
    QWidget::mouseReleaseEvent(event);
}

void KelTitleBar::mouseDoubleClickEvent(QMouseEvent *event) {
    if (type == MinMaxButton) {
        if (!maxButton->isHidden()) {
            toShowMaximized();
        } else {
            toShowNormal();
        }
    }
    QWidget::mouseDoubleClickEvent(event);
}
