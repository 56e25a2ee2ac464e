// The trace writer: one line per traced call, composed straight into the
// mapped trace file. Built into the USB library and into the virtual
// instrument; DUCTRA_TRACE_LIBRARY names which one in the header line.
//
// Cost: while DUCTRA_TRACE is unset a call pays one comparison. While it is
// set a line costs a clock reading and its digits: numbers are written two
// digits at a time, the bytes sixteen at a time where the processor allows,
// and no system call is made per line.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#define DUCTRA_TRACE_BYTE_SHUFFLE 1
#include <immintrin.h>
#endif

#include "trace.h"
#include "trace_file.h"

#if !defined(DUCTRA_TRACE_LIBRARY) || !defined(DUCTRA_TRACE_LIBRARY_VERSION)
#error "DUCTRA_TRACE_LIBRARY and DUCTRA_TRACE_LIBRARY_VERSION name the library in the header"
#endif

namespace ductra {

TraceCursor Cursor;

namespace {

enum class TraceState : uint8_t { Unstarted, Off, On };

TraceState State = TraceState::Unstarted;
uint64_t StartMicros = 0;
std::string TracePath;
bool FinishRegistered = false;

// Room for a line's words other than its bytes.
constexpr std::size_t kLineWords = 192;

// " XY " for every byte value: four bytes are stored and three kept, so that
// a byte costs one copy.
constexpr std::array<std::array<char, 4>, 256> MakeHexTable() {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 4>, 256> table{};
    for (std::size_t b = 0; b < 256; ++b) table[b] = {' ', digits[b >> 4], digits[b & 15], ' '};
    return table;
}
constexpr std::array<std::array<char, 4>, 256> kHex = MakeHexTable();

char* PutText(char* at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

// "00" to "99": two digits per division.
constexpr std::array<char, 200> MakeDigitPairs() {
    std::array<char, 200> pairs{};
    for (std::size_t n = 0; n < 100; ++n) {
        pairs[2 * n] = static_cast<char>('0' + n / 10);
        pairs[2 * n + 1] = static_cast<char>('0' + n % 10);
    }
    return pairs;
}
constexpr std::array<char, 200> kDigitPairs = MakeDigitPairs();

// Writes the decimal digits backwards from `end`, which the caller has
// placed after the last digit.
void PutDigitsBefore(char* end, uint64_t value) {
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, &kDigitPairs[2 * (value % 100)], 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(end - 2, &kDigitPairs[2 * value], 2);
    } else {
        end[-1] = static_cast<char>('0' + value);
    }
}

char* PutUnsigned(char* at, uint64_t value) {
    std::size_t digits = 1;
    for (uint64_t bound = 10; digits < 20 && value >= bound; bound *= 10) ++digits;
    PutDigitsBefore(at + digits, value);
    return at + digits;
}

char* PutSigned(char* at, int64_t value) {
    if (value >= 0) return PutUnsigned(at, static_cast<uint64_t>(value));
    *at++ = '-';
    return PutUnsigned(at, static_cast<uint64_t>(-(value + 1)) + 1);
}

// Milliseconds since the trace began, to the microsecond: "1234.567". At a
// high rate of calls the whole milliseconds repeat from line to line: their
// digits are kept.
char* PutTime(char* at) {
    static uint64_t shownMillis = UINT64_MAX;
    static std::array<char, 24> shownText{};
    static std::size_t shownLength = 0;
    const uint64_t micros = TraceClockMicros() - StartMicros;
    const uint64_t millis = micros / 1000;
    if (millis != shownMillis) {
        shownLength =
            static_cast<std::size_t>(PutUnsigned(shownText.data(), millis) - shownText.data());
        shownText[shownLength] = '.';
        shownMillis = millis;
    }
    std::memcpy(at, shownText.data(), shownLength + 1);
    at += shownLength + 1;
    const auto fraction = static_cast<unsigned>(micros - millis * 1000);
    *at = static_cast<char>('0' + fraction / 100);
    std::memcpy(at + 1, &kDigitPairs[2 * (fraction % 100)], 2);
    return at + 3;
}

#if defined(DUCTRA_TRACE_BYTE_SHUFFLE)
// Sixteen bytes at a time where the processor shuffles bytes (SSSE3): the
// nibbles become digits by a lookup within a register, and the digit pairs
// are spread out to leave room for the spaces. About three times as fast as
// the table, on the longest part of most lines.
__attribute__((target("ssse3"))) char* PutHexBlocks(char* at, const uint8_t* bytes,
                                                    std::size_t blocks) {
    const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
                                         'C', 'D', 'E', 'F');
    const __m128i low = _mm_set1_epi8(0x0F);
    // Where each output character comes from in the pairs of bytes 0-7 (a)
    // and 8-15 (b); -1 leaves a zero for the space laid over it.
    const __m128i fromA0 = _mm_setr_epi8(-1, 0, 1, -1, 2, 3, -1, 4, 5, -1, 6, 7, -1, 8, 9, -1);
    const __m128i fromA1 =
        _mm_setr_epi8(10, 11, -1, 12, 13, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i fromB1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, -1, 2, 3, -1, 4);
    const __m128i fromB2 = _mm_setr_epi8(5, -1, 6, 7, -1, 8, 9, -1, 10, 11, -1, 12, 13, -1, 14, 15);
    const __m128i spaces0 =
        _mm_setr_epi8(' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ');
    const __m128i spaces1 = _mm_setr_epi8(0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0);
    const __m128i spaces2 = _mm_setr_epi8(0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0);
    for (std::size_t block = 0; block < blocks; ++block) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * block));
        const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), low));
        const __m128i lowDigits = _mm_shuffle_epi8(digits, _mm_and_si128(x, low));
        const __m128i a = _mm_unpacklo_epi8(high, lowDigits);
        const __m128i b = _mm_unpackhi_epi8(high, lowDigits);
        const __m128i out0 = _mm_or_si128(_mm_shuffle_epi8(a, fromA0), spaces0);
        const __m128i out1 = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(a, fromA1), _mm_shuffle_epi8(b, fromB1)), spaces1);
        const __m128i out2 = _mm_or_si128(_mm_shuffle_epi8(b, fromB2), spaces2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), out0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 16), out1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 32), out2);
        at += 48;
    }
    return at;
}

