// ductra on Windows: finds the instrument's device interface through SetupAPI,
// binds it with WinUSB and moves bytes over its two bulk pipes.
//
// Transfers left behind by a time-out. WinUSB completes an overlapped read or
// write whenever the device gets round to it, possibly long after the call
// that started it has returned -1. The caller's buffer must never be written
// (or read) then: the program decodes that buffer after the call. So every
// transfer runs in a context owned by the library (its event, its OVERLAPPED
// record, its own byte buffer); bytes reach the caller only when the transfer
// has completed inside a call. A context whose wait ran out stays alive, still
// owned by the library, until it completes:
//  - the next DuctraReceive waits on the read that is already under way rather
//    than queueing a second one behind it, and delivers its bytes;
//  - the next DuctraSend aborts both pipes (which completes every pending
//    transfer) and collects them with WinUsb_GetOverlappedResult(wait), so the
//    contexts can be reused; their bytes are discarded like everything else a
//    send throws away;
//  - DuctraClose does the same before it releases the device.
#include <windows.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "usbpipe/backend/ductra_discovery.h"
#include "usbpipe/backend/ductra_winusb_platform.h"
#include "usbpipe/ductra_internal.h"

namespace ductra {

namespace {

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" parsed at compile time, so that a
// malformed build setting stops the build instead of searching for nothing.
struct ParsedGuid {
    GUID value;
    bool ok;
};

constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr ParsedGuid ParseGuid(const char* text) {
    ParsedGuid parsed{{}, false};
    constexpr int kLength = 38;
    for (int i = 0; i < kLength; ++i) {
        if (text[i] == '\0') return parsed;
    }
    if (text[kLength] != '\0' || text[0] != '{' || text[37] != '}') return parsed;
    if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return parsed;
    // Reads `digits` hex digits starting at `at`.
    auto hex = [&](int at, int digits, unsigned long long& out) {
        out = 0;
        for (int i = 0; i < digits; ++i) {
            int d = HexDigit(text[at + i]);
            if (d < 0) return false;
            out = out * 16 + static_cast<unsigned>(d);
        }
        return true;
    };
    unsigned long long v = 0;
    if (!hex(1, 8, v)) return parsed;
    parsed.value.Data1 = static_cast<unsigned long>(v);
    if (!hex(10, 4, v)) return parsed;
    parsed.value.Data2 = static_cast<unsigned short>(v);
    if (!hex(15, 4, v)) return parsed;
    parsed.value.Data3 = static_cast<unsigned short>(v);
    constexpr int kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hex(kByteAt[i], 2, v)) return parsed;
        parsed.value.Data4[i] = static_cast<unsigned char>(v);
    }
    parsed.ok = true;
    return parsed;
}

constexpr ParsedGuid kInterfaceGuid = ParseGuid(DUCTRA_DEVICE_INTERFACE_GUID_TEXT);
static_assert(kInterfaceGuid.ok,
              "DUCTRA_DEVICE_INTERFACE_GUID must read {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}");

HDEVINFO WINAPI RealGetClassDevs(const GUID* class_guid, PCWSTR enumerator, HWND parent,
                                 DWORD flags) {
    return SetupDiGetClassDevsW(class_guid, enumerator, parent, flags);
}

BOOL WINAPI RealEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* class_guid,
                                     DWORD index, PSP_DEVICE_INTERFACE_DATA interface_data) {
    return SetupDiEnumDeviceInterfaces(set, info, class_guid, index, interface_data);
}

const WinPlatform kRealPlatform = {
    RealGetClassDevs,
    SetupDiEnumDeviceInfo,
    RealEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailW,
    SetupDiDestroyDeviceInfoList,
    CreateFileW,
    ::CloseHandle,
    CreateEventW,
    ::WaitForSingleObject,
    WinUsb_Initialize,
    WinUsb_Free,
    WinUsb_QueryInterfaceSettings,
    WinUsb_QueryPipe,
    WinUsb_AbortPipe,
    WinUsb_FlushPipe,
    WinUsb_WritePipe,
    WinUsb_ReadPipe,
    WinUsb_GetOverlappedResult,
    SetupDiGetDeviceRegistryPropertyW,
};

const WinPlatform* Platform = &kRealPlatform;

const WinPlatform& P() {
    return *Platform;
}

WINUSB_INTERFACE_HANDLE NoInterface() {
    return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(static_cast<intptr_t>(-1));
}

// Library state: one device at a time.
HANDLE DeviceFileHandle = INVALID_HANDLE_VALUE;
WINUSB_INTERFACE_HANDLE WinUsbHandle = NoInterface();
UCHAR BulkInPipeId = 0;
UCHAR BulkOutPipeId = 0;

