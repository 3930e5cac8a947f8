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

// A window manager frames a window after it is shown, and the window then
// centres itself again: its pixels are read once it has settled there.
inline bool waitPlaced(QWidget* window, int timeoutMs = 3000) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return true;
    return QTest::qWaitFor(
        [&] {
            const QMargins frame = window->windowHandle()->frameMargins();
            const QRect want = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                                   window->frameGeometry().size(),
                                                   window->screen()->availableGeometry());
            return !frame.isNull() && window->frameGeometry() == want;
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
    QApplication::processEvents();
    return onScreen(w, r);
}
