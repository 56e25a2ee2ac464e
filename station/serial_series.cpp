// The serial-number series: the counter file, its lock and its journal.
#include "station/serial_series.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/locking.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "station/sha256.h"

namespace {

namespace fs = std::filesystem;

bool ValidSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > 19) return false;
    for (char c : serial) {
        if (c < '!' || c > '~') return false;
    }
    return true;
}

std::string SystemReason() {
    return std::strerror(errno);
}

// The counter's lock, held for one take: an advisory lock on a file of its own.
struct SeriesLock {
    int fd = -1;
};

int Lock(const SerialSeries& series, SeriesLock& lock, std::string& error) {
#if defined(_WIN32)
    lock.fd = _open(series.lockPath.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (lock.fd < 0) {
        error = "the serial-number lock " + series.lockPath + ": " + SystemReason();
        return 1;
    }
    // _LK_LOCK tries for ten seconds and then fails with EDEADLOCK; another
    // station holds the lock for one take only, so that is tried again. Any
    // other failure is the lock file's own and ends the take.
    while (_locking(lock.fd, _LK_LOCK, 1) != 0) {
        if (errno == EDEADLOCK) continue;
        error = "the serial-number lock " + series.lockPath + ": " + SystemReason();
        _close(lock.fd);
        lock.fd = -1;
        return 1;
    }
#else
    lock.fd = open(series.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) {
        error = "the serial-number lock " + series.lockPath + ": " + SystemReason();
        if (lock.fd >= 0) close(lock.fd);
        lock.fd = -1;
        return 1;
    }
#endif
    return 0;
}

void Unlock(SeriesLock& lock) {
    if (lock.fd < 0) return;
#if defined(_WIN32)
    _lseek(lock.fd, 0, SEEK_SET);
    _locking(lock.fd, _LK_UNLCK, 1);
    _close(lock.fd);
#else
    flock(lock.fd, LOCK_UN);
    close(lock.fd);
#endif
    lock.fd = -1;
}

// The counter as it is on the disk: 0 with its value; 1 (error says why)
// when it cannot be read, or is missing while the journal shows numbers
// taken from the series; -1 when it is missing and the series is new.
int ReadCounter(const SerialSeries& series, long& counter, std::string& error) {
    std::error_code ignored;
    if (!fs::exists(fs::u8path(series.counterPath), ignored)) {
        if (fs::file_size(fs::u8path(series.journalPath), ignored) > 0 && !ignored) {
            error = "the serial-number counter " + series.counterPath +
                    " is missing, but numbers were taken from the series (" + series.journalPath +
                    "): refused, not restarted";
            return 1;
        }
        return -1;
    }
    std::ifstream in(fs::u8path(series.counterPath), std::ios::binary);
    std::string text;
    if (!in || !std::getline(in, text)) {
        error = "the serial-number counter " + series.counterPath + " cannot be read";
        return 1;
    }
    char* end = nullptr;
    counter = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || counter < 0) {
        error = "the serial-number counter " + series.counterPath + " holds \"" + text +
                "\", not a number: refused, not restarted";
        return 1;
    }
    return 0;
}

// Writes the counter as a new file, flushed to the disk, renamed over the old one.
int WriteCounter(const SerialSeries& series, const std::string& runId, long value,
                 std::string& error) {
    const std::string fresh = series.counterPath + ".new-" + runId;
    std::FILE* file = std::fopen(fresh.c_str(), "wb");
    bool written =
        file != nullptr && std::fprintf(file, "%ld\n", value) > 0 && std::fflush(file) == 0;
#if defined(_WIN32)
    written = written && _commit(_fileno(file)) == 0;
#else
    written = written && fsync(fileno(file)) == 0;
#endif
    if (file != nullptr) written = std::fclose(file) == 0 && written;
    std::error_code renamed;
    if (written) fs::rename(fs::u8path(fresh), fs::u8path(series.counterPath), renamed);
    if (!written || renamed) {
        error = "the serial-number counter " + series.counterPath +
                " cannot be written: " + (renamed ? renamed.message() : SystemReason());
        std::error_code ignored;
        fs::remove(fs::u8path(fresh), ignored);
        return 1;
    }
#if !defined(_WIN32)
    // The rename itself reaches the disk with its folder.
    const int folder = open(fs::u8path(series.counterPath).parent_path().c_str(), O_RDONLY);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
#endif
    return 0;
}

