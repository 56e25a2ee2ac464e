// ductra-probe's report, the same on every platform: its first line, the
// writer the surveys print through, and the verdict line that ends it.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "probe/probe_report.h"

namespace ductra {

namespace {

OutputSink ReportSink = nullptr;

}  // namespace

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::kReady:
            return "instrument ready";
        case Verdict::kUsbUnreadable:
            return "USB devices cannot be read on this system";
        case Verdict::kNoInstrument:
            return "no instrument with the expected identity";
        case Verdict::kNotAccessible:
            return "instrument found but not accessible";
        case Verdict::kInUse:
            return "instrument found but in use by another program";
        case Verdict::kNoPipes:
            return "instrument found but without its bulk pipes";
        case Verdict::kGone:
            return "instrument left the bus while it was probed";
    }
    return "unknown";
}

namespace {

// A verdict in a list: what the instrument is, in a word or three.
const char* ListedVerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::kReady:
            return "ready";
        case Verdict::kNotAccessible:
            return "not accessible";
        case Verdict::kInUse:
            return "in use";
        case Verdict::kNoPipes:
            return "without bulk pipes";
        case Verdict::kGone:
            return "left the bus";
        default:
            return VerdictText(verdict);
    }
}

// `text` as a JSON string.
std::string JsonText(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

int WriteInstrumentList(OutputSink sink, ProbeOutput output,
                        const std::vector<ListedInstrument>& instruments) {
    ReportSink = sink;
    Verdict worst = instruments.empty() ? Verdict::kNoInstrument : Verdict::kReady;
    for (const ListedInstrument& listed : instruments) {
        if (static_cast<int>(listed.verdict) > static_cast<int>(worst)) worst = listed.verdict;
    }
    if (output == ProbeOutput::kJson) {
        Say("{\"instruments\": [");
        for (std::size_t i = 0; i < instruments.size(); ++i) {
            const ListedInstrument& listed = instruments[i];
            Say("%s\n  {\"port\": %s, \"serial\": %s, \"verdict\": %s, \"code\": %d}",
                i == 0 ? "" : ",", JsonText(listed.port).c_str(), JsonText(listed.serial).c_str(),
                JsonText(ListedVerdictText(listed.verdict)).c_str(),
                static_cast<int>(listed.verdict));
        }
        Say("%s],\n \"verdict\": %s, \"code\": %d}\n", instruments.empty() ? "" : "\n",
            JsonText(VerdictText(worst)).c_str(), static_cast<int>(worst));
        return static_cast<int>(worst);
    }
    for (const ListedInstrument& listed : instruments) {
        Say("port %s, USB serial %s: %s\n", listed.port.c_str(),
            listed.serial.empty() ? "none" : listed.serial.c_str(),
            ListedVerdictText(listed.verdict));
    }
    if (instruments.empty()) Say("%s\n", VerdictText(worst));
    return static_cast<int>(worst);
}

void BeginReport(OutputSink sink) {
    ReportSink = sink;
    Say("ductra-probe %s: the instrument's USB connection as the ductra library sees it\n",
        DUCTRA_PROBE_VERSION);
}

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        ReportSink(text.data(), static_cast<std::size_t>(length));
    }
    va_end(args);
}

void SayNextStep(Verdict verdict) {
    switch (verdict) {
        case Verdict::kReady:
            Say("\nNext step: start quillon.\n");
            break;
        case Verdict::kInUse:
            Say("\nNext step: end the program that holds the instrument (a second quillon?) and "
                "run ductra-probe again.\n");
            break;
        case Verdict::kGone:
            Say("\nNext step: check the cable, plug the instrument in again and run ductra-probe "
                "again.\n");
            break;
        case Verdict::kNoPipes:
            Say("\nNext step: this device has the instrument's identity but not its pipes: it is "
                "another device with the same identity, or the instrument's USB firmware is not "
                "running (switch the instrument off and on again).\n");
            break;
        default:
            Say("\nNext step: end any program that holds the instrument (a second quillon?); if "
                "none does, plug the instrument in again and run ductra-probe again.\n");
            break;
    }
}

int Conclude(Verdict verdict) {
    Say("Verdict: %s (exit code %d)\n", VerdictText(verdict), static_cast<int>(verdict));
    return static_cast<int>(verdict);
}

}  // namespace ductra
