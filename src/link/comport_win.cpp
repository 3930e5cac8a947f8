// COM numbers on Windows: Windows names the ports itself.
#include "link/comport.h"

namespace comport {

QString deviceFor(int n, const std::function<QString(const QString&)>&,
                  const QStringList& systemPorts) {
    if (n < 1) return {};
    const QString name = QStringLiteral("COM%1").arg(n);
    for (const QString& port : systemPorts)
        if (withoutDevicePrefix(port) == name) return name;
    return {};
}

QString deviceFor(int n) {
    // Windows may open a port that it does not list.
    return n < 1 ? QString() : QStringLiteral("COM%1").arg(n);
}

} // namespace comport
