// Whole exchanges per second through SendRequest, the virtual instrument and
// ReceiveResponse, with no transfer latency: the cost of the program's own
// framing, checking and copying plus the instrument's answer.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/bench_support.h"
#include "link/link.h"
#include "protocol/commands.h"

int main() {
    bench::SetEnvironment("DUCTRA_SIM_SCENARIO", "");
    bench::SetEnvironment("DUCTRA_SIM_WIRELOG", "");
    if (bench::OpenLink() != 0) {
        std::printf("the virtual instrument did not open\n");
        return 1;
    }
    // The sensor board's configuration record: a full-size answer of the
    // default instrument.
    constexpr int Rounds = 5;
    constexpr long PerRound = 100000;
    std::vector<double> rates;
    long failures = 0;
    for (int round = 0; round < Rounds; ++round) {
        const uint64_t start = bench::NowUs();
        for (long i = 0; i < PerRound; ++i) {
            RequestPayload[0] = 3;
            RequestPayload[1] = 0;
            CommandCode = Command::DeviceReport;
            SetPayloadLength(2);
            SendRequest(RequestPayload, RequestHeader);
            if (ReceiveResponse(&ResponseLength, ResponseBuffer) != 0 || ResponseStatus != 0) {
                ++failures;
            }
        }
        const double seconds = static_cast<double>(bench::NowUs() - start) / 1e6;
        const double rate = static_cast<double>(PerRound) / seconds;
        std::printf("round %d: %ld exchanges in %.3f s: %.0f exchanges/s\n", round + 1, PerRound,
                    seconds, rate);
        rates.push_back(rate);
    }
    std::sort(rates.begin(), rates.end());
    std::printf(
        "exchanges per second: median %.0f, lowest %.0f, highest %.0f of %d rounds  "
        "(target >= 100000)  failures: %ld\n",
        rates[rates.size() / 2], rates.front(), rates.back(), Rounds, failures);
    return failures == 0 ? 0 : 1;
}
