// Runs the console helpers against a scripted keyboard and a captured screen.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Thrown by the test end-of-input handler, so that a test sees where the
// program would have ended for want of input.
struct EndOfInputReached {};

// While alive: the console input reads from `input`, the console output is
// captured, and end of input throws EndOfInputReached. The destructor puts
// the real streams and handler back.
class ConsoleCapture {
public:
    explicit ConsoleCapture(std::string_view input = {});
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything printed to the console so far.
    std::string Output();

private:
    void* in_;
    void* out_;
};

// While alive: the millisecond clock is a counter that moves 1 ms each time
// it is read, and nothing sleeps, so waits end at once and their length can
// be checked.
class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    // Milliseconds that have passed on the fake clock.
    static uint64_t Now();
};
