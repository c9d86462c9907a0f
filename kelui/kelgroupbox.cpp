#include "kelgroupbox.h"

KelGroupBox::KelGroupBox(QWidget *parent) : QGroupBox(parent) {
    applyStyle();
}

KelGroupBox::KelGroupBox(const QString &title, QWidget *parent) : QGroupBox(title, parent) {
    applyStyle();
}

void KelGroupBox::setStyleType(int type) {
    styleType = type;
    applyStyle();
}

void KelGroupBox::setTitleColor(const QString &color) {
    titleColor = color;
    applyStyle();
}

void KelGroupBox::setBorderColor(const QString &color) {
    borderColor = color;
    applyStyle();
}

void KelGroupBox::setMarginTop(int margin) {
    marginTop = margin;
    applyStyle();
}

void KelGroupBox::applyStyle() {
    QString frame;
    if (styleType == 2) {
        frame = QStringLiteral("border: none; border-top: 1px solid %1;").arg(borderColor);
    } else {
        frame = QStringLiteral("border: 1px solid %1; border-radius: 3px;").arg(borderColor);
    }
    setStyleSheet(QStringLiteral("QGroupBox { margin-top: %1px; %2 }"
                                 "QGroupBox::title { subcontrol-origin: margin;"
                                 " subcontrol-position: top left; left: 10px; top: 0;"
                                 " padding: 4px; color: %3; }")
                      .arg(marginTop)
                      .arg(frame, titleColor));
}
