// quillon-station-sim: the station on the virtual instrument, which has no
// USB connection to survey; its verdict comes from the open that failed,
// and the instruments attached are the ports its scenario places them on.
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

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

// The scenario's ports (DUCTRA_SIM_SCENARIO), each with its USB serial; none
// for a scenario without ports, whose one instrument has neither.
std::vector<AttachedInstrument> Survey() {
    std::vector<AttachedInstrument> attached;
    const char* path = std::getenv("DUCTRA_SIM_SCENARIO");
    const char* replay = std::getenv("DUCTRA_SIM_REPLAY");
    if (path == nullptr || *path == '\0' || (replay != nullptr && *replay != '\0')) {
        return attached;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json scenario = nlohmann::json::parse(text.str(), nullptr, false);
    if (!scenario.is_object() || !scenario.contains("ports") || !scenario["ports"].is_array()) {
        return attached;
    }
    for (const nlohmann::json& placed : scenario["ports"]) {
        if (!placed.is_object() || !placed.contains("port") || !placed["port"].is_string()) {
            continue;
        }
        AttachedInstrument instrument{placed["port"].get<std::string>(), ""};
        if (placed.contains("serial") && placed["serial"].is_string()) {
            instrument.usbSerial = placed["serial"].get<std::string>();
        }
        attached.push_back(instrument);
    }
    return attached;
}

}  // namespace

int main(int argc, char** argv) {
    return StationMain(argc, argv, &Probe, &Survey);
}
