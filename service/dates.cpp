// Not written yet: the commands do nothing until their owner lands them.
#include "service/service.h"

void SetBuildDate() {}
void SetMaintenance() {}
