// The WinUSB backend against a scripted device stack: the SetupAPI, WinUSB,
// file and event calls are answered from a script, and every call the
// library makes is recorded. Runs under wine.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "probe/probe.h"
#include "probe_golden.h"
#include "trace_lines.h"
#include "usbpipe/backend/ductra_winusb_platform.h"
#include "usbpipe/ductra.h"
#include "usbpipe/ductra_internal.h"
#include "usbpipe/trace/trace_writer.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

using Bytes = std::vector<uint8_t>;

std::string Captured;
void Capture(const char* text, std::size_t length) {
    Captured.append(text, length);
}

struct Pipe {
    bool answers;  // false: the query of this endpoint fails
    USBD_PIPE_TYPE type;
    UCHAR id;
};

// What one WinUsb_WritePipe or WinUsb_ReadPipe does: complete at once with
// `count` bytes (a write) or `bytes` (a read), or stay pending.
struct Completion {
    bool completes;
    ULONG count;
    Bytes bytes;
};

struct Transfer {
    LPOVERLAPPED overlapped;
    UCHAR pipe;
    PUCHAR buffer;
    ULONG length;
    bool done;
    BOOL ok;
    ULONG transferred;
};

// A USB device present: its first hardware id, driver service, description.
struct UsbDevice {
    std::wstring hardware_id, service, description;
};

// The scripted stack and what the library did with it.
struct Stack {
    // Script.
    bool list_fails = false;
    std::vector<std::wstring> paths;
    // The list of every USB device.
    std::vector<UsbDevice> usb_devices;
    // The driver service of each device of the class, by position.
    std::vector<std::wstring> path_services;
    // The location path of each device of the class, by position.
    std::vector<std::wstring> path_locations;
    DWORD open_error = 0;  // nonzero: CreateFileW fails with it
    DWORD init_error = 0;  // nonzero: WinUsb_Initialize fails with it
    bool settings_fail = false;
    std::vector<Pipe> pipes;
    std::deque<Completion> writes;
    std::deque<Completion> reads;

    // Record.
    std::vector<std::string> calls;
    GUID class_guid{};
    DWORD class_flags = 0;
    std::wstring opened_path;
    DWORD open_access = 0, open_share = 0, open_disposition = 0, open_flags = 0;
    std::vector<Bytes> written;
    std::vector<DWORD> waits;
    std::set<HANDLE> handles;  // device and event handles not yet closed
    std::map<HANDLE, bool> signalled;
    std::vector<Transfer> transfers;
    bool set_alive = false;
    bool usb_set_alive = false;
    int next_handle = 0x100;

    HANDLE NewHandle() {
        HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(next_handle++));
        handles.insert(h);
        return h;
    }
    void Complete(Transfer& t, ULONG count, BOOL ok) {
        t.done = true;
        t.ok = ok;
        t.transferred = count;
        signalled[t.overlapped->hEvent] = true;
    }
    // Completes the read left pending, as the driver would: into the buffer
    // it was given.
    PUCHAR CompleteLateRead(const Bytes& bytes) {
        for (Transfer& t : transfers) {
            if (!t.done && (t.pipe & 0x80) != 0) {
                std::memcpy(t.buffer, bytes.data(), bytes.size());
                Complete(t, static_cast<ULONG>(bytes.size()), TRUE);
                return t.buffer;
            }
        }
        ADD_FAILURE() << "no read pending";
        return nullptr;
    }
};

Stack* S = nullptr;
const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
const HDEVINFO kUsbSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E8));
const WINUSB_INTERFACE_HANDLE kUsb = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0x05B);