int AppendJournal(const SerialSeries& series, const std::string& line) {
    std::FILE* file = std::fopen(series.journalPath.c_str(), "ab");
    if (file == nullptr) return 1;
    const bool written = std::fputs(line.c_str(), file) >= 0 && std::fflush(file) == 0;
#if defined(_WIN32)
    _commit(_fileno(file));
#else
    fsync(fileno(file));
#endif
    return std::fclose(file) == 0 && written ? 0 : 1;
}

// The number for a counter value: 0, or 2 with error when there is none.
int SerialFor(const SerialSeries& series, long counter, std::string& serial, std::string& error) {
    if (!series.list.empty()) {
        if (static_cast<std::size_t>(counter) >= series.list.size()) {
            error = "no serial number left in the list (" + std::to_string(series.list.size()) +
                    " used)";
            return 2;
        }
        serial = series.list[static_cast<std::size_t>(counter)];
    } else {
        serial = series.templ;
        const std::size_t at = serial.find("{n");
        const std::size_t close = serial.find('}', at);
        const int width = serial[at + 2] == ':' ? std::atoi(serial.c_str() + at + 3) : 0;
        const std::string digits = std::to_string(counter);
        if (width > 0 && digits.size() > static_cast<std::size_t>(width)) {
            error = "--serial-template " + series.templ + ": the counter " + digits +
                    " has outgrown its " + std::to_string(width) + " digits";
            return 2;
        }
        serial.replace(at, close - at + 1,
                       std::string(static_cast<std::size_t>(width) > digits.size()
                                       ? static_cast<std::size_t>(width) - digits.size()
                                       : 0,
                                   '0') +
                           digits);
    }
    if (!ValidSerial(serial)) {
        error = "serial number \"" + serial + "\": expected 1 to 19 characters without blanks";
        return 2;
    }
    return 0;
}

// The counter's value for the next number, the series' start applied.
// At the check, a start below the counter is refused; at a take, the start
// only moves the counter forward.
int NextCounter(const SerialSeries& series, bool check, long& counter, std::string& error) {
    const int read = ReadCounter(series, counter, error);
    if (read == 1) return 1;
    const long first = series.list.empty() ? series.start : 0;
    if (read < 0) {
        counter = first;
        return 0;
    }
    if (series.startGiven && series.list.empty()) {
        if (series.start < counter && check) {
            error = "--serial-start " + std::to_string(series.start) +
                    " is below the series' counter " + std::to_string(counter) + " (" +
                    series.counterPath + "): its numbers up to " + std::to_string(counter - 1) +
                    " are taken";
            return 2;
        }
        counter = std::max(counter, series.start);
    }
    return 0;
}

}  // namespace

