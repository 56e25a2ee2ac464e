// Reading a job: the JSON text, the schema's verdict (its
// first failure at the deepest field, named as the job spells the field),
// then the rules the schema cannot say (which menus offer an operation for
// which board) and the image paths.
#include "station/job.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "usbpipe/trace/json_schema.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// The schema's first complaint at the deepest field; 0 when it has none.
int CheckAgainstSchema(const Json& document, std::string& error) {
    std::string field, description;
    if (ductra::CheckJsonSchema(JobSchemaText(), document, "the job", field, description) == 0) {
        return 0;
    }
    error = field + ": " + description;
    return 1;
}

int Fail(std::string& error, std::size_t index, const char* field, const std::string& why) {
    error = "operations[" + std::to_string(index) + "]." + field + ": " + why;
    return 1;
}

JobDevice DeviceOf(const Json& op) {
    const std::string name = op.value("device", "sonde");
    if (name == "handheld") return JobDevice::Handheld;
    if (name == "com-module") return JobDevice::ComModule;
    return JobDevice::Sonde;
}

OperationKind KindOf(const std::string& name) {
    static const std::pair<const char*, OperationKind> Kinds[] = {
        {"list", OperationKind::List},
        {"report", OperationKind::Report},
        {"serial", OperationKind::Serial},
        {"dates", OperationKind::Dates},
        {"reset", OperationKind::Reset},
        {"clear-log", OperationKind::ClearLog},
        {"format-log-media", OperationKind::FormatLogMedia},
        {"setting", OperationKind::Setting},
        {"download", OperationKind::Download},
    };
    for (const auto& [text, kind] : Kinds) {
        if (name == text) return kind;
    }
    return OperationKind::List;
}

// The operation as the menus can serve it: the handheld and the
// communications module have one board (0), and only the sonde's menus
// offer the maintenance date, settings and downloads.
int TakeOperation(const Json& op, std::size_t index, const fs::path& base, JobOperation& out,
                  std::string& error) {
    out.name = op.at("op").get<std::string>();
    out.kind = KindOf(out.name);
    out.device = DeviceOf(op);
    out.board = op.value("board", 0);
    if (out.device != JobDevice::Sonde && out.board != 0) {
        return Fail(error, index, "board",
                    std::string("the ") + DeviceName(out.device) + " has board 0 only");
    }
    if (op.contains("expect")) {
        const Json& expect = op["expect"];
        out.expectType = expect.value("type", "");
        out.expectFamily = expect.value("family", -1);
        out.expectModel = expect.value("model", -1);
    }
    if (op.contains("from_versions")) {
        out.fromVersions = op["from_versions"].get<std::vector<std::string>>();
    }
    if ((op.contains("expect") || op.contains("from_versions")) &&
        (out.device != JobDevice::Sonde || out.kind == OperationKind::List)) {
        return Fail(error, index, op.contains("expect") ? "expect" : "from_versions",
                    "only an operation on a sonde's board can name what it expects of it");
    }
    switch (out.kind) {
        case OperationKind::Serial:
            out.serial = op.value("serial", "");
            out.nextSerial = op.value("next", false);
            break;
        case OperationKind::Dates:
            out.build = op.value("build", true);
            out.maintenance = op.value("maintenance", out.device == JobDevice::Sonde);
            out.intervalDays = op.value("interval_days", 0);
            if (out.maintenance && out.device != JobDevice::Sonde) {
                return Fail(error, index, "maintenance",
                            std::string("the ") + DeviceName(out.device) +
                                "'s menu sets no maintenance date");
            }
            if (op.contains("interval_days") && (out.board == 0 || !out.maintenance)) {
                return Fail(error, index, "interval_days",
                            "only a sensor board's maintenance date takes an interval");
            }
            // Without it the console would be answered 0, writing an interval
            // of none over the board's own.
            if (out.maintenance && out.board != 0 && out.device == JobDevice::Sonde &&
                !op.contains("interval_days")) {
                return Fail(error, index, "interval_days",
                            "a sensor board's maintenance date needs its interval");
            }
            if (!out.build && !out.maintenance) {
                return Fail(error, index, "build", "neither date is to be set");
            }
            break;
        case OperationKind::Reset:
            out.level = op.at("level").get<int>();
            break;
        case OperationKind::Setting:
            out.fluorometer = op.value("fluorometer", 0);
            if (op.contains("battery")) out.battery = op["battery"] == "ibp" ? 2 : 1;
            if (out.board == 0 && out.fluorometer != 0) {
                return Fail(error, index, "fluorometer", "the main board has no fluorometer type");
            }
            if (out.board != 0 && out.battery != 0) {
                return Fail(error, index, "battery", "a sensor board has no battery range");
            }
            if (out.board != 0 && out.fluorometer == 0) {
                return Fail(error, index, "fluorometer", "a sensor board's setting needs the type");
            }
            break;
        case OperationKind::Download: {
            const fs::path image = fs::u8path(op.at("image").get<std::string>());
            out.image = (image.is_absolute() ? image : base / image).lexically_normal().string();
            out.imageSha256 = op.value("sha256", "");
            break;
        }
        case OperationKind::List:
            out.board = 0;
            break;
        default:
            break;
    }
    return 0;
}

