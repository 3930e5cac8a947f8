#pragma once

// Shared pieces of the tests on Linux: a pseudo-terminal attached as a COM
// port with a scripted relay on its far end, with the window or the
// exchange alone on the near end.

#include "pty.h"
#include "scriptedrelay.h"
#include "window.h"

#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// A serial line whose far end is a scripted relay bus, reachable as COM n.
struct Line {
    explicit Line(int comNumber = 1) : com(comNumber) {
        relay = std::make_unique<ScriptedRelay>(pty.masterFd());
        qputenv(QStringLiteral("ORVANT_COM%1").arg(com).toLatin1().constData(),
                pty.slavePath().toLocal8Bit());
    }
    ~Line() { qunsetenv(QStringLiteral("ORVANT_COM%1").arg(com).toLatin1().constData()); }

    // Pulls the adapter out.
    void cut() {
        relay.reset();
        pty.closeMaster();
    }

    int com;
    Pty pty;
    std::unique_ptr<ScriptedRelay> relay;
};

// Faults of the line or the bus, named by words in faults: echo, garble,
// exception (code 2), twin, burst (16 ms, a USB adapter's usual timer).
inline void plantFaults(ScriptedRelay& relay, const QString& faults) {
    const QStringList words = faults.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    relay.echo = words.contains(QLatin1String("echo"));
    relay.garble = words.contains(QLatin1String("garble"));
    relay.exception = words.contains(QLatin1String("exception")) ? 2 : 0;
    relay.twin = words.contains(QLatin1String("twin"));
    relay.burstMs = words.contains(QLatin1String("burst")) ? 16 : 0;
}

// Line state as the device sees it; the master side reports the slave's.
inline termios lineState(const Pty& pty) {
    termios t{};
    tcgetattr(pty.masterFd(), &t);
    return t;
}

// A line on COM n with its relay bus, and the window that uses it. The
// window goes first, so its port is closed before the line disappears.
struct Bench {
    explicit Bench(int waitMs, int com = 1) : line(com), f(waitMs) {}
    ScriptedRelay& relay() { return *line.relay; }
    Line line;
    Form1 f;
};

// A line on COM n with its relay bus, and the exchange alone on it. Its
// log lines go to a log list, as in the window.
struct LinkBench {
    explicit LinkBench(int waitMs, int com = 1) : line(com), link(waitMs) {
        QObject::connect(&link, &ModbusLink::logLine, &lst, &LogList::addLine);
    }
    ScriptedRelay& relay() { return *line.relay; }
    // Opens the line as "Conectar" does; true when it opened.
    bool open() {
        try {
            link.openPort(static_cast<int16_t>(line.com), QStringLiteral("9600,N,8,1"));
        } catch (const CommError&) {
            return false;
        }
        return link.MSComm1->PortOpen();
    }
    Line line;
    ModbusLink link;
    LogList lst;
};

// Hands the device to a group the user nobody is not in (uucp, or root),
// mode 0660. False when this process may not do that (it is not root).
inline bool lockOutNobody(const QString& device, const char* groupName = "uucp") {
    const group* g = ::getgrnam(groupName);
    const QByteArray path = QFile::encodeName(device);
    return ::geteuid() == 0 && g && ::getpwnam("nobody") &&
           ::chown(path.constData(), 0, g->gr_gid) == 0 && ::chmod(path.constData(), 0660) == 0;
}

// In a child process: goes on as the user nobody, in no supplementary group.
inline bool becomeNobody() {
    const passwd* nobody = ::getpwnam("nobody");
    return nobody && ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 &&
           ::setuid(nobody->pw_uid) == 0;
}