std::string Hex(UCHAR value) {
    char text[3];
    std::snprintf(text, sizeof(text), "%02X", value);
    return text;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    S->calls.push_back("GetClassDevs");
    if (guid == nullptr) {  // every USB device
        S->usb_set_alive = true;
        return kUsbSet;
    }
    S->class_guid = *guid;
    S->class_flags = flags;
    if (S->list_fails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    S->set_alive = true;
    return kSet;
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info) {
    info->Reserved = index;
    if (index >= (set == kUsbSet ? S->usb_devices.size() : S->paths.size())) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA info, const GUID*, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) {
    EXPECT_NE(info, nullptr);
    if (index >= S->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI FakeGetDeviceInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                         PDWORD required, PSP_DEVINFO_DATA) {
    const std::wstring& path = S->paths.at(data->Reserved);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                      (path.size() + 1) * sizeof(WCHAR));
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    EXPECT_EQ(detail->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO set) {
    EXPECT_TRUE(set == kSet || set == kUsbSet);
    (set == kSet ? S->set_alive : S->usb_set_alive) = false;
    return TRUE;
}

BOOL WINAPI FakeGetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                          PDWORD, PBYTE buffer, DWORD size, PDWORD required) {
    EXPECT_TRUE(set == kUsbSet || set == kSet);
    std::wstring text;
    if (set == kSet) {
        // A device of the class: only its driver service and location are asked for.
        const bool location = property == SPDRP_LOCATION_PATHS;
        EXPECT_TRUE(location || property == SPDRP_SERVICE) << property;
        const std::vector<std::wstring>& texts = location ? S->path_locations : S->path_services;
        if (info->Reserved >= texts.size()) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        text = texts[info->Reserved] + (location ? L"\0" : L"");
    } else {
        const UsbDevice& device = S->usb_devices.at(info->Reserved);
        text = property == SPDRP_HARDWAREID ? device.hardware_id + L'\0'
               : property == SPDRP_SERVICE  ? device.service
                                            : device.description;
    }
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    *required = bytes;
    if (bytes > size) return FALSE;
    std::memcpy(buffer, text.c_str(), bytes);
    return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                             DWORD disposition, DWORD flags, HANDLE) {
    S->calls.push_back("CreateFile");
    S->opened_path = path;
    S->open_access = access;
    S->open_share = share;
    S->open_disposition = disposition;
    S->open_flags = flags;
    if (S->open_error != 0) {
        SetLastError(S->open_error);
        return INVALID_HANDLE_VALUE;
    }
    return S->NewHandle();
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
    EXPECT_EQ(S->handles.erase(handle), 1u) << "closing a handle that is not open";
    return TRUE;
}

HANDLE WINAPI FakeCreateEvent(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state,
                              LPCWSTR name) {
    EXPECT_TRUE(manual_reset);
    EXPECT_FALSE(initial_state);
    EXPECT_EQ(name, nullptr);
    HANDLE event = S->NewHandle();
    S->signalled[event] = false;
    return event;
}

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD ms) {
    EXPECT_EQ(S->handles.count(handle), 1u) << "waiting on a closed handle";
    S->waits.push_back(ms);
    S->calls.push_back("Wait");
    return S->signalled[handle] ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI FakeInitialize(HANDLE device, PWINUSB_INTERFACE_HANDLE usb) {
    S->calls.push_back("Initialize");
    EXPECT_EQ(S->handles.count(device), 1u);
    if (S->init_error != 0) {
        SetLastError(S->init_error);
        return FALSE;
    }
    *usb = kUsb;
    return TRUE;
}

BOOL WINAPI FakeFree(WINUSB_INTERFACE_HANDLE usb) {
    EXPECT_EQ(usb, kUsb);
    S->calls.push_back("Free");
    return TRUE;
}

BOOL WINAPI FakeQueryInterfaceSettings(WINUSB_INTERFACE_HANDLE usb, UCHAR alternate,
                                       PUSB_INTERFACE_DESCRIPTOR descriptor) {
    EXPECT_EQ(usb, kUsb);
    EXPECT_EQ(alternate, 0);
    if (S->settings_fail) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    descriptor->bNumEndpoints = static_cast<UCHAR>(S->pipes.size());
    return TRUE;
}

BOOL WINAPI FakeQueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR alternate, UCHAR index,
                          PWINUSB_PIPE_INFORMATION pipe) {
    EXPECT_EQ(alternate, 0);
    const Pipe& p = S->pipes.at(index);
    if (!p.answers) {
        SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    pipe->PipeType = p.type;
    pipe->PipeId = p.id;
    pipe->MaximumPacketSize = 64;
    return TRUE;
}

BOOL WINAPI FakeAbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    S->calls.push_back("AbortPipe " + Hex(pipe));
    for (Transfer& t : S->transfers) {
        if (t.pipe == pipe && !t.done) S->Complete(t, 0, FALSE);
    }
    return TRUE;
}

BOOL WINAPI FakeFlushPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    S->calls.push_back("FlushPipe " + Hex(pipe));
    return TRUE;
}

