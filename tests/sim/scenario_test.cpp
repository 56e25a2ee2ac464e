// Scenario files: what a bad file is told, and how a good one is read.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "sim/sim.h"
#include "sim_support.h"
#include "usbpipe/trace/trace_format.h"

using namespace SimTest;

namespace {

// Restarts with the text as a scenario file; returns what went to stderr.
std::string Rejected(const std::string& text) {
    std::string path = TempPath("bad.json");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    testing::internal::CaptureStderr();
    int result = DuctraSimRestart(path.c_str(), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(result, 0) << text;
    EXPECT_EQ(err.rfind("ductra-sim: scenario " + path + ": ", 0), 0u) << err;
    return err;
}

// What a refused file is told after the file's name.
std::string Why(const std::string& text) {
    const std::string said = Rejected(text);
    const std::size_t at = said.find(".json: ");
    return at == std::string::npos ? said : said.substr(at + 7);
}

// The words the schema check puts after a field.
std::string Schema(const std::string& field, const std::string& says) {
    return field + ": expected what the scenario schema allows (" + says + ")\n";
}

const char* const NotType = "Value type not permitted by 'type' constraint.";

TEST(SimScenario, BadFilesNameTheFieldAndWhatWasExpected) {
    EXPECT_NE(Rejected("{ \"faults\": [ }").find("JSON text: expected valid JSON"),
              std::string::npos);
    const std::pair<std::string, std::string> rows[] = {
        {"[1, 2]", Schema("scenario", NotType)},
        {R"({"latency": 5})", Schema("latency", "Not a property the schema names.")},
        {R"({"description": 7})", Schema("description", NotType)},
        {R"({"usb_device": "serial"})",
         Schema("usb_device", "Failed to match against any enum values.")},
        {R"({"open_result": -1})",
         Schema("open_result", "Failed to match against any enum values.")},
        {R"({"faults": [{"command": 256}]})",
         Schema("faults[0].command", "Expected number less than or equal to 255")},
        {R"({"faults": [{"comand": 9}]})",
         Schema("faults[0].comand", "Not a property the schema names.")},
        {R"({"faults": [{"extra": "ABC"}]})",
         Schema("faults[0].extra", "Failed to match regex specified by 'pattern' constraint.")},
        {R"({"faults": [{"timeout": 1}]})", Schema("faults[0].timeout", NotType)},
        {R"({"faults": [{"lose_pipe": "yes"}]})", Schema("faults[0].lose_pipe", NotType)},
        {R"({"faults": [{"occurrence": 0}]})",
         Schema("faults[0].occurrence", "Expected number greater than or equal to 1")},
        // Numbers too large for a double, nesting too deep and texts too long to check.
        {R"({"latency_us": 1e400})",
         "latency_us: expected a number that fits a double (number overflow parsing '1e400')\n"},
        {R"({"faults": [{"board": 1}, {"command": 1e999}]})",
         "faults[1].command: expected a number that fits a double (number overflow parsing "
         "'1e999')\n"},
        {"{\"description\": " + std::string(100000, '[') + std::string(100000, ']') + "}",
         "description: expected at most 64 levels of arrays and objects\n"},
        {R"({"faults": [{"board": 1}, {"payload": ")" + std::string(30000, '0') + "\"}]}",
         "faults[1].payload: expected a text of at most 4096 bytes\n"},
        // Instruments placed on ports: each port once, in sysfs notation, and
        // nothing beside them that would describe another instrument.
        {R"({"ports": [{"port": "1-1"}, {"port": "1-1"}]})",
         "ports[1].port: expected a port not named before\n"},
        {R"({"ports": [{"port": "1-01"}]})",
         Schema("ports[0].port", "Failed to match regex specified by 'pattern' constraint.")},
        {R"({"ports": [{"port": "1-1", "serial": ""}]})",
         Schema("ports[0].serial", "String should be no fewer than 1 characters in length.")},
        {R"({"ports": [{"port": "1-1", "instrument": {"ports": []}}]})",
         Schema("ports[0].instrument.ports", "Array should contain no fewer than 1 elements.")},
        {R"({"ports": [{"port": "1-1", "instrument": {"latency_us": -1}}]})",
         Schema("ports[0].instrument.latency_us", "Expected number greater than or equal to 0")},
        {R"({"latency_us": 5, "ports": [{"port": "1-1"}]})",
         "latency_us: expected no instrument beside ports (each placed instrument carries "
         "its own)\n"},
    };
    for (const auto& [text, expected] : rows) EXPECT_EQ(Why(text), expected) << text.substr(0, 200);
}

TEST(SimScenario, BadDevicesAndBoards) {
    // The listing the console reads holds at most 17 boards of a device.
    std::string boards = R"({"board": 0, "family": 1, "model": 1, "version": 0})";
    for (int b = 1; b < 18; ++b) {
        boards +=
            R"(, {"board": )" + std::to_string(b) + R"(, "family": 4, "model": 1, "version": 0})";
    }
    // A record too long for one answer.
    std::string words;
    for (int i = 0; i < 300; ++i) words += (i ? ", " : "") + std::to_string(i);
    const std::pair<std::string, std::string> rows[] = {
        {R"({"devices": [{"address": 1, "boards": [)" + boards + "]}]}",
         Schema("devices[0].boards", "Array should contain no more than 17 elements.")},
        {R"({"devices": [{"address": 4, "boards": []}]})",
         Schema("devices[0].address", "Expected number less than or equal to 3")},
        {R"({"devices": [{"address": 1, "boards": [
            {"board": 1, "family": 4, "model": 1, "version": 0}]}]})",
         Schema("devices[0].boards", "None of the items is the one the schema requires.")},
        {R"({"devices": [{"address": 1, "boards": [
            {"board": 0, "family": "big", "model": 1, "version": 0}]}]})",
         Schema("devices[0].boards[0].family", NotType)},
        {R"({"devices": [{"address": 1, "boards": [
            {"board": 0, "model": 1, "version": 0}]}]})",
         Schema("devices[0].boards[0].family", "Missing required property.")},
        {R"({"devices": [{"address": 1, "boards": [{"board": 0, "family": 1, "model": 1,
            "version": 0, "serial": "123456789012345678901"}]}]})",
         Schema("devices[0].boards[0].serial",
                "String should be no more than 20 characters in length.")},
        {R"({"devices": [{"address": 1, "boards": [{"board": 0, "family": 1, "model": 1,
            "version": 0, "components": [{"setups": [[1, "x"]]}]}]}]})",
         Schema("devices[0].boards[0].components[0].setups[0][1]", NotType)},
        {R"({"devices": [{"address": 1, "boards": [
            {"board": 0, "family": 1, "model": 1, "version": 0},
            {"board": 0, "family": 1, "model": 1, "version": 0}]}]})",
         "devices[0].boards[1].board: expected a board address not used before on this "
         "device\n"},
        {R"({"devices": [{"address": 1, "boards": [{"board": 0, "family": 1, "model": 1,
            "version": 0, "components": [{"setups": [[)" +
             words + "]]}]}]}]}",
         "devices[0].boards[0]: expected a configuration record of at most 1018 bytes\n"},
    };
    for (const auto& [text, expected] : rows) EXPECT_EQ(Why(text), expected) << text.substr(0, 200);
}

// The schema (installed for people and editors) and the loader agree: every
// ready-made scenario and the default pass it, and what it refuses is named
// by its field.
TEST(SimScenario, TheSchemaTakesEveryReadyMadeScenarioAndNamesTheFieldItRefuses) {
    std::string error;
    EXPECT_EQ(Sim::CheckScenarioSchema(Sim::DefaultScenarioText(), error), 0) << error;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SIM_SCENARIO_DIR)) {
        std::string text;
        ASSERT_TRUE(ductra::ReadWholeFile(entry.path().string().c_str(), text));
        EXPECT_EQ(Sim::CheckScenarioSchema(text, error), 0) << entry.path() << ": " << error;
        ++files;
    }
    EXPECT_GE(files, 5);
    EXPECT_EQ(
        Sim::CheckScenarioSchema(R"({"next_instruments": [{"faults": [{"timeout": 1}]}]})", error),
        1);
    EXPECT_EQ(error.rfind("next_instruments[0].faults[0].timeout: expected what the scenario "
                          "schema allows (",
                          0),
              0u)
        << error;
    EXPECT_EQ(Sim::CheckScenarioSchema(R"({"devices": [{"address": 1, "boards": [{"board": 0}]}]})",
                                       error),
              1);
    EXPECT_EQ(error + "\n", Schema("devices[0].boards[0].family", "Missing required property."));
}

