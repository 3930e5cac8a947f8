#include "pty.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) return;
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        closeMaster();
        return;
    }
    const char* name = ptsname(m_master);
    if (!name) {
        closeMaster();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    m_slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveKeeper >= 0) {
        // Raw from the start: no echo or newline mapping before the program
        // opens its side, nor after it closes it again.
        termios t{};
        if (tcgetattr(m_slaveKeeper, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(m_slaveKeeper, TCSANOW, &t);
        }
    }
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
    closeMaster();
    if (m_slaveKeeper >= 0) ::close(m_slaveKeeper);
}

void Pty::closeMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}
