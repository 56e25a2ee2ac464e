// What every fuzz target needs: the console on an in-memory keyboard and a
// discarded screen, a clock that moves on its own, and end-of-input and quit
// turned into an unwind so one run never ends the fuzzing process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Thrown by the handlers installed while a FuzzRun is alive.
struct FuzzProgramEnded {
    int exitCode;
};

class FuzzRun {
  public:
    // input: what the technician types during this run.
    explicit FuzzRun(std::string_view input);
    ~FuzzRun();
    FuzzRun(const FuzzRun&) = delete;
    FuzzRun& operator=(const FuzzRun&) = delete;
};

// Puts the program's process-wide state back to its start values.
void ResetProgramState();

// Traps (a crash the fuzzer reports) when an invariant does not hold.
inline void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// Reads little-endian helper values from fuzz data without running past it.
class FuzzBytes {
  public:
    FuzzBytes(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::size_t Left() const { return size_ - at_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    // Up to n bytes (fewer at the end of the data).
    std::string_view Take(std::size_t n);

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};