BOOL WINAPI FakeWritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG,
                          LPOVERLAPPED overlapped) {
    S->calls.push_back("WritePipe " + Hex(pipe));
    S->written.emplace_back(buffer, buffer + length);
    Completion c = {true, length, {}};
    if (!S->writes.empty()) {
        c = S->writes.front();
        S->writes.pop_front();
    }
    S->transfers.push_back({overlapped, pipe, buffer, length, false, FALSE, 0});
    if (c.completes) S->Complete(S->transfers.back(), c.count, TRUE);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI FakeReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG,
                         LPOVERLAPPED overlapped) {
    S->calls.push_back("ReadPipe " + Hex(pipe) + " " + std::to_string(length));
    Completion c = {false, 0, {}};
    if (!S->reads.empty()) {
        c = S->reads.front();
        S->reads.pop_front();
    }
    S->transfers.push_back({overlapped, pipe, buffer, length, false, FALSE, 0});
    if (c.completes) {
        EXPECT_LE(c.bytes.size(), length);
        std::memcpy(buffer, c.bytes.data(), c.bytes.size());
        S->Complete(S->transfers.back(), static_cast<ULONG>(c.bytes.size()), TRUE);
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI FakeGetOverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED overlapped,
                                    LPDWORD transferred, BOOL wait) {
    S->calls.push_back(wait ? "GetOverlappedResult wait" : "GetOverlappedResult");
    for (auto it = S->transfers.begin(); it != S->transfers.end(); ++it) {
        if (it->overlapped != overlapped) continue;
        if (!it->done) {
            EXPECT_FALSE(wait) << "would wait for ever on a transfer nobody completes";
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        *transferred = it->transferred;
        BOOL ok = it->ok;
        S->transfers.erase(it);
        if (!ok) SetLastError(ERROR_OPERATION_ABORTED);
        return ok;
    }
    ADD_FAILURE() << "unknown OVERLAPPED";
    return FALSE;
}

const ductra::WinPlatform kFake = {
    FakeGetClassDevs,
    FakeEnumDeviceInfo,
    FakeEnumDeviceInterfaces,
    FakeGetDeviceInterfaceDetail,
    FakeDestroyDeviceInfoList,
    FakeCreateFile,
    FakeCloseHandle,
    FakeCreateEvent,
    FakeWaitForSingleObject,
    FakeInitialize,
    FakeFree,
    FakeQueryInterfaceSettings,
    FakeQueryPipe,
    FakeAbortPipe,
    FakeFlushPipe,
    FakeWritePipe,
    FakeReadPipe,
    FakeGetOverlappedResult,
    FakeGetDeviceRegistryProperty,
};

const wchar_t kPath[] = L"\\\\?\\usb#vid_0000&pid_0000#0001#{instrument}";
const char kPathText[] = "\\\\?\\usb#vid_0000&pid_0000#0001#{instrument}";

class WinUsbBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        S = &stack_;
        ductra::SetWinPlatform(&kFake);
        ductra::SetOutputSink(Capture);
        DuctraChatty(0);
        Captured.clear();
    }
    void TearDown() override {
        DuctraClose();
        EXPECT_TRUE(stack_.handles.empty()) << "handles left open";
        EXPECT_TRUE(stack_.transfers.empty()) << "transfers never collected";
        EXPECT_FALSE(stack_.set_alive || stack_.usb_set_alive) << "device set not destroyed";
        ductra::SetWinPlatform(nullptr);
        ductra::SetOutputSink(nullptr);
        DuctraChatty(0);
        S = nullptr;
    }
    // One instrument with bulk IN 0x81 and bulk OUT 0x02.
    void Instrument() {
        stack_.paths = {kPath};
        stack_.pipes = {{true, UsbdPipeTypeBulk, 0x81}, {true, UsbdPipeTypeBulk, 0x02}};
    }
    void OpenInstrument() {
        Instrument();
        ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
        Captured.clear();
        stack_.calls.clear();
    }
    Stack stack_;
};

bool Invalid() {
    return ductra::CurrentDeviceFileHandle() == INVALID_HANDLE_VALUE &&
           ductra::CurrentWinUsbHandle() ==
               reinterpret_cast<WINUSB_INTERFACE_HANDLE>(static_cast<intptr_t>(-1));
}

TEST_F(WinUsbBackend, NoInstrumentAttached) {
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, "Error 259.DuctraOpen Error: NO_DEVICE_FOUND\r\n");
    EXPECT_EQ(stack_.class_flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    GUID expected{};
    unsigned b[8];
    ASSERT_EQ(
        std::sscanf(DUCTRA_DEVICE_INTERFACE_GUID_TEXT, "{%8lx-%4hx-%4hx-%2x%2x-%2x%2x%2x%2x%2x%2x}",
                    &expected.Data1, &expected.Data2, &expected.Data3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7]),
        11);
    for (int i = 0; i < 8; ++i) expected.Data4[i] = static_cast<unsigned char>(b[i]);
    EXPECT_TRUE(IsEqualGUID(stack_.class_guid, expected));
    EXPECT_TRUE(Invalid());
}

TEST_F(WinUsbBackend, DeviceListUnavailable) {
    stack_.list_fails = true;
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_DEVICE_LIST_FAILED);
    EXPECT_EQ(Captured, "Error SetupDiGetClassDevs: 5.\nDuctraOpen Error: NO_DEVICE_FOUND\r\n");
    EXPECT_TRUE(Invalid());
}