TEST(SimScenario, MissingOrEmptyFile) {
    std::string path = TempPath("does-not-exist.json");
    std::remove(path.c_str());
    testing::internal::CaptureStderr();
    EXPECT_NE(DuctraSimRestart(path.c_str(), nullptr), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("ductra-sim: scenario " + path + ": expected a readable file", 0), 0u)
        << err;
    EXPECT_NE(Rejected("").find("expected a JSON object, the file is empty"), std::string::npos);
}

TEST(SimScenario, ABadScenarioMakesEveryOpenFail) {
    Rejected("{");
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DuctraOpen Error: NO_DEVICE_FOUND\r\nDuctraOpen Error: NO_DEVICE_FOUND\r\n");
}

TEST(SimScenario, NumbersAsTextAndFloatWords) {
    ASSERT_EQ(Start(R"({"devices": [{"address": 1, "name": "Twenty characters!!!",
        "boards": [{"board": "0x00", "family": "202", "model": 1, "version": "0xFFFF",
                    "components": [{"setups": [[1.0, "0x3F800000", 4294967295, 0.5e1]],
                                    "calibrations": [[1, 2.5]], "last_cal": 9}]}]}]})"),
              0);
    Record r = Report(1, 0);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.family, 202);
    EXPECT_EQ(r.version, 0xFFFF);
    ASSERT_EQ(r.components.size(), 1u);
    EXPECT_EQ(r.components[0].setups[0],
              (std::vector<uint32_t>{0x3F800000, 0x3F800000, 0xFFFFFFFF, 0x40A00000}));
    EXPECT_EQ(r.components[0].calibrations[0], (std::vector<float>{1.0F, 2.5F}));
    EXPECT_EQ(r.components[0].lastCal, 9);
    // A name filling its 20 bytes runs straight into the serial number.
    Bytes id = Payload(1, 0x0A);
    EXPECT_EQ(std::string(id.begin(), id.begin() + 20), "Twenty characters!!!");
    EXPECT_EQ(id.size(), 21u) << "empty serial: just its terminator";
}

