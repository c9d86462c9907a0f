#include "kelframe.h"

namespace KelFrame {

int edgesAt(const QPoint &pos, const QSize &size, int band) {
    if (pos.x() < 0 || pos.y() < 0 || pos.x() >= size.width() || pos.y() >= size.height()) {
        return NoEdge;
    }
    int edges = NoEdge;
    if (pos.x() < band) {
        edges |= LeftEdge;
    } else if (pos.x() >= size.width() - band) {
        edges |= RightEdge;
    }
    if (pos.y() < band) {
        edges |= TopEdge;
    } else if (pos.y() >= size.height() - band) {
        edges |= BottomEdge;
    }
    return edges;
}

}  // namespace KelFrame
