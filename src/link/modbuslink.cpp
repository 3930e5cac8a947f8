#include "link/modbuslink.h"

#include "link/intervaltimer.h"
#include "link/mscomm.h"

ModbusLink::ModbusLink(int replyWaitMs, QObject* parent)
    : QObject(parent), m_replyWait(replyWaitMs),
      m_traceToStderr(qEnvironmentVariableIntValue("ORVANT_TRACE") != 0) {
    setObjectName(QStringLiteral("link"));
    Timer1 = new IntervalTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setEnabled(true);
    Timer1->setInterval(0);

    MSComm1 = new MSComm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));

    connect(MSComm1, &MSComm::OnComm, this, &ModbusLink::MSComm1_OnComm);
    connect(Timer1, &IntervalTimer::Timer, this, &ModbusLink::Timer1_Timer);
    // Marked lost before anyone else hears of it.
    connect(MSComm1, &MSComm::PortLost, this, [this] {
        m_lost = true;
        emit PortLost();
    });
}

ModbusLink::~ModbusLink() = default;

void ModbusLink::openPort(int16_t n, const QString& settings) {
    MSComm1->setCommPort(n);
    MSComm1->setSettings(settings);
    MSComm1->setPortOpen(true);
    m_lost = false;
    // Another open may be another adapter.
    m_echo = false;
    m_copyAt = 8;
}
