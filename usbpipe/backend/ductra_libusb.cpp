// ductra on Linux and macOS: finds the instrument by its vendor and product
// id with libusb-1.0, claims the interface that has one bulk IN and one bulk
// OUT endpoint and moves bytes over those two pipes. Same exports, results
// and console texts as on Windows; the error codes printed are errno values.
//
// A receive that times out does not cancel its read: the read stays with the
// kernel, so that an answer the device sends late lands in it instead of
// waiting in the device's IN endpoint to be taken for the answer to the next
// request. The next receive goes on waiting on that read; the next send
// cancels it and throws away what it caught, and when it had caught a late
// answer, also whatever the device still holds after it (a few short reads).
// Reads ask for a whole number of the IN endpoint's packets, into a buffer of
// the library's own, so that a device sending a full packet never overflows
// a smaller request; what does not fit the caller's capacity is kept and
// handed out by the next receive (a send discards it). Sends are synchronous:
// libusb cancels a write that times out before it returns.
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "usbpipe/backend/ductra_discovery.h"
#include "usbpipe/ductra_internal.h"

namespace ductra {

namespace {

// Library state: one device at a time. The context lives from open to close.
libusb_context* Context = nullptr;
libusb_device_handle* DeviceHandle = nullptr;  // the opened device
int DeviceInterface = -1;                      // the interface found on it
bool InterfaceClaimed = false;                 // bound for our use
uint8_t BulkInPipeId = 0;
uint8_t BulkOutPipeId = 0;
int InPacketSize = 64;
// Bytes received but not yet handed to a caller.
std::vector<uint8_t> ReadCarry;

// The read of the IN endpoint that a receive started and that has not been
// taken back yet (a receive that timed out leaves it with the kernel).
struct InRead {
    libusb_transfer* transfer = nullptr;  // null: no read in progress
    std::vector<uint8_t> bytes;           // the read's buffer
    int done = 0;                         // set once the read has completed
};
InRead PendingRead;

// How long a send or close waits for a cancelled read to come back.
constexpr int kCancelWaitMs = 1000;
// After a late answer: at most this many short reads of what the device
// still holds, each waiting this long for data.
constexpr int kDrainReads = 8;
constexpr unsigned int kDrainReadMs = 10;

void ReleaseContext() {
    if (Context != nullptr) libusb_exit(Context);
    Context = nullptr;
}

// Looks for the instrument (the one `choice` names, if it names one) and
// opens it into DeviceHandle. Fails only when the list of present devices
// cannot be had; on success the handle may still be null, which means no
// device was opened.
bool FindDevicePath(const DeviceChoice& choice) {
    int result = libusb_init(&Context);
    if (result != 0) {
        Context = nullptr;
        Message("Error SetupDiGetClassDevs: %d.\n", SystemError(result));
        return false;
    }
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(Context, &list);
    if (count < 0) {
        Message("Error SetupDiGetClassDevs: %d.\n", SystemError(static_cast<int>(count)));
        return false;
    }
    // Like the device-interface search on Windows, a later match replaces an
    // earlier one.
    libusb_device* chosen = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        int interface = InstrumentInterface(list[i]);
        if (interface < 0) continue;
        if (choice.kind == ChoiceKind::kPort && PortChain(list[i]) != choice.value) continue;
        if (choice.kind == ChoiceKind::kSerial && SerialNumber(list[i]) != choice.value) continue;
        chosen = list[i];
        DeviceInterface = interface;
        Message("Device path:  /dev/bus/usb/%03u/%03u\n", libusb_get_bus_number(chosen),
                libusb_get_device_address(chosen));
    }
    if (chosen == nullptr) {
        Message("Error %d.", ENODEV);
    } else {
        result = libusb_open(chosen, &DeviceHandle);
        if (result != 0) {
            DeviceHandle = nullptr;
            Message("Error %d.", SystemError(result));
        }
    }
    libusb_free_device_list(list, 1);
    return true;
}

// Lists the endpoints of the interface's first alternate setting and keeps
// the bulk pipe IDs and the IN endpoint's packet size.
bool QueryPipes() {
    if (!InterfaceClaimed) return false;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(DeviceHandle), &config) != 0) {
        return false;
    }
    const libusb_interface_descriptor* setting = nullptr;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting > 0 &&
            interface.altsetting[0].bInterfaceNumber == DeviceInterface) {
            setting = &interface.altsetting[0];
        }
    }
    if (setting != nullptr) {
        for (int index = 0; index < setting->bNumEndpoints; ++index) {
            const libusb_endpoint_descriptor& endpoint = setting->endpoint[index];
            const int id = endpoint.bEndpointAddress;
            switch (endpoint.bmAttributes & 0x03) {
                case LIBUSB_TRANSFER_TYPE_CONTROL:
                    Message("Endpoint index: %d Pipe type: Control Pipe ID: %d.\n", index, id);
                    break;
                case LIBUSB_TRANSFER_TYPE_ISOCHRONOUS:
                    Message("Endpoint index: %d Pipe type: Isochronous Pipe ID: %d.\n", index, id);
                    break;
                case LIBUSB_TRANSFER_TYPE_BULK:
                    Message("Endpoint index: %d Pipe type: Bulk Pipe ID: %c.\n", index, id);
                    if ((id & LIBUSB_ENDPOINT_IN) != 0) {
                        BulkInPipeId = static_cast<uint8_t>(id);
                        InPacketSize = endpoint.wMaxPacketSize & 0x7FF;
                        if (InPacketSize == 0) InPacketSize = 64;
                    } else {
                        BulkOutPipeId = static_cast<uint8_t>(id);
                    }
                    break;
                default:
                    Message("Endpoint index: %d Pipe type: Interrupt Pipe ID: %d.\n", index, id);
                    break;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return setting != nullptr;
}

void HexDump(const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Message("%.2X ", bytes[i]);
    Message("\n");
}

// Hands at most `capacity` of `bytes` to the caller; the rest is kept for the
// next receive.
int32_t Deliver(std::vector<uint8_t> bytes, uint8_t* buffer, int32_t capacity, uint32_t* count) {
    std::size_t take = std::min(bytes.size(), static_cast<std::size_t>(capacity));
    if (take > 0) std::memcpy(buffer, bytes.data(), take);
    *count = static_cast<uint32_t>(take);
    Message("DuctraReceive state: Read %li bytes\r\n", static_cast<long>(take));
    HexDump(bytes.data(), take);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    ReadCarry = std::move(bytes);
    return DUCTRA_RESPONSE_SUCCESS;
}

// libusb reads 0 as "wait for ever"; a wait of 0 ms or less here means "do
// not wait", which libusb can only come close to with 1 ms.
unsigned int TransferTimeout(int64_t ms) {
    if (ms < 1) return 1;
    if (ms > UINT_MAX) return UINT_MAX;
    return static_cast<unsigned int>(ms);
}

void LIBUSB_CALL ReadCompleted(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

// Starts a read of whole packets, at least one, enough for `capacity` bytes.
// It has no time-out of its own: the receive that waits on it has one.
int StartRead(int32_t capacity) {
    const int64_t packets =
        std::max<int64_t>(1, (int64_t{capacity} + InPacketSize - 1) / InPacketSize);
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return LIBUSB_ERROR_NO_MEM;
    PendingRead.bytes.assign(static_cast<std::size_t>(packets * InPacketSize), 0);
    PendingRead.done = 0;
    libusb_fill_bulk_transfer(transfer, DeviceHandle, BulkInPipeId, PendingRead.bytes.data(),
                              static_cast<int>(PendingRead.bytes.size()), ReadCompleted,
                              &PendingRead.done, 0);
    const int result = libusb_submit_transfer(transfer);
    if (result != 0) {
        libusb_free_transfer(transfer);
        return result;
    }
    PendingRead.transfer = transfer;
    return 0;
}

// Lets libusb finish the pending read until it has completed or `waitMs`
// have passed; true once it has completed.
bool AwaitRead(int64_t waitMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (PendingRead.done == 0) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        timeval wait{};
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        libusb_handle_events_timeout_completed(Context, &wait, &PendingRead.done);
    }
    return true;
}

// The libusb result that matches how a read ended.
int ReadResult(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_INTERRUPTED;
        default:
            return LIBUSB_ERROR_IO;
    }
}

// Takes back the completed read: its result, and the bytes it brought in
// `bytes`.
int TakeRead(std::vector<uint8_t>& bytes) {
    libusb_transfer* transfer = PendingRead.transfer;
    const int result = ReadResult(transfer->status);
    bytes.swap(PendingRead.bytes);
    bytes.resize(static_cast<std::size_t>(std::max(transfer->actual_length, 0)));
    libusb_free_transfer(transfer);
    PendingRead = InRead{};
    return result;
}

// Cancels the pending read, if any, and takes it back; true when it had
// brought bytes in (a late answer).
bool CancelRead() {
    if (PendingRead.transfer == nullptr) return false;
    libusb_cancel_transfer(PendingRead.transfer);  // fails only if already complete
    if (!AwaitRead(kCancelWaitMs)) {
        // The kernel still holds the buffer: it is left to it rather than
        // freed under a transfer that may yet write into it.
        static_cast<void>(new std::vector<uint8_t>(std::move(PendingRead.bytes)));
        PendingRead = InRead{};
        return false;
    }
    std::vector<uint8_t> bytes;
    TakeRead(bytes);
    return !bytes.empty();
}

// Reads and throws away what the device still holds on its IN endpoint,
// until a read brings nothing, in at most kDrainReads reads.
void DrainIn() {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::max(InPacketSize, 1024)));
    for (int i = 0; i < kDrainReads; ++i) {
        int received = 0;
        libusb_bulk_transfer(DeviceHandle, BulkInPipeId, bytes.data(),
                             static_cast<int>(bytes.size()), &received, kDrainReadMs);
        if (received <= 0) return;
    }
}

}  // namespace

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
    if (DeviceHandle == nullptr) {
        PipeClose();
        Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
        return DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
    }
    // A kernel driver bound to the interface is detached while we hold it.
    libusb_set_auto_detach_kernel_driver(DeviceHandle, 1);
    int result = libusb_claim_interface(DeviceHandle, DeviceInterface);
    if (result != 0) {
        Message("WinUsb_Initialize Error %d.", SystemError(result));
        PipeClose();
        Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
        return DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
    }
    InterfaceClaimed = true;
    if (!QueryPipes()) {
        PipeClose();
        Message("DuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\n");
        return DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND;
    }
    Message("DuctraOpen success\r\n");
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t PipeSend(uint8_t* buffer, uint32_t length, int32_t timeout) {
    if (!InterfaceClaimed || BulkOutPipeId == 0 || buffer == nullptr || length > INT_MAX) {
        errno = ENODEV;
        Message("DuctraSend Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    // Whatever an earlier exchange left unread is thrown away: the bytes kept,
    // the read still pending, and after a late answer what the device still
    // holds, so that the answer to this request is the next one received.
    ReadCarry.clear();
    if (CancelRead()) DrainIn();
    // errno is the last error the program reports after a failed exchange:
    // every exchange starts here, so an earlier, unrelated error never shows.
    errno = 0;
    Message("DuctraSend status: %li bytes copied into pipe\r\n", static_cast<long>(length));
    int sent = 0;
    int result = libusb_bulk_transfer(DeviceHandle, BulkOutPipeId, buffer, static_cast<int>(length),
                                      &sent, TransferTimeout(int64_t{timeout} + 200));
    if (result != LIBUSB_ERROR_TIMEOUT) {
        // The transfer ended within the wait, completed or failed.
        Message("DuctraSend status: %li bytes send \r\n", static_cast<long>(sent));
        if (result == 0 && static_cast<uint32_t>(sent) >= length) return DUCTRA_RESPONSE_SUCCESS;
    }
    errno = result != 0 ? SystemError(result) : EIO;
    Message("DuctraSend Error: TIMEOUT_OCCUR\r\n");
    return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
}

int32_t PipeReceive(uint8_t* buffer, int32_t capacity, int32_t timeout, uint32_t* count) {
    if (!InterfaceClaimed || BulkInPipeId == 0 || buffer == nullptr || count == nullptr ||
        capacity < 0) {
        errno = ENODEV;
        Message("DuctraReceive Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    Message("DuctraReceive have %li bytes to read\r\n", static_cast<long>(capacity));
    if (!ReadCarry.empty()) {
        std::vector<uint8_t> carried;
        carried.swap(ReadCarry);
        return Deliver(std::move(carried), buffer, capacity, count);
    }
    // A read left by a receive that timed out is waited on again; otherwise
    // a new one starts.
    int result = PendingRead.transfer != nullptr ? 0 : StartRead(capacity);
    Message("DuctraReceive state: Start pipe read of %li bytes\r\n", static_cast<long>(capacity));
    if (result == 0 && !AwaitRead(std::max<int64_t>(timeout, 1))) {
        // Still pending: it stays, for the next receive or send.
        errno = ETIMEDOUT;
        Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
        return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
    }
    std::vector<uint8_t> bytes;
    if (result == 0) result = TakeRead(bytes);
    if (result != 0) {
        // A failed read may still have brought bytes in: they are the start
        // of the answer and go to the next receive.
        ReadCarry = std::move(bytes);
        errno = SystemError(result);
        Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
        return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
    }
    return Deliver(std::move(bytes), buffer, capacity, count);
}

int32_t PipeClose() {
    ReadCarry.clear();
    CancelRead();
    if (DeviceHandle != nullptr) {
        if (InterfaceClaimed) libusb_release_interface(DeviceHandle, DeviceInterface);
        libusb_close(DeviceHandle);
        DeviceHandle = nullptr;
    }
    InterfaceClaimed = false;
    DeviceInterface = -1;
    ReleaseContext();
    return DUCTRA_RESPONSE_SUCCESS;
}

}  // namespace ductra

namespace {

// The device is released when the library is unloaded (or the process ends
// with the pipe still open, as the program does when it quits). Defined after
// the library state, so that it is destroyed before that state is.
struct ReleaseAtUnload {
    ReleaseAtUnload() = default;
    ReleaseAtUnload(const ReleaseAtUnload&) = delete;
    ReleaseAtUnload& operator=(const ReleaseAtUnload&) = delete;
    ~ReleaseAtUnload() { PipeClose(); }
};
const ReleaseAtUnload Releaser;

}  // namespace
