// Scenario loading: a JSON text laid over the built-in default, checked
// field by field so that a bad file is reported with the field at fault and
// what it should hold, instead of giving a quietly different instrument.
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string_view>

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

std::string Range(int64_t min, int64_t max) {
    return "an integer " + std::to_string(min) + ".." + std::to_string(max);
}

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

// An integer written as a JSON integer or as a decimal or 0x text.
bool ReadInt(Checker& c, const Json& v, const std::string& path, int64_t min, int64_t max,
             int64_t& out) {
    int64_t value = 0;
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(max)) return c.Fail(path, Range(min, max));
        value = static_cast<int64_t>(u);
    } else if (v.is_number_integer()) {
        value = v.get<int64_t>();
    } else if (!v.is_string() || !ParseIntText(v.get_ref<const std::string&>(), value)) {
        return c.Fail(path, Range(min, max));
    }
    if (value < min || value > max) return c.Fail(path, Range(min, max));
    out = value;
    return true;
}

template <typename T>
bool ReadNumber(Checker& c, const Json& v, const std::string& path, T& out,
                int64_t min = std::numeric_limits<T>::min(),
                int64_t max = std::numeric_limits<T>::max()) {
    int64_t value = 0;
    if (!ReadInt(c, v, path, min, max, value)) return false;
    out = static_cast<T>(value);
    return true;
}

bool ReadFloat(Checker& c, const Json& v, const std::string& path, float& out) {
    if (!v.is_number()) return c.Fail(path, "a number");
    out = v.get<float>();
    return true;
}

bool ReadText(Checker& c, const Json& v, const std::string& path, std::string& out) {
    if (!v.is_string() || v.get_ref<const std::string&>().size() > 20)
        return c.Fail(path, "a text of at most 20 bytes");
    out = v.get<std::string>();
    return true;
}

bool ReadTrue(Checker& c, const Json& v, const std::string& path, bool& out) {
    if (!v.is_boolean()) return c.Fail(path, "true or false");
    out = v.get<bool>();
    return true;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool ReadHex(Checker& c, const Json& v, const std::string& path, Bytes& out) {
    const char* expected = "a text of hexadecimal byte pairs, e.g. \"00 0A FF\"";
    if (!v.is_string()) return c.Fail(path, expected);
    const std::string& s = v.get_ref<const std::string&>();
    Bytes bytes;
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= s.size() || HexDigit(s[i]) < 0 || HexDigit(s[i + 1]) < 0)
            return c.Fail(path, expected);
        bytes.push_back(static_cast<uint8_t>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1])));
        i += 2;
    }
    if (bytes.size() > MaxRequestPayload) return c.Fail(path, "at most 1018 bytes");
    out = std::move(bytes);
    return true;
}

// Objects name only keys that exist, so that a misspelt field is caught.
bool CheckObject(Checker& c, const Json& v, const std::string& path,
                 std::initializer_list<const char*> keys) {
    if (!v.is_object()) return c.Fail(path.empty() ? "scenario" : path, "an object");
    for (auto it = v.begin(); it != v.end(); ++it) {
        bool known = false;
        for (const char* k : keys) known = known || it.key() == k;
        if (!known) {
            std::string list;
            for (const char* k : keys) list += (list.empty() ? "" : ", ") + std::string(k);
            return c.Fail(path.empty() ? it.key() : path + "." + it.key(),
                          "one of the keys " + list);
        }
    }
    return true;
}

bool Require(Checker& c, const Json& v, const std::string& path, const char* key,
             const std::string& expected) {
    if (v.contains(key)) return true;
    return c.Fail(path + "." + key, expected + " (missing)");
}

bool ReadWord(Checker& c, const Json& v, const std::string& path, uint32_t& out) {
    if (v.is_number_float()) {
        float f = v.get<float>();
        std::memcpy(&out, &f, sizeof out);
        return true;
    }
    if (!ReadNumber(c, v, path, out))
        return c.Fail(path, "an integer 0..4294967295 or a number with a point");
    return true;
}