int OpenSerialSeries(const std::string& templ, const std::string& listFile, long start,
                     bool startGiven, const std::string& stateFolder, SerialSeries& series,
                     std::string& error) {
    series = SerialSeries{};
    series.start = start;
    series.startGiven = startGiven;
    std::string key;
    if (!listFile.empty()) {
        std::ifstream in(fs::u8path(listFile), std::ios::binary);
        if (!in) {
            error = "--serials " + listFile + ": cannot be read: " + SystemReason();
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        key = "list " + Sha256Hex(text.str());
        series.name = "list " + listFile;
        std::istringstream lines(text.str());
        for (std::string line; std::getline(lines, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            if (!line.empty() && line[0] != '#') series.list.push_back(line);
        }
        if (series.list.empty()) {
            error = "--serials " + listFile + ": holds no serial number";
            return 2;
        }
    } else {
        const std::size_t at = templ.find("{n");
        const std::size_t close = at == std::string::npos ? at : templ.find('}', at);
        bool valid = close != std::string::npos && (close == at + 2 || templ[at + 2] == ':');
        if (valid && templ[at + 2] == ':') {
            const std::string width = templ.substr(at + 3, close - at - 3);
            valid = !width.empty() && width.size() <= 2 &&
                    width.find_first_not_of("0123456789") == std::string::npos;
        }
        if (!valid) {
            error = "--serial-template " + templ + ": expected {n} or {n:W} in it";
            return 2;
        }
        series.templ = templ;
        series.name = templ;
        key = "template " + templ;
    }
    std::error_code made;
    const fs::path folder = fs::u8path(stateFolder);
    fs::create_directories(folder, made);
    if (made) {
        error = "the state folder " + stateFolder + " cannot be made: " + made.message();
        return 1;
    }
    const std::string base = (folder / ("series-" + Sha256Hex(key).substr(0, 16))).string();
    series.counterPath = base + ".counter";
    series.journalPath = base + ".journal";
    series.lockPath = base + ".lock";
    return 0;
}

int CheckSerialSeries(const SerialSeries& series, std::vector<std::string>& unrecorded,
                      std::string& error) {
    SeriesLock lock;
    if (Lock(series, lock, error) != 0) return 1;
    long counter = 0;
    std::string serial;
    int result = NextCounter(series, true, counter, error);
    if (result == 0) result = SerialFor(series, counter, serial, error);
    // The counter can be written: the same value, a new file renamed over it.
    std::error_code ignored;
    const bool exists = fs::exists(fs::u8path(series.counterPath), ignored);
    if (result == 0 && exists) result = WriteCounter(series, "check", counter, error);
    if (result == 0 && !exists) {
        std::FILE* probe = std::fopen(series.counterPath.c_str(), "ab");
        if (probe == nullptr) {
            error = "the serial-number counter " + series.counterPath + ": " + SystemReason();
            result = 1;
        } else {
            std::fclose(probe);
            fs::remove(fs::u8path(series.counterPath), ignored);
        }
    }
    // Numbers taken and not recorded: their run ended before its record.
    std::ifstream journal(fs::u8path(series.journalPath));
    std::vector<std::pair<std::string, std::string>> taken;
    for (std::string line; std::getline(journal, line);) {
        std::istringstream words(line);
        std::string what, number, run;
        words >> what >> number >> run;
        const std::pair<std::string, std::string> entry{number, run};
        if (what == "taken") taken.push_back(entry);
        // Named once, at the start after the run that took it.
        if (what == "recorded" || what == "named") std::erase(taken, entry);
    }
    journal.close();
    for (const auto& [number, run] : taken) {
        unrecorded.push_back(number + " (run " + run + ")");
        AppendJournal(series, "named " + number + " " + run + "\n");
    }
    Unlock(lock);
    return result;
}

int TakeSerial(const SerialSeries& series, const std::string& runId, std::string& serial,
               std::string& error) {
    SeriesLock lock;
    if (Lock(series, lock, error) != 0) return 1;
    long counter = 0;
    int result = NextCounter(series, false, counter, error);
    if (result == 0) result = SerialFor(series, counter, serial, error);
    if (result == 0) result = WriteCounter(series, runId, counter + 1, error);
    if (result == 0 && AppendJournal(series, "taken " + serial + " " + runId + "\n") != 0) {
        error = "the serial-number journal " + series.journalPath + ": " + SystemReason();
        result = 1;
    }
    Unlock(lock);
    return result;
}

void SerialRecorded(const SerialSeries& series, const std::string& runId,
                    const std::string& serial) {
    AppendJournal(series, "recorded " + serial + " " + runId + "\n");
}