bool HasByteShuffle() {
    static const bool has = __builtin_cpu_supports("ssse3") != 0;
    return has;
}
#endif

char* PutBytes(char* at, char marker, const uint8_t* bytes, std::size_t count) {
    *at++ = ' ';
    *at++ = marker;
    std::size_t i = 0;
#if defined(DUCTRA_TRACE_BYTE_SHUFFLE)
    if (count >= 16 && HasByteShuffle()) {
        at = PutHexBlocks(at, bytes, count / 16);
        i = count / 16 * 16;
    }
#endif
    for (; i < count; ++i) {
        std::memcpy(at, kHex[bytes[i]].data(), 4);
        at += 3;
    }
    return at;
}

void Finish() {
    if (State == TraceState::On) TraceFileClose();
    State = TraceState::Off;
}

void Stop(const std::string& why) {
    std::fprintf(stderr, "%s: trace %s: %s; tracing stops\n", DUCTRA_TRACE_LIBRARY,
                 TracePath.c_str(), why.c_str());
    Finish();
}

// Room for a line of `bytes` traced bytes, or nullptr when tracing stopped.
char* Reserve(std::size_t bytes) {
    const std::size_t size = kLineWords + 3 * bytes + 1;
    if (Cursor.window != nullptr && Cursor.end + size <= Cursor.windowEnd) {
        return Cursor.window + (Cursor.end - Cursor.windowStart);
    }
    std::string error;
    char* line = TraceFileGrow(size, error);
    if (line == nullptr) Stop("the file cannot grow (" + error + ")");
    return line;
}

void Commit(std::size_t used) {
    Cursor.end += used;
}

