// The platform-independent part of ductra: the quiet switch, the version
// report and the printing of the library's console messages.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "ductra_internal.h"

namespace ductra {

uint8_t QuietFlag = 0;

namespace {

void WriteStdout(const char* text, std::size_t length) {
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

OutputSink Sink = WriteStdout;

// Formats into a string of the right length (a device path has no fixed limit).
void Emit(const char* format, va_list args) {
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
    ductra::QuietFlag = static_cast<uint8_t>(quiet & 0xFF);
    return DUCTRA_RESPONSE_SUCCESS;
}

}  // extern "C"
