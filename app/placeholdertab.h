// A tab page that offers no device and no work yet: the window's stand-in for a
// page that is not built. It shows the page's picture with the progress box in it.
#pragma once

#include "keltab.h"

class PlaceholderTab : public KelTab {
    Q_OBJECT

public:
    // iconName: object name of the picture ("devIcon" or "cardIcon"), whose image
    // comes from the application style sheet.
    PlaceholderTab(const QString &iconName, const QString &text, QWidget *parent = nullptr);
};
