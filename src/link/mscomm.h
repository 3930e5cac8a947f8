#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstdint>
#include <memory>

class MSCommPrivate;

// A failure of a serial control operation, with the control's error number.
struct CommError {
    int number;
};

// The window's serial communications control: a port chosen by number,
// line settings given as text, bytes out unchanged, and one OnComm
// notification with one read per received byte.
class MSComm : public QObject {
    Q_OBJECT
public:
    // Event codes (CommEvent).
    static constexpr int16_t comEvReceive = 2;
    static constexpr int16_t comEventRxOver = 1008;

    // Error numbers.
    static constexpr int ErrInvalidPropertyValue = 380;
    static constexpr int ErrInvalidPortNumber = 8002;
    static constexpr int ErrPortAlreadyOpen = 8005;
    static constexpr int ErrPortNotOpen = 8018;
    static constexpr int ErrWriteFailed = 8020;

    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    int16_t CommPort() const { return m_commPort; }
    void setCommPort(int16_t n);

    QString Settings() const { return m_settings; }
    void setSettings(const QString& text);

    bool PortOpen() const;
    void setPortOpen(bool open);

    // Hands the bytes to the port, unchanged and in order.
    void setOutput(const QByteArray& bytes);

    // Takes at most InputLen() waiting bytes out of the receive buffer.
    QByteArray Input();

    int16_t CommEvent() const { return m_commEvent; }

    // The device that COM CommPort() was opened on, for messages.
    QString device() const { return m_device; }

    // Why the last open failed (all 8002). Most causes leave the user to
    // choose another port; for the others another port would not help. Only
    // Linux tells them apart.
    struct OpenFailure {
        // NeedsAdministrator: no group to join would help (the device's
        // group is root), so only an administrator can grant access.
        enum Cause { None, Unavailable, PermissionDenied, InUse, NeedsAdministrator };
        Cause cause = None;
        QString device; // the device COM n resolved to, links followed; empty when none
        QString group;  // the group owning the device, for PermissionDenied
        QString detail; // one line for the log and the tooltip
    };
    const OpenFailure& openFailure() const { return m_openFailure; }

    // Fixed configuration; the program never changes it.
    int16_t InputLen() const { return 1; }
    int16_t RThreshold() const { return 1; }
    int16_t SThreshold() const { return 0; }
    bool DTREnable() const { return true; }
    bool RTSEnable() const { return false; }
    bool NullDiscard() const { return false; }
    bool EOFEnable() const { return false; }
    QString ParityReplace() const { return QStringLiteral("?"); }
    int InBufferSize() const { return 1024; }
    int OutBufferSize() const { return 512; }
    QSerialPort::FlowControl Handshaking() const { return QSerialPort::NoFlowControl; }

    // Raises the notifications for bytes received from the line, as if the
    // system had delivered them in this one chunk.
    void deliver(QByteArray chunk);

    // The platform's port underneath (mscomm_unix_p.h, mscomm_win_p.h), for
    // tests that check the line state.
    const MSCommPrivate& platform() const { return *d; }

signals:
    void OnComm();
    // The open port failed (device removed, line gone); it has been closed.
    void PortLost();

private:
    friend class MSCommPrivate;

    // One line for the user's log: stderr, the journal, or the debugger
    // output of a Windows program without a console.
    static void report(const QString& line);
    // "COMn", with the device it is on where that has another name.
    QString where() const;
    void closePort();
    // The open port failed underneath: closed, reported once, PortLost raised.
    void lose(const QString& reason);

    std::unique_ptr<MSCommPrivate> d;
    int16_t m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    QString m_device;
    OpenFailure m_openFailure;
    QByteArray m_received;
    int16_t m_commEvent = 0;
    bool m_lost = false;
    quint64 m_closes = 0; // tells a delivery that a handler closed the port
};
