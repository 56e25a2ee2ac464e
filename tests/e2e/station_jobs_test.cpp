// The factory station: jobs of quillon-station-sim on the virtual instrument
// and its fault scenarios. Each job's result document is compared with a
// reviewed file, tests/golden/station_NAME.json (times masked as the golden
// sessions mask them), and its exit code asserted; a job's wire log is the
// console's for the same answers typed, and its transcript the console's
// text (station_download); --repeat runs over two instruments. A run on
// test sockets (--socket) is compared by its results file: each socket's
// line, in the order of the sockets' names, with its serial number masked
// (the numbers are asserted distinct), and standard error with each
// socket's lines in their order.
#include <nlohmann/json.hpp>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "shell_e2e.h"
#include "support/session_process.h"
#include "usbpipe/trace/json_schema.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct StationJob {
    const char* name;
    const char* scenario;  // a ready-made scenario, "" the default, or JSON text ('{')
    const char* job;       // the job file's text; "" for the command line alone
    std::vector<std::string> arguments;
    int exitCode;
    const char* errors;  // the whole of standard error
    // The same answers typed into quillon-sim, whose wire log the job's must
    // equal byte for byte; "" for none.
    const char* typed = "";
};

// The bootloader's waits at their shortest, for the downloads that need no
// more than their exchanges.
constexpr const char* QuickBootloader =
    R"({"faults":[{"command":"0xF0","enter_wait_ms":0},{"command":"0xF4","erase_ms":0}]})";

// A version text longer than the schema check reads: refused by its length
// before the pattern's matcher, which recurses once per character, sees it.
const std::string LongVersionJob = R"({"operations":[{"op":"download","board":3,"image":"kdo.bin",
    "from_versions":[")" + std::string(300000, '1') +
                                   R"(.0"]}]})";