TEST_F(WinUsbBackend, OpenPicksTheBulkPipesAndReportsEveryEndpoint) {
    stack_.paths = {L"\\\\?\\first", kPath};
    stack_.pipes = {{true, UsbdPipeTypeControl, 0x00},
                    {true, UsbdPipeTypeBulk, 0x81},
                    {true, UsbdPipeTypeInterrupt, 0x83},
                    {true, UsbdPipeTypeBulk, 0x02},
                    {true, UsbdPipeTypeIsochronous, 0x04}};
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(Captured, std::string("Device path:  \\\\?\\first\n") + "Device path:  " + kPathText +
                            "\n"
                            "Endpoint index: 0 Pipe type: Control Pipe ID: 0.\n"
                            "Endpoint index: 1 Pipe type: Bulk Pipe ID: \x81.\n"
                            "Endpoint index: 2 Pipe type: Interrupt Pipe ID: 131.\n"
                            "Endpoint index: 3 Pipe type: Bulk Pipe ID: \x02.\n"
                            "Endpoint index: 4 Pipe type: Isochronous Pipe ID: 4.\n"
                            "DuctraOpen success\r\n");
    // The last path found is the one opened, for overlapped read and write.
    EXPECT_EQ(stack_.opened_path, kPath);
    EXPECT_EQ(stack_.open_access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(stack_.open_share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(stack_.open_disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(stack_.open_flags & FILE_FLAG_OVERLAPPED, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
    EXPECT_EQ(ductra::CurrentBulkInPipeId(), 0x81);
    EXPECT_EQ(ductra::CurrentBulkOutPipeId(), 0x02);
    EXPECT_FALSE(Invalid());
}

// DUCTRA_DEVICE with two instruments: the first at port 1-2 with serial
// ABC123 (kept in upper case), the second at 1-4.2 with serial 0001.
TEST_F(WinUsbBackend, DeviceChoiceOpensTheNamedInstrument) {
    const std::wstring first = L"\\\\?\\usb#vid_0000&pid_0000#ABC123#{instrument}";
    const std::string opened_first =
        "Device path:  \\\\?\\usb#vid_0000&pid_0000#ABC123#{instrument}\n";
    const std::string opened_second = std::string("Device path:  ") + kPathText + "\n";
    const std::string none = "Error 259.DuctraOpen Error: NO_DEVICE_FOUND\r\n";
    const std::string refused = "DuctraOpen Error: NO_DEVICE_FOUND\r\n";
    Instrument();
    stack_.paths = {first, kPath};
    stack_.path_locations = {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)",
                             L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)"};
    const struct {
        const char* value;  // "": unset
        int32_t result;
        std::string first_lines;
        std::wstring opened;
        bool refused;
    } rows[] = {
        // Unset, each path is reported and the last one kept.
        {"", DUCTRA_RESPONSE_SUCCESS, opened_first + opened_second, kPath, false},
        {"port=1-2", DUCTRA_RESPONSE_SUCCESS, opened_first + "Endpoint", first, false},
        {"port=1-4.2", DUCTRA_RESPONSE_SUCCESS, opened_second + "Endpoint", kPath, false},
        {"serial=abc123", DUCTRA_RESPONSE_SUCCESS, opened_first + "Endpoint", first, false},
        {"serial=0001", DUCTRA_RESPONSE_SUCCESS, opened_second + "Endpoint", kPath, false},
        {"port=1-4", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, none, L"", false},
        {"serial=0002", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, none, L"", false},
        {"port=1-2.", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, refused, L"", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        _putenv_s("DUCTRA_DEVICE", row.value);
        Captured.clear();
        stack_.opened_path.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(DuctraOpen(), row.result);
        const std::string errors = testing::internal::GetCapturedStderr();
        _putenv_s("DUCTRA_DEVICE", "");
        EXPECT_EQ(Captured.substr(0, row.first_lines.size()), row.first_lines) << Captured;
        EXPECT_TRUE(stack_.opened_path == row.opened);
        EXPECT_EQ(errors, row.refused
                              ? "ductra: DUCTRA_DEVICE=port=1-2.: expected "
                                "port=BUS-PORT[.PORT...] (such as port=1-4.2) or serial=TEXT\n"
                              : "");
        EXPECT_EQ(DuctraClose(), 0);
    }
    // The probe lists both, each by the port and serial a choice names.
    Captured.clear();
    EXPECT_EQ(ductra::RunProbe(Capture, ductra::ProbeOutput::kList), 0);
    CompareWithProbeGolden("windows-two-instruments-list.txt", Captured);
    EXPECT_TRUE(stack_.handles.empty()) << "the probe left a handle open";
}

TEST_F(WinUsbBackend, PathThatCannotBeOpened) {
    Instrument();
    stack_.open_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, std::string("Device path:  ") + kPathText +
                            "\nError 5.DuctraOpen Error: NO_DEVICE_FOUND\r\n");
    EXPECT_TRUE(Invalid());
}

TEST_F(WinUsbBackend, InitializeFailureLeavesBothHandlesInvalid) {
    Instrument();
    stack_.init_error = ERROR_GEN_FAILURE;
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, std::string("Device path:  ") + kPathText +
                            "\nWinUsb_Initialize Error 31.DuctraOpen Error: NO_DEVICE_FOUND\r\n");
    EXPECT_TRUE(Invalid());
    EXPECT_TRUE(stack_.handles.empty()) << "device file left open";
    for (const std::string& call : stack_.calls) EXPECT_NE(call, "Free");
}

TEST_F(WinUsbBackend, TheLastEndpointQueryDecides) {
    Instrument();
    stack_.pipes.push_back({false, UsbdPipeTypeBulk, 0x03});
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND);
    EXPECT_EQ(Captured, std::string("Device path:  ") + kPathText +
                            "\nEndpoint index: 0 Pipe type: Bulk Pipe ID: \x81.\n"
                            "Endpoint index: 1 Pipe type: Bulk Pipe ID: \x02.\n"
                            "DuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\n");
    EXPECT_TRUE(Invalid());
    EXPECT_EQ(stack_.calls.back(), "Free");

    // A failed query before the last one only skips that endpoint.
    stack_.pipes = {{true, UsbdPipeTypeBulk, 0x81},
                    {false, UsbdPipeTypeBulk, 0x03},
                    {true, UsbdPipeTypeBulk, 0x02}};
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);

    // So does an interface that cannot be queried at all.
    DuctraClose();
    stack_.settings_fail = true;
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND);
    EXPECT_TRUE(Invalid());
}

