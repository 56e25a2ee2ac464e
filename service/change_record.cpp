// The words of the service record: the requests of the board commands that
// change a board, read back from their payloads as the commands build them.
#include "service/change_record.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "link/frame.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "protocol/time_format.h"
#include "service/service.h"

namespace {

// A zero-padded text field, quoted; bytes outside printable ASCII as \xNN.
std::string QuotedField(std::span<const uint8_t> field) {
    std::string text = "\"";
    for (uint8_t c : field) {
        if (c == 0) break;
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text + "\"";
}

// A device time as its value and as the console shows a date, in UTC.
std::string DeviceTimeWords(uint32_t seconds) {
    char date[TimestampTextSize];
    FormatTimestamp(Calendar, seconds, date);
    return std::to_string(seconds) + " = " + date + " UTC";
}

std::string IntervalWords(uint32_t seconds) {
    char text[IntervalTextSize];
    FormatInterval(seconds, text, sizeof text);
    std::string words = std::to_string(seconds) + " s = " + text;
    if (!words.empty() && words.back() == ' ') words.pop_back();
    return words;
}

std::string Trimmed(const char* text) {
    std::string words = text != nullptr ? text : "";
    while (!words.empty() && words.front() == ' ') words.erase(words.begin());
    while (!words.empty() && words.back() == ' ') words.pop_back();
    return words;
}

std::string ShortPayload(const char* what, std::size_t size) {
    return std::string(what) + " (payload too short: " + std::to_string(size) + " bytes)";
}

std::string ResetWords(std::span<const uint8_t> payload) {
    if (payload.size() < 2) return ShortPayload("reset", payload.size());
    switch (payload[1]) {
        case 0:
            return "reset, soft (level 0)";
        case 1:
            return "reset, factory (level 1)";
        default:
            return "reset, level " + std::to_string(payload[1]);
    }
}

std::string SettingWords(std::span<const uint8_t> payload) {
    if (payload.size() < 8) return ShortPayload("setting", payload.size());
    const uint8_t setting = payload[2];
    const uint32_t first = ReadLe32(payload.data() + 4);
    if (setting == SettingFluorometerType) {
        const std::string name =
            first <= 0xFF ? Trimmed(CatalogueName(FamilyFluorometer, static_cast<uint8_t>(first)))
                          : std::string();
        return "fluorometer type " + std::to_string(first) +
               (name.empty() ? "" : " (" + name + ")");
    }
    if (setting == SettingBatteryRange) {
        if (payload.size() < 12) return ShortPayload("battery range", payload.size());
        char text[96];
        std::snprintf(text, sizeof text, "battery range %.2f to %.2f",
                      static_cast<double>(std::bit_cast<float>(first)),
                      static_cast<double>(std::bit_cast<float>(ReadLe32(payload.data() + 8))));
        return text;
    }
    return "setting " + std::to_string(setting) + " = " + std::to_string(first);
}

std::string OperationWords(std::span<const uint8_t> payload) {
    if (payload.size() < 4) return ShortPayload("board operation", payload.size());
    const uint16_t selector = ReadLe16(payload.data() + 2);
    if (selector == SelectorClearCalibrationLog) return "calibration-log clear";
    if (selector == SelectorFormatLogMedia) return "log-media format";
    char text[40];
    std::snprintf(text, sizeof text, "board operation 0x%04X", selector);
    return text;
}

}  // namespace

bool DescribeBoardChange(uint8_t command, std::span<const uint8_t> payload, std::string& words) {
    switch (command) {
        case Command::BoardReset:
            words = ResetWords(payload);
            return true;
        case Command::IdStringWrite:
            words = payload.size() < 2 * SerialFieldSize
                        ? ShortPayload("identification", payload.size())
                        : "identification " + QuotedField(payload.first(SerialFieldSize)) +
                              ", serial number " +
                              QuotedField(payload.subspan(SerialFieldSize, SerialFieldSize));
            return true;
        case Command::SetSerialNumber:
            words = payload.size() < 2
                        ? ShortPayload("serial number", payload.size())
                        : "serial number " + QuotedField(payload.subspan(2).first(
                                                 std::min(payload.size() - 2, SerialFieldSize)));
            return true;
        case Command::SetBuildDate:
            words = payload.size() < 6
                        ? ShortPayload("build date", payload.size())
                        : "build date " + DeviceTimeWords(ReadLe32(payload.data() + 2));
            return true;
        case Command::SetMaintenance:
            words = payload.size() < 10
                        ? ShortPayload("maintenance date", payload.size())
                        : "maintenance date " + DeviceTimeWords(ReadLe32(payload.data() + 2)) +
                              ", interval " + IntervalWords(ReadLe32(payload.data() + 6));
            return true;
        case Command::SettingWrite:
            words = SettingWords(payload);
            return true;
        case Command::BoardOperation:
            words = OperationWords(payload);
            return true;
        default:
            return false;
    }
}
