#pragma once

// Shared pieces of the tests: a pseudo-terminal attached as a COM port with
// a scripted relay on its far end, and small waiting helpers.

#include "link/mscomm.h"
#include "pty.h"
#include "scriptedrelay.h"
#include "ui/form1.h"

#include "ui/loglist.h"
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
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

// A line on COM n with its relay bus, and the window that uses it. The
// window goes first, so its port is closed before the line disappears.
struct Bench {
    explicit Bench(int waitMs, int com = 1) : line(com), f(waitMs) {}
    ScriptedRelay& relay() { return *line.relay; }
    Line line;
    Form1 f;
};

// Presses "Conectar" with COM n selected; true when the port opened.
inline bool connectForm(Form1& f, int comNumber = 1) {
    f.cmb_com->setCurrentIndex(comNumber - 1);
    f.cmd_conexion->click();
    return f.MSComm1->PortOpen();
}

// Runs a click that starts a transaction from inside the event loop, as a
// user's click would, and waits until its handler has returned.
inline bool clickAndWait(QAbstractButton* button, int timeoutMs) {
    bool done = false;
    QTimer::singleShot(0, button, [&] {
        button->click();
        done = true;
    });
    return QTest::qWaitFor([&] { return done; }, timeoutMs);
}

inline QStringList logLines(const Form1& f) {
    QStringList lines;
    for (int i = 0; i < f.lst->count(); ++i) lines << f.lst->item(i)->text();
    return lines;
}

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