const StationJob Jobs[] = {
    {"station_download",
     QuickBootloader,
     R"({"operations":[{"op":"report","board":2},{"op":"serial","board":2,"serial":"ABC123"},
        {"op":"reset","board":0,"level":0},{"op":"download","board":3,"image":"kdo.bin"},
        {"op":"list"}]})",
     {"run", "job.json"},
     0,
     "quillon-station: instrument 1: done\n",
     "s\ncn\n2\nsn\n2\nABC123\nrm\nm\nrs\n0\nrm\ns\ndl\n1\n3\nll\nrm\nq\n"},
    {"station_readback_failure",
     "readback-failure",
     "",
     {"download", "--board", "3", "--image", "kdo.bin"},
     6,
     "quillon-station: instrument 1: verify failure\n"},
    {"station_image_part_block",
     QuickBootloader,
     "",
     {"download", "--board", "3", "--image", "tail.bin"},
     4,
     "quillon-station: instrument 1: refused\n"},
    {"station_silent_board",
     "silent-board",
     R"({"operations":[{"op":"reset","board":4,"level":0},{"op":"report","board":4}]})",
     {"run", "job.json"},
     5,
     "quillon-station: instrument 1: link failure\n"},
    {"station_refused",
     R"({"faults":[{"command":"0x8A","board":2,"status":16}]})",
     "",
     {"serial", "--board", "2", "--serial", "XY-9"},
     4,
     "quillon-station: instrument 1: refused\n"},
    {"station_handheld",
     "handheld",
     R"({"operations":[{"op":"serial","device":"handheld","board":0,"serial":"HH-0042"},
        {"op":"report","device":"handheld","board":0},{"op":"dates","board":2,"interval_days":30}]})",
     {"--progress", "run", "job.json"},
     0,
     "quillon-station: operation 1 of 3 (serial, handheld board 0): started\n"
     "quillon-station: operation 1 of 3 (serial, handheld board 0): done\n"
     "quillon-station: operation 2 of 3 (report, handheld board 0): started\n"
     "quillon-station: operation 2 of 3 (report, handheld board 0): done\n"
     "quillon-station: operation 3 of 3 (dates, sonde board 2): started\n"
     "quillon-station: operation 3 of 3 (dates, sonde board 2): done\n"
     "quillon-station: instrument 1: done\n"},
    {"station_clear_log",
     QuickBootloader,
     R"({"operations":[{"op":"clear-log","board":2}]})",
     {"run", "job.json"},
     0,
     "quillon-station: instrument 1: done\n"},
    {"station_com_module",
     "com-module-sdi12",
     "",
     {"report", "--device", "com-module", "--board", "0"},
     0,
     "quillon-station: instrument 1: done\n"},
    {"station_not_found",
     R"({"open_result":-3})",
     "",
     {"list"},
     3,
     "quillon-station: instrument 1: instrument not found\n"},
    {"station_cannot_write",
     "",
     R"({"operations":[{"op":"list"}]})",
     {"--logs", "job.json/logs", "run", "job.json"},
     1,
     "quillon-station: cannot make its logs folder job.json/logs: Not a directory\n"},
    {"station_bad_job",
     "",
     R"({"operations":[{"op":"report","board":2},{"op":"download","board":0,"image":"kdo.bin"}]})",
     {"run", "job.json"},
     2,
     "quillon-station: bad job: operations[1].board: Expected number greater than or equal to "
     "1\n"},
    // The handheld and the communications module have board 0 only: a job
    // naming another is refused, never run on board 0 under another name.
    {"station_handheld_board_3",
     "handheld",
     R"({"operations":[{"op":"report","device":"handheld","board":3}]})",
     {"run", "job.json"},
     2,
     "quillon-station: bad job: operations[0].board: the handheld has board 0 only\n"},
    {"station_com_module_board_3",
     "com-module-sdi12",
     "",
     {"report", "--device", "com-module", "--board", "3"},
     2,
     "quillon-station: bad job: operations[0].board: the com-module has board 0 only\n"},
    // A file the station cannot write is found before anything is sent.
    {"station_results_missing_folder",
     "",
     "",
     {"--results", "nodir/bench.jsonl", "list"},
     1,
     "quillon-station: the results file nodir/bench.jsonl cannot be opened: No such file or "
     "directory\n"},
    {"station_output_missing_folder",
     "",
     "",
     {"--output", "nodir/result.json", "list"},
     1,
     "quillon-station: the result file nodir/result.json cannot be opened: No such file or "
     "directory\n"},
    // Serial numbers that could repeat, or that no counter gives, are refused.
    {"station_serial_template_without_counter",
     "",
     "",
     {"--state", "state", "--serial-template", "LX-", "serial", "--board", "2", "--next"},
     2,
     "quillon-station: bad job: --serial-template LX-: expected {n} or {n:W} in it\n"},
    {"station_serial_outgrows_width",
     "",
     "",
     {"--state", "state", "--serial-template", "LX-{n:1}", "--serial-start", "10", "serial",
      "--board", "2", "--next"},
     2,
     "quillon-station: bad job: --serial-template LX-{n:1}: the counter 10 has outgrown its 1 "
     "digits\n"},
    {"station_fixed_serial_repeat",
     "",
     "",
     {"--repeat", "serial", "--board", "2", "--serial", "XY-9"},
     2,
     "quillon-station: bad job: operations[0].serial: one fixed serial number for every "
     "instrument of --repeat; expected \"next\": true\n"},
    // What the console declines, and a board not on the bus, is refused.
    {"station_depth_serial",
     "",
     "",
     {"serial", "--board", "6", "--serial", "XY-9"},
     4,
     "quillon-station: instrument 1: refused\n"},
    {"station_not_a_fluorometer",
     "",
     "",
     {"setting", "--board", "2", "--fluorometer", "1"},
     4,
     "quillon-station: instrument 1: refused\n"},
    {"station_board_not_on_bus",
     "",
     "",
     {"report", "--board", "9"},
     4,
     "quillon-station: instrument 1: refused\n"},
    {"station_battery_not_model_4",
     "",
     "",
     {"setting", "--board", "0", "--battery", "ibp"},
     4,
     "quillon-station: instrument 1: refused\n"},
    {"station_dates_without_interval",
     "",
     "",
     {"dates", "--board", "2"},
     2,
     "quillon-station: bad job: operations[0].interval_days: a sensor board's maintenance date "
     "needs its interval\n"},
    {"station_number_too_large",
     "",
     R"({"operations":[{"op":"reset","board":1e400,"level":0}]})",
     {"run", "job.json"},
     2,
     "quillon-station: bad job: not JSON: [json.exception.out_of_range.406] number overflow "
     "parsing '1e400'\n"},
    {"station_text_too_long",
     "",
     LongVersionJob.c_str(),
     {"run", "job.json"},
     2,
     "quillon-station: bad job: operations[0].from_versions[0]: a text of at most 4096 bytes\n"},
    {"station_job_not_utf8",
     "",
     "{\"description\":\"caf\xe9\",\"operations\":[{\"op\":\"list\"}]}",
     {"run", "job.json"},
     2,
     "quillon-station: bad job: not JSON: [json.exception.parse_error.101] parse error at line 1, "
     "column 21: syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last "
     "read: '\"caf\xe9\"'\n"},
    // A board or an image that is not the one the job expects is refused
    // before anything is written; --check reads the job and its images only.
    {"station_expects_another_type",
     QuickBootloader,
     R"({"operations":[{"op":"download","board":3,"image":"kdo.bin","expect":{"type":"pH/ORP"}}]})",
     {"run", "job.json"},
     8,
     "quillon-station: not the board the job expects: board 3: the job expects type pH/ORP; the "
     "board is type KDO, family 5, model 2, code version 1.17; nothing written\n"
     "quillon-station: instrument 1: not as expected\n"},
    {"station_from_other_versions",
     QuickBootloader,
     R"({"operations":[{"op":"download","board":3,"image":"kdo.bin","expect":{"type":"KDO"},
        "from_versions":["1.16","3.4"]}]})",
     {"run", "job.json"},
     8,
     "quillon-station: not the board the job expects: board 3: the job expects type KDO, code "
     "version 1.16 or 3.4; the board is type KDO, family 5, model 2, code version 1.17; nothing "
     "written\n"
     "quillon-station: instrument 1: not as expected\n"},
    {"station_image_not_its_pin",
     QuickBootloader,
     R"({"operations":[{"op":"download","board":3,"image":"kdo.bin",
        "sha256":"0000000000000000000000000000000000000000000000000000000000000000"}]})",
     {"run", "job.json"},
     8,
     "quillon-station: operations[0].image: kdo.bin is not the image the job pins: the job expects "
     "sha256 0000000000000000000000000000000000000000000000000000000000000000, the image has "
     "12108b82ef51113c00d1abb7feab8d55fee29b2802d7643f2ec0ac9ee363cd77; nothing sent\n"},
    {"station_check_good",
     "",
     R"({"operations":[{"op":"list"},{"op":"download","board":3,"image":"kdo.bin",
        "expect":{"type":"KDO"},"from_versions":["1.17"],
        "sha256":"12108b82ef51113c00d1abb7feab8d55fee29b2802d7643f2ec0ac9ee363cd77"}]})",
     {"--check", "job.json"},
     0,
     "quillon-station: job job.json: good, nothing sent\n"},
    {"station_check_image_not_its_pin",
     "",
     R"({"operations":[{"op":"download","board":3,"image":"kdo.bin",
        "sha256":"0000000000000000000000000000000000000000000000000000000000000000"}]})",
     {"--check", "job.json"},
     8,
     "quillon-station: operations[0].image: kdo.bin is not the image the job pins: the job expects "
     "sha256 0000000000000000000000000000000000000000000000000000000000000000, the image has "
     "12108b82ef51113c00d1abb7feab8d55fee29b2802d7643f2ec0ac9ee363cd77; nothing sent\n"},
    // Three sockets side by side: one results file, a line per instrument
    // with its socket, port and USB serial, numbers from one series.
    {"station_three_sockets",
     "three-sockets",
     "",
     {"--results", "results.jsonl", "--state", "state", "--serial-template", "SN-{n:4}", "--socket",
      "A=1-1", "--socket", "B=1-2", "--socket", "C=1-3", "serial", "--board", "0", "--next"},
     0,
     "quillon-station: socket A: starting on port 1-1\n"
     "quillon-station: socket A: running operation 1 of 1 (serial, sonde board 0)\n"
     "quillon-station: socket A: operation 1 of 1 (serial, sonde board 0): done\n"
     "quillon-station: socket A: instrument 1: done\n"
     "quillon-station: socket A: 1 instrument, 1 done; first-pass yield 100%\n"
     "quillon-station: socket B: starting on port 1-2\n"
     "quillon-station: socket B: running operation 1 of 1 (serial, sonde board 0)\n"
     "quillon-station: socket B: operation 1 of 1 (serial, sonde board 0): done\n"
     "quillon-station: socket B: instrument 1: done\n"
     "quillon-station: socket B: 1 instrument, 1 done; first-pass yield 100%\n"
     "quillon-station: socket C: starting on port 1-3\n"
     "quillon-station: socket C: running operation 1 of 1 (serial, sonde board 0)\n"
     "quillon-station: socket C: operation 1 of 1 (serial, sonde board 0): done\n"
     "quillon-station: socket C: instrument 1: done\n"
     "quillon-station: socket C: 1 instrument, 1 done; first-pass yield 100%\n"
     "quillon-station: all sockets: 3 instruments, 3 done; first-pass yield 100%\n"},
    // The instrument of one socket refuses: that socket's record says so,
    // the other goes on, and the run's exit is the worst of the two.
    {"station_socket_refused",
     R"({"ports":[{"port":"1-1","serial":"CM1001","instrument":{}},
        {"port":"1-2","instrument":{"faults":[{"command":"0x8A","board":2,"status":16}]}}]})",
     "",
     {"--results", "results.jsonl", "--state", "state", "--serial-template", "XY-{n}", "--socket",
      "A=1-1", "--socket", "B=1-2", "serial", "--board", "2", "--next"},
     4,
     "quillon-station: socket A: starting on port 1-1\n"
     "quillon-station: socket A: running operation 1 of 1 (serial, sonde board 2)\n"
     "quillon-station: socket A: operation 1 of 1 (serial, sonde board 2): done\n"
     "quillon-station: socket A: instrument 1: done\n"
     "quillon-station: socket A: 1 instrument, 1 done; first-pass yield 100%\n"
     "quillon-station: socket B: starting on port 1-2\n"
     "quillon-station: socket B: running operation 1 of 1 (serial, sonde board 2)\n"
     "quillon-station: socket B: operation 1 of 1 (serial, sonde board 2): failed\n"
     "quillon-station: socket B: instrument 1: refused\n"
     "quillon-station: socket B: 1 instrument, 0 done, 1 refused; first-pass yield 0%\n"
     "quillon-station: all sockets: 2 instruments, 1 done, 1 refused; first-pass yield 50%\n"},
    // Bad sockets are refused before anything is sent.
    {"station_socket_port_twice",
     "three-sockets",
     "",
     {"--socket", "A=1-1", "--socket", "B=1-1", "list"},
     2,
     "quillon-station: bad job: --socket B=1-1: the port 1-1 is given twice\n"},
    {"station_socket_fixed_serial",
     "three-sockets",
     "",
     {"--socket", "A=1-1", "--socket", "B=1-2", "serial", "--board", "2", "--serial", "XY-9"},
     2,
     "quillon-station: bad job: operations[0].serial: one fixed serial number for the "
     "instruments of every socket; expected \"next\": true\n"},
    {"station_socket_unknown_port",
     "three-sockets",
     "",
     {"--socket", "A=1-1", "--socket", "B=1-9", "list"},
     2,
     "quillon-station: bad job: --socket B=1-9: no instrument at port 1-9 (attached: 1-1, 1-2, "
     "1-3)\n"},
};

