// ductra-probe on Windows: the device paths of the instrument's interface
// class, each opened and bound with WinUSB as the library does, its pipes
// listed, and let go again; when there is none, the USB devices present with
// their ids and the driver service bound to each. Every call goes through
// the library's device-stack table; no pipe is read or written.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "probe/probe_report.h"
#include "usbpipe/backend/ductra_discovery.h"

namespace ductra {

namespace {

std::string Utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) return "";
    const int wide = static_cast<int>(length);
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, wide, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return "";
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, wide, out.data(), size, nullptr, nullptr);
    return out;
}

std::string Utf8(const std::wstring& text) {
    return Utf8(text.c_str(), text.size());
}

// "error 5: Access is denied."
std::string ErrorText(DWORD error) {
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text) / sizeof(text[0]), nullptr);
    while (length > 0 && std::iswspace(text[length - 1])) --length;
    std::string words = "error " + std::to_string(error);
    if (length > 0) words += ": " + Utf8(text, length);
    return words;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" of the class searched for.
std::string ClassText() {
    const GUID& g = DeviceInterfaceGuid();
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool PlaceholderClass() {
    return IsEqualGUID(DeviceInterfaceGuid(), GUID{});
}

// One device of the class as the search found it.
struct FoundPath {
    std::wstring path;
    std::string port;
    std::string serial;
};

bool CollectPath(const FoundInterface& found, void* context) {
    static_cast<std::vector<FoundPath>*>(context)->push_back(
        {std::wstring(found.path, found.length), PortChain(found), SerialNumber(found)});
    return true;
}

const char* PipeTypeText(USBD_PIPE_TYPE type) {
    switch (type) {
        case UsbdPipeTypeControl:
            return "control";
        case UsbdPipeTypeIsochronous:
            return "isochronous";
        case UsbdPipeTypeBulk:
            return "bulk";
        case UsbdPipeTypeInterrupt:
            return "interrupt";
    }
    return "unknown";
}

// The interface's pipes as the library would take them.
Verdict ReportPipes(const InterfacePipes& pipes) {
    if (!pipes.settings_read) {
        Say("  interface: the query fails, %s\n", ErrorText(pipes.error).c_str());
        return Verdict::kNoPipes;
    }
    Say("  interface %u, %u endpoints\n", pipes.interface_number, pipes.endpoints);
    bool in = false;
    bool out = false;
    for (int i = 0; i < pipes.count; ++i) {
        const PipeFacts& pipe = pipes.pipes[i];
        const bool is_in = (pipe.id & 0x80) != 0;
        Say("    pipe 0x%02X: %s %s, %u-byte packets\n", pipe.id, PipeTypeText(pipe.type),
            is_in ? "IN" : "OUT", pipe.packet_size);
        if (pipe.type == UsbdPipeTypeBulk) (is_in ? in : out) = true;
    }
    if (pipes.count < pipes.endpoints) {
        Say("    endpoints that do not answer the query: %d (the last: %s)\n",
            pipes.endpoints - pipes.count, ErrorText(pipes.error).c_str());
    }
    if (!pipes.last_ok) {
        Say("  the last endpoint's query fails, so the library refuses the interface\n");
        return Verdict::kNoPipes;
    }
    if (!in || !out) {
        Say("  no bulk IN and bulk OUT pipe\n");
        return Verdict::kNoPipes;
    }
    return Verdict::kReady;
}

// A device's registry property as text ("" when it has none); a list of
// strings gives its first.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
    wchar_t text[512] = {};
    DWORD type = 0;
    DWORD size = 0;
    if (!ActiveWinPlatform().GetDeviceRegistryProperty(
            set, info, property, &type, reinterpret_cast<PBYTE>(text), sizeof(text), &size)) {
        return "";
    }
    if (size > sizeof(text)) size = sizeof(text);
    return Utf8(text, wcsnlen(text, size / sizeof(wchar_t)));
}

