#include "ui/systemlog.h"

void logToSystem() {}
