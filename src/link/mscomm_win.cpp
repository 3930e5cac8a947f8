// The serial control's open, close, send and receive on Windows. QSerialPort
// waits for its reads on a completion port, which Wine never signals for a
// serial line; WinSerial waits on the operations' own events instead.
#include "link/comport.h"
#include "link/mscomm.h"
#include "link/winserial.h"

MSComm::MSComm(QObject* parent) : QObject(parent), m_serial(new WinSerial(this)) {
    connect(m_serial, &WinSerial::received, this, &MSComm::deliver);
    connect(m_serial, &WinSerial::failed, this, &MSComm::onFailed);
}

bool MSComm::PortOpen() const {
    return m_serial->isOpen();
}

void MSComm::applySettings() {
    if (!m_serial->setLine(*comport::parseSettings(m_settings)))
        report(QStringLiteral("COM%1: line settings %2 refused: %3")
                   .arg(m_commPort)
                   .arg(m_settings, m_serial->errorString()));
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
    if (!m_serial->open(device, *comport::parseSettings(m_settings), DTREnable(), RTSEnable(),
                        InBufferSize(), OutBufferSize())) {
        m_openFailure = {
            OpenFailure::Unavailable, device, QString(),
            QStringLiteral("%1 cannot be opened: %2").arg(device, m_serial->errorString())};
        report(m_openFailure.detail);
        throw CommError{ErrInvalidPortNumber};
    }
    m_device = device;
    m_received.clear();
    report(QStringLiteral("COM%1 is open").arg(m_commPort));
}

void MSComm::closePort() {
    ++m_closes;
    m_received.clear();
    m_serial->close();
}

void MSComm::setOutput(const QByteArray& bytes) {
    if (!PortOpen()) throw CommError{ErrPortNotOpen};
    if (!m_serial->write(bytes)) {
        onFailed(m_serial->errorString());
        throw CommError{ErrWriteFailed};
    }
}

void MSComm::onFailed(const QString& reason) {
    if (!PortOpen() || m_lost) return;
    m_lost = true;
    report(QStringLiteral("COM%1 lost: %2").arg(m_commPort).arg(reason));
    closePort();
    emit PortLost();
}
