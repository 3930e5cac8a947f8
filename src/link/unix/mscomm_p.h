#pragma once

// The serial control's Linux half: a QSerialPort underneath.
#include "link/mscomm.h"

#include <QSerialPort>

class MSCommPrivate {
public:
    explicit MSCommPrivate(MSComm* q);

    bool isOpen() const { return port->isOpen(); }
    // Opens the device with the control's configuration. On failure, the
    // system's reason and the errno of the failing call.
    bool open(const QString& device, QString* why, int* savedErrno);
    // Runs once the control counts the port as open.
    void afterOpen();
    void applySettings();
    void close();
    // A port that fails is lost.
    void write(const QByteArray& bytes);

private:
    void onError(QSerialPort::SerialPortError error);

    MSComm* const q;
    QSerialPort* const port;
};
