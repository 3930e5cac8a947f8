// COM numbers on Windows: Windows names the ports itself.
#include "link/comport.h"

namespace comport {

QString deviceFor(int n, const std::function<QString(const QString&)>&, const QStringList&) {
    if (n < 1) return {};
    return QStringLiteral("COM%1").arg(n);
}

QString deviceFor(int n) {
    return deviceFor(n, {}, {});
}

} // namespace comport
