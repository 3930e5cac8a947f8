#pragma once

#include "link/exchangetrace.h"
#include "link/replycheck.h"

#include <QObject>
#include <QString>
#include <QVariant>
#include <array>
#include <chrono>
#include <cstdint>

class IntervalTimer;
class MSComm;

// The Modbus exchange with the relays: the serial control, the reply timer,
// the link state the transaction shares with the receive and timer
// handlers, and whether the port was lost, the window is closing or a stop
// was asked for. All on the GUI thread: the transaction's wait runs the
// event loop, and the handlers run inside it.
class ModbusLink : public QObject {
    Q_OBJECT
public:
    // The reply wait is 500 ms; tests may shorten it to run long flows.
    explicit ModbusLink(int replyWaitMs = 500, QObject* parent = nullptr);
    ~ModbusLink() override;

    IntervalTimer* Timer1;
    MSComm* MSComm1;

    // Link state shared by the transaction and the receive and timer handlers.
    std::array<uint8_t, 21> TxBuf{};
    std::array<uint8_t, 21> RxBuf{};
    int16_t RxLen = 0;
    int16_t RxFlag = 0;
    QVariant TimeOutFlag; // holds the 16-bit integer 0 or 1 once start-up has run
    int32_t CrcValue = 0;

    // One request to a relay; 0 when a valid reply came, 1 when none did.
    uint8_t Modbus(uint8_t Dir, uint8_t Fcn, uint8_t D0, uint8_t D1, uint8_t D2, uint8_t D3);

    // Stores received bytes behind those already counted, as far as RxBuf
    // has room; the rest are dropped.
    void MSComm1_OnComm(const QByteArray& Input);
    void Timer1_Timer();

    // Opens COM n with the line settings, and ends a loss; fails as the
    // serial control does (CommError).
    void openPort(int16_t n, const QString& settings);

    // The window is closing: a running wait ends at once and sends no more.
    void shutDown() { m_closing = true; }
    bool closing() const { return m_closing; }

    // Esc during a search: no frame after the current wait.
    void requestStop() { m_stopRequested = true; }
    void clearStop() { m_stopRequested = false; }
    bool stopRequested() const { return m_stopRequested; }

    // True once the open port failed or a frame found it closed, until the
    // next successful open.
    bool portLost() const { return m_lost; }

    int replyWait() const { return m_replyWait; }

    // Whether the adapter returns every frame it sends; learnt from a read
    // whose first bytes back were its own frame, and forgotten when the port
    // is opened again.
    bool adapterEchoes() const { return m_echo; }
    // What came back in the last transaction when no valid reply did: None
    // when it succeeded or heard nothing but the adapter's copy.
    ReplyFault lastFault() const { return m_fault; }

signals:
    // A line for the log, in the order the exchange makes them; an outcome
    // line carries its exchange's packed trace (ExchangeTrace::pack).
    void logLine(const QString& text, const QByteArray& trace = QByteArray());
    // The port failed underneath; it has been closed.
    void PortLost();

private:
    // Drops the copy of the frame that the adapter returned behind the
    // stored bytes at index from, and marks it in the trace.
    void dropCopyAt(int from);
    void traceReceived(const QByteArray& bytes, bool echo);
    void traceToStderr(const QString& outcome, const QByteArray& packed) const;

    int m_replyWait;
    bool m_echo = false;
    int m_copyAt = 8; // bytes of the frame's copy already dropped; 8 when none is due
    ReplyFault m_fault;
    ExchangeTrace m_trace; // the running transaction's, empty between them
    std::chrono::steady_clock::time_point m_sentAt;
    bool m_traceToStderr = false;
    bool m_lost = false;
    bool m_closing = false;
    bool m_stopRequested = false;
};
