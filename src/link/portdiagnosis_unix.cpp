#include "link/portdiagnosis.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace comport {

namespace {

// The live process named by a UUCP-style lock file on the device (Qt's own and
// lockdev's write the pid first), or 0. Qt names the lock after the path it
// was given, so both the path and the device it leads to are looked for.
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

} // namespace

// QSerialPort calls a lock held by another program a permission error, so
// the device itself and its lock decide.
MSComm::OpenFailure diagnose(int n, const QString& path, const QString& reason, int savedErrno) {
    MSComm::OpenFailure f{MSComm::OpenFailure::Unavailable, path, QString(), QString()};
    QString why = reason;
    const QString error = QString::fromLocal8Bit(std::strerror(savedErrno));
    if (savedErrno != 0 && !why.contains(error)) why += QStringLiteral(" (%1)").arg(error);
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
    const QString where = f.device == path ? path : path + QStringLiteral(" -> ") + f.device;
    f.detail = QStringLiteral("COM%1 (%2) cannot be opened: %3").arg(n).arg(where, why);
    return f;
}

} // namespace comport