void Start(const char* path) {
    State = TraceState::Off;
    if (path == nullptr || *path == '\0') return;
    std::string error;
    bool cutLine = false;
    if (!TraceFileOpen(path, error, cutLine)) {
        std::fprintf(stderr, "%s: cannot write the trace %s: %s\n", DUCTRA_TRACE_LIBRARY, path,
                     error.c_str());
        return;
    }
    TracePath = path;
    StartMicros = TraceClockMicros();
    State = TraceState::On;
    if (!FinishRegistered) FinishRegistered = std::atexit(Finish) == 0;
    // What a killed writer left of a line stays a line of its own.
    const std::string header =
        std::string(cutLine ? "\n" : "") + "ductra-trace " + std::to_string(TraceFormatVersion) +
        " library=" DUCTRA_TRACE_LIBRARY "/" DUCTRA_TRACE_LIBRARY_VERSION " platform=" +
        TracePlatformName() + " start=" + TraceUtcNow() + "\n";
    char* at = Reserve(header.size());
    if (at == nullptr) return;
    PutText(at, header);
    Commit(header.size());
}

// True while a trace is being written; starts it from DUCTRA_TRACE at the
// first traced call.
bool Tracing() {
    if (State == TraceState::Unstarted) Start(std::getenv("DUCTRA_TRACE"));
    return State == TraceState::On;
}

// " result=R", and " error=E" when the call failed.
char* PutResult(char* at, int32_t result, int error) {
    at = PutText(at, " result=");
    at = PutSigned(at, result);
    if (result != 0) {
        at = PutText(at, " error=");
        at = PutSigned(at, error);
    }
    return at;
}

// Writes one call line: the time, then what `words` puts after it (given
// where to write and the call's system error), then the line end. `bytes`
// is how many traced bytes the words hold at the most.
template <typename Words>
void WriteLine(std::size_t bytes, Words words) {
    const TraceErrorGuard guard;
    const int error = TraceSystemError();
    if (!Tracing()) return;
    char* line = Reserve(bytes);
    if (line == nullptr) return;
    char* at = words(PutTime(line), error);
    *at++ = '\n';
    Commit(static_cast<std::size_t>(at - line));
}

void TraceBare(std::string_view call, int32_t result) {
    if (State == TraceState::Off) return;
    WriteLine(0, [&](char* at, int error) { return PutResult(PutText(at, call), result, error); });
}

}  // namespace

void TraceOpen(int32_t result) {
    TraceBare(" open", result);
}

void TraceClose(int32_t result) {
    TraceBare(" close", result);
}

void TraceSend(const uint8_t* buffer, uint32_t length, int32_t timeout, int32_t result) {
    if (State == TraceState::Off) return;
    const std::size_t shown =
        buffer == nullptr ? 0 : (length < TraceBytesLimit ? length : TraceBytesLimit);
    WriteLine(shown, [&](char* at, int error) {
        at = PutText(at, " send timeout=");
        at = PutSigned(at, timeout);
        at = PutText(at, " length=");
        at = PutUnsigned(at, length);
        at = PutResult(at, result, error);
        return buffer != nullptr ? PutBytes(at, '>', buffer, shown) : at;
    });
}

void TraceReceive(const uint8_t* buffer, int32_t capacity, int32_t timeout, int32_t result,
                  const uint32_t* count) {
    if (State == TraceState::Off) return;
    // What was delivered: never more than the caller's capacity.
    const bool data = result == 0 && buffer != nullptr && count != nullptr;
    const uint32_t delivered =
        data && capacity > 0 ? std::min(*count, static_cast<uint32_t>(capacity)) : uint32_t{0};
    const std::size_t shown = delivered < TraceBytesLimit ? delivered : TraceBytesLimit;
    WriteLine(shown, [&](char* at, int error) {
        at = PutText(at, " receive capacity=");
        at = PutSigned(at, capacity);
        at = PutText(at, " timeout=");
        at = PutSigned(at, timeout);
        at = PutResult(at, result, error);
        if (!data) return at;
        at = PutText(at, " count=");
        at = PutUnsigned(at, delivered);
        return PutBytes(at, '<', buffer, shown);
    });
}

void TraceRestart(const char* path) {
    const TraceErrorGuard guard;
    Finish();
    Start(path);
}

}  // namespace ductra
