// A USB port chain as DUCTRA_DEVICE's port= names one: "1-4.2", the bus and
// the ports from the root hub down, as sysfs names a device (and the Windows
// location path is read into the same notation).
#pragma once

#include <string>

namespace ductra {

// BUS-PORT[.PORT...]: each number 1 to 255 without a leading zero, at most
// seven ports deep.
bool IsPortChain(const std::string& text);

}  // namespace ductra