constexpr std::time_t DeviceEpoch = 946684800;
const std::string Now = "<now>";

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The times of the job, from its start to its end, become Now: UTC times
// and file-name stamps of the result, and the device times and their date
// texts the service record shows.
std::string MaskTimes(std::string text, std::time_t first, std::time_t last) {
    for (std::time_t t = first; t <= last; ++t) {
        char iso[32], stamp[32], date[32];
        std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", std::gmtime(&t));
        std::strftime(date, sizeof date, "%m/%d/ %Y %H:%M:%S", std::gmtime(&t));
        ReplaceAll(text, iso, Now);
        ReplaceAll(text, stamp, Now);
        ReplaceAll(text, date, Now);
        ReplaceAll(text, " " + std::to_string(t - DeviceEpoch) + " = ", " " + Now + " = ");
    }
    return text;
}

// The schema's complaint about a result, at its deepest field; empty when it has none.
std::string AgainstResultSchema(const Json& document) {
    static const std::string schema =
        ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / "../../station/result.schema.json");
    std::string field, description;
    if (ductra::CheckJsonSchema(schema.c_str(), document, "the result", field, description) == 0) {
        return "";
    }
    return field + ": " + description;
}

// What differs from one run to the next becomes a mark: the run id, the
// host, the program's version and the operations' durations.
std::string Masked(Json document, std::time_t start, std::time_t end) {
    const std::string runId = document.value("run_id", "");
    document["station"]["host"] = "<host>";
    document["station"]["version"] = "<version>";
    if (document.contains("operations")) {
        for (Json& op : document["operations"]) {
            if (op.contains("duration_ms")) op["duration_ms"] = "<ms>";
        }
    }
    std::string text = MaskTimes(document.dump(2) + "\n", start, end);
    if (!runId.empty()) ReplaceAll(text, runId, "<run-id>");
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Standard error of a run on sockets: each socket's lines in their order,
// the sockets in the order of their names, the lines of all sockets last.
std::string BySocket(const std::string& errors) {
    std::vector<std::string> lines = Lines(errors);
    const std::string prefix = "quillon-station: socket ";
    auto key = [&prefix](const std::string& line) {
        if (line.rfind(prefix, 0) != 0) return std::string("\x7f");
        return line.substr(prefix.size(), line.find(':', prefix.size()) - prefix.size());
    };
    std::stable_sort(
        lines.begin(), lines.end(),
        [&key](const std::string& a, const std::string& b) { return key(a) < key(b); });
    std::string grouped;
    for (const std::string& line : lines) grouped += line + "\n";
    return grouped;
}

void WriteImage(const fs::path& path, int dataBytes) {
    std::string bytes = {0x11, 0x22, '\x85', 0x01, '\x85', 0x01};
    for (int i = 2; i < dataBytes; ++i) bytes += static_cast<char>(i * 13 + i / 256 + 1);
    bytes.resize(4 + static_cast<std::size_t>(dataBytes));
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ScenarioText(const char* scenario) {
    if (*scenario == '\0' || *scenario == '{') return scenario;
    return ReadSessionFile(fs::path(QUILLON_SCENARIO_DIR) / (std::string(scenario) + ".json"));
}

// Runs the station in a fresh folder holding kdo.bin (3 blocks of 256 bytes),
// tail.bin (one block and 44 bytes) and job.json.
SessionResult RunStation(const std::string& scenario, const std::string& job,
                         const std::vector<std::string>& arguments, std::time_t& start,
                         std::time_t& end, std::string& folder) {
    SessionOptions options;
    options.program = "quillon-station-sim";
    options.arguments = {"--logs", "logs"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.scenarioJson = scenario;
    options.env["TZ"] = "UTC";
    options.workDir = folder = MakeSessionDir();
    options.timeoutSeconds = 300;
    WriteImage(fs::path(folder) / "kdo.bin", 3 * 256);
    WriteImage(fs::path(folder) / "tail.bin", 300);
    if (!job.empty())
        std::ofstream(fs::path(folder) / "job.json", std::ios::binary) << job;  // its bytes hashed
    // time() reads a clock that may lag the system clock by a tick: the start
    // from it and the end from the system clock are each on the safe side of
    // every time the station reads, on either clock.
    start = std::time(nullptr);
    SessionResult result = RunSession(options);
    end = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    return result;
}

void PrintTo(const StationJob& job, std::ostream* out) {
    *out << job.name;
}

class Station : public ::testing::TestWithParam<StationJob> {};

TEST_P(Station, ResultMatchesItsFileAndExitCode) {
    const StationJob& job = GetParam();
    std::time_t start = 0, end = 0;
    std::string folder;
    const SessionResult result =
        RunStation(ScenarioText(job.scenario), job.job, job.arguments, start, end, folder);
    // The console's text of the job, as the station kept it (on Windows the
    // text mode's "\r\n" read back as "\n", as the session runner reads it).
    std::string transcript;
    std::error_code ignored;
    const bool sockets =
        std::find(job.arguments.begin(), job.arguments.end(), "--socket") != job.arguments.end();
    const std::string results =
        sockets ? ReadSessionFile(fs::path(folder) / "results.jsonl") : std::string();
    for (const auto& entry : fs::directory_iterator(fs::path(folder) / "logs", ignored)) {
        if (entry.path().extension() == ".transcript") {
            transcript = ReadSessionFile(entry.path());
        }
    }
#if defined(_WIN32)
    ReplaceAll(transcript, "\r\n", "\n");
#endif
    fs::remove_all(folder, ignored);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, job.exitCode);
    EXPECT_EQ(sockets ? BySocket(result.errors) : result.errors, job.errors);
    // A bad job, and a station that cannot write its files, is refused
    // before anything is sent.
    if (job.exitCode == 2 || job.exitCode == 1 || job.arguments.front() == "--check") {
        EXPECT_EQ(result.wire, std::vector<std::string>{});
    }
    std::string actual;
    if (sockets && job.exitCode != 2) {
        // Each line of the results file is a document the parent also
        // printed, whole; the serial numbers are never given twice.
        std::vector<std::string> printed = Lines(result.output), lines = Lines(results);
        std::sort(printed.begin(), printed.end());
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(printed, lines);
        std::vector<Json> documents;
        std::set<std::string> serials;
        std::size_t numbered = 0;
        for (const std::string& line : lines) {
            documents.push_back(Json::parse(line, nullptr, false));
            EXPECT_EQ(AgainstResultSchema(documents.back()), "") << line;
            if (documents.back().contains("serial_number")) {
                serials.insert(documents.back()["serial_number"].get<std::string>());
                ++numbered;
            }
        }
        EXPECT_EQ(serials.size(), numbered);
        std::sort(documents.begin(), documents.end(), [](const Json& a, const Json& b) {
            return a.value("socket", "") < b.value("socket", "");
        });
        for (const Json& document : documents) actual += Masked(document, start, end);
        for (const std::string& serial : serials) ReplaceAll(actual, serial, "<serial>");
    } else {
        const Json document = Json::parse(result.output, nullptr, false);
        ASSERT_FALSE(document.is_discarded()) << result.output;
        EXPECT_EQ(AgainstResultSchema(document), "");
        actual = Masked(document, start, end);
    }
    if (*job.typed != '\0') {
        // The job sends the instrument exactly what the console sends for
        // the same answers typed: the same frames both ways, byte for byte.
        SessionOptions typed;
        typed.input = job.typed;
        typed.env["TZ"] = "UTC";
        typed.scenarioJson = ScenarioText(job.scenario);
        typed.workDir = MakeSessionDir();
        fs::create_directory(fs::path(typed.workDir) / "firmware");
        WriteImage(fs::path(typed.workDir) / "firmware" / "kdo.bin", 3 * 256);
        const SessionResult console = RunSession(typed);
        fs::remove_all(typed.workDir, ignored);
        EXPECT_EQ(console.exitCode, 0);
        ASSERT_GT(console.wire.size(), 100u);
        EXPECT_EQ(result.wire, console.wire);
        // And the transcript is what the console shows for them.
        EXPECT_EQ(transcript, console.output);
    }
    const std::string file = std::string(job.name) + ".json";
    const std::string expected = ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / file);
    if (actual != expected) {
        const fs::path written = fs::path(QUILLON_GOLDEN_NEW_DIR) / file;
        fs::create_directories(written.parent_path());
        std::ofstream(written, std::ios::binary) << actual;
        ADD_FAILURE() << "tests/golden/" << file << " differs; the result is in "
                      << written.generic_string();
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, Station, ::testing::ValuesIn(Jobs),
                         [](const auto& entry) { return std::string(entry.param.name); });

// An image the console would refuse is refused the same way, in the
// console's words, before anything is sent.
TEST(StationImage, RefusedAsTheConsoleRefusesIt) {
    std::time_t start = 0, end = 0;
    std::string folder;
    const SessionResult result = RunStation(
        "", "", {"download", "--board", "3", "--image", "nothere.bin"}, start, end, folder);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    EXPECT_EQ(result.exitCode, 2);
    const std::string head = "quillon-station: bad job: operations[0].image: image ";
    const std::string tail = "nothere.bin refused: No such file, try again.\n";
    EXPECT_EQ(result.errors.compare(0, head.size(), head), 0) << result.errors;
    ASSERT_GE(result.errors.size(), tail.size());
    EXPECT_EQ(result.errors.substr(result.errors.size() - tail.size()), tail);
    EXPECT_EQ(result.wire, std::vector<std::string>{});
}

// The serial-number counter of a series in the state folder.
fs::path CounterOf(const fs::path& state) {
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(state, missing)) {
        if (entry.path().extension() == ".counter") return entry.path();
    }
    return {};
}

// --repeat over two instruments: the first is put to sleep and removed, the
// second attached; each gets the next serial number of the template. The
// counter belongs to the series: a restart with a new results file goes on
// where it was, a start below it is refused with both numbers, and a
// counter deleted under a series that has taken numbers is not restarted.
TEST(StationRepeat, TwoInstrumentsOneAfterTheOther) {
    const std::string scenario = R"({"next_instruments":[{"latency_us":0}]})";
    std::time_t start = 0, end = 0;
    std::string folder;
    const SessionResult result =
        RunStation(scenario, R"({"operations":[{"op":"serial","board":0,"next":true}]})",
                   {"--repeat=2", "--results", "results.jsonl", "--state", "state",
                    "--serial-template", "SN-{n:4}", "run", "job.json"},
                   start, end, folder);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors,
              "quillon-station: instrument 1: done\n"
              "quillon-station: remove the instrument and attach the next one\n"
              "quillon-station: instrument 2: done\n"
              "quillon-station: 2 instruments, 2 done; first-pass yield 100%\n");
    const std::string results = ReadSessionFile(fs::path(folder) / "results.jsonl");
    // Standard output carries the results alone, the same lines.
    std::string printed = result.output;
    ReplaceAll(printed, "\r\n", "\n");
    EXPECT_EQ(printed, results);
    std::vector<Json> lines;
    std::istringstream in(results);
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["serial_number"], "SN-0001");
    EXPECT_EQ(lines[1]["serial_number"], "SN-0002");
    EXPECT_EQ(lines[1]["serial_series"], "SN-{n:4}");
    EXPECT_NE(lines[0]["run_id"], "");
    EXPECT_EQ(lines[0]["run_id"], lines[1]["run_id"]);
    EXPECT_EQ(lines[1]["operations"][0]["changes"][0]["change"], "serial number \"SN-0002\"");
    EXPECT_EQ(lines[1]["operations"][0]["outcome"], "done");
    EXPECT_EQ(AgainstResultSchema(lines[1]), "");
    const fs::path counter = CounterOf(fs::path(folder) / "state");
    EXPECT_EQ(ReadSessionFile(counter), "3\n");

    auto again = [&folder](std::vector<std::string> arguments) {
        SessionOptions options;
        options.program = "quillon-station-sim";
        options.arguments = {"--logs", "logs", "--state", "state", "--serial-template", "SN-{n:4}"};
        options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
        options.env["TZ"] = "UTC";
        options.workDir = folder;
        return RunSession(options);
    };
    const SessionResult restarted = again({"--results", "other.jsonl", "run", "job.json"});
    EXPECT_EQ(restarted.exitCode, 0);
    EXPECT_EQ(Json::parse(restarted.output)["serial_number"], "SN-0003");
    const SessionResult below = again({"--serial-start", "1", "run", "job.json"});
    EXPECT_EQ(below.exitCode, 2);
    const std::string named = (fs::path("state") / counter.filename()).string();
    EXPECT_EQ(below.errors,
              "quillon-station: bad job: --serial-start 1 is below the series' "
              "counter 4 (" +
                  named + "): its numbers up to 3 are taken\n");
    EXPECT_EQ(below.wire, std::vector<std::string>{});
    std::error_code ignored;
    fs::remove(counter, ignored);
    const SessionResult lost = again({"run", "job.json"});
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_EQ(Json::parse(lost.output, nullptr, false).value("file", ""), named);
    EXPECT_EQ(lost.wire, std::vector<std::string>{});
    fs::remove_all(folder, ignored);
}

