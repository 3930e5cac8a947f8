#include "ui/closeonsignal.h"
#include "ui/form1.h"

#include <QApplication>
#ifndef Q_OS_WIN
#include <syslog.h>
#include <unistd.h>
#endif

#ifndef Q_OS_WIN
namespace {

QtMessageHandler qtHandler = nullptr;

// Debian's Qt writes only to stderr, which nobody sees when the tool is
// started from the desktop's menu; syslog lands in the journal.
void alsoToSyslog(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    qtHandler(type, context, message);
    if (::isatty(STDERR_FILENO)) return;
    const int priority = type == QtDebugMsg      ? LOG_DEBUG
                         : type == QtInfoMsg     ? LOG_INFO
                         : type == QtWarningMsg  ? LOG_WARNING
                         : type == QtCriticalMsg ? LOG_CRIT
                                                 : LOG_ALERT;
    ::syslog(priority, "%s", message.toLocal8Bit().constData());
}

} // namespace
#endif

int main(int argc, char* argv[]) {
#ifndef Q_OS_WIN
    ::openlog("orvant-address", LOG_PID, LOG_USER);
    qtHandler = qInstallMessageHandler(alsoToSyslog);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orvant-address"));
    QApplication::setDesktopFileName(QStringLiteral("orvant-address"));
    Form1 form;
    closeOnSignal(&form);
    form.show();
    return app.exec();
}
