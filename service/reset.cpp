// Not written yet: the command does nothing until its owner lands it.
#include "service/service.h"

void ResetBoard() {}