// Every exchange needs both bulk pipes, so an interface without a bulk IN or
// a bulk OUT pipe is refused at the open, and no pipe of an earlier open
// stands in for the missing one.
TEST_F(WinUsbBackend, InterfaceWithoutBothBulkPipesIsRefused) {
    Instrument();
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    DuctraClose();
    Captured.clear();

    stack_.pipes = {{true, UsbdPipeTypeBulk, 0x81}, {true, UsbdPipeTypeInterrupt, 0x83}};
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND);
    EXPECT_EQ(Captured, std::string("Device path:  ") + kPathText +
                            "\nEndpoint index: 0 Pipe type: Bulk Pipe ID: \x81.\n"
                            "Endpoint index: 1 Pipe type: Interrupt Pipe ID: 131.\n"
                            "DuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\n");
    EXPECT_TRUE(Invalid());
    EXPECT_EQ(ductra::CurrentBulkOutPipeId(), 0) << "the earlier open's OUT pipe is not kept";
    uint8_t frame[] = {1};
    EXPECT_EQ(DuctraSend(frame, 1, 100), DUCTRA_RESPONSE_NO_VALID_HANDLER);

    stack_.pipes = {{true, UsbdPipeTypeBulk, 0x02}};
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND);
    EXPECT_EQ(ductra::CurrentBulkInPipeId(), 0);

    Captured.clear();
    stack_.pipes = {};
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND);
    EXPECT_EQ(Captured, std::string("Device path:  ") + kPathText +
                            "\nDuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\n");
    EXPECT_TRUE(Invalid());
}

TEST_F(WinUsbBackend, QuietSilencesEverythingButTheVersion) {
    DuctraChatty(1);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    Instrument();
    stack_.init_error = ERROR_GEN_FAILURE;
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    stack_.init_error = 0;
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(ductra::CurrentBulkInPipeId(), 0x81) << "pipes are kept while quiet";
    uint8_t frame[] = {1, 2, 3};
    EXPECT_EQ(DuctraSend(frame, 3, 100), 0);
    stack_.reads.push_back({true, 0, {0x00, 0x00}});
    uint8_t buffer[8];
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, 8, 100, &count), 0);
    EXPECT_EQ(DuctraReceive(buffer, 8, 100, &count), -1);
    EXPECT_EQ(Captured, "");
    EXPECT_EQ(DuctraVersion(), 1100);
    EXPECT_EQ(Captured, "DuctraVersion: 1104\r\n");

    // Only the low 8 bits count: 256 is chatty again.
    Captured.clear();
    EXPECT_EQ(DuctraChatty(256), 0);
    DuctraClose();
    EXPECT_EQ(DuctraSend(frame, 3, 100), -5);
    EXPECT_EQ(Captured, "DuctraSend Error: NO_VALID_HANDLER\r\n");
}

