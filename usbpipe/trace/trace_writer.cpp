// The trace writer: one line per traced call, composed in memory and
// appended to the trace file with one write. Built once and linked into the
// USB library and into the virtual instrument, each of which names itself
// (TraceLibraryName) in the header line and in the writer's messages.
//
// Cost: while DUCTRA_TRACE is unset a call pays one comparison. While it is
// set a line costs a clock reading, its digits and one write to the page
// cache: about a microsecond, a thousandth of an exchange with an instrument.
#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "usbpipe/trace/trace_file.h"
#include "usbpipe/trace/trace_format.h"
#include "usbpipe/trace/trace_writer.h"

namespace ductra {

namespace {

enum class TraceState : uint8_t { Unstarted, Off, On };

// Read without the lock on every call, so that an untraced program pays one
// comparison; changed only under the lock.
std::atomic<TraceState> State{TraceState::Unstarted};
// One line at a time, whichever thread traces it.
std::mutex Lock;
uint64_t StartMicros = 0;
std::string TracePath;
std::string Header;  // the trace's header line, written again after a truncation
std::string Line;    // the line being composed, kept for its capacity

// " XY" for every byte value.
constexpr std::array<std::array<char, 3>, 256> MakeHexTable() {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 3>, 256> table{};
    for (std::size_t b = 0; b < 256; ++b) table[b] = {' ', digits[b >> 4], digits[b & 15]};
    return table;
}
constexpr std::array<std::array<char, 3>, 256> kHex = MakeHexTable();

void PutNumber(std::string& line, int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end);
}

// Milliseconds since the trace began, to the microsecond: "1234.567".
void PutTime(std::string& line) {
    const uint64_t micros = TraceClockMicros() - StartMicros;
    PutNumber(line, static_cast<int64_t>(micros / 1000));
    const auto fraction = static_cast<unsigned>(micros % 1000);
    line += '.';
    line += static_cast<char>('0' + fraction / 100);
    line += static_cast<char>('0' + fraction / 10 % 10);
    line += static_cast<char>('0' + fraction % 10);
}

void PutBytes(std::string& line, char marker, const uint8_t* bytes, std::size_t count) {
    line += ' ';
    line += marker;
    for (std::size_t i = 0; i < count; ++i) line.append(kHex[bytes[i]].data(), 3);
}

// " result=R", and " error=E" when the call failed.
void PutResult(std::string& line, int32_t result, int error) {
    line += " result=";
    PutNumber(line, result);
    if (result != 0) {
        line += " error=";
        PutNumber(line, error);
    }
}

void Finish() {
    TraceFileClose();
    State.store(TraceState::Off, std::memory_order_relaxed);
}

void Start(const std::string& path) {
    State.store(TraceState::Off, std::memory_order_relaxed);
    if (path.empty()) return;
    std::string error;
    bool endsLine = true;
    switch (TraceFileOpen(path.c_str(), error, endsLine)) {
        case TraceFileOpened::Yes:
            break;
        case TraceFileOpened::Busy:
            std::fprintf(stderr,
                         "%s: the trace %s is being written by another program; this one runs "
                         "untraced\n",
                         TraceLibraryName, path.c_str());
            return;
        case TraceFileOpened::Failed:
            std::fprintf(stderr, "%s: cannot write the trace %s: %s\n", TraceLibraryName,
                         path.c_str(), error.c_str());
            return;
    }
    TracePath = path;
    StartMicros = TraceClockMicros();
    State.store(TraceState::On, std::memory_order_relaxed);
    // What an earlier writer left of a line stays a line of its own.
    Header = "ductra-trace ";
    PutNumber(Header, TraceFormatVersion);
    Header += " library=";
    Header += TraceLibraryName;
    Header += '/';
    Header += TraceLibraryVersion;
    Header += " platform=";
    Header += TracePlatformName();
    Header += " start=";
    Header += TraceUtcNow();
    Header += '\n';
    Line.assign(endsLine ? "" : "\n");
    Line += Header;
}

// Appends the composed line. A file truncated under the program (log
// rotation) gets the header again, on a line of its own, so that what
// follows is a trace still; the call times go on counting from the header's
// start. A file that takes no more or that was deleted stops the trace
// with one line on standard error, and the program goes on untraced.
void Append() {
    std::string error;
    bool endsLine = true;
    switch (TraceFileLook(endsLine)) {
        case TraceFileChange::None:
            break;
        case TraceFileChange::Truncated:
            Line.insert(0, Header);
            if (!endsLine) Line.insert(0, 1, '\n');
            break;
        case TraceFileChange::Deleted:
            std::fprintf(stderr, "%s: trace %s: the file was deleted; tracing stops\n",
                         TraceLibraryName, TracePath.c_str());
            Finish();
            return;
    }
    if (TraceFileAppend(Line.data(), Line.size(), error)) return;
    std::fprintf(stderr, "%s: trace %s: %s; tracing stops\n", TraceLibraryName, TracePath.c_str(),
                 error.c_str());
    Finish();
}

// Writes one call line: the time, then what `words` puts after it (given the
// line and the call's system error), then the line end. The trace starts
// from DUCTRA_TRACE at the first traced call.
template <typename Words>
void WriteLine(Words words) {
    const TraceErrorGuard guard;
    const int error = TraceSystemError();
    const std::lock_guard<std::mutex> held(Lock);
    if (State.load(std::memory_order_relaxed) == TraceState::Unstarted) {
        Start(TraceEnvironmentPath());
        if (State.load(std::memory_order_relaxed) != TraceState::On) return;
    } else {
        if (State.load(std::memory_order_relaxed) != TraceState::On) return;
        Line.clear();
    }
    PutTime(Line);
    words(Line, error);
    Line += '\n';
    Append();
}

bool Untraced() {
    return State.load(std::memory_order_relaxed) == TraceState::Off;
}

void TraceBare(std::string_view call, int32_t result) {
    if (Untraced()) return;
    WriteLine([&](std::string& line, int error) {
        line += call;
        PutResult(line, result, error);
    });
}

}  // namespace

