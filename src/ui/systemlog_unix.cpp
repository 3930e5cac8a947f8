#include "ui/systemlog.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

QtMessageHandler qtHandler = nullptr;
bool toSyslog = false;

// systemd names the journal stream it gave the program as "device:inode";
// messages on such a stderr are in the journal already.
bool stderrIsJournal() {
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream.isEmpty() || ::fstat(STDERR_FILENO, &st) != 0) return false;
    return stream ==
           QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

// Debian's Qt writes only to stderr, which nobody sees when the tool is
// started from the desktop's menu; syslog lands in the journal.
void alsoToSyslog(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    qtHandler(type, context, message);
    if (!toSyslog) return;
    const int priority = type == QtDebugMsg      ? LOG_DEBUG
                         : type == QtInfoMsg     ? LOG_INFO
                         : type == QtWarningMsg  ? LOG_WARNING
                         : type == QtCriticalMsg ? LOG_CRIT
                                                 : LOG_ALERT;
    // syslog names the program already.
    QString text = message;
    const QLatin1String name("orvant-address: ");
    if (text.startsWith(name)) text.remove(0, name.size());
    ::syslog(priority, "%s", text.toLocal8Bit().constData());
}

} // namespace

void logToSystem() {
    toSyslog = !::isatty(STDERR_FILENO) && !stderrIsJournal();
    ::openlog("orvant-address", LOG_PID, LOG_USER);
    qtHandler = qInstallMessageHandler(alsoToSyslog);
}
