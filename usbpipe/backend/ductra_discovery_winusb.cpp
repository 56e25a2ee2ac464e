// How the WinUSB backend recognises the instrument: the device paths of its
// interface class, found through SetupAPI, and the pipes WinUSB reports for
// an interface it has bound. Only looks; every call goes through the current
// device-stack table.
#include <windows.h>

#include <cstddef>
#include <cwchar>

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
        if (!visit(detail->DevicePath, wcsnlen(detail->DevicePath, room), context)) {
            search.outcome = SearchOutcome::kStopped;
            break;
        }
    }
    if (detail != nullptr) LocalFree(detail);
    p.DestroyDeviceInfoList(set);
    return search;
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
