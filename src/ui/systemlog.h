#pragma once

// Sends the program's messages where the system keeps them when nobody
// watches standard error: syslog on Linux. Windows' debugger output needs
// nothing more than Qt's own handler.
void logToSystem();
