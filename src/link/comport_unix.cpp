// COM numbers on Linux: the n-th port the system reports, or the device
// ORVANT_COMn names.
#include "link/comport.h"

namespace comport {

QString deviceFor(int n, const std::function<QString(const QString&)>& env,
                  const QStringList& systemPorts) {
    if (n < 1) return {};
    const QString override = env(QStringLiteral("ORVANT_COM%1").arg(n));
    if (!override.isEmpty()) return override;
    const QStringList ordered = orderPorts(systemPorts);
    if (n > ordered.size()) return {};
    return ordered.at(n - 1);
}

QString deviceFor(int n) {
    QStringList ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports << info.systemLocation();
    return deviceFor(
        n, [](const QString& name) { return qEnvironmentVariable(name.toLatin1().constData()); },
        ports);
}

} // namespace comport
