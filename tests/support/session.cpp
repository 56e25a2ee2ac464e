// The session runner: the files of one session (input, scenario, wire log),
// the program's environment, and what the tests read of the result. The
// process itself is started by the platform's half (session_posix.cpp,
// session_windows.cpp).
#include "support/session.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/session_process.h"

namespace fs = std::filesystem;

std::string ReadSessionFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

SessionResult RunSession(const SessionOptions& options) {
    SessionResult result;
    result.workDir = options.workDir.empty() ? MakeSessionDir() : options.workDir;
    const fs::path dir(result.workDir);
    const fs::path wirePath = dir / "wire.log";
    std::error_code ignored;
    fs::remove(wirePath, ignored);

    SessionLaunch launch;
    launch.workDir = dir;
    launch.inputPath = dir / "input.txt";
    launch.timeoutSeconds = options.timeoutSeconds;
    std::ofstream(launch.inputPath, std::ios::binary) << options.input;
    launch.set.emplace_back("DUCTRA_SIM_WIRELOG", wirePath.string());
    if (!options.scenarioJson.empty()) {
        const fs::path scenarioPath = dir / "scenario.json";
        std::ofstream(scenarioPath) << options.scenarioJson;
        launch.set.emplace_back("DUCTRA_SIM_SCENARIO", scenarioPath.string());
    } else {
        launch.unset.push_back("DUCTRA_SIM_SCENARIO");
    }
    for (const auto& [name, value] : options.env) launch.set.emplace_back(name, value);
    launch.program = options.program.empty() ? QuillonSimPath() : ProgramPath(options.program);
    launch.arguments = options.arguments;
    RunSessionProcess(launch, result);

    std::istringstream wire(ReadSessionFile(wirePath));
    for (std::string line; std::getline(wire, line);) result.wire.push_back(line);
    // A folder the caller did not give is the runner's own: nothing in it
    // is read after the wire log.
    if (options.workDir.empty()) fs::remove_all(dir, ignored);
    return result;
}

std::vector<std::string> SentFrames(const SessionResult& result) {
    std::vector<std::string> sent;
    for (const auto& line : result.wire) {
        if (line.rfind("> ", 0) == 0) sent.push_back(line.substr(2));
    }
    return sent;
}

int CountOf(const std::string& haystack, const std::string& needle) {
    int count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::string FirmwarePath(const std::string& name) {
    return std::string("firmware") + static_cast<char>(fs::path::preferred_separator) + name;
}
