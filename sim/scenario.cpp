// Scenario loading: a JSON text checked against the scenario schema, then
// laid over the built-in default, so that a bad file is reported with the
// field at fault and what it should hold, instead of giving a quietly
// different instrument.
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>
#include <vector>

#include "link/frame.h"
#include "sim/sim.h"
#include "usbpipe/pipe_backend.h"
#include "usbpipe/trace/json_schema.h"

namespace Sim {

namespace {

using Json = nlohmann::json;

// The first failure found; later checks are skipped once it is set.
struct Checker {
    std::string error;
    bool Fail(const std::string& path, const std::string& expected) {
        if (error.empty()) error = path + ": expected " + expected;
        return false;
    }
};

// What follows reads a scenario the schema has allowed: every key known,
// every required one there, every value of its type, every JSON integer in
// its range, every byte text made of hexadecimal pairs. It checks only what
// the schema cannot say: the value of an integer written as text, byte
// counts, and the rules between fields.

bool ParseIntText(std::string_view s, int64_t& out) {
    bool negative = !s.empty() && s[0] == '-';
    if (negative) s.remove_prefix(1);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return false;
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// An integer written as a JSON integer (in range: the schema says so) or as
// a decimal or 0x text, whose value only this check sees.
template <typename T>
bool ReadNumber(Checker& c, const Json& v, const std::string& path, T& out,
                int64_t min = std::numeric_limits<T>::min(),
                int64_t max = std::numeric_limits<T>::max()) {
    int64_t value = 0;
    if (!v.is_string()) {
        value = v.get<int64_t>();
    } else if (!ParseIntText(v.get_ref<const std::string&>(), value) || value < min ||
               value > max) {
        return c.Fail(path, "an integer " + std::to_string(min) + ".." + std::to_string(max));
    }
    out = static_cast<T>(value);
    return true;
}

// The schema counts characters; a name or serial number field holds bytes.
bool ReadText(Checker& c, const Json& v, const std::string& path, std::string& out) {
    out = v.get<std::string>();
    if (out.size() > 20) return c.Fail(path, "a text of at most 20 bytes");
    return true;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : 0;
}

bool ReadHex(Checker& c, const Json& v, const std::string& path, Bytes& out) {
    const std::string& s = v.get_ref<const std::string&>();
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] == ' ') continue;
        bytes.push_back(static_cast<uint8_t>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1])));
        ++i;
    }
    if (bytes.size() > MaxRequestPayload) return c.Fail(path, "at most 1018 bytes");
    out = std::move(bytes);
    return true;
}

// An optional field read into `into` when present.
template <typename T>
bool Optional(Checker& c, const Json& v, const std::string& path, const char* key, T& into) {
    return !v.contains(key) || ReadNumber(c, v[key], path + "." + key, into);
}

template <typename T>
bool Optional(Checker& c, const Json& v, const std::string& path, const char* key,
              std::optional<T>& into) {
    if (!v.contains(key)) return true;
    T x = 0;
    if (!ReadNumber(c, v[key], path + "." + key, x)) return false;
    into = x;
    return true;
}

// A JSON number with a point is a float's 32 bits; anything else an integer.
bool ReadWord(Checker& c, const Json& v, const std::string& path, uint32_t& out) {
    if (v.is_number_float()) {
        float f = v.get<float>();
        std::memcpy(&out, &f, sizeof out);
        return true;
    }
    return ReadNumber(c, v, path, out);
}

bool ReadComponent(Checker& c, const Json& v, const std::string& path, Component& out) {
    if (!Optional(c, v, path, "last_cal_date", out.lastCalDate) ||
        !Optional(c, v, path, "cal_interval", out.calInterval))
        return false;
    const Json setups = v.value("setups", Json::array());
    for (std::size_t i = 0; i < setups.size(); ++i) {
        std::string ps = path + ".setups[" + std::to_string(i) + "]";
        std::vector<uint32_t> words;
        for (std::size_t k = 0; k < setups[i].size(); ++k) {
            uint32_t w = 0;
            if (!ReadWord(c, setups[i][k], ps + "[" + std::to_string(k) + "]", w)) return false;
            words.push_back(w);
        }
        out.setups.push_back(std::move(words));
    }
    for (const Json& steps : v.value("calibrations", Json::array())) {
        out.calibrations.push_back(steps.get<std::vector<float>>());
    }
    out.lastCal = static_cast<uint8_t>(out.calibrations.size());
    return Optional(c, v, path, "last_cal", out.lastCal);
}

