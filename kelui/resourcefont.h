// Fonts embedded in a program's resources, registered with the font database.
#pragma once

#include <QString>
#include <QStringList>

#include "kelui_global.h"

// Registers the font at `resourcePath` (":/...") once per process and returns its
// families; empty when the resource is missing or not a font. The font database
// reads the resource where it lies: the bytes are not copied, so a font of several
// megabytes costs only the pages the renderer touches.
KELUI_EXPORT QStringList addResourceFont(const QString &resourcePath);