int TakeJob(const Json& document, const fs::path& base, Job& job, std::string& error) {
    if (CheckAgainstSchema(document, error) != 0) return 1;
    if (document.contains("labels")) job.labels = document["labels"];
    const Json& operations = document.at("operations");
    for (std::size_t i = 0; i < operations.size(); ++i) {
        JobOperation op;
        if (TakeOperation(operations[i], i, base, op, error) != 0) return 1;
        job.needsSerial = job.needsSerial || op.nextSerial;
        job.operations.push_back(std::move(op));
    }
    return 0;
}

// Parse errors are the one place the JSON library reports by exception
// (invalid UTF-8, a number too large for a double, too deep a nesting).
int ParseJson(const std::string& text, Json& document, std::string& error) {
    try {
        document = Json::parse(text);
    } catch (const Json::exception& e) {
        error = std::string("not JSON: ") + e.what();
        return 1;
    }
    return 0;
}

// Whether the text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF), as a job file's JSON must be.
bool IsUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
        }
        i += length;
    }
    return true;
}

int TakeJobText(const std::string& text, const fs::path& base, Job& job, std::string& error) {
    Json document;
    if (ParseJson(text, document, error) != 0) return 1;
    return TakeJob(document, base, job, error);
}

}  // namespace

const char* DeviceName(JobDevice device) {
    switch (device) {
        case JobDevice::ComModule:
            return "com-module";
        case JobDevice::Handheld:
            return "handheld";
        default:
            return "sonde";
    }
}

int LoadJobFile(const std::string& path, Job& job, std::string& error) {
    job = Job{};
    job.source = path;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        error = std::string("cannot be read: ") + std::strerror(errno);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    return TakeJobText(text.str(), fs::absolute(fs::u8path(path)).parent_path(), job, error);
}

int LoadJobText(const std::string& text, const std::string& source, const std::string& folder,
                Job& job, std::string& error) {
    job = Job{};
    job.source = source;
    return TakeJobText(text, fs::u8path(folder), job, error);
}

int JobFromArguments(const std::vector<std::string>& arguments, Job& job, std::string& error) {
    job = Job{};
    job.source = "command line";
    // The schema judges text, as in a job file: bytes that are not UTF-8
    // are refused first, naming the option whose value they are.
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (IsUtf8(arguments[i])) continue;
        const std::string& before = i > 0 ? arguments[i - 1] : std::string();
        const bool value = before.rfind("--", 0) == 0 && before != "--next" && IsUtf8(before);
        error = value ? before + ": the value is not UTF-8 text"
                      : "argument " + std::to_string(i + 1) + " is not UTF-8 text";
        return 1;
    }
    Json op = Json::object();
    op["op"] = arguments.empty() ? "" : arguments[0];
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option.rfind("--", 0) != 0 || option.size() < 3) {
            error = "\"" + option + "\": expected an option --NAME";
            return 1;
        }
        std::string name = option.substr(2);
        for (char& c : name) {
            if (c == '-') c = '_';
        }
        if (name == "next") {
            op[name] = true;
            continue;
        }
        if (i + 1 == arguments.size()) {
            error = option + ": expected a value";
            return 1;
        }
        const std::string& value = arguments[++i];
        // Whole numbers are numbers, true and false are truth values, the
        // rest is text: the schema then judges them as in a job file.
        if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos &&
            value.size() < 10) {
            op[name] = std::stoi(value);
        } else if (value == "true" || value == "false") {
            op[name] = value == "true";
        } else {
            op[name] = value;
        }
    }
    Json document = {{"operations", Json::array({op})}};
    return TakeJob(document, fs::current_path(), job, error);
}
