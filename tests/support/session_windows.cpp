// The session runner's process control on Windows: CreateProcessW with the
// standard streams on files of the work folder, an environment block of its
// own, and TerminateProcess at the time bound.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/session_process.h"

namespace fs = std::filesystem;

namespace {

// The programs are built into the folder of the test program itself.
fs::path ProgramFolder() {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length == 0) return fs::path();
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    return fs::path(self).parent_path();
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// The name of a NAME=value entry. Entries such as "=C:=C:\dir" keep their
// leading '=' in the name.
std::wstring EntryName(const std::wstring& entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The test's own environment with the launch's changes, as the sorted,
// doubly terminated block that CreateProcessW takes.
std::wstring EnvironmentBlock(const SessionLaunch& launch) {
    std::vector<std::wstring> entries;
    if (wchar_t* current = GetEnvironmentStringsW()) {
        for (const wchar_t* at = current; *at != L'\0'; at += std::wcslen(at) + 1) {
            entries.emplace_back(at);
        }
        FreeEnvironmentStringsW(current);
    }
    auto drop = [&entries](const std::wstring& name) {
        std::erase_if(entries,
                      [&name](const std::wstring& e) { return SameName(EntryName(e), name); });
    };
    for (const std::string& name : launch.unset) drop(Wide(name));
    for (const auto& [name, value] : launch.set) {
        drop(Wide(name));
        entries.push_back(Wide(name) + L"=" + Wide(value));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::wstring& a, const std::wstring& b) {
                         const std::wstring left = EntryName(a);
                         const std::wstring right = EntryName(b);
                         return CompareStringOrdinal(left.c_str(), -1, right.c_str(), -1, TRUE) ==
                                CSTR_LESS_THAN;
                     });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

HANDLE InheritableFile(const fs::path& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A Windows program's standard streams are in text mode: each "\n" it
// writes arrives as "\r\n" (and a "\r\n" of its own as "\r\r\n"). Each such
// pair is turned back into "\n", so that the transcript holds the bytes the
// program formatted, as on every other platform.
std::string FromTextMode(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        plain += text[i];
    }
    return plain;
}

}  // namespace

std::string QuillonSimPath() {
    return (ProgramFolder() / L"quillon-sim.exe").string();
}

std::string ProgramPath(const std::string& name) {
    return (ProgramFolder() / (name + ".exe")).string();
}

std::string MakeSessionDir() {
    // Wine reuses small process ids from run to run: a random name.
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "quillon-e2e-%08X", static_cast<unsigned>(random()));
        std::error_code error;
        if (fs::create_directory(base / name, error)) return (base / name).string();
    }
    return {};
}

void RunSessionProcess(const SessionLaunch& launch, SessionResult& result) {
    const fs::path outputPath = launch.workDir / "output.txt";
    const fs::path errorsPath = launch.workDir / "errors.txt";
    HANDLE input = InheritableFile(launch.inputPath, GENERIC_READ, OPEN_EXISTING);
    HANDLE output = InheritableFile(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE errors = InheritableFile(errorsPath, GENERIC_WRITE, CREATE_ALWAYS);
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE ||
        errors == INVALID_HANDLE_VALUE) {
        for (HANDLE h : {input, output, errors}) {
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
        return;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    const fs::path program = fs::path(Wide(launch.program));
    // The arguments the tests pass hold no quotes and no backslash before one.
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    for (const std::string& argument : launch.arguments)
        commandLine += L" \"" + Wide(argument) + L"\"";
    std::wstring environment = EnvironmentBlock(launch);
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                       launch.workDir.c_str(), &startup, &process);
    const DWORD startError = started ? 0 : GetLastError();
    // The child holds its own copies of the three handles.
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(errors);
    if (!started) {
        result.errors = "CreateProcessW failed: error " + std::to_string(startError) + "\n";
        return;
    }
    CloseHandle(process.hThread);

    const DWORD bound = static_cast<DWORD>(launch.timeoutSeconds) * 1000u;
    if (WaitForSingleObject(process.hProcess, bound) == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    } else {
        DWORD code = 0;
        // As on POSIX, a program ended by an exception (an NTSTATUS error
        // code) has not exited normally: -1.
        if (GetExitCodeProcess(process.hProcess, &code) && code < 0xC0000000u) {
            result.exitCode = static_cast<int>(code);
        }
    }
    CloseHandle(process.hProcess);

    result.output = FromTextMode(ReadSessionFile(outputPath));
    result.errors += FromTextMode(ReadSessionFile(errorsPath));
}
