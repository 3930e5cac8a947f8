#pragma once

// Driving the window as a user does, on any system: connect, click and wait
// for the handler, read the log.

#include "link/modbuslink.h"
#include "link/mscomm.h"
#include "ui/form1.h"
#include "ui/loglist.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

// Presses "Conectar" with COM n selected; true when the port opened.
inline bool connectForm(Form1& f, int comNumber = 1) {
    f.cmb_com->setCurrentIndex(comNumber - 1);
    f.cmd_conexion->click();
    return f.link->MSComm1->PortOpen();
}

// Runs a click that starts a transaction from inside the event loop, as a
// user's click would, and waits until its handler has returned; the time
// the handler took, in ms, or -1.
inline double clickAndTime(QAbstractButton* button, int timeoutMs) {
    QElapsedTimer clock;
    bool done = false;
    QTimer::singleShot(0, button, [&] {
        clock.start();
        button->click();
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, timeoutMs)) return -1;
    return clock.nsecsElapsed() / 1e6;
}

inline bool clickAndWait(QAbstractButton* button, int timeoutMs) {
    return clickAndTime(button, timeoutMs) >= 0;
}

inline QStringList logLines(const LogList& lst) {
    QStringList lines;
    for (int i = 0; i < lst.count(); ++i) lines << lst.line(i);
    return lines;
}

inline QStringList logLines(const Form1& f) {
    return logLines(*f.lst);
}