#if !defined(_WIN32)
// Starts quillon-station-sim in folder with the scenario file there and the
// given arguments, its standard error going to errors.txt.
// A file-size limit, when given, reads to the station as a full disk.
pid_t StartStation(const fs::path& folder, std::vector<std::string> arguments,
                   rlim_t fileSizeLimit = RLIM_INFINITY) {
    const std::string program = ProgramPath("quillon-station-sim");
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        const int errors = open((folder / "errors.txt").c_str(), O_WRONLY | O_CREAT, 0600);
        if (quiet < 0 || errors < 0 || chdir(folder.c_str()) != 0) _exit(126);
        dup2(quiet, 1);
        dup2(errors, 2);
        setenv("DUCTRA_SIM_SCENARIO", "scenario.json", 1);
        setenv("TZ", "UTC", 1);
        unsetenv("DUCTRA_SIM_WIRELOG");
        const struct rlimit limit = {fileSizeLimit, fileSizeLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

// Waits until found() is true, at most half a minute.
template <typename Found>
void AwaitWhile(Found found) {
    for (int waited = 0; waited < 6000 && !found(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ExitCodeOf(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Ctrl-C during a download: one press lets the download run to its end and
// stops the job after it; a second press stops after the exchange under way,
// and the result names the board erased and not programmed. Both end with
// exit code 7. The presses come once the first block has gone to the board.
// Ctrl-C while the station waits for the next instrument ends the run, with
// the jobs done so far kept.
// SIGTERM is taken as one press: the download is finished, the result
// written, the working folder removed.
TEST(StationInterrupt, DuringADownloadAndBetweenInstruments) {
    for (int run = 0; run < 3; ++run) {
        const int presses = run == 1 ? 2 : 1;
        const int signal = run == 2 ? SIGTERM : SIGINT;
        const fs::path folder = MakeSessionDir();
        ASSERT_FALSE(folder.empty());
        WriteImage(folder / "kdo.bin", 8 * 256);
        std::ofstream(folder / "scenario.json")
            << R"({"latency_us":30000,"faults":[{"command":"0xF0","enter_wait_ms":0},)"
               R"({"command":"0xF4","erase_ms":0}]})";
        std::ofstream(folder / "job.json")
            << R"({"operations":[{"op":"download","board":3,"image":"kdo.bin"},{"op":"list"}]})";
        const pid_t child =
            StartStation(folder, {"--logs", "logs", "--output", "result.json", "run", "job.json"});
        ASSERT_GT(child, 0);
        AwaitWhile([&folder] {
            std::error_code missing;
            for (const auto& entry : fs::directory_iterator(folder / "logs", missing)) {
                if (entry.path().extension() == ".trace" &&
                    ReadSessionFile(entry.path()).find("> 01 F3 ") != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
        for (int press = 0; press < presses; ++press) {
            kill(child, signal);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(ExitCodeOf(child), 7) << "run " << run;
        std::error_code none;
        for (const auto& entry : fs::directory_iterator(folder / "logs", none)) {
            EXPECT_NE(entry.path().extension(), ".work") << entry.path();
        }
        const Json result = Json::parse(ReadSessionFile(folder / "result.json"), nullptr, false);
        ASSERT_TRUE(result.is_object()) << "presses " << presses;
        const Json& download = result["operations"][0];
        EXPECT_EQ(result["outcome"], "interrupted");
        EXPECT_EQ(result["operations"][1]["outcome"], "not run");
        if (presses == 1) {
            EXPECT_EQ(download["outcome"], "done");
            EXPECT_EQ(download["download"]["completed"], true);
            EXPECT_EQ(download["download"]["blocks_verified"], 8);
        } else {
            EXPECT_EQ(download["outcome"], "interrupted");
            EXPECT_EQ(download["download"]["completed"], false);
            EXPECT_EQ(download["board_state"], "erased, not programmed");
        }
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    const fs::path folder = MakeSessionDir();
    std::ofstream(folder / "scenario.json") << "{}";
    const pid_t child =
        StartStation(folder, {"--logs", "logs", "--repeat", "--results", "results.jsonl", "list"});
    ASSERT_GT(child, 0);
    AwaitWhile([&folder] {
        return ReadSessionFile(folder / "errors.txt").find("attach the next one\n") !=
               std::string::npos;
    });
    kill(child, SIGINT);
    EXPECT_EQ(ExitCodeOf(child), 0);
    EXPECT_EQ(ReadSessionFile(folder / "errors.txt"),
              "quillon-station: instrument 1: done\n"
              "quillon-station: remove the instrument and attach the next one\n"
              "quillon-station: interrupted between instruments: the run ends\n"
              "quillon-station: 1 instrument, 1 done; first-pass yield 100%\n");
    const std::string results = ReadSessionFile(folder / "results.jsonl");
    EXPECT_EQ(CountOf(results, "\n"), 1) << results;
    EXPECT_NE(results.find("\"exit_code\":0"), std::string::npos) << results;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
// The station process of a socket's child, found by its socket's name among
// the parent's children; -1 while there is none.
pid_t SocketChild(pid_t parent, const std::string& socket) {
    std::istringstream children(ReadSessionFile("/proc/" + std::to_string(parent) + "/task/" +
                                                std::to_string(parent) + "/children"));
    const std::string named = std::string("--socket-child") + '\0' + socket + '\0';
    for (pid_t child; children >> child;) {
        if (ReadSessionFile("/proc/" + std::to_string(child) + "/cmdline").find(named) !=
            std::string::npos) {
            return child;
        }
    }
    return -1;
}

// Sockets whose instruments answer slowly: a socket's process killed is
// recorded as such while the other socket's instrument is done; SIGTERM to
// the parent reaches every socket as one press, each finishing the
// operation under way; a socket's station outlives its parent killed.
TEST(StationSockets, AProcessKilledAndAnInterruptForAll) {
    const fs::path folder = MakeSessionDir();
    std::ofstream(folder / "scenario.json")
        << R"({"ports":[{"port":"1-1","serial":"CM1001","instrument":{"latency_us":0}},)"
           R"({"port":"1-2","serial":"CM1002","instrument":{"latency_us":400000}}]})";
    pid_t parent = StartStation(folder, {"--logs", "logs", "--results", "results.jsonl", "--socket",
                                         "A=1-1", "--socket", "B=1-2", "list"});
    ASSERT_GT(parent, 0);
    AwaitWhile([&folder, parent] {
        return CountOf(ReadSessionFile(folder / "results.jsonl"), "\n") == 1 &&
               SocketChild(parent, "B") > 0;
    });
    ASSERT_GT(SocketChild(parent, "B"), 0);
    kill(SocketChild(parent, "B"), SIGKILL);
    EXPECT_EQ(ExitCodeOf(parent), 1);
    std::vector<Json> lines;
    for (const std::string& line : Lines(ReadSessionFile(folder / "results.jsonl"))) {
        lines.push_back(Json::parse(line, nullptr, false));
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["socket"], "A");
    EXPECT_EQ(lines[0]["outcome"], "done");
    EXPECT_EQ(lines[1]["socket"], "B");
    EXPECT_EQ(lines[1]["outcome"], "station failure");
    EXPECT_EQ(lines[1]["error"],
              "socket B: its process was killed by signal 9 (Killed); the instrument's job is not "
              "recorded");
    EXPECT_EQ(lines[1]["device"], Json::parse(R"({"port":"1-2","usb_serial":"CM1002"})"));
    EXPECT_EQ(AgainstResultSchema(lines[1]), "");
    const std::string errors = ReadSessionFile(folder / "errors.txt");
    EXPECT_NE(errors.find("quillon-station: socket B: its process was killed by signal 9 (Killed): "
                          "station failure\n"),
              std::string::npos)
        << errors;
    const std::string summary =
        "quillon-station: socket A: 1 instrument, 1 done; first-pass yield 100%\n"
        "quillon-station: socket B: 1 instrument, 0 done, 1 station failure; first-pass yield 0%\n"
        "quillon-station: all sockets: 2 instruments, 1 done, 1 station failure; first-pass yield "
        "50%\n";
    ASSERT_GE(errors.size(), summary.size());
    EXPECT_EQ(errors.substr(errors.size() - summary.size()), summary);

    std::error_code ignored;
    fs::remove(folder / "results.jsonl", ignored);
    fs::remove(folder / "errors.txt", ignored);
    std::ofstream(folder / "scenario.json", std::ios::trunc)
        << R"({"ports":[{"port":"1-1","instrument":{"latency_us":200000}},)"
           R"({"port":"1-2","instrument":{"latency_us":200000}}]})";
    std::ofstream(folder / "job.json")
        << R"({"operations":[{"op":"report","board":2},{"op":"list"}]})";
    parent = StartStation(folder, {"--logs", "logs", "--results", "results.jsonl", "--socket",
                                   "A=1-1", "--socket", "B=1-2", "run", "job.json"});
    ASSERT_GT(parent, 0);
    AwaitWhile([&folder] {
        const std::string board = ReadSessionFile(folder / "errors.txt");
        return board.find("socket A: running operation 1 of 2") != std::string::npos &&
               board.find("socket B: running operation 1 of 2") != std::string::npos;
    });
    kill(parent, SIGTERM);
    EXPECT_EQ(ExitCodeOf(parent), 7);
    lines.clear();
    for (const std::string& line : Lines(ReadSessionFile(folder / "results.jsonl"))) {
        lines.push_back(Json::parse(line, nullptr, false));
    }
    ASSERT_EQ(lines.size(), 2u);
    for (const Json& line : lines) {
        EXPECT_EQ(line["outcome"], "interrupted") << line.dump();
        EXPECT_EQ(line["operations"][1]["outcome"], "not run") << line.dump();
    }

    // A socket's station whose parent is killed finishes its job and keeps
    // its record.
    fs::remove(folder / "results.jsonl", ignored);
    fs::remove(folder / "errors.txt", ignored);
    parent = StartStation(folder, {"--logs", "logs", "--results", "results.jsonl", "--socket",
                                   "A=1-1", "run", "job.json"});
    ASSERT_GT(parent, 0);
    AwaitWhile([&folder] {
        return ReadSessionFile(folder / "errors.txt").find("socket A: running operation 1 of 2") !=
               std::string::npos;
    });
    kill(parent, SIGKILL);
    EXPECT_EQ(ExitCodeOf(parent), -1);
    AwaitWhile([&folder] { return CountOf(ReadSessionFile(folder / "results.jsonl"), "\n") == 1; });
    const Json kept = Json::parse(ReadSessionFile(folder / "results.jsonl"), nullptr, false);
    ASSERT_TRUE(kept.is_object()) << ReadSessionFile(folder / "errors.txt");
    EXPECT_EQ(kept.value("outcome", ""), "done");
    EXPECT_EQ(kept.value("socket", ""), "A");
    fs::remove_all(folder, ignored);
}

// Stations started at the same moment with one logs folder share no file
// (each run is named by its run id), and stations sharing a state folder
// never give one serial number twice.
TEST(StationRuns, SameMomentRunsShareNoFileAndNoNumber) {
    const fs::path folder = MakeSessionDir();
    std::ofstream(folder / "scenario.json") << "{}";
    constexpr int Stations = 4;
    std::vector<pid_t> children;
    for (int i = 0; i < Stations; ++i) {
        children.push_back(StartStation(
            folder,
            {"--logs", "logs", "--state", "state", "--serial-template", "SN-{n:4}", "--output",
             "result" + std::to_string(i) + ".json", "serial", "--board", "0", "--next"}));
    }
    std::set<std::string> serials, traces, transcripts;
    for (int i = 0; i < Stations; ++i) {
        EXPECT_EQ(ExitCodeOf(children[static_cast<std::size_t>(i)]), 0) << i;
        const Json result = Json::parse(
            ReadSessionFile(folder / ("result" + std::to_string(i) + ".json")), nullptr, false);
        ASSERT_TRUE(result.is_object()) << i;
        serials.insert(result.value("serial_number", ""));
        traces.insert(result.value("trace", ""));
        transcripts.insert(result.value("transcript", ""));
    }
    EXPECT_EQ(serials, (std::set<std::string>{"SN-0001", "SN-0002", "SN-0003", "SN-0004"}));
    EXPECT_EQ(traces.size(), 4u);
    EXPECT_EQ(transcripts.size(), 4u);
    // A number a killed run took and never recorded is named at the next
    // start, and only then.
    for (const auto& entry : fs::directory_iterator(folder / "state")) {
        if (entry.path().extension() == ".journal") {
            std::ofstream(entry.path(), std::ios::app) << "taken SN-0099 killed-run\n";
        }
    }
    const std::vector<std::string> again = {
        "--logs",   "logs",   "--state", "state", "--serial-template",
        "SN-{n:4}", "serial", "--board", "0",     "--next"};
    for (const bool named : {true, false}) {
        fs::remove(folder / "errors.txt");
        EXPECT_EQ(ExitCodeOf(StartStation(folder, again)), 0);
        EXPECT_EQ(ReadSessionFile(folder / "errors.txt")
                          .find("quillon-station: serial number SN-0099 (run killed-run) was taken "
                                "and never recorded\n") != std::string::npos,
                  named);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// A full disk under the results file (a file-size limit): the line that did
// not fit is reported as a station failure, never cut and glued to the next.
TEST(StationResults, FullDiskIsAFailureAndCutsNoLine) {
    const fs::path folder = MakeSessionDir();
    std::ofstream(folder / "scenario.json") << "{}";
    const std::string earlier(59999, 'x');
    std::ofstream(folder / "results.jsonl", std::ios::binary) << earlier << "\n";
    const std::vector<std::string> arguments = {
        "--logs", "logs", "--results", "results.jsonl", "--output", "result.json", "list"};
    EXPECT_EQ(ExitCodeOf(StartStation(folder, arguments, 61000)), 1);
    const Json failed = Json::parse(ReadSessionFile(folder / "result.json"), nullptr, false);
    EXPECT_EQ(failed.value("outcome", ""), "station failure");
    EXPECT_EQ(failed.value("file", ""), "results.jsonl");
    EXPECT_EQ(ExitCodeOf(StartStation(folder, arguments)), 0);
    std::istringstream in(ReadSessionFile(folder / "results.jsonl"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], earlier);
    EXPECT_EQ(lines[1].size(), 61000u - 60000u);
    EXPECT_TRUE(Json::parse(lines[1], nullptr, false).is_discarded());
    EXPECT_EQ(Json::parse(lines[2], nullptr, false).value("exit_code", -1), 0);
    // An image whose copy into the working folder the disk cuts short is not
    // programmed: the console would program the copy, its tail missing.
    WriteImage(folder / "big.bin", 70000);
    EXPECT_EQ(ExitCodeOf(StartStation(folder,
                                      {"--logs", "logs", "--output", "big.json", "download",
                                       "--board", "3", "--image", "big.bin"},
                                      61000)),
              1);
    const Json cut = Json::parse(ReadSessionFile(folder / "big.json"), nullptr, false);
    EXPECT_EQ(cut.value("outcome", ""), "station failure");
    EXPECT_EQ(cut.value("error", "").rfind("cannot put the image ", 0), 0u) << cut.dump();
    EXPECT_TRUE(cut.value("file", "").ends_with(".work")) << cut.dump();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
#endif

}  // namespace
