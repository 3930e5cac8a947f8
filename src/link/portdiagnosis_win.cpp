#include "link/portdiagnosis.h"

namespace comport {

// Windows' own reason is all there is to tell.
OpenFailure diagnose(int, const QString& device, const QString& why, int) {
    return {OpenFailure::Unavailable, device, QString(),
            QStringLiteral("%1 cannot be opened: %2").arg(device, why)};
}

} // namespace comport
