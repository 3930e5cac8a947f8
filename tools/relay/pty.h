#pragma once

#include <QString>

// A pseudo-terminal pair: the caller plays the far end of a serial line on
// the master side, the program under test opens slavePath() as its port.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isValid() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; }

    // The line goes away, as when an adapter is pulled out.
    void closeMaster();

private:
    int m_master = -1;
    // Held open so that the master never sees a hang-up between two opens
    // of the slave by the program.
    int m_slaveKeeper = -1;
    QString m_slavePath;
};
