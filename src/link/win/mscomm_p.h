#pragma once

// The serial control's Windows half. QSerialPort waits for its reads on a
// completion port, which Wine never signals for a serial line; WinSerial
// waits on the operations' own events instead.
#include "link/mscomm.h"

class WinSerial;

class MSCommPrivate {
public:
    explicit MSCommPrivate(MSComm* q);

    bool isOpen() const;
    // Opens the device with the control's configuration. On failure, the
    // system's reason and its error code (GetLastError()'s number).
    bool open(const QString& device, QString* why, int* error);
    // Runs once the control counts the port as open.
    void afterOpen() {}
    void applySettings();
    void close();
    // A port that fails is lost.
    void write(const QByteArray& bytes);

private:
    MSComm* const q;
    WinSerial* const serial;
};