// The driver service of device element `index` of the class's set, the
// element whose interface gave path `index`; "" when it has none.
std::string PathService(DWORD index) {
    const WinPlatform& p = ActiveWinPlatform();
    const GUID& guid = DeviceInterfaceGuid();
    HDEVINFO set = p.GetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return "";
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    std::string service =
        p.EnumDeviceInfo(set, index, &info) ? Property(set, &info, SPDRP_SERVICE) : "";
    p.DestroyDeviceInfoList(set);
    return service;
}

// What one device path showed: its verdict, and when WinUSB did not bind
// it, the driver service Windows runs for it.
struct Examined {
    Verdict verdict;
    bool unbound;
    std::string service;
};

// One device path, opened and bound as the library does, and let go again.
Examined Examine(const std::wstring& path, int number, int total) {
    const WinPlatform& p = ActiveWinPlatform();
    Say("\nDevice path %d of %d: %s\n", number, total, Utf8(path).c_str());
    HANDLE file =
        p.CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        Say("  open: fails, %s\n", ErrorText(error).c_str());
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_DEVICE_NOT_CONNECTED ||
            error == ERROR_DEV_NOT_EXIST) {
            return {Verdict::kGone, false, ""};
        }
        // WinUSB gives a device to one program at a time and refuses the next.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
            error == ERROR_BUSY) {
            Say("  WinUSB lets one program at a time open a device: another program holds it\n");
            return {Verdict::kInUse, false, ""};
        }
        return {Verdict::kNotAccessible, false, ""};
    }
    Say("  open: yes\n");
    Examined seen{Verdict::kNotAccessible, false, ""};
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!p.Initialize(file, &usb)) {
        Say("  WinUSB: does not bind it, %s\n", ErrorText(GetLastError()).c_str());
        seen.unbound = true;
        seen.service = PathService(static_cast<DWORD>(number - 1));
        Say("  driver service: %s\n", seen.service.empty() ? "none" : seen.service.c_str());
    } else {
        Say("  WinUSB: binds it\n");
        InterfacePipes pipes;
        QueryInterfacePipes(usb, &pipes);
        seen.verdict = ReportPipes(pipes);
        p.Free(usb);
    }
    p.CloseHandle(file);
    return seen;
}

// The next step when WinUSB does not bind the device: its driver.
void SayDriverStep(const std::string& service) {
    if (_stricmp(service.c_str(), "WinUSB") == 0) {
        Say("\nNext step: Windows runs WinUSB for this device, yet WinUSB does not bind it: "
            "reinstall the instrument's WinUSB driver (Device Manager, the device, Uninstall "
            "device), plug the instrument in again and run ductra-probe again.\n");
    } else if (service.empty()) {
        Say("\nNext step: Windows runs no driver for this device, so WinUSB does not bind it: "
            "install the instrument's WinUSB driver (Device Manager, the device, Update driver), "
            "plug the instrument in again and run ductra-probe again.\n");
    } else {
        Say("\nNext step: Windows runs the driver %s for this device, not WinUSB: install the "
            "instrument's WinUSB driver in its place (Device Manager, the device, Update driver), "
            "plug the instrument in again and run ductra-probe again.\n",
            service.c_str());
    }
}

// The four hexadecimal digits after `key` in a hardware id, or "".
std::string IdPart(const std::string& hardware_id, const char* key) {
    std::string upper = hardware_id;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const std::size_t at = upper.find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + std::char_traits<char>::length(key);
    std::size_t end = start;
    while (end < upper.size() && end - start < 4 &&
           std::isxdigit(static_cast<unsigned char>(upper[end]))) {
        ++end;
    }
    return end - start >= 2 ? upper.substr(start, end - start) : "";
}