bool ReadBoard(Checker& c, const Json& v, const std::string& path, Board& out) {
    if (!ReadNumber(c, v["board"], path + ".board", out.address) ||
        !ReadNumber(c, v["family"], path + ".family", out.family) ||
        !ReadNumber(c, v["model"], path + ".model", out.model) ||
        !ReadNumber(c, v["version"], path + ".version", out.version) ||
        !Optional(c, v, path, "mask", out.mask) || !Optional(c, v, path, "dob", out.dob) ||
        !Optional(c, v, path, "dom", out.dom) ||
        !Optional(c, v, path, "maint_interval", out.maintInterval) ||
        !Optional(c, v, path, "stabilization", out.stabilization) ||
        !Optional(c, v, path, "deven_mask", out.devEnMask))
        return false;
    if (v.contains("serial") && !ReadText(c, v["serial"], path + ".serial", out.serial))
        return false;
    if (v.contains("battery_range")) {
        out.batteryLow = v["battery_range"][0].get<float>();
        out.batteryHigh = v["battery_range"][1].get<float>();
    }
    const Json comps = v.value("components", Json::array());
    for (std::size_t i = 0; i < comps.size(); ++i) {
        Component comp;
        if (!ReadComponent(c, comps[i], path + ".components[" + std::to_string(i) + "]", comp))
            return false;
        out.components.push_back(std::move(comp));
    }
    if (v.contains("flash")) {
        const Json& f = v["flash"];
        const std::string p = path + ".flash";
        if ((f.contains("block_size") &&
             !ReadNumber<uint16_t>(c, f["block_size"], p + ".block_size", out.flash.blockSize, 1,
                                   MaxRequestPayload - 4)) ||
            !Optional(c, f, p, "enter_wait_ms", out.flash.enterWaitMs) ||
            !Optional(c, f, p, "erase_ms", out.flash.eraseMs) ||
            !Optional(c, f, p, "capacity", out.flash.capacity))
            return false;
    }
    if (EncodeConfiguration(out, {}).size() > MaxRequestPayload)
        return c.Fail(path, "a configuration record of at most 1018 bytes");
    out.factoryBatteryLow = out.batteryLow;
    out.factoryBatteryHigh = out.batteryHigh;
    return true;
}

bool ReadDevice(Checker& c, const Json& v, const std::string& path, Device& out) {
    if (!ReadNumber<uint8_t>(c, v["address"], path + ".address", out.address, 1, 3) ||
        (v.contains("name") && !ReadText(c, v["name"], path + ".name", out.name)) ||
        !Optional(c, v, path, "min_stabilization", out.minStabilization))
        return false;
    const Json& boards = v["boards"];
    for (std::size_t i = 0; i < boards.size(); ++i) {
        Board b;
        std::string p = path + ".boards[" + std::to_string(i) + "]";
        if (!ReadBoard(c, boards[i], p, b)) return false;
        if (FindBoard(out, b.address) != nullptr)
            return c.Fail(p + ".board", "a board address not used before on this device");
        out.boards.push_back(std::move(b));
    }
    // The device's own board, 0 (a JSON 0 or a text naming 0), answers for it.
    const Board* own = FindBoard(out, 0);
    if (own == nullptr) return c.Fail(path + ".boards", "a board 0 (the device's own board)");
    out.idSerial = own->serial;
    if (v.contains("id_serial") && !ReadText(c, v["id_serial"], path + ".id_serial", out.idSerial))
        return false;
    return true;
}

bool ReadFault(Checker& c, const Json& v, const std::string& path, Fault& out) {
    if (!Optional(c, v, path, "address", out.address) ||
        !Optional(c, v, path, "command", out.command) ||
        !Optional(c, v, path, "board", out.board) || !Optional(c, v, path, "status", out.status))
        return false;
    out.times = 0;
    if (v.contains("occurrence")) {
        if (!ReadNumber<uint32_t>(c, v["occurrence"], path + ".occurrence", out.occurrence, 1,
                                  std::numeric_limits<uint32_t>::max()))
            return false;
        out.times = 1;
    }
    if (!Optional(c, v, path, "times", out.times)) return false;
    out.timeout = v.value("timeout", false);
    out.badCrc = v.value("bad_crc", false);
    out.losePipe = v.value("lose_pipe", false);
    if (v.contains("payload") &&
        !ReadHex(c, v["payload"], path + ".payload", out.payload.emplace()))
        return false;
    if (v.contains("extra") && !ReadHex(c, v["extra"], path + ".extra", out.extra)) return false;
    if (v.contains("counts")) {
        const Json& n = v["counts"];
        const std::string p = path + ".counts";
        CountOverrides& counts = out.counts;
        if (!Optional(c, n, p, "devices", counts.devices) ||
            !Optional(c, n, p, "components", counts.components) ||
            !Optional(c, n, p, "setups", counts.setups) ||
            !Optional(c, n, p, "inputs", counts.inputs) ||
            !Optional(c, n, p, "calibrations", counts.calibrations) ||
            !Optional(c, n, p, "last_cal", counts.lastCal) ||
            !Optional(c, n, p, "steps", counts.steps))
            return false;
    }
    // Text values past what the schema allows for JSON integers.
    const auto upTo = [&](const char* key, auto& into, int64_t max) {
        if (!v.contains(key)) return true;
        typename std::remove_reference_t<decltype(into)>::value_type x = 0;
        if (!ReadNumber(c, v[key], path + "." + key, x, 0, max)) return false;
        into = x;
        return true;
    };
    return upTo("readback_offset", out.readbackOffset, MaxRequestPayload - 5) &&
           upTo("enter_wait_ms", out.enterWaitMs, 65535) &&
           upTo("block_size", out.blockSize, 65535) && upTo("erase_ms", out.eraseMs, 65535) &&
           upTo("short", out.shortLength, 65535) && upTo("split", out.splitAt, 65535);
}

