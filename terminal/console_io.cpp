// The console helpers: formatted output, a small scanner for answers typed at
// prompts, the "Press return " pause and the busy-wait delays.
#include "terminal/console_io.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "terminal/platform.h"
#include "terminal/program_end.h"

namespace {

FILE* InputStream = nullptr;
FILE* OutputStream = nullptr;
EndOfInputHandler InputEndedHandler = nullptr;

// Swallows one unreadable answer: at most 8 characters and the terminator.
char ReadNumberScratch[9];

bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

// Skips blanks; false when the input ended before anything else arrived.
bool SkipBlanks(FILE* in) {
    for (;;) {
        const int c = getc(in);
        if (c == EOF) return false;
        if (!IsBlank(c)) {
            ungetc(c, in);
            return true;
        }
    }
}

enum class Conversion { Stored, NotStored, InputEnded };

// "%d": optional sign and digits. The first character that is not part of
// the number goes back to the input, so "12abc" leaves "abc" behind. Values
// beyond 32 bits saturate.
Conversion ScanDecimal(FILE* in, std::size_t width, int* destination) {
    if (!SkipBlanks(in)) return Conversion::InputEnded;
    std::size_t used = 0;
    int c = getc(in);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        ++used;
        if (used == width) return Conversion::NotStored;
        c = getc(in);
        if (c == EOF) return Conversion::InputEnded;
    }
    if (!IsDigit(c)) {
        ungetc(c, in);
        return Conversion::NotStored;
    }
    constexpr int64_t Limit = int64_t{INT32_MAX} + 1;
    int64_t magnitude = 0;
    for (;;) {
        if (magnitude < Limit) {
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > Limit) magnitude = Limit;
        }
        ++used;
        if (used == width) break;
        c = getc(in);
        if (!IsDigit(c)) {
            if (c != EOF) ungetc(c, in);
            break;
        }
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) value = INT32_MAX;
    if (destination != nullptr) *destination = static_cast<int>(value);
    return Conversion::Stored;
}

// "%s" / "%Ns" in the secure form: at most width characters are taken from
// the token; when they do not fit into size bytes with the terminator,
// nothing is stored and the whole token is dropped so that it cannot be
// mistaken for the next answer.
Conversion ScanToken(FILE* in, std::size_t width, char* destination, std::size_t size) {
    if (!SkipBlanks(in)) return Conversion::InputEnded;
    bool fits = destination != nullptr && size > 0;
    std::size_t count = 0;
    while (width == 0 || count < width) {
        const int c = getc(in);
        if (c == EOF) break;
        if (IsBlank(c)) {
            ungetc(c, in);
            break;
        }
        if (fits && count + 1 < size) {
            destination[count] = static_cast<char>(c);
        } else {
            fits = false;
        }
        ++count;
    }
    if (!fits) {
        if (destination != nullptr && size > 0) destination[0] = '\0';
        DiscardRestOfToken();
        return Conversion::NotStored;
    }
    destination[count] = '\0';
    return Conversion::Stored;
}

int ScanList(const char* format, va_list args) {
    FILE* in = ConsoleInput();
    fflush(ConsoleOutput());  // the prompt must be on screen before waiting
    int assigned = 0;
    for (const char* f = format; *f != '\0'; ++f) {
        if (IsBlank(static_cast<unsigned char>(*f))) {
            // A blank in the format skips any blanks of the input; running
            // out of input here matters only to a conversion that follows.
            int c = getc(in);
            while (c != EOF && IsBlank(c)) c = getc(in);
            if (c != EOF) ungetc(c, in);
            continue;
        }
        if (*f != '%' || f[1] == '%') {
            if (*f == '%') ++f;
            const int c = getc(in);
            if (c == EOF) {
                ConsoleInputEnded();
                return ConsoleScanEnd;
            }
            if (c != static_cast<unsigned char>(*f)) {
                ungetc(c, in);
                return assigned;
            }
            continue;
        }
        ++f;
        std::size_t width = 0;
        while (IsDigit(static_cast<unsigned char>(*f))) {
            width = width * 10 + static_cast<std::size_t>(*f - '0');
            ++f;
        }
        Conversion result;
        if (*f == 'd') {
            result = ScanDecimal(in, width, va_arg(args, int*));
        } else if (*f == 's') {
            char* destination = va_arg(args, char*);
            const std::size_t size = va_arg(args, std::size_t);
            result = ScanToken(in, width, destination, size);
        } else {
            return assigned;  // a conversion this scanner does not offer
        }
        if (result == Conversion::InputEnded) {
            ConsoleInputEnded();
            return ConsoleScanEnd;
        }
        if (result == Conversion::NotStored) return assigned;
        ++assigned;
    }
    return assigned;
}

void BusyWait(uint64_t milliseconds) {
    const uint64_t start = PlatformClockMs();
    while (PlatformClockMs() - start < milliseconds) {
    }
}

}  // namespace

FILE* ConsoleInput() {
    return InputStream != nullptr ? InputStream : stdin;
}
FILE* ConsoleOutput() {
    return OutputStream != nullptr ? OutputStream : stdout;
}

void SetConsoleStreams(FILE* input, FILE* output) {
    InputStream = input;
    OutputStream = output;
}

void SetEndOfInputHandler(EndOfInputHandler handler) {
    InputEndedHandler = handler;
}

void ConsoleInputEnded() {
    if (InputEndedHandler != nullptr) {
        InputEndedHandler();
        return;
    }
    fflush(ConsoleOutput());
    EndProgram(EndOfInputExitCode);
}

int ConsolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = vfprintf(ConsoleOutput(), format, args);
    va_end(args);
    return written;
}

int StreamPrint(FILE* stream, const char* format, ...) {
    // Keeps console text and this message in the order they were printed
    // when both reach the same screen.
    if (stream != ConsoleOutput()) fflush(ConsoleOutput());
    va_list args;
    va_start(args, format);
    const int written = vfprintf(stream, format, args);
    va_end(args);
    fflush(stream);
    return written;
}

int ConsoleScan(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int assigned = ScanList(format, args);
    va_end(args);
    return assigned;
}

bool ReadDecimal(int32_t& value) {
    int number = 0;
    const int assigned = ConsoleScan("%d", &number);
    if (assigned == 1) {
        value = number;
        return true;
    }
    if (assigned == 0) {
        ConsoleScan("%s", ReadNumberScratch, sizeof ReadNumberScratch);
    }
    return false;
}

uint8_t ReadNumber() {
    int32_t value = 0;
    if (!ReadDecimal(value)) return 0;
    return static_cast<uint8_t>(value);
}

void DiscardRestOfToken() {
    FILE* in = ConsoleInput();
    for (;;) {
        const int c = getc(in);
        if (c == EOF) return;
        if (IsBlank(c)) {
            ungetc(c, in);
            return;
        }
    }
}

int PressReturn() {
    ConsolePrint("Press return ");
    fflush(ConsoleOutput());
    const int key = PlatformReadKey(ConsoleInput());
    if (key == EOF) {
        ConsoleInputEnded();
        return 0;
    }
    return key;
}

void DelayMs(uint16_t milliseconds) {
    BusyWait(milliseconds);
}

void BusyWaitMs(uint32_t milliseconds) {
    BusyWait(milliseconds);
}
