// The console helpers: formatted output, a small scanner for answers typed at
// prompts, the "Press return " pause and the delays, which sleep until their deadline.
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

// The answer source, the answer it gave that is still being read, and the
// prompt: the text printed since the last line end (or carriage return).
AnswerSource Answers = nullptr;
constexpr std::size_t AnswerCapacity = 256;
char AnswerText[AnswerCapacity + 1];
std::size_t AnswerSize = 0;
std::size_t AnswerRead = 0;
char PromptText[AnswerCapacity];
std::size_t PromptSize = 0;

__attribute__((format(printf, 1, 0))) void KeepPrompt(const char* format, va_list args) {
    char text[1024];
    const int length = vsnprintf(text, sizeof text, format, args);
    if (length < 0) return;
    const std::size_t kept = static_cast<std::size_t>(length) < sizeof text
                                 ? static_cast<std::size_t>(length)
                                 : sizeof text - 1;
    for (std::size_t i = 0; i < kept; ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            PromptSize = 0;
        } else if (PromptSize + 1 < sizeof PromptText) {
            PromptText[PromptSize++] = text[i];
        }
    }
    PromptText[PromptSize] = '\0';
}

// One character of input: from the answer source when one is installed,
// otherwise from the stream.
int NextChar(FILE* in) {
    if (Answers == nullptr) return getc(in);
    if (AnswerRead == AnswerSize) {
        PromptText[PromptSize] = '\0';
        AnswerText[0] = '\0';
        if (Answers(PromptText, AnswerText, AnswerCapacity) != 0) return EOF;
        AnswerText[AnswerCapacity - 1] = '\0';
        AnswerSize = 0;
        while (AnswerText[AnswerSize] != '\0') ++AnswerSize;
        AnswerText[AnswerSize++] = '\n';
        AnswerRead = 0;
        // The answer's Enter ends the prompt's line, as on a terminal.
        PromptSize = 0;
    }
    return static_cast<unsigned char>(AnswerText[AnswerRead++]);
}

// Gives back the character last read (the scanners give back at most one).
void PutBack(int c, FILE* in) {
    if (Answers == nullptr) {
        ungetc(c, in);
    } else if (AnswerRead > 0) {
        --AnswerRead;
    }
}

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
        const int c = NextChar(in);
        if (c == EOF) return false;
        if (!IsBlank(c)) {
            PutBack(c, in);
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
    int c = NextChar(in);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        ++used;
        if (used == width) return Conversion::NotStored;
        c = NextChar(in);
        if (c == EOF) return Conversion::InputEnded;
    }
    if (!IsDigit(c)) {
        PutBack(c, in);
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
        c = NextChar(in);
        if (!IsDigit(c)) {
            if (c != EOF) PutBack(c, in);
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
        const int c = NextChar(in);
        if (c == EOF) break;
        if (IsBlank(c)) {
            PutBack(c, in);
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
            int c = NextChar(in);
            while (c != EOF && IsBlank(c)) c = NextChar(in);
            if (c != EOF) PutBack(c, in);
            continue;
        }
        if (*f != '%' || f[1] == '%') {
            if (*f == '%') ++f;
            const int c = NextChar(in);
            if (c == EOF) {
                ConsoleInputEnded();
                return ConsoleScanEnd;
            }
            if (c != static_cast<unsigned char>(*f)) {
                PutBack(c, in);
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

// Waits until `milliseconds` have passed on the millisecond clock, asleep:
// each sleep is for what is left, and the clock decides when it is over.
void WaitOnClock(uint64_t milliseconds) {
    const uint64_t start = PlatformClockMs();
    for (uint64_t passed = 0; passed < milliseconds; passed = PlatformClockMs() - start) {
        PlatformSleepMs(milliseconds - passed);
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

void SetAnswerSource(AnswerSource source) {
    Answers = source;
    AnswerSize = AnswerRead = 0;
    PromptSize = 0;
    PromptText[0] = '\0';
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
    if (Answers != nullptr) {
        va_list copy;
        va_copy(copy, args);
        KeepPrompt(format, copy);
        va_end(copy);
    }
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
        const int c = NextChar(in);
        if (c == EOF) return;
        if (IsBlank(c)) {
            PutBack(c, in);
            return;
        }
    }
}

int PressReturn() {
    ConsolePrint("%s", PressReturnPrompt.text);
    fflush(ConsoleOutput());
    const int key = Answers != nullptr ? NextChar(ConsoleInput()) : PlatformReadKey(ConsoleInput());
    if (key == EOF) {
        ConsoleInputEnded();
        return 0;
    }
    return key;
}

void DelayMs(uint16_t milliseconds) {
    WaitOnClock(milliseconds);
}

void WaitMs(uint32_t milliseconds) {
    WaitOnClock(milliseconds);
}
