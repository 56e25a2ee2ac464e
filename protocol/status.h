#pragma once
#include <cstdint>

// Prints "  %d: " and the canonical text of a response status code.
void StatusMessage(uint8_t code);
