#include "ui/systemlog.h"

#include <QString>
#include <QtGlobal>
#include <syslog.h>
#include <unistd.h>

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

void logToSystem() {
    ::openlog("orvant-address", LOG_PID, LOG_USER);
    qtHandler = qInstallMessageHandler(alsoToSyslog);
}
