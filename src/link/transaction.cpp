// The Modbus transaction and the two handlers that feed it.
#include "link/crc.h"
#include "link/intervaltimer.h"
#include "link/modbuslink.h"
#include "link/mscomm.h"
#include "link/replycheck.h"

#include <QCoreApplication>
#include <QTime>
#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// What the trace keeps of one attempt at most: a line full of noise must not
// grow the log without bound.
constexpr int kTraceBytes = 32;
constexpr size_t kTraceChunks = 16;

const QString kEchoLine =
    QStringLiteral("EL ADAPTADOR DEVUELVE CADA MENSAJE (ECO): SE DESCARTA LA COPIA");

} // namespace

uint8_t ModbusLink::Modbus(uint8_t Dir, uint8_t Fcn, uint8_t D0, uint8_t D1, uint8_t D2,
                           uint8_t D3) {
    TxBuf[0] = Dir;
    TxBuf[1] = Fcn;
    TxBuf[2] = D0;
    TxBuf[3] = D1;
    TxBuf[4] = D2;
    TxBuf[5] = D3;
    CrcValue = CRC16(TxBuf.data(), 6);
    const auto check = LongToByteArray(CrcValue);
    TxBuf[6] = check[0];
    TxBuf[7] = check[1];

    uint8_t ErrorFlag = 1;
    emit logLine(QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(Dir));
    m_fault = ReplyFault();
    bool echoLearnt = false;

    int16_t attempts = 0;
    while (ErrorFlag == 1 && attempts < 3 && !m_lost && !m_closing && !m_stopRequested) {
        // A port that is not open carries no frame and no reply.
        if (!MSComm1->PortOpen()) {
            m_lost = true;
            break;
        }
        const QByteArray frame(reinterpret_cast<const char*>(TxBuf.data()), 8);
        m_trace.attempts.push_back({frame, {}});
        m_sentAt = std::chrono::steady_clock::now();
        m_copyAt = m_echo ? 0 : 8;
        MSComm1->setOutput(frame);
        // A port that refused the frame is lost, and will not carry a reply.
        if (m_lost) break;
        ErrorFlag = 0;
        TimeOutFlag = QVariant::fromValue<int16_t>(0);
        Timer1->setInterval(m_replyWait);
        const int16_t storedBefore = RxLen;

        // Sleeps in the event queue until something happens; only the reply
        // timer ends a normal wait, a complete reply does not shorten it.
        while (TimeOutFlag.toInt() == 0 && !m_lost && !m_closing)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // A lost port ends the wait early; a reply already in still counts,
        // or a relay that took its new address would be reported unchanged.
        if (m_closing) {
            ErrorFlag = 1;
            break;
        }

        // A read's own frame is never its reply: bytes back that copy it
        // came from the adapter.
        if (!m_echo && Fcn == 3 && RxLen - storedBefore >= 8 &&
            std::equal(TxBuf.begin(), TxBuf.begin() + 8, RxBuf.begin() + storedBefore)) {
            m_echo = echoLearnt = true;
            dropCopyAt(storedBefore);
        }

        if (RxFlag == 1) {
            const int freshBytes = storedBefore == 0 ? RxLen : 0;
            RxFlag = 0;
            RxLen = 0;
            CrcValue = CRC16(RxBuf.data(), 6);
            ErrorFlag = ReplyErrorFlag(TxBuf.data(), RxBuf.data(), CrcValue, freshBytes);
            // An exception from any attempt says more than unreadable bytes.
            // Bytes stored before the frame went out are not its reply, and
            // say nothing about the relay it was sent to.
            if (ErrorFlag == 1 && storedBefore == 0 && m_fault.kind != ReplyFault::Exception)
                m_fault = ClassifyRefused(TxBuf.data(), RxBuf.data());
        } else {
            ErrorFlag = 1;
        }
        ++attempts;
    }
    if (ErrorFlag == 0) m_fault = ReplyFault();

    const QString outcome = ErrorFlag == 1 ? QStringLiteral("---------> NO RESPONDE")
                                           : QStringLiteral("---------> CORRECTO");
    // Emptied once packed: bytes that come after the outcome are no attempt's.
    const QByteArray packed = std::exchange(m_trace, ExchangeTrace()).pack();
    if (m_traceToStderr) traceToStderr(outcome, packed);
    emit logLine(outcome, packed);
    if (echoLearnt) emit logLine(kEchoLine);
    return ErrorFlag;
}

void ModbusLink::dropCopyAt(int from) {
    std::copy(RxBuf.begin() + from + 8, RxBuf.begin() + RxLen, RxBuf.begin() + from);
    std::fill(RxBuf.begin() + RxLen - 8, RxBuf.begin() + RxLen, 0);
    RxLen = static_cast<int16_t>(RxLen - 8);
    if (RxLen == 0) RxFlag = 0;

    // The copy is the first 8 bytes heard in this attempt.
    auto& received = m_trace.attempts.back().received;
    int left = 8;
    for (size_t i = 0; i < received.size() && left > 0; ++i) {
        received[i].echo = true;
        if (received[i].bytes.size() > left) {
            ExchangeTrace::Chunk rest{received[i].afterUs, false, received[i].bytes.mid(left)};
            received[i].bytes.truncate(left);
            received.insert(received.begin() + i + 1, rest);
        }
        left -= received[i].bytes.size();
    }
}

void ModbusLink::traceReceived(const QByteArray& bytes, bool echo) {
    if (bytes.isEmpty() || m_trace.empty()) return;
    auto& received = m_trace.attempts.back().received;
    int kept = 0;
    for (const auto& chunk : received) kept += chunk.bytes.size();
    if (kept >= kTraceBytes || received.size() >= kTraceChunks) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - m_sentAt);
    received.push_back({uint32_t(us.count()), echo, bytes.left(kTraceBytes - kept)});
}

// Read back from its packed form, so that it says what the tooltip says, to the
// tenth of a millisecond.
void ModbusLink::traceToStderr(const QString& outcome, const QByteArray& packed) const {
    const QString text = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) +
                         QStringLiteral(" DIRECCION <%1> ").arg(TxBuf[0]) + outcome +
                         QLatin1Char('\n') + ExchangeTrace::unpack(packed).describe() +
                         QLatin1Char('\n');
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void ModbusLink::MSComm1_OnComm(const QByteArray& Input) {
    QByteArray copy;
    qsizetype from = 0;
    // The adapter's copy of the frame just sent comes first; it is not the
    // relay's and is not stored.
    while (m_copyAt < 8 && from < Input.size()) {
        if (uint8_t(Input[from]) != TxBuf[m_copyAt]) {
            m_copyAt = 8;
            break;
        }
        ++m_copyAt;
        copy += Input[from++];
    }
    traceReceived(copy, true);
    const QByteArray rest = Input.mid(from);
    traceReceived(rest, false);

    for (const char byte : rest) {
        // A full buffer drops the byte: nothing is written past its end.
        if (RxLen < 0 || RxLen >= static_cast<int16_t>(RxBuf.size())) return;
        RxBuf[RxLen] = static_cast<uint8_t>(byte);
        RxFlag = 1;
        ++RxLen;
    }
}

void ModbusLink::Timer1_Timer() {
    TimeOutFlag = QVariant::fromValue<int16_t>(1);
}
