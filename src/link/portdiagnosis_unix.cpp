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
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace comport {

namespace {

// A pid, a program name and a host name at most; anything longer is no lock.
constexpr qint64 kMaxLockSize = 1024;

struct Lock {
    qint64 pid = 0;
    QString program; // as the lock's second line names it; empty when none
};

// Any local user can create files where locks live (/tmp among them): only
// a regular file of sane size is read, and nothing here blocks (a FIFO),
// follows a link (to another device) or becomes a controlling terminal.
std::optional<Lock> readLock(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const int fd =
        ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxLockSize) {
        text.resize(kMaxLockSize);
        const ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? n : 0);
    }
    ::close(fd);
    const QList<QByteArray> lines = text.split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    // A number beyond pid_t would wrap onto some unrelated process.
    if (!ok || pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return std::nullopt;
    return Lock{pid, QFileInfo(QString::fromLocal8Bit(lines.value(1).trimmed())).fileName()};
}

QByteArray procFile(qint64 pid, const char* name) {
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

// A live process, not a zombie, and the program the lock names where it
// names one: a pid taken again after a reboot or a crash is someone else's.
bool holds(const Lock& lock) {
    if (::kill(pid_t(lock.pid), 0) != 0 && errno != EPERM) return false;
    // The state follows the name, which may itself hold ')'.
    const QByteArray stat = procFile(lock.pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close >= 0 && close + 2 < stat.size() && (stat[close + 2] == 'Z' || stat[close + 2] == 'X'))
        return false;
    if (lock.program.isEmpty()) return true;
    // The kernel keeps 15 bytes of the name; the executable only its owner may read.
    const QByteArray comm = procFile(lock.pid, "comm");
    const QString exe =
        QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(lock.pid))).fileName();
    if (comm.isEmpty() && exe.isEmpty()) return true; // /proc hides it: cannot tell
    return lock.program == exe || lock.program.toLocal8Bit().left(15) == comm;
}

// The process holding a UUCP-style lock file on the device (Qt's own and
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
            const QString file = dir + QLatin1Char('/') + name;
            const std::optional<Lock> lock = readLock(file);
            if (lock && holds(*lock)) {
                *lockFile = file;
                return lock->pid;
            }
        }
    }
    return 0;
}

QString programName(qint64 pid) {
    const QByteArray comm = procFile(pid, "comm");
    return comm.isEmpty() ? QStringLiteral("?") : QString::fromLocal8Bit(comm);
}

QString groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

} // namespace

// QSerialPort calls a lock held by another program a permission error, so
// the device itself and its lock decide.
OpenFailure diagnose(int n, const QString& path, const QString& reason, int savedErrno) {
    OpenFailure f{OpenFailure::Unavailable, path, QString(), QString()};
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
        // Joining the group helps only when the group may read and write,
        // and nobody should join root's group to reach one device.
        if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            f.cause = OpenFailure::PermissionDenied;
            f.group = groupName(st.st_gid);
            why += QStringLiteral(", and this user is not in that group; sudo usermod -aG %1 "
                                  "$USER, then log in again")
                       .arg(f.group);
        } else {
            f.cause = OpenFailure::NeedsAdministrator;
            why += QStringLiteral("; only an administrator can grant this user access");
        }
    } else if (const qint64 pid = lockHolder(path, f.device, &lockFile)) {
        f.cause = OpenFailure::InUse;
        why = QStringLiteral("in use by another program: %1 (pid %2) holds %3")
                  .arg(programName(pid))
                  .arg(pid)
                  .arg(lockFile);
    } else if (savedErrno == EBUSY) {
        // Opened for exclusive use (TIOCEXCL) by a program that takes no lock file.
        f.cause = OpenFailure::InUse;
        why = QStringLiteral("in use by another program (%1)")
                  .arg(QString::fromLocal8Bit(std::strerror(savedErrno)));
    }
    const QString where = f.device == path ? path : path + QStringLiteral(" -> ") + f.device;
    f.detail = QStringLiteral("COM%1 (%2) cannot be opened: %3").arg(n).arg(where, why);
    return f;
}

} // namespace comport
