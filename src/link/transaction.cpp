// The Modbus transaction and the two handlers that feed it.
#include "link/crc.h"
#include "link/intervaltimer.h"
#include "link/modbuslink.h"
#include "link/mscomm.h"
#include "link/replycheck.h"

#include <QCoreApplication>

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

    int16_t attempts = 0;
    while (ErrorFlag == 1 && attempts < 3 && !m_lost && !m_closing && !m_stopRequested) {
        // A port that is not open carries no frame and no reply.
        if (!MSComm1->PortOpen()) {
            m_lost = true;
            break;
        }
        MSComm1->setOutput(QByteArray(reinterpret_cast<const char*>(TxBuf.data()), 8));
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

        if (RxFlag == 1) {
            const int freshBytes = storedBefore == 0 ? RxLen : 0;
            RxFlag = 0;
            RxLen = 0;
            CrcValue = CRC16(RxBuf.data(), 6);
            ErrorFlag = ReplyErrorFlag(TxBuf.data(), RxBuf.data(), CrcValue, freshBytes);
        } else {
            ErrorFlag = 1;
        }
        ++attempts;
    }

    emit logLine(ErrorFlag == 1 ? QStringLiteral("---------> NO RESPONDE")
                                : QStringLiteral("---------> CORRECTO"));
    return ErrorFlag;
}

void ModbusLink::MSComm1_OnComm(const QByteArray& Input) {
    for (const char byte : Input) {
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