TEST_F(WinUsbBackend, TransfersBeforeAnOpen) {
    uint8_t frame[] = {1};
    uint32_t count = 9;
    EXPECT_EQ(DuctraSend(frame, 1, 10000), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraReceive(frame, 1, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(Captured,
              "DuctraSend Error: NO_VALID_HANDLER\r\nDuctraReceive Error: NO_VALID_HANDLER\r\n");
    EXPECT_TRUE(stack_.calls.empty());
}

TEST_F(WinUsbBackend, SendDiscardsBothPipesThenWritesAndWaitsTimeoutPlus200) {
    OpenInstrument();
    uint8_t frame[] = {0x01, 0x82, 0x02, 0x00, 0x00, 0x00, 0x3C, 0xA1};
    EXPECT_EQ(DuctraSend(frame, sizeof(frame), 10000), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(stack_.calls, std::vector<std::string>(
                                {"AbortPipe 02", "FlushPipe 02", "AbortPipe 81", "FlushPipe 81",
                                 "WritePipe 02", "Wait", "GetOverlappedResult"}));
    EXPECT_EQ(stack_.waits, std::vector<DWORD>({10200}));
    ASSERT_EQ(stack_.written.size(), 1u);
    EXPECT_EQ(stack_.written[0], Bytes(frame, frame + sizeof(frame)));
    EXPECT_EQ(Captured,
              "DuctraSend status: 8 bytes copied into pipe\r\n"
              "DuctraSend status: 8 bytes send \r\n");
}

TEST_F(WinUsbBackend, ShortSendIsATimeOut) {
    OpenInstrument();
    stack_.writes.push_back({true, 3, {}});
    uint8_t frame[8] = {};
    EXPECT_EQ(DuctraSend(frame, sizeof(frame), 10000), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(Captured,
              "DuctraSend status: 8 bytes copied into pipe\r\n"
              "DuctraSend status: 3 bytes send \r\n"
              "DuctraSend Error: TIMEOUT_OCCUR\r\n");
}

TEST_F(WinUsbBackend, WriteStillPendingIsCollectedByTheNextSend) {
    OpenInstrument();
    stack_.writes.push_back({false, 0, {}});
    uint8_t frame[4] = {9, 9, 9, 9};
    EXPECT_EQ(DuctraSend(frame, sizeof(frame), 100), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(Captured,
              "DuctraSend status: 4 bytes copied into pipe\r\n"
              "DuctraSend Error: TIMEOUT_OCCUR\r\n");
    // The late write reads the library's copy of the frame, not the caller's.
    ASSERT_EQ(stack_.transfers.size(), 1u);
    EXPECT_NE(stack_.transfers[0].buffer, frame);

    stack_.calls.clear();
    EXPECT_EQ(DuctraSend(frame, sizeof(frame), 100), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(stack_.calls,
              std::vector<std::string>({"AbortPipe 02", "FlushPipe 02", "AbortPipe 81",
                                        "FlushPipe 81", "GetOverlappedResult wait", "WritePipe 02",
                                        "Wait", "GetOverlappedResult"}));
}

TEST_F(WinUsbBackend, ReceiveDeliversOneTransferAndWaitsExactlyTheTimeout) {
    OpenInstrument();
    stack_.reads.push_back({true, 0, {0x00, 0x00, 0x03, 0x00, 0xAB}});
    uint8_t buffer[1024] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), 0);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes({0x00, 0x00, 0x03, 0x00, 0xAB, 0x00}));
    EXPECT_EQ(stack_.calls,
              std::vector<std::string>({"ReadPipe 81 1024", "Wait", "GetOverlappedResult"}));
    EXPECT_EQ(stack_.waits, std::vector<DWORD>({2000}));
    EXPECT_EQ(Captured,
              "DuctraReceive have 1024 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 1024 bytes\r\n"
              "DuctraReceive state: Read 5 bytes\r\n"
              "00 00 03 00 AB \n");
}

TEST_F(WinUsbBackend, ReceiveOfZeroBytesSucceeds) {
    OpenInstrument();
    stack_.reads.push_back({true, 0, {}});
    uint8_t buffer[16];
    uint32_t count = 12;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Captured,
              "DuctraReceive have 16 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 16 bytes\r\n"
              "DuctraReceive state: Read 0 bytes\r\n"
              "\n");
}

TEST_F(WinUsbBackend, ReceiveTimeOutLeavesCountAndBufferAlone) {
    OpenInstrument();
    uint8_t buffer[16] = {};
    uint32_t count = 12;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(stack_.waits, std::vector<DWORD>({2000}));
    EXPECT_EQ(Captured,
              "DuctraReceive have 16 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 16 bytes\r\n"
              "DuctraReceive Error: TIMEOUT_OCCUR\r\n");

    // The device answers after the call has returned: the driver writes into
    // the library's buffer, never into the caller's.
    PUCHAR target = stack_.CompleteLateRead({0x11, 0x22, 0x33});
    EXPECT_TRUE(target < buffer || target >= buffer + sizeof(buffer));
    EXPECT_EQ(Bytes(buffer, buffer + 3), Bytes({0, 0, 0}));

    // The next receive collects that read instead of queueing another.
    stack_.calls.clear();
    EXPECT_EQ(DuctraReceive(buffer, 2, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({0x11, 0x22}));
    EXPECT_EQ(buffer[2], 0) << "nothing written past the capacity";
    EXPECT_EQ(stack_.calls, std::vector<std::string>({"Wait", "GetOverlappedResult"}));
    // What did not fit comes next, without a transfer.
    EXPECT_EQ(DuctraReceive(buffer, 16, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({0x33}));
}

TEST_F(WinUsbBackend, SendAbortsAndCollectsAPendingRead) {
    OpenInstrument();
    uint8_t buffer[16] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 100, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    stack_.calls.clear();
    uint8_t frame[] = {1};
    EXPECT_EQ(DuctraSend(frame, 1, 100), 0);
    EXPECT_EQ(stack_.calls,
              std::vector<std::string>({"AbortPipe 02", "FlushPipe 02", "AbortPipe 81",
                                        "FlushPipe 81", "GetOverlappedResult wait", "WritePipe 02",
                                        "Wait", "GetOverlappedResult"}));
    // The next receive starts a fresh read.
    stack_.reads.push_back({true, 0, {0x42}});
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 100, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({0x42}));
}

TEST_F(WinUsbBackend, FailedReadIsNotReportedAsData) {
    OpenInstrument();
    uint8_t buffer[16] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 100, &count), -1);
    // The read ends in an error (the device went away): a time-out, not 0 bytes.
    stack_.transfers[0].done = true;
    stack_.signalled[stack_.transfers[0].overlapped->hEvent] = true;
    count = 7;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 100, &count), -1);
    EXPECT_EQ(count, 7u);
}

