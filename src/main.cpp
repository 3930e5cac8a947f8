#include "ui/closeonsignal.h"
#include "ui/form1.h"
#include "ui/systemlog.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    logToSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orvant-address"));
    QApplication::setDesktopFileName(QStringLiteral("orvant-address"));
    Form1 form;
    closeOnSignal(&form);
    form.show();
    return app.exec();
}
