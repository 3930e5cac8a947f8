#include "link/mscomm.h"

#include "link/comport.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#ifndef Q_OS_WIN
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcSerial, "orvant.serial")

// Through Qt's logging: stderr from a terminal, the journal from a desktop
// launch, the debugger output on Windows.
void MSComm::report(const QString& line) {
    qCWarning(lcSerial).noquote() << "orvant-address:" << line;
}

namespace {

// The Windows control (mscomm_win.cpp) has its own open, close and receive.
#ifndef Q_OS_WIN

#ifndef Q_OS_WIN
// The live process named by a UUCP-style lock file on the device (Qt's own
// and lockdev's write the pid first), or 0. Qt names the lock after the path
// it was given, so both the path and the device it leads to are looked for.
qint64 lockHolder(const QString& path, const QString& device, QString* lockFile) {
    QStringList names;
    for (const QString& p : {path, device}) {
        QString name = p.startsWith(QLatin1String("/dev/")) ? p.mid(5) : p;
        names << QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
    }
    names.removeDuplicates();
    const QStringList dirs = {QStringLiteral("/var/lock"),
                              QStringLiteral("/run/lock"),
                              QStringLiteral("/var/lock/lockdev"),
                              QStringLiteral("/var/spool/locks"),
                              QStringLiteral("/var/spool/uucp"),
                              QStringLiteral("/etc/locks"),
                              QStringLiteral("/tmp"),
                              QStringLiteral("/var/tmp"),
                              QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    for (const QString& dir : dirs) {
        for (const QString& name : names) {
            QFile file(dir + QLatin1Char('/') + name);
            if (!file.open(QIODevice::ReadOnly)) continue;
            const qint64 pid = file.readLine(32).trimmed().toLongLong();
            if (pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM)) {
                *lockFile = file.fileName();
                return pid;
            }
        }
    }
    return 0;
}

QString programName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                          : QStringLiteral("?");
}

QString groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}
#endif

// Why the device would not open. QSerialPort calls a lock held by another
// program a permission error, so the device itself and its lock decide.
MSComm::OpenFailure diagnose(int n, const QString& path, const QSerialPort& port, int savedErrno) {
    MSComm::OpenFailure f{MSComm::OpenFailure::Unavailable, path, QString(), QString()};
    QString why = port.errorString();
    const QString error = QString::fromLocal8Bit(std::strerror(savedErrno));
    if (savedErrno != 0 && !why.contains(error)) why += QStringLiteral(" (%1)").arg(error);
#ifndef Q_OS_WIN
    const QString device = QFileInfo(path).canonicalFilePath();
    if (!device.isEmpty()) f.device = device;
    const QByteArray name = QFile::encodeName(f.device);
    struct stat st {};
    QString lockFile;
    if (::stat(name.constData(), &st) != 0) {
        why =
            QStringLiteral("no such device (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
    } else if (!S_ISCHR(st.st_mode)) {
        why = QStringLiteral("not a serial device");
    } else if (::faccessat(AT_FDCWD, name.constData(), R_OK | W_OK, AT_EACCESS) != 0 &&
               errno == EACCES) {
        // The kernel's own check of mode, owner, groups and ACLs for this process.
        const QString mode = QString::number(st.st_mode & 07777, 8).rightJustified(4, '0');
        why = QStringLiteral("permission denied: the device is mode %1, group '%2'")
                  .arg(mode, groupName(st.st_gid));
        // Joining the group helps only when the group may read and write.
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            f.cause = MSComm::OpenFailure::PermissionDenied;
            f.group = groupName(st.st_gid);
            why += QStringLiteral(", and this user is not in that group; sudo usermod -aG %1 "
                                  "$USER, then log in again")
                       .arg(f.group);
        }
    } else if (const qint64 pid = lockHolder(path, f.device, &lockFile)) {
        f.cause = MSComm::OpenFailure::InUse;
        why = QStringLiteral("in use by another program: %1 (pid %2) holds %3")
                  .arg(programName(pid))
                  .arg(pid)
                  .arg(lockFile);
    } else if (savedErrno == EBUSY) {
        // Opened for exclusive use (TIOCEXCL) by a program that takes no lock file.
        f.cause = MSComm::OpenFailure::InUse;
        why = QStringLiteral("in use by another program (%1)")
                  .arg(QString::fromLocal8Bit(std::strerror(savedErrno)));
    }
#endif
    const QString where = f.device == path ? path : path + QStringLiteral(" -> ") + f.device;
    f.detail = QStringLiteral("COM%1 (%2) cannot be opened: %3").arg(n).arg(where, why);
    return f;
}

#endif

} // namespace

#ifndef Q_OS_WIN
MSComm::MSComm(QObject* parent) : QObject(parent), m_port(new QSerialPort(this)) {
    connect(m_port, &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &MSComm::onError);
}
#endif