// The ready-made scenarios shipped for training and demos: each loads, and
// each is the instrument its description promises.
TEST(SimScenario, ReadyMadeScenariosLoadAndAreWhatTheySay) {
    const std::map<std::string, std::function<void()>> promises = {
        {"handheld", [] { EXPECT_EQ(Report(3, 0).family, 201); }},
        {"com-module-sdi12",
         [] {
             Record r = Report(2, 0);
             EXPECT_EQ(r.family, 200);
             EXPECT_EQ(r.model, 2);
         }},
        {"readback-failure",
         [] {
             ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
             ASSERT_EQ(StatusOf(1, 0xF1, Hex("03 00 00 01 00 00")), 0);
             ASSERT_EQ(StatusOf(1, 0xF4, {3, 0}), 0);
             Bytes write = {3, 0, 1, 0};
             write.resize(4 + 256, 0x11);
             ASSERT_EQ(StatusOf(1, 0xF3, write), 0);
             Bytes back = Payload(1, 0xF2, {3, 0, 1, 0});
             ASSERT_EQ(back.size(), 4u + 256u);
             EXPECT_EQ(back[4 + 4], 0x11);
             EXPECT_EQ(back[4 + 5], 0xEE) << "byte 5 of every block read back is corrupted";
         }},
        {"silent-board",
         [] {
             EXPECT_TRUE(Request(1, 0x82, {4, 0}).empty());
             EXPECT_EQ(Report(1, 3).family, 5);
         }},
        {"three-sockets",
         [] {
             // The default sonde on each of three ports, each chosen by port or serial.
             for (const char* choice : {"port=1-1", "port=1-2", "port=1-3", "serial=CM1002"}) {
                 ChooseDevice(choice);
                 DuctraClose();
                 EXPECT_EQ(DuctraOpen(), 0) << choice;
                 EXPECT_EQ(Report(1, 0).family, 202) << choice;
             }
             ChooseDevice("port=1-4");
             EXPECT_EQ(DuctraOpen(), -3);
             ChooseDevice("");
         }},
        {"full-sonde",
         [] {
             for (uint8_t board = 0; board <= 16; ++board) {
                 EXPECT_TRUE(Report(1, board).complete) << int(board);
             }
             EXPECT_EQ(StatusOf(1, 0x82, {17, 0}), 5);
         }},
    };
    std::size_t seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SIM_SCENARIO_DIR)) {
        if (entry.path().extension() != ".json") continue;
        const std::string name = entry.path().stem().string();
        SCOPED_TRACE(name);
        testing::internal::CaptureStderr();
        ASSERT_EQ(Start(ReadFile(entry.path().string())), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        auto promise = promises.find(name);
        ASSERT_NE(promise, promises.end()) << "a ready-made scenario without a check here";
        promise->second();
        ++seen;
    }
    EXPECT_EQ(seen, promises.size());
}

}  // namespace