// The instruments placed on ports: each a port chain named once, an
// optional USB serial number, and an instrument laid over the default.
bool ReadPorts(Checker& c, const Json& list, Scenario& out) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string p = "ports[" + std::to_string(i) + "]";
        const Json& v = list[i];
        Scenario::Placement placed;
        placed.port = v["port"].get<std::string>();
        for (const Scenario::Placement& earlier : out.ports) {
            if (earlier.port == placed.port) return c.Fail(p + ".port", "a port not named before");
        }
        if (v.contains("serial")) {
            // Bytes and control characters, as the library reads DUCTRA_DEVICE.
            ductra::DeviceChoice choice;
            std::string ignored;
            if (ductra::ParseDeviceChoice(("serial=" + v["serial"].get<std::string>()).c_str(),
                                          &choice, &ignored) != 0)
                return c.Fail(p + ".serial", "a USB serial number (1 to 126 printable characters)");
            placed.serial = choice.value;
        }
        placed.scenario = v.value("instrument", Json::object()).dump();
        Scenario check;
        std::string error;
        if (LoadScenario(placed.scenario, check, error) != 0) {
            if (c.error.empty()) c.error = p + ".instrument." + error;
            return false;
        }
        out.ports.push_back(std::move(placed));
    }
    return true;
}

bool ReadScenario(Checker& c, const Json& v, Scenario& out) {
    if (v.contains("usb_device")) out.usbAddress = v["usb_device"] == "handheld" ? 3 : 2;
    if (v.contains("latency_us") &&
        !ReadNumber<uint32_t>(c, v["latency_us"], "latency_us", out.latencyUs, 0, 10000000))
        return false;
    if (v.contains("open_result")) {
        const Json& r = v["open_result"];
        Json list = r.is_array() ? r : Json::array({r});
        for (std::size_t i = 0; i < list.size(); ++i) {
            int32_t result = 0;
            std::string p = r.is_array() ? "open_result[" + std::to_string(i) + "]" : "open_result";
            if (!ReadNumber<int32_t>(c, list[i], p, result, -4, 0) || result == -1)
                return c.Fail(p, "0, -2, -3 or -4");
            out.openResults.push_back(result);
        }
        out.openResultRepeats = !r.is_array();
    }
    if (v.contains("waiting_at_open")) {
        const Json& w = v["waiting_at_open"];
        Json list = w.is_array() ? w : Json::array({w});
        for (std::size_t i = 0; i < list.size(); ++i) {
            std::string p =
                w.is_array() ? "waiting_at_open[" + std::to_string(i) + "]" : "waiting_at_open";
            if (!ReadHex(c, list[i], p, out.waitingAtOpen.emplace_back())) return false;
        }
    }
    const Json devices = v.value("devices", Json::array());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        Device d;
        std::string p = "devices[" + std::to_string(i) + "]";
        if (!ReadDevice(c, devices[i], p, d)) return false;
        if (FindDevice(out, d.address) != nullptr)
            return c.Fail(p + ".address", "a bus address not used by another device");
        out.devices.push_back(std::move(d));
    }
    const Json nexts = v.value("next_instruments", Json::array());
    for (std::size_t i = 0; i < nexts.size(); ++i) {
        Scenario next;
        std::string error;
        if (LoadScenario(nexts[i].dump(), next, error) != 0) {
            if (c.error.empty()) c.error = "next_instruments[" + std::to_string(i) + "]." + error;
            return false;
        }
        out.nextInstruments.push_back(nexts[i].dump());
    }
    if (v.contains("ports") && !ReadPorts(c, v["ports"], out)) return false;
    const Json faults = v.value("faults", Json::array());
    for (std::size_t i = 0; i < faults.size(); ++i) {
        Fault f;
        if (!ReadFault(c, faults[i], "faults[" + std::to_string(i) + "]", f)) return false;
        out.faults.push_back(std::move(f));
    }
    return true;
}

