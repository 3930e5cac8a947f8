// The program's start-up, instrumented: prints "shown" once the window has
// been painted for the first time, then ends.
#include "ui/form1.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>

namespace {
class FirstPaint : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // After this paint has finished, not before.
            QTimer::singleShot(0, [] {
                std::puts("shown");
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return false;
    }

private:
    bool m_seen = false;
};
} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    Form1 form;
    FirstPaint watcher;
    form.installEventFilter(&watcher);
    form.show();
    return app.exec();
}
