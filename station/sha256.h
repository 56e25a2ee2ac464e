// SHA-256 of a file's bytes, as the result names a job and an image by it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The digest of the bytes in lower-case hexadecimal (64 characters).
std::string Sha256Hex(std::string_view bytes);
