// The six exports, one set for every library that exports them: each hands
// its call to the library's backend table and then traces it. Beside them
// the quiet switch, the version report and the printing of the library's
// console messages.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "usbpipe/pipe_backend.h"
#include "usbpipe/trace/trace_writer.h"

namespace ductra {

uint8_t QuietFlag = 0;

namespace {

void WriteStdout(const char* text, std::size_t length) {
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

OutputSink Sink = WriteStdout;

// Formats into a string of the right length (a device path has no fixed limit).
DUCTRA_VPRINTF_FORMAT void Emit(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return;
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    Sink(text.data(), text.size());
}

// The open of the instrument DUCTRA_DEVICE names. A value that names none
// is refused with one line on standard error, and the open fails as with no
// instrument attached.
int32_t OpenChosen() {
    const char* text = std::getenv("DUCTRA_DEVICE");
    DeviceChoice choice;
    std::string error;
    if (ParseDeviceChoice(text, &choice, &error) == 0) return Backend.open(choice);
    std::fprintf(stderr, "%s: DUCTRA_DEVICE=%s: %s\n", TraceLibraryName, text, error.c_str());
    std::fflush(stderr);
    Backend.close();
    Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
    return DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
}

}  // namespace

void SetOutputSink(OutputSink sink) {
    Sink = sink != nullptr ? sink : WriteStdout;
}

void Message(const char* format, ...) {
    if (QuietFlag != 0) return;
    va_list args;
    va_start(args, format);
    Emit(format, args);
    va_end(args);
}

void Announce(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Emit(format, args);
    va_end(args);
}

}  // namespace ductra

extern "C" {

DUCTRA_API int32_t DUCTRA_CALL DuctraVersion(void) {
    // The printed build number and the returned interface version differ on
    // purpose: callers compare against 1100.
    ductra::Announce("DuctraVersion: 1104\r\n");
    return 1100;
}

DUCTRA_API int32_t DUCTRA_CALL DuctraChatty(int32_t quiet) {
    if (ductra::Backend.prepare != nullptr) ductra::Backend.prepare();
    ductra::QuietFlag = static_cast<uint8_t>(quiet & 0xFF);
    return DUCTRA_RESPONSE_SUCCESS;
}

DUCTRA_API int32_t DUCTRA_CALL DuctraOpen(void) {
    const int32_t result = ductra::OpenChosen();
    ductra::TraceOpen(result);
    return result;
}

DUCTRA_API int32_t DUCTRA_CALL DuctraSend(uint8_t* buffer, uint32_t length, int32_t timeout) {
    const int32_t result = ductra::Backend.send(buffer, length, timeout);
    ductra::TraceSend(buffer, length, timeout, result);
    return result;
}

DUCTRA_API int32_t DUCTRA_CALL DuctraReceive(uint8_t* buffer, int32_t capacity, int32_t timeout,
                                             uint32_t* count) {
    const int32_t result = ductra::Backend.receive(buffer, capacity, timeout, count);
    ductra::TraceReceive(buffer, capacity, timeout, result, count);
    return result;
}

DUCTRA_API int32_t DUCTRA_CALL DuctraClose(void) {
    const int32_t result = ductra::Backend.close();
    ductra::TraceClose(result);
    return result;
}

}  // extern "C"
