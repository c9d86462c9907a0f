// Edge resizing of frameless windows. The window system decides how a resize is
// started, so the operations below have one implementation per platform.
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QSize>

#include "kelui_global.h"

class QWidget;

namespace KelFrame {

// Width of the band along the window border that starts a resize.
constexpr int kBorderBand = 4;

enum Edge { NoEdge = 0, LeftEdge = 1, RightEdge = 2, TopEdge = 4, BottomEdge = 8 };

// Which border bands of a window of this size contain pos (window coordinates);
// an OR of Edge values.
KELUI_EXPORT int edgesAt(const QPoint &pos, const QSize &size, int band = kBorderBand);

// Turns border resizing of a frameless top-level widget on or off.
KELUI_EXPORT void setResizable(QWidget *window, bool on);

// Hook for the window's native events; true when the event was consumed.
KELUI_EXPORT bool handleNativeEvent(QWidget *window, bool resizable, const QByteArray &eventType,
                                    void *message, long *result);

}  // namespace KelFrame
