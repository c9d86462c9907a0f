#include "placeholdertab.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

PlaceholderTab::PlaceholderTab(const QString &iconName, const QString &text, QWidget *parent)
    : KelTab(parent) {
    QWidget *icon = new QWidget(this);
    icon->setObjectName(iconName);
    icon->setAttribute(Qt::WA_StyledBackground);
    icon->setFixedSize(140, 140);
    QVBoxLayout *iconLayout = new QVBoxLayout(icon);
    iconLayout->setContentsMargins(0, 0, 0, 0);
    iconLayout->addWidget(progressBox, 0, Qt::AlignCenter);

    QVBoxLayout *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(15);
    layout->addStretch(1);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    messageLine->setAlignment(Qt::AlignCenter);
    layout->addWidget(messageLine);
    layout->addStretch(1);
    showSuccess(text);
}
