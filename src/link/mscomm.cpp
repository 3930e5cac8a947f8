#include "link/mscomm.h"

#include "link/comport.h"

#include <QLoggingCategory>
#include <cerrno>
#include <cstring>

namespace {

// The Windows control (mscomm_win.cpp) has its own open, close and receive.
#ifndef Q_OS_WIN
Q_LOGGING_CATEGORY(lcSerial, "orvant.serial")

// Through Qt's logging: stderr from a terminal, the journal from a desktop
// launch, the debugger output on Windows.
void report(const QString& line) {
    qCWarning(lcSerial).noquote() << "orvant-address:" << line;
}

QString openFailureReason(const QSerialPort& port, int savedErrno) {
    switch (port.error()) {
    case QSerialPort::PermissionError:
        return QStringLiteral("permission denied (%1); add the user to the 'dialout' group: "
                              "sudo usermod -aG dialout $USER, then log in again")
            .arg(port.errorString());
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("no such device (%1)").arg(port.errorString());
    default:
        break;
    }
    if (savedErrno == EBUSY || savedErrno == EAGAIN)
        return QStringLiteral("in use by another program (%1)").arg(port.errorString());
    return port.errorString();
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
    if (n < 1) throw CommError{ErrInvalidPortNumber};
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
        m_openFailure = {OpenFailure::Unavailable, device, QString(),
                         QStringLiteral("COM%1 (%2) cannot be opened: %3")
                             .arg(m_commPort)
                             .arg(device, openFailureReason(*m_port, savedErrno))};
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
