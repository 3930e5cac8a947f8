#pragma once

// What the display server shows, read back from it (a grab of the root
// window): a fault in scrolling or partial repainting shows here, while a
// widget's own rendering or Qt's backing store would still look right.

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <cstdlib>
#include <xcb/xcb.h>

// Where the X server has the window's client area now, in native pixels.
// Qt takes a move it asked for as done before the server has made it.
inline QPoint serverPosition(QWidget* window) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11) return {};
    xcb_connection_t* c = x11->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_translate_coordinates_reply_t* at = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, xcb_window_t(window->winId()), root, 0, 0), nullptr);
    if (!at) return {};
    const QPoint p(at->dst_x, at->dst_y);
    std::free(at);
    return p;
}

// A window manager frames a window after it is shown, and the window then
// centres itself again: its pixels are read once the server has it there.
inline bool waitPlaced(QWidget* window, int timeoutMs = 3000) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return true;
    return QTest::qWaitFor(
        [&] {
            const QMargins frame = window->windowHandle()->frameMargins();
            const QRect want = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                                   window->frameGeometry().size(),
                                                   window->screen()->availableGeometry());
            if (frame.isNull() || window->frameGeometry() != want) return false;
            const QPointF native =
                QPointF(window->mapToGlobal(QPoint(0, 0))) * window->devicePixelRatioF();
            const QPoint server = serverPosition(window);
            return qAbs(server.x() - native.x()) <= 1 && qAbs(server.y() - native.y()) <= 1;
        },
        timeoutMs);
}

inline QImage onScreen(QWidget* w, QRect r = QRect()) {
    if (r.isNull()) r = w->rect();
    const QPoint global = w->mapToGlobal(r.topLeft());
    QScreen* screen = w->screen();
    const QPoint origin = screen->geometry().topLeft();
    return screen
        ->grabWindow(0, global.x() - origin.x(), global.y() - origin.y(), r.width(), r.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// Lets pending repaints reach the display, then reads it back.
inline QImage settledOnScreen(QWidget* w, QRect r = QRect()) {
    // One pass for work left to the event loop (the log's newest line is
    // selected and scrolled there), one for the paint that it asks for.
    QApplication::processEvents();
    QApplication::processEvents();
    return onScreen(w, r);
}
