// Calls the real library the way the program starts it: the version, then an
// open, printing each result on a line of its own.
#include <cstdio>

#include "usbpipe/ductra.h"

int main() {
    std::printf("%d\n", static_cast<int>(DuctraVersion()));
    std::fflush(stdout);
    std::printf("%d\n", static_cast<int>(DuctraOpen()));
    DuctraClose();
    return 0;
}
