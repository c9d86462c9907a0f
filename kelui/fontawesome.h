// The icon font shared by every KelUI widget (Font Awesome 4, embedded in the library).
#pragma once

#include <QFont>
#include <QString>

#include "kelui_global.h"

class QLabel;
class QPushButton;

class KELUI_EXPORT FontAwesome {
public:
    // Code points of the glyphs in the icon font; any other code point of the font
    // can be passed as FontAwesome::IconIdentity(0xF...).
    enum IconIdentity : int {
        IconCheck = 0xF00C,
        IconClose = 0xF00D,
        IconExpand = 0xF065,
        IconCompress = 0xF066,
        IconMinus = 0xF068,
        IconFolderOpen = 0xF07C,
        IconBarChart = 0xF080,
        IconCaretDown = 0xF0D7,
        IconCaretUp = 0xF0D8,
        IconEnvelope = 0xF0E0,
        IconMedkit = 0xF0FA,
        IconHistory = 0xF1DA,
        IconQuestionCircle = 0xF29C,
    };

    static FontAwesome *getInstance();

    QFont getFont() const { return font; }
    static QChar getIconChar(IconIdentity icon);
    void setLabelIcon(QLabel *label, IconIdentity icon) const;
    void setButtonIcon(QPushButton *button, IconIdentity icon) const;
    void addButtonIcon(QPushButton *button, IconIdentity icon, const QString &text) const;

private:
    FontAwesome();
    QFont font;
};
