// Starts kxs-simd on a scenario for a benchmark: the scenario goes to a
// temporary file, the simulator's log is read until it is ready and then
// drained into nowhere, so thousands of requests never fill the pipe.
#pragma once

#include <string>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>

namespace kxbench {

// The simulator's process id, or -1; `scenarioPath` names the file to remove.
inline pid_t start_simulator(const std::string &text, std::string &scenarioPath)
{
    char path[] = "/tmp/kxsimd-bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return -1;
    close(fd);
    scenarioPath = path;
    int log[2];
    if (pipe(log) < 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(log[1], 2);
        close(log[0]);
        close(log[1]);
        execl(KXS_SIMD_PATH, "kxs-simd", path, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(log[1]);
    // Wait for "ready", then let the log drain into nowhere.
    std::string seen;
    char buffer[512];
    while (seen.find("kxs-simd: ready") == std::string::npos) {
        ssize_t got = read(log[0], buffer, sizeof buffer);
        if (got <= 0)
            return -1;
        seen.append(buffer, got);
    }
    if (fork() == 0) {
        while (read(log[0], buffer, sizeof buffer) > 0) {
        }
        _exit(0);
    }
    close(log[0]);
    return pid;
}

}  // namespace kxbench