// One overlapped transfer, owned by the library (see the top of the file).
struct Transfer {
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    ULONG transferred = 0;
    std::vector<uint8_t> buffer;
    bool pending = false;  // started, completion not yet collected
};

Transfer ReadTransfer;
Transfer WriteTransfer;
// Bytes of a completed late read that did not fit the receive that collected it.
std::vector<uint8_t> ReadCarry;

// Starts a transfer in `t` with a fresh event; false when no event can be had.
bool Begin(Transfer& t, HANDLE event) {
    t.event = event;
    t.overlapped = OVERLAPPED{};
    t.overlapped.hEvent = event;
    t.transferred = 0;
    t.pending = true;
    return true;
}

// Ends a transfer whose completion has been collected (or that never started).
void End(Transfer& t) {
    if (t.event != nullptr) P().CloseHandle(t.event);
    t.event = nullptr;
    t.pending = false;
}

// Collects a transfer that an abort has completed, so that nothing refers to
// its context any more.
void Collect(Transfer& t) {
    if (!t.pending) return;
    DWORD ignored = 0;
    P().GetOverlappedResult(WinUsbHandle, &t.overlapped, &ignored, TRUE);
    End(t);
}

// Aborts `pipe` and collects the transfer pending on it.
void AbortAndCollect(Transfer& t, UCHAR pipe) {
    if (!t.pending) return;
    P().AbortPipe(WinUsbHandle, pipe);
    Collect(t);
}

DWORD WaitMilliseconds(int64_t ms) {
    if (ms < 0) return 0;
    if (ms >= static_cast<int64_t>(INFINITE)) return INFINITE - 1;
    return static_cast<DWORD>(ms);
}

// The search for the chosen instrument: the path kept, and the choice.
struct PathSearch {
    PWSTR path = nullptr;
    const DeviceChoice* choice = nullptr;
};

// True when the device found is the one `choice` names. Windows keeps the
// serial number in upper case, so a serial is compared without case.
bool Chosen(const FoundInterface& found, const DeviceChoice& choice) {
    switch (choice.kind) {
        case ChoiceKind::kAny:
            return true;
        case ChoiceKind::kPort:
            return PortChain(found) == choice.value;
        case ChoiceKind::kSerial: {
            std::string wanted = choice.value;
            for (char& c : wanted)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return SerialNumber(found) == wanted;
        }
    }
    return false;
}

// Keeps the last device path the search finds (a later one replaces an
// earlier one) of the chosen instrument, and reports each kept.
bool KeepPath(const FoundInterface& found, void* context) {
    PathSearch& search = *static_cast<PathSearch*>(context);
    if (!Chosen(found, *search.choice)) return true;
    const std::size_t length = found.length;
    PWSTR& path = search.path;
    if (path != nullptr) LocalFree(path);
    path = static_cast<PWSTR>(LocalAlloc(LPTR, (length + 1) * sizeof(WCHAR)));
    if (path == nullptr) {
        Message("Error allocating memory for the device detail buffer.\n");
        return false;
    }
    std::memcpy(path, found.path, length * sizeof(WCHAR));
    Message("Device path:  %ls\n", path);
    return true;
}

