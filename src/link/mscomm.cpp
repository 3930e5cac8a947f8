#include "link/mscomm.h"

#include "link/comport.h"
#include "link/portdiagnosis.h"
// The platform half, from link/unix or link/win: the build puts one of them
// on the include path.
#include "mscomm_p.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSerial, "orvant.serial")

// Through Qt's logging: stderr from a terminal, the journal from a desktop
// launch, the debugger output on Windows.
void MSComm::report(const QString& line) {
    qCWarning(lcSerial).noquote() << "orvant-address:" << line;
}

MSComm::MSComm(QObject* parent) : QObject(parent), d(new MSCommPrivate(this)) {}

MSComm::~MSComm() {
    d->close();
}

QString MSComm::where() const {
    const QString name = QStringLiteral("COM%1").arg(m_commPort);
    return m_device == name ? name : QStringLiteral("%1 (%2)").arg(name, m_device);
}

void MSComm::failOpen(const comport::OpenFailure& why) {
    report(why.detail);
    throw CommError{ErrInvalidPortNumber, why};
}

void MSComm::setCommPort(int16_t n) {
    if (n < 1)
        failOpen({comport::OpenFailure::Unavailable, QString(), QString(),
                  QStringLiteral("COM%1: no such port").arg(n)});
    if (PortOpen()) throw CommError{ErrPortAlreadyOpen};
    m_commPort = n;
}

void MSComm::setSettings(const QString& text) {
    if (!comport::parseSettings(text)) throw CommError{ErrInvalidPropertyValue};
    m_settings = text;
    if (PortOpen()) d->applySettings();
}

bool MSComm::PortOpen() const {
    return d->isOpen();
}

void MSComm::setPortOpen(bool open) {
    if (!open) {
        d->close();
        return;
    }
    if (PortOpen()) throw CommError{ErrPortAlreadyOpen};

    // Before the open: a failure inside it must not be taken for the loss
    // that is already over.
    m_lost = false;
    const QString device = comport::deviceFor(m_commPort);
    if (device.isEmpty())
        failOpen({comport::OpenFailure::Unavailable, QString(), QString(),
                  QStringLiteral("COM%1: no such port (set ORVANT_COM%1 to a device path "
                                 "to choose one)")
                      .arg(m_commPort)});
    QString why;
    int savedErrno = 0;
    if (!d->open(device, &why, &savedErrno))
        failOpen(comport::diagnose(m_commPort, device, why, savedErrno));
    m_device = device;
    d->afterOpen();
    report(where() + QStringLiteral(" is open"));
}

void MSComm::setOutput(const QByteArray& bytes) {
    if (!PortOpen()) throw CommError{ErrPortNotOpen};
    d->write(bytes);
}

void MSComm::lose(const QString& reason) {
    // Closing a dead line can report again before the port counts as closed.
    if (!PortOpen() || m_lost) return;
    m_lost = true;
    report(where() + QStringLiteral(" lost: ") + reason);
    // The system keeps reporting a dead line until the port is closed.
    d->close();
    emit PortLost();
}
