// X11/Wayland have no hit-test message: the border band is watched on the window's
// QWindow, ahead of the widgets inside it, and a press there hands the resize to the
// window manager.
#include <QEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include "kelframe.h"

namespace {

const char *const kFilterName = "kel_frame_resizer";

Qt::Edges toQtEdges(int edges) {
    Qt::Edges result;
    if (edges & KelFrame::LeftEdge) {
        result |= Qt::LeftEdge;
    }
    if (edges & KelFrame::RightEdge) {
        result |= Qt::RightEdge;
    }
    if (edges & KelFrame::TopEdge) {
        result |= Qt::TopEdge;
    }
    if (edges & KelFrame::BottomEdge) {
        result |= Qt::BottomEdge;
    }
    return result;
}

Qt::CursorShape cursorFor(int edges) {
    bool left = edges & KelFrame::LeftEdge;
    bool right = edges & KelFrame::RightEdge;
    bool top = edges & KelFrame::TopEdge;
    bool bottom = edges & KelFrame::BottomEdge;
    if ((left && top) || (right && bottom)) {
        return Qt::SizeFDiagCursor;
    }
    if ((right && top) || (left && bottom)) {
        return Qt::SizeBDiagCursor;
    }
    if (left || right) {
        return Qt::SizeHorCursor;
    }
    return Qt::SizeVerCursor;
}

class Resizer : public QObject {
public:
    explicit Resizer(QWidget *window) : QObject(window), widget(window) {
        setObjectName(kFilterName);
        widget->installEventFilter(this);
        attachWindow();
    }

    ~Resizer() override {
        if (handle) {
            handle->removeEventFilter(this);
            if (overridden) {
                handle->unsetCursor();
            }
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == widget) {
            // The native window appears only when the widget is first shown.
            if (event->type() == QEvent::Show || event->type() == QEvent::WinIdChange) {
                attachWindow();
            }
            return false;
        }
        if (watched != handle) {
            return false;
        }
        switch (event->type()) {
            case QEvent::MouseMove: {
                auto *me = static_cast<QMouseEvent *>(event);
                if (me->buttons() != Qt::NoButton) {
                    return false;
                }
                int edges = currentEdges(me->pos());
                updateCursor(edges, me->pos());
                // The band belongs to the frame: a widget under it would take the
                // hover and put its own cursor back.
                return edges != KelFrame::NoEdge;
            }
            case QEvent::MouseButtonPress: {
                auto *me = static_cast<QMouseEvent *>(event);
                int edges = currentEdges(me->pos());
                if (me->button() != Qt::LeftButton || edges == KelFrame::NoEdge) {
                    return false;
                }
                // Platforms without system resizing let the press reach the widgets.
                return handle->startSystemResize(toQtEdges(edges));
            }
            case QEvent::Leave:
                updateCursor(KelFrame::NoEdge, QPoint(-1, -1));
                return false;
            default:
                return false;
        }
    }

private:
    int currentEdges(const QPoint &pos) const {
        if (widget->isMaximized() || widget->isFullScreen()) {
            return KelFrame::NoEdge;
        }
        return KelFrame::edgesAt(pos, widget->size());
    }

    void attachWindow() {
        QWindow *w = widget->windowHandle();
        if (!w || w == handle) {
            return;
        }
        if (handle) {
            handle->removeEventFilter(this);
        }
        handle = w;
        handle->installEventFilter(this);
    }

    void updateCursor(int edges, const QPoint &pos) {
        if (edges != KelFrame::NoEdge) {
            handle->setCursor(cursorFor(edges));
            overridden = true;
        } else if (overridden) {
            // Give the window back the cursor of the widget under the pointer.
            QWidget *child = widget->childAt(pos);
            handle->setCursor((child ? child : widget.data())->cursor());
            overridden = false;
        }
    }

    QPointer<QWidget> widget;
    QPointer<QWindow> handle;
    bool overridden = false;
};

}  // namespace

namespace KelFrame {

void setResizable(QWidget *window, bool on) {
    QObject *existing = window->findChild<QObject *>(kFilterName, Qt::FindDirectChildrenOnly);
    if (on && !existing) {
        window->setMouseTracking(true);
        new Resizer(window);
    } else if (!on && existing) {
        delete existing;
    }
}

bool handleNativeEvent(QWidget *, bool, const QByteArray &, void *, long *) {
    // The X11 and Wayland event streams carry no hit-test request.
    return false;
}

}  // namespace KelFrame
