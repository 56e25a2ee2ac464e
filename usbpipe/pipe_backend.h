// What stands behind the six exports: each library that exports them (the
// USB pipe, the virtual instrument) defines one backend table, and the one
// set of exports (usbpipe/ductra_exports.cpp) hands every call to it, prints
// through the library's console messages and traces the call. Not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "usbpipe/ductra.h"

#if defined(__MINGW32__)
#define DUCTRA_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#define DUCTRA_VPRINTF_FORMAT __attribute__((format(gnu_printf, 1, 0)))
#else
#define DUCTRA_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#define DUCTRA_VPRINTF_FORMAT __attribute__((format(printf, 1, 0)))
#endif

namespace ductra {

// Which instrument an open is to take (DUCTRA_DEVICE): any (the last one
// found), the one at a USB port chain ("1-4.2": bus 1, port 4, then port 2),
// or the one whose USB serial-number string is `value`.
enum class ChoiceKind : uint8_t { kAny, kPort, kSerial };
struct DeviceChoice {
    ChoiceKind kind = ChoiceKind::kAny;
    std::string value;
};

// Reads the text of DUCTRA_DEVICE (nullptr or empty: any instrument) into
// `choice`. 0 when it reads `port=BUS-PORT[.PORT...]` or `serial=TEXT`;
// otherwise 1, with `error` saying what was expected.
int ParseDeviceChoice(const char* text, DeviceChoice* choice, std::string* error);
// True when an instrument at `port` with USB serial `serial` is the one chosen.
bool ChoiceMatches(const DeviceChoice& choice, const std::string& port, const std::string& serial);

struct PipeBackend {
    // Opens the chosen instrument: 0, -2, -3 or -4, printing as DuctraOpen does.
    int32_t (*open)(const DeviceChoice& choice);
    int32_t (*send)(uint8_t* buffer, uint32_t length, int32_t timeout);
    int32_t (*receive)(uint8_t* buffer, int32_t capacity, int32_t timeout, uint32_t* count);
    int32_t (*close)();
    // Called before DuctraChatty stores the quiet switch; may be null.
    void (*prepare)();
};

// The backend of this library, defined once in each library.
extern const PipeBackend Backend;

// Nonzero silences every message except the version line (DuctraChatty).
extern uint8_t QuietFlag;

// Where the library's console text goes. The default writes to standard
// output and flushes, so that the text interleaves with the program's own.
using OutputSink = void (*)(const char* text, std::size_t length);
// Replaces the sink; nullptr puts standard output back. Used by the tests.
void SetOutputSink(OutputSink sink);

// Prints a diagnostic line while the library is not quiet.
void Message(const char* format, ...) DUCTRA_PRINTF_FORMAT;
// Prints whatever the quiet switch holds (the version line).
void Announce(const char* format, ...) DUCTRA_PRINTF_FORMAT;

}  // namespace ductra