// The scenario file against its schema; the first complaint at the deepest
// field names the field.
bool CheckSchema(Checker& c, const Json& own) {
    std::string field, description;
    if (ductra::CheckJsonSchema(ScenarioSchemaText(), own, "scenario", field, description) == 0) {
        return true;
    }
    return c.Fail(field, "what the scenario schema allows (" + description + ")");
}

// Deeper than any scenario goes (a next instrument's component's setup is
// eight levels down): what lies below is never built, so that neither the
// checks nor the copies below recurse without bound.
constexpr std::size_t MaxNesting = 64;

// Longer than any field needs (1018 bytes as spaced hexadecimal pairs take
// 3054): the schema's patterns are matched by a regular expression engine
// that recurses once per character, so a longer text is refused before it
// can exhaust the stack.
constexpr std::size_t MaxText = 4096;

// One open object or array of the text being parsed: the key last read in
// an object, the number of elements finished in an array.
struct Open {
    bool array = false;
    std::string key;
    std::size_t index = 0;
};

// The field the parser is at, as the checks name it ("faults[0].command").
std::string FieldAt(const std::vector<Open>& open, std::size_t levels) {
    std::string path;
    for (std::size_t i = 0; i < levels && i < open.size(); ++i) {
        if (open[i].array) {
            path += "[" + std::to_string(open[i].index) + "]";
        } else if (!open[i].key.empty()) {
            path += (path.empty() ? "" : ".") + open[i].key;
        }
    }
    return path.empty() ? "scenario" : path;
}

// Parses the text, following where the parser is, so that a number too
// large for a double, nesting past MaxNesting and a text past MaxText are
// refused with their field. Parse errors are the one place the JSON library
// reports by exception.
bool ParseJson(Checker& c, const std::string& text, Json& out) {
    std::vector<Open> open;
    std::string tooDeep;  // the field where nesting passed the bound
    std::string tooLong;  // the first text past MaxText
    const auto follow = [&](int, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (open.size() >= MaxNesting && tooDeep.empty()) {
                    tooDeep = FieldAt(open, 1);
                }
                open.push_back({event == Json::parse_event_t::array_start, {}, 0});
                return open.size() <= MaxNesting;
            case Json::parse_event_t::key:
                if (!open.empty()) open.back().key = parsed.get<std::string>();
                return true;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                if (!open.empty()) open.pop_back();
                break;
            case Json::parse_event_t::value:
                if (parsed.is_string() && parsed.get_ref<const std::string&>().size() > MaxText &&
                    tooLong.empty()) {
                    tooLong = FieldAt(open, open.size());
                }
                break;
        }
        if (!open.empty() && open.back().array) ++open.back().index;
        return true;
    };
    try {
        out = Json::parse(text, follow);
    } catch (const Json::parse_error& e) {
        return c.Fail("JSON text", std::string("valid JSON (") + e.what() + ")");
    } catch (const Json::out_of_range& e) {
        const std::string what = e.what();
        const std::size_t words = what.find("] ");
        return c.Fail(FieldAt(open, open.size()),
                      "a number that fits a double (" +
                          (words == std::string::npos ? what : what.substr(words + 2)) + ")");
    }
    if (!tooDeep.empty()) {
        return c.Fail(tooDeep,
                      "at most " + std::to_string(MaxNesting) + " levels of arrays and objects");
    }
    if (!tooLong.empty()) {
        return c.Fail(tooLong, "a text of at most " + std::to_string(MaxText) + " bytes");
    }
    return true;
}

}  // namespace

int CheckScenarioSchema(const std::string& text, std::string& error) {
    Checker c;
    Json own;
    if (!ParseJson(c, text, own) || !CheckSchema(c, own)) {
        error = c.error;
        return 1;
    }
    return 0;
}

int LoadScenario(const std::string& text, Scenario& scenario, std::string& error) {
    Checker c;
    Json merged;
    if (!ParseJson(c, DefaultScenarioText(), merged)) {
        error = "built-in default: " + c.error;
        return 1;
    }
    Json own;
    if (!text.empty()) {
        if (!ParseJson(c, text, own) || !CheckSchema(c, own)) {
            error = c.error;
            return 1;
        }
        for (auto it = own.begin(); it != own.end(); ++it) merged[it.key()] = it.value();
        // Placed instruments are the instruments: nothing else describes one.
        for (auto it = own.begin(); own.contains("ports") && it != own.end(); ++it) {
            if (it.key() != "ports" && it.key() != "description") {
                error = it.key() +
                        ": expected no instrument beside ports (each placed "
                        "instrument carries its own)";
                return 1;
            }
        }
    }
    Scenario loaded;
    if (!ReadScenario(c, merged, loaded)) {
        error = c.error;
        return 1;
    }
    scenario = std::move(loaded);
    return 0;
}

}  // namespace Sim