// Looks for the instrument's device path and opens it into DeviceFileHandle.
// Fails only when the list of present devices cannot be had; on success the
// handle may still be invalid, which means no device was opened.
bool FindDevicePath(const DeviceChoice& choice) {
    PathSearch kept;
    kept.choice = &choice;
    const InterfaceSearch search = SearchInterfacePaths(KeepPath, &kept);
    PWSTR path = kept.path;
    switch (search.outcome) {
        case SearchOutcome::kListFailed:
            Message("Error SetupDiGetClassDevs: %d.\n", static_cast<int>(search.error));
            return false;
        case SearchOutcome::kEnumFailed:
            Message("Error SetupDiEnumDeviceInterfaces: %d.\n", static_cast<int>(search.error));
            break;
        case SearchOutcome::kNoMemory:
            Message("Error allocating memory for the device detail buffer.\n");
            break;
        case SearchOutcome::kDetailFailed:
            Message("Error SetupDiGetDeviceInterfaceDetail: %d.\n", static_cast<int>(search.error));
            break;
        case SearchOutcome::kStopped:
            break;
        case SearchOutcome::kComplete:
            if (path != nullptr) {
                DeviceFileHandle = P().CreateFile(path, GENERIC_READ | GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            }
            if (path == nullptr) {
                // With nothing attached this is the platform's "no more items", 259.
                Message("Error %d.", static_cast<int>(search.error));
            } else if (DeviceFileHandle == INVALID_HANDLE_VALUE) {
                Message("Error %d.", static_cast<int>(GetLastError()));
            }
            break;
    }
    if (path != nullptr) LocalFree(path);
    return true;
}

// Lists the endpoints of alternate setting 0 and keeps the bulk pipe IDs. It
// fails when the last query made fails, and when the interface lacks a bulk
// IN or a bulk OUT pipe: every exchange needs both, so such an interface is
// refused at the open (as ductra-probe reports it) rather than at the first
// transfer. The pipe IDs are always this interface's own.
bool QueryPipes() {
    BulkInPipeId = 0;
    BulkOutPipeId = 0;
    if (WinUsbHandle == NoInterface()) return false;
    InterfacePipes found;
    QueryInterfacePipes(WinUsbHandle, &found);
    for (int i = 0; i < found.count; ++i) {
        const PipeFacts& pipe = found.pipes[i];
        const int index = pipe.index;
        switch (pipe.type) {
            case UsbdPipeTypeControl:
                Message("Endpoint index: %d Pipe type: Control Pipe ID: %d.\n", index, pipe.id);
                break;
            case UsbdPipeTypeIsochronous:
                Message("Endpoint index: %d Pipe type: Isochronous Pipe ID: %d.\n", index, pipe.id);
                break;
            case UsbdPipeTypeBulk:
                Message("Endpoint index: %d Pipe type: Bulk Pipe ID: %c.\n", index, pipe.id);
                if ((pipe.id & 0x80) != 0) {
                    BulkInPipeId = pipe.id;
                } else {
                    BulkOutPipeId = pipe.id;
                }
                break;
            case UsbdPipeTypeInterrupt:
                Message("Endpoint index: %d Pipe type: Interrupt Pipe ID: %d.\n", index, pipe.id);
                break;
        }
    }
    return found.last_ok && BulkInPipeId != 0 && BulkOutPipeId != 0;
}

void CloseDeviceFile() {
    if (DeviceFileHandle != INVALID_HANDLE_VALUE) {
        P().CloseHandle(DeviceFileHandle);
        DeviceFileHandle = INVALID_HANDLE_VALUE;
    }
}

void FreeInterface() {
    if (WinUsbHandle != NoInterface()) {
        P().Free(WinUsbHandle);
        WinUsbHandle = NoInterface();
    }
}

void HexDump(const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Message("%.2X ", bytes[i]);
    Message("\n");
}

// Hands `count` bytes of a completed read to the caller.
int32_t Deliver(const uint8_t* bytes, std::size_t available, int32_t capacity, uint32_t* count) {
    std::size_t take = available;
    if (take > static_cast<std::size_t>(capacity)) take = static_cast<std::size_t>(capacity);
    std::vector<uint8_t> rest(bytes + take, bytes + available);
    *count = static_cast<uint32_t>(take);
    Message("DuctraReceive state: Read %li bytes\r\n", static_cast<long>(take));
    HexDump(bytes, take);
    ReadCarry = std::move(rest);
    return DUCTRA_RESPONSE_SUCCESS;
}

}  // namespace

const WinPlatform& RealWinPlatform() {
    return kRealPlatform;
}
const WinPlatform& ActiveWinPlatform() {
    return *Platform;
}
void SetWinPlatform(const WinPlatform* platform) {
    Platform = platform != nullptr ? platform : &kRealPlatform;
}
const GUID& DeviceInterfaceGuid() {
    return kInterfaceGuid.value;
}
HANDLE CurrentDeviceFileHandle() {
    return DeviceFileHandle;
}
WINUSB_INTERFACE_HANDLE CurrentWinUsbHandle() {
    return WinUsbHandle;
}
UCHAR CurrentBulkInPipeId() {
    return BulkInPipeId;
}
UCHAR CurrentBulkOutPipeId() {
    return BulkOutPipeId;
}

}  // namespace ductra

using namespace ductra;

