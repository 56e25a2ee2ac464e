// A traced quillon-sim session that others meddle with (a second traced
// program on the same file, the file truncated or deleted under it, the
// program killed), and trace paths that cannot be written. Whatever happens to the
// trace, the session runs to its end and the trace holds whole lines.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "shell_e2e.h"
#include "support/session_process.h"

namespace {

using namespace shell_e2e;
namespace fs = std::filesystem;

// Every transfer takes 300 ms, so that a session that only starts and quits
// runs for seconds while the test acts on its trace.
constexpr const char* kSlowInstrument = R"({"latency_us": 300000})";

SessionOptions Traced(const std::string& trace, const std::string& scenario = {}) {
    SessionOptions options;
    options.input = "q\n";
    options.scenarioJson = scenario;
    options.env = {{"TZ", "UTC"}, {"DUCTRA_TRACE", trace}};
    options.timeoutSeconds = 60;
    return options;
}

std::string ReadAll(const fs::path& path) {
    std::string text;
    std::getline(std::ifstream(path, std::ios::binary), text, '\0');
    return text;
}

// Checks that the trace is whole lines only (headers and call lines, no NUL,
// nothing after the last line end) and holds `headers` header lines.
void ExpectWholeLines(const fs::path& path, int headers) {
    const std::string text = ReadAll(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(fs::file_size(path), text.size()) << "the trace holds a NUL";
    EXPECT_EQ(text.back(), '\n');
    static const std::regex header(
        R"(ductra-trace 1 library=ductra-sim/[0-9.]+ platform=linux start=[0-9T:.Z-]+)");
    static const std::regex call(
        R"(\d+\.\d{3} (open|close|send timeout=\d+ length=\d+|receive capacity=\d+ timeout=\d+))"
        R"( result=-?\d+( error=-?\d+)?( > [0-9A-F]{2}( [0-9A-F]{2})*| count=\d+ <( [0-9A-F]{2})*)?)");
    std::istringstream lines(text);
    int seen = 0;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, header)) {
            ++seen;
        } else {
            EXPECT_TRUE(std::regex_match(line, call)) << line;
        }
    }
    EXPECT_EQ(seen, headers);
}

int CountSends(const fs::path& path) {
    return CountOf(ReadAll(path), " send ");
}

struct Meddling {
    const char* name;
    int timeoutSeconds;  // the traced session is killed after this
    // What is done to the trace once its header is there, while the session runs.
    std::function<void(const fs::path& trace)> act;
    int exitCode;           // of the traced session; -1: killed
    int headers;            // in the trace afterwards; -1: the trace is gone
    const char* said = "";  // on standard error, after "ductra-sim: trace PATH"
};

void PrintTo(const Meddling& meddling, std::ostream* out) {
    *out << meddling.name;
}

class FieldTrace : public ::testing::TestWithParam<Meddling> {
  protected:
    void SetUp() override { dir = MakeSessionDir(); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

TEST_P(FieldTrace, TheSessionAndItsTraceSurvive) {
    const Meddling& meddling = GetParam();
    const fs::path trace = dir / "field.trace";
    SessionOptions options = Traced(trace.string(), kSlowInstrument);
    options.timeoutSeconds = meddling.timeoutSeconds;
    SessionResult session;
    std::thread running([&] { session = RunSession(options); });
    const auto started = [&trace] {
        std::error_code missing;
        const auto size = fs::file_size(trace, missing);
        return !missing && size > 0;
    };
    for (int waited = 0; waited < 6000 && !started(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    meddling.act(trace);
    running.join();

    EXPECT_EQ(session.exitCode, meddling.exitCode) << session.errors;
    EXPECT_EQ(session.errors,
              *meddling.said ? "ductra-sim: trace " + trace.string() + meddling.said : "");
    if (meddling.headers < 0) {
        EXPECT_FALSE(fs::exists(trace));
        return;
    }
    ExpectWholeLines(trace, meddling.headers);
    if (meddling.exitCode == 0 && meddling.headers == 1) {
        EXPECT_EQ(CountSends(trace), static_cast<int>(SentFrames(session).size()));
    }
}

// A second traced program is refused the file in one line, and otherwise
// runs its session as it would untraced.
void SecondProgram(const fs::path& trace) {
    const SessionResult second = RunSession(Traced(trace.string()));
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.errors, "ductra-sim: the trace " + trace.string() +
                                 " is being written by another program; this one runs untraced\n");
    EXPECT_EQ(second.output, RunShell("q\n").output);
}

INSTANTIATE_TEST_SUITE_P(
    Meddled, FieldTrace,
    ::testing::Values(Meddling{"second_program", 60, SecondProgram, 0, 1},
                      Meddling{"truncated", 60,
                               [](const fs::path& trace) {
                                   std::error_code failed;
                                   fs::resize_file(trace, 0, failed);
                                   EXPECT_FALSE(failed) << failed.message();
                               },
                               0, 1},
                      Meddling{"deleted", 60,
                               [](const fs::path& trace) { EXPECT_TRUE(fs::remove(trace)); }, 0, -1,
                               ": the file was deleted; tracing stops\n"},
                      Meddling{"killed", 1, [](const fs::path&) {}, -1, 1}),
    [](const ::testing::TestParamInfo<Meddling>& row) { return std::string(row.param.name); });

// Places a trace cannot go: one line says why, and the session runs untraced.
TEST(FieldTracePath, CannotBeWritten) {
    const fs::path dir = MakeSessionDir();
    ASSERT_FALSE(dir.empty());
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string plain = RunShell("q\n").output;
    const struct {
        fs::path path;
        const char* why;
    } places[] = {{dir, "it is a folder"},
                  {fifo, "not a regular file"},
                  {dir / "no-such-folder" / "t.trace", "No such file or directory"}};
    for (const auto& place : places) {
        const SessionResult session = RunSession(Traced(place.path.string()));
        EXPECT_EQ(session.exitCode, 0);
        EXPECT_EQ(session.errors, "ductra-sim: cannot write the trace " + place.path.string() +
                                      ": " + place.why + "\n");
        EXPECT_EQ(session.output, plain);
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
