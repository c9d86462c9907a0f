#include "fontawesome.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "resourcefont.h"

namespace {

// The icon font at the size the widget already uses, however that size was given.
QFont sized(QFont icon, const QFont &current) {
    if (current.pixelSize() > 0) {
        icon.setPixelSize(current.pixelSize());
    } else if (current.pointSizeF() > 0) {
        icon.setPointSizeF(current.pointSizeF());
    }
    return icon;
}

}  // namespace

FontAwesome::FontAwesome() {
    const QStringList families = addResourceFont(QStringLiteral(":/font/fontawesome-webfont.ttf"));
    if (families.isEmpty()) {
        qWarning() << "Failed to load the icon font";
        return;
    }
    font = QFont(families.first());
}

FontAwesome *FontAwesome::getInstance() {
    // Created on first use: the font database needs a running QGuiApplication.
    static FontAwesome instance;
    return &instance;
}

QChar FontAwesome::getIconChar(IconIdentity icon) {
    return QChar(static_cast<int>(icon));
}

void FontAwesome::setLabelIcon(QLabel *label, IconIdentity icon) const {
    label->setFont(sized(font, label->font()));
    label->setText(getIconChar(icon));
}

void FontAwesome::setButtonIcon(QPushButton *button, IconIdentity icon) const {
    button->setFont(sized(font, button->font()));
    button->setText(getIconChar(icon));
}

void FontAwesome::addButtonIcon(QPushButton *button, IconIdentity icon, const QString &text) const {
    QLabel *glyph = new QLabel(button);
    setLabelIcon(glyph, icon);
    QLabel *caption = new QLabel(text, button);
    // The labels must not swallow the clicks meant for the button.
    glyph->setAttribute(Qt::WA_TransparentForMouseEvents);
    caption->setAttribute(Qt::WA_TransparentForMouseEvents);

    QHBoxLayout *layout = new QHBoxLayout(button);
    layout->setContentsMargins(5, 3, 5, 3);
    layout->setSpacing(4);
    layout->addWidget(glyph);
    layout->addWidget(caption);

    int glyphWidth = glyph->fontMetrics().horizontalAdvance(getIconChar(icon));
    int textWidth = caption->fontMetrics().horizontalAdvance(text);
    button->setFixedWidth(glyphWidth + textWidth + 14);
}
