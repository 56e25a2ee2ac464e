// The virtual instrument's scenario reader over arbitrary file contents:
// a scenario is loaded, or refused with a line that names what is wrong,
// and the program is never ended (no exception escapes, no crash, no stack
// exhausted by nesting).
#include <string>

#include "fuzz/fuzz_support.h"
#include "sim/sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Sim::Scenario scenario;
    std::string error;
    const int status = Sim::LoadScenario(text, scenario, error);
    Require(status == 0 ? error.empty() : !error.empty());
    return 0;
}