bool ReadComponent(Checker& c, const Json& v, const std::string& path, Component& out) {
    if (!CheckObject(c, v, path,
                     {"last_cal_date", "cal_interval", "setups", "calibrations", "last_cal"}))
        return false;
    if (v.contains("last_cal_date") &&
        !ReadNumber(c, v["last_cal_date"], path + ".last_cal_date", out.lastCalDate))
        return false;
    if (v.contains("cal_interval") &&
        !ReadNumber(c, v["cal_interval"], path + ".cal_interval", out.calInterval))
        return false;
    if (v.contains("setups")) {
        const Json& setups = v["setups"];
        std::string p = path + ".setups";
        if (!setups.is_array()) return c.Fail(p, "an array of arrays of input words");
        for (std::size_t i = 0; i < setups.size(); ++i) {
            std::string ps = p + "[" + std::to_string(i) + "]";
            if (!setups[i].is_array()) return c.Fail(ps, "an array of input words");
            std::vector<uint32_t> words;
            for (std::size_t k = 0; k < setups[i].size(); ++k) {
                uint32_t w = 0;
                if (!ReadWord(c, setups[i][k], ps + "[" + std::to_string(k) + "]", w)) return false;
                words.push_back(w);
            }
            out.setups.push_back(std::move(words));
        }
    }
    if (v.contains("calibrations")) {
        const Json& cals = v["calibrations"];
        std::string p = path + ".calibrations";
        if (!cals.is_array()) return c.Fail(p, "an array of arrays of step values");
        for (std::size_t i = 0; i < cals.size(); ++i) {
            std::string pc = p + "[" + std::to_string(i) + "]";
            if (!cals[i].is_array()) return c.Fail(pc, "an array of step values");
            std::vector<float> steps;
            for (std::size_t k = 0; k < cals[i].size(); ++k) {
                float f = 0;
                if (!ReadFloat(c, cals[i][k], pc + "[" + std::to_string(k) + "]", f)) return false;
                steps.push_back(f);
            }
            out.calibrations.push_back(std::move(steps));
        }
    }
    out.lastCal = static_cast<uint8_t>(std::min<std::size_t>(out.calibrations.size(), 255));
    if (v.contains("last_cal") && !ReadNumber(c, v["last_cal"], path + ".last_cal", out.lastCal))
        return false;
    return true;
}

bool ReadFlash(Checker& c, const Json& v, const std::string& path, Flash& out) {
    if (!CheckObject(c, v, path, {"block_size", "enter_wait_ms", "erase_ms", "capacity"}))
        return false;
    if (v.contains("block_size") && !ReadNumber<uint16_t>(c, v["block_size"], path + ".block_size",
                                                          out.blockSize, 1, MaxRequestPayload - 4))
        return false;
    if (v.contains("enter_wait_ms") &&
        !ReadNumber(c, v["enter_wait_ms"], path + ".enter_wait_ms", out.enterWaitMs))
        return false;
    if (v.contains("erase_ms") && !ReadNumber(c, v["erase_ms"], path + ".erase_ms", out.eraseMs))
        return false;
    if (v.contains("capacity") && !ReadNumber(c, v["capacity"], path + ".capacity", out.capacity))
        return false;
    return true;
}

