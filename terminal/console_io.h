// The console helpers: every line the program prints and every answer it
// reads goes through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Exit code of the program when the console input ends (a closed pipe or
// terminal); a technician's quit exits with 0.
inline constexpr int EndOfInputExitCode = 3;

// Value ConsoleScan returns when the input ended before anything was assigned
// (only seen when the end-of-input handler returns, as in tests).
inline constexpr int ConsoleScanEnd = -1;

// printf-style output to the console; characters written.
int ConsolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// printf-style output to the given stream.
int StreamPrint(FILE* stream, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// scanf-style input in the secure form: every %s (also %Ns) takes its
// destination and then the destination's size in bytes (as size_t). A token
// that does not fit is not stored (the destination gets an empty text) and
// the rest of it is discarded. Supported conversions: %d, %s, %Ns.
// Returns the number of fields assigned. Meeting the end of input ends the
// program through the end-of-input handler.
int ConsoleScan(const char* format, ...);

// Reads one decimal integer and returns its low byte; text where a number
// was expected is discarded (one token) and gives 0.
uint8_t ReadNumber();

// Reads one "%d" answer into value; text where a number was expected is
// discarded (one token) and gives false, so a question asked in a loop is
// asked again instead of spinning on the same text.
bool ReadDecimal(int32_t& value);

// Discards what is left of the current token (up to the next blank or line end).
void DiscardRestOfToken();

// A question the console asks and waits on, printed as its text (its
// trailing blanks included): whoever answers the console in its place keys
// its answers to these texts. An optional prompt is one the console asks
// only for some boards (a depth sensor is never asked for a serial number),
// so a prepared answer to it may go unused.
struct ConsolePrompt {
    const char* text;
    bool optional = false;
};

// The pause after a command's output.
inline constexpr ConsolePrompt PressReturnPrompt{"Press return "};

// Prints PressReturnPrompt and waits for one key; returns it.
int PressReturn();

// Waits at least the given number of milliseconds on the millisecond clock,
// asleep rather than spinning, so that the wait costs no processor time.
void DelayMs(uint16_t milliseconds);
// The same wait for longer waits.
void WaitMs(uint32_t milliseconds);

// The streams the helpers use (stdin and stdout unless replaced by tests).
FILE* ConsoleInput();
FILE* ConsoleOutput();
void SetConsoleStreams(FILE* input, FILE* output);

// Called when a read meets the end of input; by default flushes the console
// and exits with EndOfInputExitCode. Tests may install their own.
using EndOfInputHandler = void (*)();
void SetEndOfInputHandler(EndOfInputHandler handler);
void ConsoleInputEnded();

// An answer source takes the place of the console input: whenever the program
// waits for input and nothing of an earlier answer is left, the source gets
// the prompt (the text printed since the last line end) and writes one answer
// of at most capacity - 1 characters and its terminating zero into answer;
// the answer then reads as if typed and ended with Enter. A nonzero result
// ends the input there (the end-of-input handler runs). nullptr restores the
// console input. While none is installed nothing of this runs.
using AnswerSource = int (*)(const char* prompt, char* answer, std::size_t capacity);
void SetAnswerSource(AnswerSource source);
