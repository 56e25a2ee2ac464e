// Not written yet.
#include "service/service.h"

uint8_t AskSensorAddress(const char*) { return 1; }