bool ReadBoard(Checker& c, const Json& v, const std::string& path, Board& out) {
    if (!CheckObject(c, v, path,
                     {"board", "family", "model", "version", "mask", "serial", "dob", "dom",
                      "maint_interval", "stabilization", "deven_mask", "battery_range",
                      "components", "flash"}))
        return false;
    for (const char* key : {"board", "family", "model"})
        if (!Require(c, v, path, key, Range(0, 255))) return false;
    if (!Require(c, v, path, "version", Range(0, 65535))) return false;
    if (!ReadNumber(c, v["board"], path + ".board", out.address) ||
        !ReadNumber(c, v["family"], path + ".family", out.family) ||
        !ReadNumber(c, v["model"], path + ".model", out.model) ||
        !ReadNumber(c, v["version"], path + ".version", out.version))
        return false;
    if (v.contains("mask") && !ReadNumber(c, v["mask"], path + ".mask", out.mask)) return false;
    if (v.contains("serial") && !ReadText(c, v["serial"], path + ".serial", out.serial))
        return false;
    if (v.contains("dob") && !ReadNumber(c, v["dob"], path + ".dob", out.dob)) return false;
    if (v.contains("dom") && !ReadNumber(c, v["dom"], path + ".dom", out.dom)) return false;
    if (v.contains("maint_interval") &&
        !ReadNumber(c, v["maint_interval"], path + ".maint_interval", out.maintInterval))
        return false;
    if (v.contains("stabilization") &&
        !ReadNumber(c, v["stabilization"], path + ".stabilization", out.stabilization))
        return false;
    if (v.contains("deven_mask") &&
        !ReadNumber(c, v["deven_mask"], path + ".deven_mask", out.devEnMask))
        return false;
    if (v.contains("battery_range")) {
        const Json& r = v["battery_range"];
        std::string p = path + ".battery_range";
        if (!r.is_array() || r.size() != 2 || !r[0].is_number() || !r[1].is_number())
            return c.Fail(p, "two numbers [lower, upper]");
        out.batteryLow = r[0].get<float>();
        out.batteryHigh = r[1].get<float>();
    }
    if (v.contains("components")) {
        const Json& comps = v["components"];
        if (!comps.is_array() || comps.size() > 255)
            return c.Fail(path + ".components", "an array of at most 255 components");
        for (std::size_t i = 0; i < comps.size(); ++i) {
            Component comp;
            if (!ReadComponent(c, comps[i], path + ".components[" + std::to_string(i) + "]", comp))
                return false;
            out.components.push_back(std::move(comp));
        }
    }
    if (v.contains("flash") && !ReadFlash(c, v["flash"], path + ".flash", out.flash)) return false;
    for (const Component& comp : out.components) {
        bool fits = comp.setups.size() <= 65535 && comp.calibrations.size() <= 255;
        for (const auto& s : comp.setups) fits = fits && s.size() <= 65535;
        for (const auto& k : comp.calibrations) fits = fits && k.size() <= 65535;
        if (!fits) return c.Fail(path + ".components", "counts that fit their fields");
    }
    if (EncodeConfiguration(out, {}).size() > MaxRequestPayload)
        return c.Fail(path, "a configuration record of at most 1018 bytes");
    out.factoryBatteryLow = out.batteryLow;
    out.factoryBatteryHigh = out.batteryHigh;
    return true;
}

bool ReadDevice(Checker& c, const Json& v, const std::string& path, Device& out) {
    if (!CheckObject(c, v, path, {"address", "name", "id_serial", "min_stabilization", "boards"}))
        return false;
    if (!Require(c, v, path, "address", "1, 2 or 3") ||
        !Require(c, v, path, "boards", "an array of boards"))
        return false;
    if (!ReadNumber<uint8_t>(c, v["address"], path + ".address", out.address, 1, 3)) return false;
    if (v.contains("name") && !ReadText(c, v["name"], path + ".name", out.name)) return false;
    if (v.contains("min_stabilization") &&
        !ReadNumber(c, v["min_stabilization"], path + ".min_stabilization", out.minStabilization))
        return false;
    const Json& boards = v["boards"];
    // A device lists at most 17 boards in the answer the console reads.
    if (!boards.is_array() || boards.empty() || boards.size() > 17)
        return c.Fail(path + ".boards", "an array of 1 to 17 boards");
    bool hasMain = false;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        Board b;
        std::string p = path + ".boards[" + std::to_string(i) + "]";
        if (!ReadBoard(c, boards[i], p, b)) return false;
        if (FindBoard(out, b.address) != nullptr)
            return c.Fail(p + ".board", "a board address not used before on this device");
        hasMain = hasMain || b.address == 0;
        out.boards.push_back(std::move(b));
    }
    if (!hasMain) return c.Fail(path + ".boards", "a board 0 (the device's own board)");
    out.idSerial = FindBoard(out, 0)->serial;
    if (v.contains("id_serial") && !ReadText(c, v["id_serial"], path + ".id_serial", out.idSerial))
        return false;
    return true;
}

bool ReadCounts(Checker& c, const Json& v, const std::string& path, CountOverrides& out) {
    if (!CheckObject(
            c, v, path,
            {"devices", "components", "setups", "inputs", "calibrations", "last_cal", "steps"}))
        return false;
    auto read16 = [&](const char* key, std::optional<uint16_t>& into) {
        if (!v.contains(key)) return true;
        uint16_t x = 0;
        if (!ReadNumber(c, v[key], path + "." + key, x)) return false;
        into = x;
        return true;
    };
    auto read8 = [&](const char* key, std::optional<uint8_t>& into) {
        if (!v.contains(key)) return true;
        uint8_t x = 0;
        if (!ReadNumber(c, v[key], path + "." + key, x)) return false;
        into = x;
        return true;
    };
    return read16("devices", out.devices) && read8("components", out.components) &&
           read16("setups", out.setups) && read16("inputs", out.inputs) &&
           read8("calibrations", out.calibrations) && read8("last_cal", out.lastCal) &&
           read16("steps", out.steps);
}

