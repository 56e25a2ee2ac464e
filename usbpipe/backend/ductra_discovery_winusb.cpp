// How the WinUSB backend recognises the instrument: the device paths of its
// interface class, found through SetupAPI, and the pipes WinUSB reports for
// an interface it has bound. Only looks; every call goes through the current
// device-stack table.
#include <windows.h>

#include <cstddef>
#include <cwchar>
#include <cwctype>
#include <string>

#include "usbpipe/backend/ductra_discovery.h"

namespace ductra {

InterfaceSearch SearchInterfacePaths(PathVisitor visit, void* context) {
    const WinPlatform& p = ActiveWinPlatform();
    const GUID& guid = DeviceInterfaceGuid();
    HDEVINFO set = p.GetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {SearchOutcome::kListFailed, GetLastError()};
    InterfaceSearch search{SearchOutcome::kComplete, 0};
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = nullptr;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof(info);
        if (!p.EnumDeviceInfo(set, i, &info)) {
            search.error = GetLastError();
            break;
        }

        // The interface's member index is the device's own position in the set.
        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof(interface_data);
        if (!p.EnumDeviceInterfaces(set, &info, &guid, i, &interface_data)) {
            search.error = GetLastError();
            if (search.error != ERROR_NO_MORE_ITEMS) search.outcome = SearchOutcome::kEnumFailed;
            break;
        }

        DWORD size = 0;
        BOOL sized = p.GetDeviceInterfaceDetail(set, &interface_data, nullptr, 0, &size, nullptr);
        search.error = GetLastError();
        if (sized || search.error != ERROR_INSUFFICIENT_BUFFER || size == 0) {
            search.outcome = SearchOutcome::kEnumFailed;
            break;
        }

        if (detail != nullptr) LocalFree(detail);
        const DWORD allocated = size;
        detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LPTR, allocated));
        if (detail == nullptr ||
            allocated < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) {
            search.outcome = SearchOutcome::kNoMemory;
            break;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!p.GetDeviceInterfaceDetail(set, &interface_data, detail, allocated, &size, &info)) {
            search.outcome = SearchOutcome::kDetailFailed;
            search.error = GetLastError();
            break;
        }

        // The path ends at its terminator or at the end of the detail buffer,
        // whichever comes first.
        std::size_t room =
            (allocated - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
        const FoundInterface found{detail->DevicePath, wcsnlen(detail->DevicePath, room), set,
                                   &info};
        if (!visit(found, context)) {
            search.outcome = SearchOutcome::kStopped;
            break;
        }
    }
    if (detail != nullptr) LocalFree(detail);
    p.DestroyDeviceInfoList(set);
    return search;
}

std::string PortChain(const FoundInterface& found) {
    // A list of strings: the first is the path through the USB tree,
    // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)".
    wchar_t text[512] = {};
    DWORD type = 0;
    DWORD size = 0;
    if (!ActiveWinPlatform().GetDeviceRegistryProperty(found.set, found.info, SPDRP_LOCATION_PATHS,
                                                       &type, reinterpret_cast<PBYTE>(text),
                                                       sizeof(text) - sizeof(wchar_t), &size)) {
        return "";
    }
    const std::wstring location(text, wcsnlen(text, size / sizeof(wchar_t)));
    std::size_t at = location.find(L"USBROOT(");
    if (at == std::wstring::npos) return "";
    at += 8;
    std::string chain;
    // Reads the number of "(n)" at `at` and moves past it; false when it is none.
    auto number = [&](unsigned long& value) {
        const std::size_t start = at;
        value = 0;
        while (at < location.size() && iswdigit(location[at]) && at - start < 4) {
            value = value * 10 + static_cast<unsigned long>(location[at] - L'0');
            ++at;
        }
        if (at == start || at >= location.size() || location[at] != L')') return false;
        ++at;
        return true;
    };
    unsigned long value = 0;
    if (!number(value)) return "";
    chain = std::to_string(value + 1);
    for (char separator = '-'; location.compare(at, 5, L"#USB(") == 0; separator = '.') {
        at += 5;
        if (!number(value)) return "";
        chain += separator + std::to_string(value);
    }
    return chain.find('-') == std::string::npos ? "" : chain;
}

std::string SerialNumber(const FoundInterface& found) {
    // \\?\usb#vid_xxxx&pid_xxxx#SERIAL#{class}
    const std::wstring path(found.path, found.length);
    const std::size_t first = path.find(L'#');
    const std::size_t second = first == std::wstring::npos ? first : path.find(L'#', first + 1);
    const std::size_t third = second == std::wstring::npos ? second : path.find(L'#', second + 1);
    if (third == std::wstring::npos) return "";
    std::string serial;
    for (std::size_t i = second + 1; i < third; ++i) {
        const wchar_t c = path[i];
        if (c == L'&' || c < 0x20 || c > 0x7E) return "";
        serial += static_cast<char>(std::towupper(c));
    }
    return serial;
}

void QueryInterfacePipes(WINUSB_INTERFACE_HANDLE usb, InterfacePipes* out) {
    const WinPlatform& p = ActiveWinPlatform();
    *out = InterfacePipes{};
    USB_INTERFACE_DESCRIPTOR descriptor{};
    out->settings_read = p.QueryInterfaceSettings(usb, 0, &descriptor) != FALSE;
    out->last_ok = out->settings_read;
    if (!out->settings_read) {
        out->error = GetLastError();
        return;
    }
    out->interface_number = descriptor.bInterfaceNumber;
    out->endpoints = descriptor.bNumEndpoints;
    for (UCHAR index = 0; index < descriptor.bNumEndpoints; ++index) {
        WINUSB_PIPE_INFORMATION pipe{};
        out->last_ok = p.QueryPipe(usb, 0, index, &pipe) != FALSE;
        if (!out->last_ok) {
            out->error = GetLastError();
            continue;
        }
        out->pipes[out->count++] = {index, pipe.PipeType, pipe.PipeId, pipe.MaximumPacketSize};
    }
}

}  // namespace ductra
