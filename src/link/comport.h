#pragma once

#include <QList>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace comport {

// Serial ports as the system lists them, put in the order in which they get
// COM numbers: USB serial adapters (ttyUSB*) first, then USB modems and CDC
// devices (ttyACM*), then the rest, each group in natural order of name
// (ttyUSB2 before ttyUSB10). A laptop's built-in modem is a ttyACM, so it
// does not take COM1 from a plugged-in adapter. Entries are device paths or
// bare names; the order looks at the last path component.
QStringList orderPorts(QStringList ports);

// True when a sorts before b in natural order (digit runs compared as numbers).
bool naturalLess(const QString& a, const QString& b);

// A port's name without the \\.\ that Windows may put before it.
QString withoutDevicePrefix(const QString& port);

// The device behind COM n, or an empty string when there is none.
// env looks up an environment variable (empty when unset); systemPorts are
// the ports the system reports, in any order. On Windows COM n is "COMn",
// if the system reports it (as "COMn" or "\\.\COMn").
QString deviceFor(int n, const std::function<QString(const QString&)>& env,
                  const QStringList& systemPorts);

// The same, from this process's environment and QSerialPortInfo; on
// Windows "COMn" whether listed or not, for the open to decide.
QString deviceFor(int n);

// What the system knows of a device, one fact a line: its path (and the one
// it leads to), description, manufacturer, serial number, and its names in
// byIdDir. known are the ports the system reports.
QString describe(const QString& device, const QList<QSerialPortInfo>& known,
                 const QString& byIdDir = QStringLiteral("/dev/serial/by-id"));

struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Why a COM number would not open. Most causes leave the user to choose
// another port; for the others another port would not help. Windows tells
// only InUse apart.
struct OpenFailure {
    // NeedsAdministrator: no group to join would help (the device's group is
    // root, or may not read and write it), so only an administrator can grant
    // access.
    enum Cause { None, Unavailable, PermissionDenied, InUse, NeedsAdministrator };
    Cause cause = None;
    QString device; // the device COM n resolved to, links followed; empty when none
    QString group;  // the group owning the device, for PermissionDenied
    QString detail; // one line for the log and the tooltip
};

// Parses a text like "9600,N,8,1" (baud, parity N/E/O/M/S, data bits 5..8,
// stop bits 1, 1.5 or 2). Empty on anything else.
std::optional<LineSettings> parseSettings(const QString& text);

} // namespace comport
