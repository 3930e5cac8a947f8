#include "link/portdiagnosis.h"

#include <qt_windows.h>

namespace comport {

// A COM port opens for one program at a time: another one holding it
// gives access denied (a sharing violation under Wine). Windows' own
// reason tells the rest.
OpenFailure diagnose(int, const QString& device, const QString& why, int error) {
    const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    return {
        held ? OpenFailure::InUse : OpenFailure::Unavailable, device, QString(),
        QStringLiteral("%1 cannot be opened: %2%3")
            .arg(device, held ? QStringLiteral("in use by another program: ") : QString(), why)};
}

} // namespace comport