TEST_F(WinUsbBackend, CloseReleasesOnceAndCloseTwiceChangesNothing) {
    OpenInstrument();
    uint8_t buffer[4];
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, 4, 100, &count), -1);
    stack_.calls.clear();
    Captured.clear();
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(stack_.calls,
              std::vector<std::string>({"AbortPipe 81", "GetOverlappedResult wait", "Free"}));
    EXPECT_TRUE(Invalid());
    EXPECT_TRUE(stack_.handles.empty());
    stack_.calls.clear();
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_TRUE(stack_.calls.empty());
    EXPECT_EQ(Captured, "");
}

// The library's entry routine releases the device when a thread ends and
// when the process unloads it, as an explicit close would.
TEST_F(WinUsbBackend, ThreadAndProcessDetachReleaseTheDevice) {
    for (const DWORD reason : {DWORD{DLL_THREAD_DETACH}, DWORD{DLL_PROCESS_DETACH}}) {
        OpenInstrument();
        EXPECT_FALSE(Invalid());
        EXPECT_EQ(DllMain(nullptr, reason, nullptr), TRUE);
        EXPECT_TRUE(Invalid()) << "reason " << reason;
        EXPECT_TRUE(stack_.handles.empty());
        uint8_t frame[6] = {};
        EXPECT_EQ(DuctraSend(frame, sizeof frame, 100), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    }
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE) << "other notifications succeed";
}

// ductra-probe on the scripted stack, one row per situation: the whole
// report is compared with tests/golden/probe/windows-NAME.txt, the exit code
// with the verdict, and DuctraOpen on the same stack with the result the
// library gives there, so that the probe and the library agree. The probe
// opens and binds what it finds, lets it go again (the fixture checks every
// handle and set) and never touches a pipe.
struct WindowsSituation {
    const char* name;
    int verdict;
    int open_result;  // DuctraOpen on the same stack
    bool list_fails = false;
    bool path = true;  // the class has the instrument's device path
    DWORD open_error = 0;
    DWORD init_error = 0;
    const wchar_t* service = L"WinUSB";  // the driver service of the path's device
    bool settings_fail = false;
    std::vector<Pipe> pipes = {{true, UsbdPipeTypeBulk, 0x81}, {true, UsbdPipeTypeBulk, 0x02}};
    std::vector<UsbDevice> usb_devices = {};
};

