// quillon-station-sim: the station on the virtual instrument, which has no
// USB connection to survey; its verdict comes from the open that failed.
#include "station/station.h"
#include "usbpipe/ductra.h"

namespace {

ProbeVerdict Probe(int openResult) {
    ProbeVerdict verdict;
    if (openResult == DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND) {
        verdict.code = 5;
        verdict.words = "instrument found but without its bulk pipes";
    } else {
        verdict.code = 2;
        verdict.words = "no instrument with the expected identity";
    }
    verdict.report = "the virtual instrument: its scenario's open failed\n";
    return verdict;
}

}  // namespace

int main(int argc, char** argv) {
    return StationMain(argc, argv, &Probe);
}
