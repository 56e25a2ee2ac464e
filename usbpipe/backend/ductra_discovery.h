// How ductra recognises the instrument, in the pieces that only look: the
// library's open builds on them, and so does ductra-probe, so that one place
// knows what the instrument is. Nothing here claims an interface or moves a
// byte. Not exported from the shared library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include "usbpipe/backend/ductra_winusb_platform.h"
#else
#include <libusb.h>
#endif

namespace ductra {

#if defined(_WIN32)

// How the search for the device paths of the instrument's interface class
// ended, and the system error that ended it.
enum class SearchOutcome {
    kComplete,      // every device of the class was visited
    kListFailed,    // SetupDiGetClassDevs gave no list
    kEnumFailed,    // an interface of the list could not be had, or not sized
    kNoMemory,      // no memory for an interface's detail
    kDetailFailed,  // an interface's detail (its path) could not be read
    kStopped,       // the visitor ended the search
};
struct InterfaceSearch {
    SearchOutcome outcome;
    DWORD error;  // kComplete: the last error when the list ran out (259)
};

// One device of the class as the search finds it: its path, `length`
// characters without a terminator, and its element of the class's set, for
// the device's properties.
struct FoundInterface {
    const wchar_t* path;
    std::size_t length;
    HDEVINFO set;
    PSP_DEVINFO_DATA info;
};
// Called with each device of the class in the order found; false ends the search.
using PathVisitor = bool (*)(const FoundInterface& found, void* context);

// Where the device is attached, from its location path: the root hub
// USBROOT(n) gives bus n + 1, each USB(k) after it the next port of the
// chain ("1-4.2"); "" when the location path cannot be read.
std::string PortChain(const FoundInterface& found);
// The device's USB serial number: the instance part of its path, which
// Windows takes from the serial-number string (upper case; a device without
// one gets a generated part with '&' in it, and "" here).
std::string SerialNumber(const FoundInterface& found);

// Lists the present devices of the instrument's interface class through the
// current device-stack table and hands each path to `visit`.
InterfaceSearch SearchInterfacePaths(PathVisitor visit, void* context);

// One endpoint of an interface's alternate setting 0 as WinUSB reports it.
struct PipeFacts {
    UCHAR index;
    USBD_PIPE_TYPE type;
    UCHAR id;
    USHORT packet_size;
};

// What the interface's queries brought. A failed query of one endpoint
// leaves that endpoint out; the last query made decides `last_ok`.
struct InterfacePipes {
    bool settings_read;  // the interface's own query answered
    DWORD error;         // the last failed query's system error, or 0
    UCHAR interface_number;
    UCHAR endpoints;  // the endpoints the interface declares
    int count;        // the endpoints that answered, in `pipes`
    PipeFacts pipes[255];
    bool last_ok;
};

// Queries alternate setting 0 of `usb` and each of its endpoints.
void QueryInterfacePipes(WINUSB_INTERFACE_HANDLE usb, InterfacePipes* out);

#else

// The USB ids the library is built for.
uint16_t InstrumentVendorId();
uint16_t InstrumentProductId();
bool HasInstrumentIds(const libusb_device_descriptor& descriptor);

// The instrument's pipes: an interface whose first alternate setting has
// exactly one bulk IN and one bulk OUT endpoint.
struct BulkPair {
    int interface_number;
    uint8_t in_address;
    int in_packet_size;
    uint8_t out_address;
    int out_packet_size;
};

// The first interface of `config` that has a bulk pair.
bool FindBulkPair(const libusb_config_descriptor& config, BulkPair* pair);

// The number of the instrument's interface on `device`, or -1 when the
// device has other ids, no readable configuration or no bulk pair.
int InstrumentInterface(libusb_device* device);

// Where `device` is attached, as sysfs names it: the bus, then the port
// chain from the root hub ("1-4.2").
std::string PortChain(libusb_device* device);
// The device's USB serial-number string: what the kernel read at
// enumeration (sysfs), else the string descriptor itself (the device is
// opened for that); empty when it has none or it cannot be read.
std::string SerialNumber(libusb_device* device);

// The errno value that matches a libusb error code.
int SystemError(int libusb_error);

#endif

}  // namespace ductra
