#pragma once

#include "link/comport.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstdint>
#include <memory>

class MSCommPrivate;

// A failure of a serial control operation, with the control's error number.
// An open that fails (8002) says why in failure.
struct CommError {
    int number;
    comport::OpenFailure failure{};
};

// The window's serial communications control: a port chosen by number,
// line settings given as text, bytes out unchanged, and every chunk of
// bytes the system receives handed on whole, in order, as it comes.
class MSComm : public QObject {
    Q_OBJECT
public:
    // Error numbers.
    static constexpr int ErrInvalidPropertyValue = 380;
    static constexpr int ErrInvalidPortNumber = 8002;
    static constexpr int ErrPortAlreadyOpen = 8005;
    static constexpr int ErrPortNotOpen = 8018;

    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    int16_t CommPort() const { return m_commPort; }
    void setCommPort(int16_t n);

    QString Settings() const { return m_settings; }
    void setSettings(const QString& text);

    bool PortOpen() const;
    void setPortOpen(bool open);

    // Hands the bytes to the port, unchanged and in order. A port that fails
    // meanwhile is lost (PortLost), not reported here.
    void setOutput(const QByteArray& bytes);

    // The device that COM CommPort() was opened on, for messages.
    QString device() const { return m_device; }

    // Fixed configuration; the program never changes it.
    bool DTREnable() const { return true; }
    bool RTSEnable() const { return false; }
    bool NullDiscard() const { return false; }
    bool EOFEnable() const { return false; }
    QString ParityReplace() const { return QStringLiteral("?"); }
    int InBufferSize() const { return 1024; }
    int OutBufferSize() const { return 512; }
    QSerialPort::FlowControl Handshaking() const { return QSerialPort::NoFlowControl; }

signals:
    // Bytes received from the line, as the system delivered them.
    void OnComm(const QByteArray& received);
    // The open port failed (device removed, line gone); it has been closed.
    void PortLost();

private:
    friend class MSCommPrivate;

    // One line for the user's log: stderr, the journal, or the debugger
    // output of a Windows program without a console.
    static void report(const QString& line);
    // "COMn", with the device it is on where that has another name.
    QString where() const;
    [[noreturn]] void failOpen(const comport::OpenFailure& why);
    // The open port failed underneath: closed, reported once, PortLost raised.
    void lose(const QString& reason);

    std::unique_ptr<MSCommPrivate> d;
    int16_t m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    QString m_device;
    bool m_lost = false;
};
