#include "link/mscomm.h"

#include "link/comport.h"
#include "link/portdiagnosis.h"

#include <QLoggingCategory>

// The platform half: mscomm_unix.cpp or mscomm_win.cpp, picked by the build.
#include MSCOMM_PRIVATE_HEADER

Q_LOGGING_CATEGORY(lcSerial, "orvant.serial")

// Through Qt's logging: stderr from a terminal, the journal from a desktop
// launch, the debugger output on Windows.
void MSComm::report(const QString& line) {
    qCWarning(lcSerial).noquote() << "orvant-address:" << line;
}

MSComm::MSComm(QObject* parent) : QObject(parent), d(new MSCommPrivate(this)) {}

MSComm::~MSComm() {
    closePort();
}

QString MSComm::where() const {
    const QString name = QStringLiteral("COM%1").arg(m_commPort);
    return m_device == name ? name : QStringLiteral("%1 (%2)").arg(name, m_device);
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
    if (PortOpen()) d->applySettings();
}

bool MSComm::PortOpen() const {
    return d->isOpen();
}

void MSComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return;
    }
    if (PortOpen()) throw CommError{ErrPortAlreadyOpen};

    m_openFailure = OpenFailure{};
    // Before the open: a failure inside it must not be taken for the loss
    // that is already over.
    m_lost = false;
    const QString device = comport::deviceFor(m_commPort);
    if (device.isEmpty()) {
        m_openFailure = {OpenFailure::Unavailable, QString(), QString(),
                         QStringLiteral("COM%1: no such port (set ORVANT_COM%1 to a device path "
                                        "to choose one)")
                             .arg(m_commPort)};
        report(m_openFailure.detail);
        throw CommError{ErrInvalidPortNumber};
    }
    QString why;
    int savedErrno = 0;
    if (!d->open(device, &why, &savedErrno)) {
        m_openFailure = comport::diagnose(m_commPort, device, why, savedErrno);
        report(m_openFailure.detail);
        throw CommError{ErrInvalidPortNumber};
    }
    m_device = device;
    m_received.clear();
    d->afterOpen();
    report(where() + QStringLiteral(" is open"));
}

void MSComm::closePort() {
    ++m_closes;
    m_received.clear();
    d->close();
}

void MSComm::setOutput(const QByteArray& bytes) {
    if (!PortOpen()) throw CommError{ErrPortNotOpen};
    if (!d->write(bytes)) throw CommError{ErrWriteFailed};
}

QByteArray MSComm::Input() {
    const QByteArray taken = m_received.left(InputLen());
    m_received.remove(0, taken.size());
    return taken;
}

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

void MSComm::lose(const QString& reason) {
    // Closing a dead line can report again before the port counts as closed.
    if (!PortOpen() || m_lost) return;
    m_lost = true;
    report(where() + QStringLiteral(" lost: ") + reason);
    // The system keeps reporting a dead line until the port is closed.
    closePort();
    emit PortLost();
}