void ListUsbDevices() {
    const WinPlatform& p = ActiveWinPlatform();
    HDEVINFO set = p.GetClassDevs(nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        Say("The list of USB devices cannot be had: %s\n", ErrorText(GetLastError()).c_str());
        return;
    }
    int listed = 0;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof(info);
        if (!p.EnumDeviceInfo(set, i, &info)) break;
        if (listed++ == 0) Say("USB devices present:\n");
        const std::string hardware_id = Property(set, &info, SPDRP_HARDWAREID);
        const std::string vendor = IdPart(hardware_id, "VID_");
        const std::string product = IdPart(hardware_id, "PID_");
        const std::string function = IdPart(hardware_id, "MI_");
        const std::string service = Property(set, &info, SPDRP_SERVICE);
        const std::string description = Property(set, &info, SPDRP_DEVICEDESC);
        std::string id = vendor.empty() || product.empty()
                             ? (hardware_id.empty() ? "(no hardware id)" : hardware_id)
                             : "USB id " + vendor + ":" + product;
        if (!function.empty() && !vendor.empty()) id += " interface " + function;
        Say("  %s, driver service: %s%s\n", id.c_str(), service.empty() ? "none" : service.c_str(),
            description.empty() ? "" : (", \"" + description + "\"").c_str());
    }
    if (listed == 0) Say("USB devices present: none\n");
    p.DestroyDeviceInfoList(set);
}

int NoInstrument() {
    Say("\nNo device offers the interface class %s.\n", ClassText().c_str());
    ListUsbDevices();
    Say("\n");
    if (PlaceholderClass()) {
        Say("Next step: this build looks for the placeholder interface class %s, which no driver "
            "registers: install a build made for the site's driver "
            "(DUCTRA_DEVICE_INTERFACE_GUID).\n",
            ClassText().c_str());
    } else {
        Say("Next step: plug the instrument in and switch it on. If it is listed above with a "
            "driver service other than WinUSB, or none, install its WinUSB driver; if it is "
            "listed with WinUSB, its driver registers another interface class: install the build "
            "made for that class.\n");
    }
    return Conclude(Verdict::kNoInstrument);
}

void Discard(const char*, std::size_t) {}

}  // namespace

int RunProbe(OutputSink sink, ProbeOutput output) {
    // A list is written once every path is looked at; the report of the
    // look goes nowhere.
    const bool listing = output != ProbeOutput::kReport;
    BeginReport(listing ? Discard : sink);
    Say("Looking for: a device of the interface class %s (registered by the instrument's WinUSB "
        "driver) with one bulk IN and one bulk OUT pipe\n",
        ClassText().c_str());
    std::vector<FoundPath> paths;
    const InterfaceSearch search = SearchInterfacePaths(CollectPath, &paths);
    if (listing && search.outcome != SearchOutcome::kComplete) {
        const std::string line = std::string(VerdictText(Verdict::kUsbUnreadable)) + "\n";
        sink(line.data(), line.size());
        return static_cast<int>(Verdict::kUsbUnreadable);
    }
    if (listing) {
        std::vector<ListedInstrument> listed;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const Examined seen =
                Examine(paths[i].path, static_cast<int>(i + 1), static_cast<int>(paths.size()));
            listed.push_back({paths[i].port, paths[i].serial, seen.verdict});
        }
        return WriteInstrumentList(sink, output, listed);
    }
    if (search.outcome != SearchOutcome::kComplete) {
        Say("\nThe list of the class's devices cannot be had: %s\n\nNext step: run ductra-probe "
            "again; if the list stays unreadable, ask the workstation's administrator.\n",
            ErrorText(search.error).c_str());
        return Conclude(Verdict::kUsbUnreadable);
    }
    if (paths.empty()) return NoInstrument();
    Examined last{Verdict::kNoInstrument, false, ""};
    for (std::size_t i = 0; i < paths.size(); ++i) {
        last = Examine(paths[i].path, static_cast<int>(i + 1), static_cast<int>(paths.size()));
    }
    // The library opens the last path found.
    if (paths.size() > 1) Say("\nquillon opens the last of these paths.\n");
    if (last.unbound) {
        SayDriverStep(last.service);
    } else {
        SayNextStep(last.verdict);
    }
    return Conclude(last.verdict);
}

}  // namespace ductra
