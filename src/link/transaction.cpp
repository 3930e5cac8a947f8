// The Modbus transaction and the two handlers that feed it.
#include "link/crc.h"
#include "link/mscomm.h"
#include "link/replycheck.h"
#include "ui/form1.h"
#include "ui/intervaltimer.h"

#include <QCoreApplication>

uint8_t Form1::Modbus(uint8_t Dir, uint8_t Fcn, uint8_t D0, uint8_t D1, uint8_t D2, uint8_t D3) {
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
    logLine(QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(Dir));

    int16_t attempts = 0;
    while (ErrorFlag == 1 && attempts < 3 && !m_linkLost && !m_closing && !m_stopRequested) {
        try {
            MSComm1->setOutput(QByteArray(reinterpret_cast<const char*>(TxBuf.data()), 8));
        } catch (const CommError&) {
            // A port that refuses the frame will not carry a reply either.
            m_linkLost = true;
            break;
        }
        ErrorFlag = 0;
        TimeOutFlag = QVariant::fromValue<int16_t>(0);
        Timer1->setInterval(m_replyWait);
        const int16_t storedBefore = RxLen;

        // Sleeps in the event queue until something happens; only the reply
        // timer ends a normal wait, a complete reply does not shorten it.
        while (TimeOutFlag.toInt() == 0 && !m_linkLost && !m_closing)
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
            ErrorFlag = ReplyErrorFlag(TxBuf.data(), RxBuf.data(), freshBytes);
        } else {
            ErrorFlag = 1;
        }
        ++attempts;
    }

    logLine(ErrorFlag == 1 ? QStringLiteral("---------> NO RESPONDE")
                           : QStringLiteral("---------> CORRECTO"));
    return ErrorFlag;
}

void Form1::MSComm1_OnComm() {
    const int16_t event = MSComm1->CommEvent();
    if (event != MSComm::comEvReceive) return;
    const QByteArray text = MSComm1->Input();
    if (text.isEmpty()) return;
    const auto byte = static_cast<uint8_t>(text.at(0));
    // A full buffer drops the byte: nothing is written past its end.
    if (RxLen < 0 || RxLen >= static_cast<int16_t>(RxBuf.size())) return;
    RxBuf[RxLen] = byte;
    RxFlag = 1;
    ++RxLen;
}

void Form1::Timer1_Timer() {
    TimeOutFlag = QVariant::fromValue<int16_t>(1);
}
