// The Windows device stack as ductra sees it: every SetupAPI, WinUSB, file
// and event call of the WinUSB backend goes through this one table, so that
// the library's tests can put a scripted device stack in place of the real
// one. Not exported from ductra.dll.
#pragma once

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

namespace ductra {

struct WinPlatform {
    HDEVINFO(WINAPI* GetClassDevs)
    (const GUID* class_guid, PCWSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* EnumDeviceInfo)(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* EnumDeviceInterfaces)
    (HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* class_guid, DWORD index,
     PSP_DEVICE_INTERFACE_DATA interface_data);
    BOOL(WINAPI* GetDeviceInterfaceDetail)
    (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interface_data,
     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detail_size, PDWORD required_size,
     PSP_DEVINFO_DATA info);
    BOOL(WINAPI* DestroyDeviceInfoList)(HDEVINFO set);
    HANDLE(WINAPI* CreateFile)
    (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
     DWORD flags, HANDLE template_file);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    HANDLE(WINAPI* CreateEvent)
    (LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state, LPCWSTR name);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD milliseconds);
    BOOL(WINAPI* Initialize)(HANDLE device, PWINUSB_INTERFACE_HANDLE usb);
    BOOL(WINAPI* Free)(WINUSB_INTERFACE_HANDLE usb);
    BOOL(WINAPI* QueryInterfaceSettings)
    (WINUSB_INTERFACE_HANDLE usb, UCHAR alternate, PUSB_INTERFACE_DESCRIPTOR descriptor);
    BOOL(WINAPI* QueryPipe)
    (WINUSB_INTERFACE_HANDLE usb, UCHAR alternate, UCHAR pipe_index, PWINUSB_PIPE_INFORMATION pipe);
    BOOL(WINAPI* AbortPipe)(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe_id);
    BOOL(WINAPI* FlushPipe)(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe_id);
    BOOL(WINAPI* WritePipe)
    (WINUSB_INTERFACE_HANDLE usb, UCHAR pipe_id, PUCHAR buffer, ULONG length, PULONG transferred,
     LPOVERLAPPED overlapped);
    BOOL(WINAPI* ReadPipe)
    (WINUSB_INTERFACE_HANDLE usb, UCHAR pipe_id, PUCHAR buffer, ULONG length, PULONG transferred,
     LPOVERLAPPED overlapped);
    BOOL(WINAPI* GetOverlappedResult)
    (WINUSB_INTERFACE_HANDLE usb, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
    // Read by ductra-probe alone: a device's hardware ids, driver service, description.
    BOOL(WINAPI* GetDeviceRegistryProperty)
    (HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
     PDWORD required);
};

// The real SetupAPI, WinUSB and kernel calls.
const WinPlatform& RealWinPlatform();
// Puts `platform` in place of the real stack (nullptr restores it). The
// library must be closed (DuctraClose) before the stack is swapped.
void SetWinPlatform(const WinPlatform* platform);
// The table in use.
const WinPlatform& ActiveWinPlatform();

// The device-interface class searched for, parsed from the build's
// DUCTRA_DEVICE_INTERFACE_GUID.
const GUID& DeviceInterfaceGuid();

// Library state visible to the tests.
HANDLE CurrentDeviceFileHandle();
WINUSB_INTERFACE_HANDLE CurrentWinUsbHandle();
UCHAR CurrentBulkInPipeId();
UCHAR CurrentBulkOutPipeId();

}  // namespace ductra
