// Starts kxs-simd on a scenario for a benchmark: the scenario goes to a
// temporary file, the simulator's log is read until it is ready and then
// drained into nowhere, so thousands of requests never fill the pipe. And
// reads a reply raw, as the floor of a query.
#pragma once

#include <string>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kxbench {

// Whether the benchmark runs inside the network sandbox, where the simulator
// may listen on the daemons' real ports; says which script to run when not.
inline bool in_sandbox(const char *script)
{
    const char *sandbox = getenv("KXS_NET_SANDBOX");
    if (sandbox && strcmp(sandbox, "1") == 0)
        return true;
    fprintf(stderr, "run me through %s (the network sandbox)\n", script);
    return false;
}

// The simulator's process id, or -1; `scenarioPath` names the file to remove.
// Stopped by stop_simulator.
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

// Ends the simulator and removes its scenario file.
inline void stop_simulator(pid_t simulator, const std::string &scenarioPath)
{
    kill(simulator, SIGTERM);
    waitpid(simulator, nullptr, 0);
    unlink(scenarioPath.c_str());
}

// The bytes of the reply to `command` from the simulator at `address` (host
// order) and `port`, read to the end on a fresh connection: the floor that a
// query is measured against. 0 when it cannot be asked.
inline std::size_t read_raw_reply(in_addr_t address, int port, const char *command)
{
    static char buffer[1 << 16];
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr.s_addr = htonl(address);
    std::size_t total = 0;
    const auto length = static_cast<ssize_t>(strlen(command));
    if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0 &&
        write(fd, command, length) == length) {
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) > 0)
            total += static_cast<std::size_t>(got);
    }
    close(fd);
    return total;
}

}  // namespace kxbench