namespace ductra {

int32_t PipeOpen(const DeviceChoice& choice) {
    // The program closes before it reopens; an open pipe is released anyway
    // so that nothing leaks if it does not.
    PipeClose();
    if (!FindDevicePath(choice)) {
        PipeClose();
        Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
        return DUCTRA_RESPONSE_DEVICE_LIST_FAILED;
    }
    if (DeviceFileHandle == INVALID_HANDLE_VALUE) {
        FreeInterface();
        Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
        return DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
    }
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!P().Initialize(DeviceFileHandle, &usb)) {
        Message("WinUsb_Initialize Error %d.", static_cast<int>(GetLastError()));
        CloseDeviceFile();
        FreeInterface();
        Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
        return DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
    }
    WinUsbHandle = usb;
    if (!QueryPipes()) {
        CloseDeviceFile();
        FreeInterface();
        Message("DuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\n");
        return DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND;
    }
    Message("DuctraOpen success\r\n");
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t PipeSend(uint8_t* buffer, uint32_t length, int32_t timeout) {
    if (WinUsbHandle == NoInterface() || BulkOutPipeId == 0 || buffer == nullptr) {
        Message("DuctraSend Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    HANDLE event = P().CreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        Message("DuctraSend Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    // Throw away whatever an earlier exchange left pending or buffered in
    // either direction; the abort completes late transfers, which are then
    // collected so that their contexts are free again.
    P().AbortPipe(WinUsbHandle, BulkOutPipeId);
    P().FlushPipe(WinUsbHandle, BulkOutPipeId);
    if (BulkInPipeId != 0) {
        P().AbortPipe(WinUsbHandle, BulkInPipeId);
        P().FlushPipe(WinUsbHandle, BulkInPipeId);
    }
    Collect(WriteTransfer);
    Collect(ReadTransfer);
    ReadCarry.clear();

    // The frame is copied so that a write outliving this call never reads a
    // buffer the caller has reused.
    Transfer& t = WriteTransfer;
    t.buffer.assign(buffer, buffer + length);
    if (t.buffer.empty()) t.buffer.push_back(0);
    Begin(t, event);
    if (!P().WritePipe(WinUsbHandle, BulkOutPipeId, t.buffer.data(), length, &t.transferred,
                       &t.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        // Refused outright: nothing is under way, so nothing will signal.
        End(t);
    }
    Message("DuctraSend status: %li bytes copied into pipe\r\n", static_cast<long>(length));

    if (t.pending && P().WaitForSingleObject(t.event, WaitMilliseconds(int64_t{timeout} + 200)) ==
                         WAIT_OBJECT_0) {
        DWORD sent = 0;
        P().GetOverlappedResult(WinUsbHandle, &t.overlapped, &sent, FALSE);
        End(t);
        Message("DuctraSend status: %li bytes send \r\n", static_cast<long>(sent));
        if (sent >= length) return DUCTRA_RESPONSE_SUCCESS;
    }
    Message("DuctraSend Error: TIMEOUT_OCCUR\r\n");
    return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
}

int32_t PipeReceive(uint8_t* buffer, int32_t capacity, int32_t timeout, uint32_t* count) {
    if (WinUsbHandle == NoInterface() || BulkInPipeId == 0 || buffer == nullptr ||
        count == nullptr || capacity < 0) {
        Message("DuctraReceive Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    Message("DuctraReceive have %li bytes to read\r\n", static_cast<long>(capacity));
    if (!ReadCarry.empty()) {
        std::vector<uint8_t> carried = std::move(ReadCarry);
        ReadCarry.clear();
        int32_t result = Deliver(carried.data(), carried.size(), capacity, count);
        std::memcpy(buffer, carried.data(), *count);
        return result;
    }

    Transfer& t = ReadTransfer;
    if (!t.pending) {
        // A read still under way from a timed-out receive is waited on again
        // instead; it was asked of the device first, so its bytes come first.
        HANDLE event = P().CreateEvent(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) {
            Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
            return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
        }
        t.buffer.assign(static_cast<std::size_t>(capacity) + 1, 0);
        Begin(t, event);
        if (!P().ReadPipe(WinUsbHandle, BulkInPipeId, t.buffer.data(), static_cast<ULONG>(capacity),
                          &t.transferred, &t.overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            End(t);
        }
    }
    Message("DuctraReceive state: Start pipe read of %li bytes\r\n", static_cast<long>(capacity));

    if (!t.pending ||
        P().WaitForSingleObject(t.event, WaitMilliseconds(timeout)) != WAIT_OBJECT_0) {
        Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
        return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
    }
    DWORD received = 0;
    BOOL done = P().GetOverlappedResult(WinUsbHandle, &t.overlapped, &received, FALSE);
    End(t);
    if (!done) {
        // The transfer ended in an error: no bytes to report.
        Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
        return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
    }
    std::size_t available = received;
    if (available > t.buffer.size()) available = t.buffer.size();
    int32_t result = Deliver(t.buffer.data(), available, capacity, count);
    std::memcpy(buffer, t.buffer.data(), *count);
    return result;
}

int32_t PipeClose() {
    // Late transfers are completed and collected before the interface goes.
    if (WinUsbHandle != NoInterface()) {
        AbortAndCollect(WriteTransfer, BulkOutPipeId);
        AbortAndCollect(ReadTransfer, BulkInPipeId);
    }
    ReadCarry.clear();
    CloseDeviceFile();
    FreeInterface();
    return DUCTRA_RESPONSE_SUCCESS;
}

}  // namespace ductra