void TraceOpen(int32_t result) {
    TraceBare(" open", result);
}

void TraceClose(int32_t result) {
    TraceBare(" close", result);
}

void TraceSend(const uint8_t* buffer, uint32_t length, int32_t timeout, int32_t result) {
    if (Untraced()) return;
    const std::size_t shown =
        buffer == nullptr ? 0 : (length < TraceBytesLimit ? length : TraceBytesLimit);
    WriteLine([&](std::string& line, int error) {
        line += " send timeout=";
        PutNumber(line, timeout);
        line += " length=";
        PutNumber(line, length);
        PutResult(line, result, error);
        if (buffer != nullptr) PutBytes(line, '>', buffer, shown);
    });
}

void TraceReceive(const uint8_t* buffer, int32_t capacity, int32_t timeout, int32_t result,
                  const uint32_t* count) {
    if (Untraced()) return;
    // What was delivered: never more than the caller's capacity.
    const bool data = result == 0 && buffer != nullptr && count != nullptr;
    const uint32_t delivered =
        data && capacity > 0 ? std::min(*count, static_cast<uint32_t>(capacity)) : uint32_t{0};
    const std::size_t shown = delivered < TraceBytesLimit ? delivered : TraceBytesLimit;
    WriteLine([&](std::string& line, int error) {
        line += " receive capacity=";
        PutNumber(line, capacity);
        line += " timeout=";
        PutNumber(line, timeout);
        PutResult(line, result, error);
        if (!data) return;
        line += " count=";
        PutNumber(line, delivered);
        PutBytes(line, '<', buffer, shown);
    });
}

void TraceRestart(const char* path) {
    const TraceErrorGuard guard;
    const std::lock_guard<std::mutex> held(Lock);
    Finish();
    Start(path != nullptr ? path : "");
    if (State.load(std::memory_order_relaxed) == TraceState::On) Append();
}

}  // namespace ductra
