// The serial control's open, close, send and receive on Linux.
#include "link/comport.h"
#include "mscomm_p.h"

#include <cerrno>
#include <cstring>

MSCommPrivate::MSCommPrivate(MSComm* q) : q(q), port(new QSerialPort(q)) {
    QObject::connect(port, &QSerialPort::readyRead, q,
                     [this] { emit this->q->OnComm(port->readAll()); });
    QObject::connect(port, &QSerialPort::errorOccurred, q,
                     [this](QSerialPort::SerialPortError e) { onError(e); });
}

void MSCommPrivate::applySettings() {
    const auto s = comport::parseSettings(q->Settings());
    port->setBaudRate(s->baud);
    port->setParity(s->parity);
    port->setDataBits(s->dataBits);
    port->setStopBits(s->stopBits);
    port->setFlowControl(q->Handshaking());
}

bool MSCommPrivate::open(const QString& device, QString* why, int* savedErrno) {
    port->setPortName(device);
    port->setReadBufferSize(q->InBufferSize());
    applySettings();
    errno = 0;
    if (port->open(QIODevice::ReadWrite)) return true;
    *savedErrno = errno;
    *why = port->errorString();
    return false;
}

void MSCommPrivate::afterOpen() {
    // Pseudo-terminals refuse the modem lines; that is harmless.
    port->setDataTerminalReady(q->DTREnable());
    port->setRequestToSend(q->RTSEnable());
    errno = 0; // the refusals above must not pass for the cause of a later loss
}

void MSCommPrivate::close() {
    if (port->isOpen()) port->close();
}

void MSCommPrivate::write(const QByteArray& bytes) {
    if (port->write(bytes) != bytes.size()) {
        onError(QSerialPort::WriteError);
        return;
    }
    // Hand the bytes to the device now rather than at the next event pass.
    port->flush();
}

void MSCommPrivate::onError(QSerialPort::SerialPortError error) {
    // errno still belongs to the failing call; errorString() may be stale.
    const int savedErrno = errno;
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    const bool meaningful = savedErrno != 0 && savedErrno != EAGAIN && savedErrno != EINTR;
    q->lose(meaningful ? QString::fromLocal8Bit(std::strerror(savedErrno))
                       : QStringLiteral("the line closed or the device was removed"));
}
