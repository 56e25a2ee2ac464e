#pragma once
#include <cstdint>

// Prints "  %d: " and the canonical text of a response status code.
void StatusMessage(uint8_t code);
// The canonical text of a status code, without its line end.
const char* StatusText(uint8_t code);
