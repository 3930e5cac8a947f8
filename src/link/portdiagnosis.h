#pragma once

#include "link/comport.h"

#include <QString>

namespace comport {

// Why COM n, on the device it names, would not open: the cause the user is
// told and one line of detail. why is the system's own reason and
// savedErrno the failed open's errno, on Windows GetLastError()'s number
// (0 where there is none). Only Linux looks further than that number
// (portdiagnosis_unix.cpp).
OpenFailure diagnose(int n, const QString& device, const QString& why, int savedErrno);

} // namespace comport