MSComm::~MSComm() {
    closePort();
}

void MSComm::setCommPort(int16_t n) {
    if (n < 1) {
        m_openFailure = {OpenFailure::Unavailable, QString(), QString(),
                         QStringLiteral("COM%1: no such port").arg(n)};
        report(m_openFailure.detail);
        throw CommError{ErrInvalidPortNumber};
    }
    if (PortOpen()) throw CommError{ErrPortAlreadyOpen};
    m_commPort = n;
}

void MSComm::setSettings(const QString& text) {
    if (!comport::parseSettings(text)) throw CommError{ErrInvalidPropertyValue};
    m_settings = text;
    if (PortOpen()) applySettings();
}

#ifndef Q_OS_WIN
bool MSComm::PortOpen() const {
    return m_port->isOpen();
}

void MSComm::applySettings() {
    const auto s = comport::parseSettings(m_settings);
    m_port->setBaudRate(s->baud);
    m_port->setParity(s->parity);
    m_port->setDataBits(s->dataBits);
    m_port->setStopBits(s->stopBits);
    m_port->setFlowControl(Handshaking());
}

void MSComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return;
    }
    if (PortOpen()) throw CommError{ErrPortAlreadyOpen};

    m_openFailure = OpenFailure{};
    const QString device = comport::deviceFor(m_commPort);
    if (device.isEmpty()) {
        m_openFailure = {OpenFailure::Unavailable, QString(), QString(),
                         QStringLiteral("COM%1: no such port (set ORVANT_COM%1 to a device path "
                                        "to choose one)")
                             .arg(m_commPort)};
        report(m_openFailure.detail);
        throw CommError{ErrInvalidPortNumber};
    }
    m_port->setPortName(device);
    m_port->setReadBufferSize(InBufferSize());
    applySettings();
    errno = 0;
    if (!m_port->open(QIODevice::ReadWrite)) {
        const int savedErrno = errno;
        m_openFailure = diagnose(m_commPort, device, *m_port, savedErrno);
        report(m_openFailure.detail);
        throw CommError{ErrInvalidPortNumber};
    }
    m_device = device;
    m_lost = false;
    m_received.clear();
    // Pseudo-terminals refuse the modem lines; that is harmless.
    m_port->setDataTerminalReady(DTREnable());
    m_port->setRequestToSend(RTSEnable());
    errno = 0; // the refusals above must not pass for the cause of a later loss
    report(QStringLiteral("COM%1 is %2").arg(m_commPort).arg(device));
}

void MSComm::closePort() {
    ++m_closes;
    m_received.clear();
    if (m_port->isOpen()) m_port->close();
}

void MSComm::setOutput(const QByteArray& bytes) {
    if (!PortOpen()) throw CommError{ErrPortNotOpen};
    if (m_port->write(bytes) != bytes.size()) {
        onError(QSerialPort::WriteError);
        throw CommError{ErrWriteFailed};
    }
    // Hand the bytes to the device now rather than at the next event pass.
    m_port->flush();
    if (!PortOpen()) throw CommError{ErrWriteFailed};
}
#endif

QByteArray MSComm::Input() {
    const QByteArray taken = m_received.left(InputLen());
    m_received.remove(0, taken.size());
    return taken;
}

#ifndef Q_OS_WIN
void MSComm::onReadyRead() {
    deliver(m_port->readAll());
}
#endif

void MSComm::deliver(QByteArray chunk) {
    const qsizetype room = InBufferSize() - m_received.size();
    bool overflow = false;
    if (chunk.size() > room) {
        chunk.truncate(room > 0 ? room : 0);
        overflow = true;
    }
    m_received.append(chunk);
    const quint64 closes = m_closes;
    // One notification per byte, however the system grouped them.
    for (qsizetype i = 0; i < chunk.size() && m_closes == closes; ++i) {
        m_commEvent = comEvReceive;
        emit OnComm();
    }
    if (overflow && m_closes == closes) {
        m_commEvent = comEventRxOver;
        emit OnComm();
    }
}

#ifndef Q_OS_WIN
void MSComm::onError(QSerialPort::SerialPortError error) {
    // errno still belongs to the failing call; errorString() may be stale.
    const int savedErrno = errno;
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    // Closing a dead line can report again before the port counts as closed.
    if (!m_port->isOpen() || m_lost) return;
    m_lost = true;
    const bool meaningful = savedErrno != 0 && savedErrno != EAGAIN && savedErrno != EINTR;
    const QString reason = meaningful ? QString::fromLocal8Bit(std::strerror(savedErrno))
                                      : QStringLiteral("the line closed or the device was removed");
    report(QStringLiteral("COM%1 (%2) lost: %3").arg(m_commPort).arg(m_device, reason));
    // Qt keeps reporting the dead line in a tight loop until the port is closed.
    closePort();
    emit PortLost();
}
#endif
