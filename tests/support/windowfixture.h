#pragma once

// The window under test on a real X server, fresh for each test function,
// and text ink read back from the display.

#include "harness.h"
#include "onscreen.h"

#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QTest>
#include <memory>

// Rows of the image that hold ink: pixels clearly off the background.
inline int inkRows(const QImage& image, QRgb background) {
    int rows = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAbs(qRed(p) - qRed(background)) + qAbs(qGreen(p) - qGreen(background)) +
                    qAbs(qBlue(p) - qBlue(background)) >
                90) {
                ++rows;
                break;
            }
        }
    }
    return rows;
}

// Ink rows of the text shown on the same screen in the same colours, with
// room to spare above and below, in a window of its own placed clear of the
// others: what a control shows when it cuts no glyph.
inline int unclippedInkRows(const QFont& font, int width, int flags, const QString& text,
                            const QColor& ink, const QColor& paper) {
    QLabel roomy;
    roomy.setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    roomy.setAttribute(Qt::WA_ShowWithoutActivating);
    roomy.setFont(font);
    roomy.setAutoFillBackground(true);
    QPalette palette = roomy.palette();
    palette.setColor(QPalette::Window, paper);
    palette.setColor(QPalette::WindowText, ink);
    roomy.setPalette(palette);
    roomy.setTextFormat(Qt::PlainText);
    roomy.setWordWrap(flags & Qt::TextWordWrap);
    roomy.setAlignment(Qt::Alignment(flags) & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask));
    roomy.setContentsMargins(0, 50, 0, 50);
    roomy.setText(text);
    roomy.setGeometry(0, 0, width, 200);
    roomy.show();
    if (!QTest::qWaitForWindowExposed(&roomy)) return -1;
    const QImage image = settledOnScreen(&roomy);
    return inkRows(image, paper.rgb());
}

inline QImage grabbed(QWidget* w, const QRect& r) {
    return settledOnScreen(w, r);
}

// A test class derives from this and forwards its init() and cleanup()
// slots here. The slots stay in the test's own file: every test program lists
// the support headers, and a Q_OBJECT here would be built into each of them.
class WindowFixture {
protected:
    std::unique_ptr<Form1> form;

    QWidget* control(const QString& name) const {
        if (name == QLatin1String("Form1")) return form.get();
        return form->findChild<QWidget*>(name);
    }

    void showAndActivate() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }

    void init() {
        form = std::make_unique<Form1>();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QVERIFY(waitPlaced(form.get()));
    }
    void cleanup() { form.reset(); }
};
