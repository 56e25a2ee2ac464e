// quillon-station on the real USB pipe: when the instrument is not found,
// ductra-probe (installed beside the station) says why; its verdict is its
// exit code and its report's last line.
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "station/station.h"

namespace {

std::filesystem::path ProgramFolder;

// Runs ductra-probe (beside the station) with the arguments: false when it
// could not be started; else its standard output and its exit code (-1 when
// it did not exit).
bool RunProbe(const std::string& arguments, std::string& output, int& code) {
#if defined(_WIN32)
    const std::string command =
        "\"\"" + (ProgramFolder / "ductra-probe.exe").string() + "\"" + arguments + "\"";
    std::FILE* pipe = _popen(command.c_str(), "r");
#else
    const std::string command = "'" + (ProgramFolder / "ductra-probe").string() + "'" + arguments;
    std::FILE* pipe = popen(command.c_str(), "r");
#endif
    if (pipe == nullptr) return false;
    char chunk[512];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
#if defined(_WIN32)
    code = _pclose(pipe);
#else
    const int status = pclose(pipe);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return true;
}

ProbeVerdict Probe(int) {
    ProbeVerdict verdict;
    if (!RunProbe("", verdict.report, verdict.code)) {
        verdict.code = -1;
        verdict.words = "ductra-probe could not be started";
        return verdict;
    }
    std::string text = verdict.report;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    verdict.words = text.substr(text.find_last_of('\n') + 1);
    return verdict;
}

// The instruments attached, as ductra-probe --json lists them.
std::vector<AttachedInstrument> Survey() {
    std::vector<AttachedInstrument> attached;
    std::error_code missing;
#if defined(_WIN32)
    if (!std::filesystem::exists(ProgramFolder / "ductra-probe.exe", missing)) return attached;
#else
    if (!std::filesystem::exists(ProgramFolder / "ductra-probe", missing)) return attached;
#endif
    std::string report;
    int code = 0;
    if (!RunProbe(" --json", report, code)) return attached;
    const nlohmann::json listed = nlohmann::json::parse(report, nullptr, false);
    if (!listed.is_object() || !listed.contains("instruments") ||
        !listed["instruments"].is_array()) {
        return attached;
    }
    for (const nlohmann::json& found : listed["instruments"]) {
        if (!found.is_object() || !found.contains("port") || !found["port"].is_string()) continue;
        attached.push_back({found["port"].get<std::string>(),
                            found.contains("serial") && found["serial"].is_string()
                                ? found["serial"].get<std::string>()
                                : ""});
    }
    return attached;
}

}  // namespace

int main(int argc, char** argv) {
    std::error_code ignored;
    ProgramFolder =
        std::filesystem::absolute(std::filesystem::path(argv[0]), ignored).parent_path();
    return StationMain(argc, argv, &Probe, &Survey);
}