const WindowsSituation kWindowsSituations[] = {
    {.name = "ready", .verdict = 0, .open_result = DUCTRA_RESPONSE_SUCCESS},
    {.name = "usb-unreadable",
     .verdict = 1,
     .open_result = DUCTRA_RESPONSE_DEVICE_LIST_FAILED,
     .list_fails = true},
    {.name = "no-instrument",
     .verdict = 2,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .path = false,
     .usb_devices = {{L"USB\\VID_1A2B&PID_3C4D&REV_0100", L"usbccgp", L"USB Composite Device"},
                     {L"USB\\VID_1A2B&PID_3C4D&MI_01", L"", L""}}},
    {.name = "open-fails",
     .verdict = 3,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .open_error = ERROR_GEN_FAILURE},
    {.name = "winusb-not-binding",
     .verdict = 3,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .init_error = ERROR_NOT_SUPPORTED,
     .service = L"usbser"},
    {.name = "winusb-not-binding-own-driver",
     .verdict = 3,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .init_error = ERROR_GEN_FAILURE},
    {.name = "in-use",
     .verdict = 4,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .open_error = ERROR_ACCESS_DENIED},
    {.name = "in-only",
     .verdict = 5,
     .open_result = DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND,
     .pipes = {{true, UsbdPipeTypeBulk, 0x81}, {true, UsbdPipeTypeInterrupt, 0x83}}},
    {.name = "interface-query-fails",
     .verdict = 5,
     .open_result = DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND,
     .settings_fail = true},
    {.name = "last-endpoint-query-fails",
     .verdict = 5,
     .open_result = DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND,
     .pipes = {{true, UsbdPipeTypeBulk, 0x81},
               {true, UsbdPipeTypeBulk, 0x02},
               {false, UsbdPipeTypeBulk, 0x03}}},
    {.name = "gone",
     .verdict = 6,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .open_error = ERROR_DEVICE_NOT_CONNECTED},
};

// Names the row in gtest's messages.
void PrintTo(const WindowsSituation& situation, std::ostream* out) {
    *out << situation.name;
}

class ProbeTable : public WinUsbBackend, public ::testing::WithParamInterface<WindowsSituation> {};

TEST_P(ProbeTable, ReportMatchesItsFileAndTheLibraryAgrees) {
    const WindowsSituation& situation = GetParam();
    stack_.list_fails = situation.list_fails;
    if (situation.path) stack_.paths = {kPath};
    stack_.open_error = situation.open_error;
    stack_.init_error = situation.init_error;
    stack_.path_services = {situation.service};
    stack_.settings_fail = situation.settings_fail;
    stack_.pipes = situation.pipes;
    stack_.usb_devices = situation.usb_devices;

    EXPECT_EQ(ductra::RunProbe(Capture), situation.verdict);
    CompareWithProbeGolden(std::string("windows-") + situation.name + ".txt", Captured);
    for (const std::string& call : stack_.calls) {
        EXPECT_TRUE(call.rfind("ReadPipe", 0) != 0 && call.rfind("WritePipe", 0) != 0 &&
                    call.rfind("AbortPipe", 0) != 0 && call.rfind("FlushPipe", 0) != 0)
            << "the probe touched a pipe: " << call;
    }
    EXPECT_TRUE(stack_.handles.empty()) << "the probe left a handle open";

    EXPECT_EQ(DuctraOpen(), situation.open_result);
}

// Every verdict is reached by a row.
TEST(ProbeTableRows, ReachEveryVerdict) {
    for (int verdict = 0; verdict <= 6; ++verdict) {
        bool reached = false;
        for (const WindowsSituation& situation : kWindowsSituations) {
            reached = reached || situation.verdict == verdict;
        }
        EXPECT_TRUE(reached) << "verdict " << verdict;
    }
}

INSTANTIATE_TEST_SUITE_P(Situations, ProbeTable, ::testing::ValuesIn(kWindowsSituations),
                         [](const auto& entry) {
                             std::string name = entry.param.name;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

// One line per call of the program, its own releases not among them, into a
// file whose name lies outside the ANSI code page; and the lines of two
// threads whole while a second writer is refused.
TEST_F(WinUsbBackend, TraceHoldsOneLinePerCall) {
    Instrument();
    const std::string path = ::testing::TempDir() + "winusb-\xCE\xA9-\xE6\x97\xA5.trace";
    ASSERT_NO_FATAL_FAILURE(TraceOneCallOfEachKind(
        path,
        [this](std::vector<uint8_t> bytes) {
            stack_.reads.push_back({true, 0, bytes});
        },
        "windows", ERROR_IO_PENDING));
    ASSERT_NO_FATAL_FAILURE(TraceFromTwoThreads(path, [&path] {
        const HANDLE second = CreateFileW(TracePath(path).c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool refused =
            second == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
        if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
        return refused;
    }));
    std::error_code ignored;
    std::filesystem::remove(TracePath(path), ignored);
}

}  // namespace
