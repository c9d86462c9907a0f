#include "kelcheckbox.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QMouseEvent>

#include "fontawesome.h"
#include "kellabel.h"

KelCheckBox::KelCheckBox(QWidget *parent) : KelCheckBox(QString(), parent) {}

KelCheckBox::KelCheckBox(const QString &text, QWidget *parent) : QWidget(parent) {
    indicator = new QLabel(this);
    indicator->setObjectName("kel_checkbox_indicator");
    indicator->setFixedSize(15, 15);
    indicator->setAlignment(Qt::AlignCenter);
    indicator->setCursor(Qt::PointingHandCursor);
    indicator->setFont(FontAwesome::getInstance()->getFont());
    indicator->setStyleSheet(
        "#kel_checkbox_indicator { background: #fff; border: 1px solid #a5acb2;"
        " border-radius: 2px; color: #2a86bf; font-size: 11px; }"
        "#kel_checkbox_indicator:hover { border-color: #2a86bf; }"
        "#kel_checkbox_indicator:disabled { background: #eee; }");
    indicator->installEventFilter(this);

    layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(indicator);

    setText(text);
}

void KelCheckBox::setText(const QString &text) {
    if (text.isEmpty() && !textLabel) {
        return;
    }
    if (!textLabel) {
        textLabel = new KelLabel(this);
        textLabel->setCursor(Qt::PointingHandCursor);
        textLabel->setEnabled(isEnabled());
        layout->addWidget(textLabel);
        connect(textLabel, &KelLabel::clicked, this, &KelCheckBox::toggle);
    }
    textLabel->setText(text);
    fitWidth();
}

void KelCheckBox::fitWidth() {
    const QString text = textLabel->text();
    // Whatever the spacing, the label gets the whole width its text needs.
    const int spacing = layout->spacing() >= 0 ? layout->spacing() : 6;
    setFixedWidth(qMax(textLabel->fontMetrics().horizontalAdvance(text) + indicator->width() + 6,
                       indicator->width() + spacing + textLabel->sizeHint().width()));
}

QString KelCheckBox::text() const {
    return textLabel ? textLabel->text() : QString();
}

void KelCheckBox::setSpacing(int spacing) {
    layout->setSpacing(spacing);
    if (textLabel) {
        fitWidth();
    }
}

void KelCheckBox::setChecked(bool value) {
    checked = value;
    indicator->setText(value ? QString(FontAwesome::getIconChar(FontAwesome::IconCheck))
                             : QString());
}

void KelCheckBox::setEnabled(bool enabled) {
    QWidget::setEnabled(enabled);
    indicator->setEnabled(enabled);
    if (textLabel) {
        textLabel->setEnabled(enabled);
    }
}

void KelCheckBox::toggle() {
    // Event filters see mouse events even on disabled widgets, so check here.
    if (!isEnabled()) {
        return;
    }
    setChecked(!checked);
    setFocus();
    emit clicked(checked);
}

bool KelCheckBox::eventFilter(QObject *watched, QEvent *event) {
    if (watched == indicator && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        toggle();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
