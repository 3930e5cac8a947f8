// The serial control's open, close, send and receive on Windows.
#include "link/comport.h"
#include "link/winserial.h"
#include "mscomm_p.h"

MSCommPrivate::MSCommPrivate(MSComm* q) : q(q), serial(new WinSerial(q)) {
    QObject::connect(serial, &WinSerial::received, q, &MSComm::OnComm);
    QObject::connect(serial, &WinSerial::failed, q,
                     [this](const QString& reason) { this->q->lose(reason); });
}

bool MSCommPrivate::isOpen() const {
    return serial->isOpen();
}

void MSCommPrivate::applySettings() {
    if (!serial->setLine(*comport::parseSettings(q->Settings())))
        MSComm::report(QStringLiteral("COM%1: line settings %2 refused: %3")
                           .arg(q->CommPort())
                           .arg(q->Settings(), serial->errorString()));
}

bool MSCommPrivate::open(const QString& device, QString* why, int* error) {
    if (serial->open(device, *comport::parseSettings(q->Settings()), q->DTREnable(), q->RTSEnable(),
                     q->InBufferSize(), q->OutBufferSize()))
        return true;
    *why = serial->errorString();
    *error = int(serial->errorCode());
    return false;
}

void MSCommPrivate::close() {
    serial->close();
}

void MSCommPrivate::write(const QByteArray& bytes) {
    if (!serial->write(bytes)) q->lose(serial->errorString());
}
