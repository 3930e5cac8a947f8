#include "link/portdiagnosis.h"

namespace comport {

// Windows' own reason is all there is to tell.
MSComm::OpenFailure diagnose(int, const QString& device, const QString& why, int) {
    return {MSComm::OpenFailure::Unavailable, device, QString(),
            QStringLiteral("%1 cannot be opened: %2").arg(device, why)};
}

} // namespace comport