bool ReadFault(Checker& c, const Json& v, const std::string& path, Fault& out) {
    if (!CheckObject(c, v, path,
                     {"address", "command", "board", "occurrence", "times", "status", "timeout",
                      "payload", "counts", "readback_offset", "enter_wait_ms", "block_size",
                      "erase_ms", "bad_crc", "extra", "short", "split", "lose_pipe"}))
        return false;
    auto opt8 = [&](const char* key, std::optional<uint8_t>& into) {
        if (!v.contains(key)) return true;
        uint8_t x = 0;
        if (!ReadNumber(c, v[key], path + "." + key, x)) return false;
        into = x;
        return true;
    };
    auto opt16 = [&](const char* key, std::optional<uint16_t>& into, int64_t max) {
        if (!v.contains(key)) return true;
        uint16_t x = 0;
        if (!ReadNumber<uint16_t>(c, v[key], path + "." + key, x, 0, max)) return false;
        into = x;
        return true;
    };
    auto opt32 = [&](const char* key, std::optional<uint32_t>& into) {
        if (!v.contains(key)) return true;
        uint32_t x = 0;
        if (!ReadNumber<uint32_t>(c, v[key], path + "." + key, x, 0, 65535)) return false;
        into = x;
        return true;
    };
    if (!opt8("address", out.address) || !opt8("command", out.command) ||
        !opt8("board", out.board) || !opt8("status", out.status))
        return false;
    out.times = 0;
    if (v.contains("occurrence")) {
        if (!ReadNumber<uint32_t>(c, v["occurrence"], path + ".occurrence", out.occurrence, 1,
                                  std::numeric_limits<uint32_t>::max()))
            return false;
        out.times = 1;
    }
    if (v.contains("times") && !ReadNumber(c, v["times"], path + ".times", out.times)) return false;
    if (v.contains("timeout") && !ReadTrue(c, v["timeout"], path + ".timeout", out.timeout))
        return false;
    if (v.contains("bad_crc") && !ReadTrue(c, v["bad_crc"], path + ".bad_crc", out.badCrc))
        return false;
    if (v.contains("lose_pipe") && !ReadTrue(c, v["lose_pipe"], path + ".lose_pipe", out.losePipe))
        return false;
    if (v.contains("payload")) {
        Bytes b;
        if (!ReadHex(c, v["payload"], path + ".payload", b)) return false;
        out.payload = std::move(b);
    }
    if (v.contains("extra")) {
        Bytes b;
        if (!ReadHex(c, v["extra"], path + ".extra", b)) return false;
        out.extra = std::move(b);
    }
    if (v.contains("counts") && !ReadCounts(c, v["counts"], path + ".counts", out.counts))
        return false;
    return opt16("readback_offset", out.readbackOffset, MaxRequestPayload - 5) &&
           opt16("enter_wait_ms", out.enterWaitMs, 65535) &&
           opt16("block_size", out.blockSize, 65535) && opt16("erase_ms", out.eraseMs, 65535) &&
           opt32("short", out.shortLength) && opt32("split", out.splitAt);
}

// The keys of a scenario file. "description" is text for people (the
// ready-made scenarios carry one); the instrument ignores it.
const std::initializer_list<const char*> ScenarioKeys = {
    "usb_device",  "latency_us",       "open_result", "waiting_at_open", "devices", "faults",
    "description", "next_instruments", "ports"};

bool ReadScenario(Checker& c, const Json& v, Scenario& out);

