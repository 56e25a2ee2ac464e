// The session runner's process control on POSIX: fork, exec, the standard
// streams through pipes, and a kill at the time bound.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "support/session_process.h"

#ifndef QUILLON_SIM_PATH
#error "QUILLON_SIM_PATH must name the quillon-sim program"
#endif

namespace fs = std::filesystem;

std::string QuillonSimPath() { return QUILLON_SIM_PATH; }

std::string ProgramPath(const std::string& name) {
    return (fs::path(QUILLON_SIM_PATH).parent_path() / name).string();
}

std::string MakeSessionDir() {
    std::string pattern = (fs::temp_directory_path() / "quillon-e2e-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* made = mkdtemp(buffer.data());
    return made ? std::string(made) : std::string();
}

void RunSessionProcess(const SessionLaunch& launch, SessionResult& result) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;

    const pid_t child = fork();
    if (child == 0) {
        const int in = open(launch.inputPath.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        if (chdir(launch.workDir.c_str()) != 0) _exit(126);
        for (const std::string& name : launch.unset) unsetenv(name.c_str());
        for (const auto& [name, value] : launch.set) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(launch.program.c_str())};
        for (const std::string& argument : launch.arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(launch.program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(launch.timeoutSeconds);
    std::array<pollfd, 2> fds{{{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}}};
    int open = 2;
    std::array<char, 4096> chunk{};
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            result.timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            const ssize_t got = read(fds[i].fd, chunk.data(), chunk.size());
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.output : result.errors).append(chunk.data(),
                                                                static_cast<std::size_t>(got));
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
}