// The instruments placed on ports: each a port chain named once, an
// optional USB serial number, and an instrument laid over the default.
bool ReadPorts(Checker& c, const Json& list, Scenario& out) {
    if (!list.is_array() || list.empty()) return c.Fail("ports", "an array of placed instruments");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string p = "ports[" + std::to_string(i) + "]";
        const Json& v = list[i];
        if (!CheckObject(c, v, p, {"port", "serial", "instrument"}) ||
            !Require(c, v, p, "port", "a port such as \"1-4.2\""))
            return false;
        Scenario::Placement placed;
        ductra::DeviceChoice choice;
        std::string ignored;
        const std::string named = v["port"].is_string() ? v["port"].get<std::string>() : "";
        if (ductra::ParseDeviceChoice(("port=" + named).c_str(), &choice, &ignored) != 0 ||
            choice.kind != ductra::ChoiceKind::kPort)
            return c.Fail(p + ".port", "a port such as \"1-4.2\"");
        for (const Scenario::Placement& earlier : out.ports) {
            if (earlier.port == named) return c.Fail(p + ".port", "a port not named before");
        }
        placed.port = named;
        if (v.contains("serial")) {
            if (ductra::ParseDeviceChoice(
                    ("serial=" +
                     (v["serial"].is_string() ? v["serial"].get<std::string>() : std::string()))
                        .c_str(),
                    &choice, &ignored) != 0)
                return c.Fail(p + ".serial", "a USB serial number (1 to 126 printable characters)");
            placed.serial = choice.value;
        }
        const Json instrument = v.contains("instrument") ? v["instrument"] : Json::object();
        if (!instrument.is_object() || instrument.contains("ports"))
            return c.Fail(p + ".instrument", "a scenario without ports");
        Scenario check;
        std::string error;
        if (LoadScenario(instrument.dump(), check, error) != 0) {
            if (c.error.empty()) c.error = p + ".instrument." + error;
            return false;
        }
        placed.scenario = instrument.dump();
        out.ports.push_back(std::move(placed));
    }
    return true;
}

bool ReadScenario(Checker& c, const Json& v, Scenario& out) {
    if (!CheckObject(c, v, "", ScenarioKeys)) return false;
    if (v.contains("description") && !v["description"].is_string())
        return c.Fail("description", "a text");
    if (v.contains("usb_device")) {
        const Json& u = v["usb_device"];
        if (u == "com_module")
            out.usbAddress = 2;
        else if (u == "handheld")
            out.usbAddress = 3;
        else
            return c.Fail("usb_device", "\"com_module\" or \"handheld\"");
    }
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
            Bytes b;
            std::string p =
                w.is_array() ? "waiting_at_open[" + std::to_string(i) + "]" : "waiting_at_open";
            if (!ReadHex(c, list[i], p, b)) return false;
            out.waitingAtOpen.push_back(std::move(b));
        }
    }
    if (!v.contains("devices") || !v["devices"].is_array())
        return c.Fail("devices", "an array of devices");
    for (std::size_t i = 0; i < v["devices"].size(); ++i) {
        Device d;
        std::string p = "devices[" + std::to_string(i) + "]";
        if (!ReadDevice(c, v["devices"][i], p, d)) return false;
        if (FindDevice(out, d.address) != nullptr)
            return c.Fail(p + ".address", "a bus address not used by another device");
        out.devices.push_back(std::move(d));
    }
    if (v.contains("next_instruments")) {
        const Json& list = v["next_instruments"];
        if (!list.is_array()) return c.Fail("next_instruments", "an array of scenarios");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string p = "next_instruments[" + std::to_string(i) + "]";
            if (!list[i].is_object() || list[i].contains("next_instruments"))
                return c.Fail(p, "a scenario without next_instruments");
            Scenario next;
            std::string error;
            if (LoadScenario(list[i].dump(), next, error) != 0) {
                if (c.error.empty()) c.error = p + "." + error;
                return false;
            }
            out.nextInstruments.push_back(list[i].dump());
        }
    }
    if (v.contains("ports") && !ReadPorts(c, v["ports"], out)) return false;
    if (v.contains("faults")) {
        if (!v["faults"].is_array()) return c.Fail("faults", "an array of faults");
        for (std::size_t i = 0; i < v["faults"].size(); ++i) {
            Fault f;
            if (!ReadFault(c, v["faults"][i], "faults[" + std::to_string(i) + "]", f)) return false;
            out.faults.push_back(std::move(f));
        }
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
// large for a double and nesting past MaxNesting are refused with their
// field. Parse errors are the one place the JSON library reports by
// exception.
bool ParseJson(Checker& c, const std::string& text, Json& out) {
    std::vector<Open> open;
    std::string tooDeep;  // the field where nesting passed the bound
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
        if (!ParseJson(c, text, own) || !CheckObject(c, own, "", ScenarioKeys)) {
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
    if (!ReadScenario(c, merged, loaded) || (!text.empty() && !CheckSchema(c, own))) {
        error = c.error;
        return 1;
    }
    scenario = std::move(loaded);
    return 0;
}

}  // namespace Sim
