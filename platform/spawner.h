// Running a program as a bounded child: the one way the library starts a
// process, for the product's tools and for the reachability probe.
//
// The child runs in a process group of its own, with the default signal
// dispositions and an empty signal mask whatever the host has set, and holds
// no descriptor of the host above 2. Its standard output is read into memory
// up to a bound; the whole run, reap included, ends by a wall-clock deadline.
// When a bound is hit the child's process group is killed and the child
// reaped. Nothing process-wide of the host is changed.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kx::platform {

struct SpawnBounds {
    std::chrono::milliseconds time;   // from the start until the child is reaped
    std::size_t outputBytes;          // standard output kept; more is a bound hit
    std::chrono::milliseconds drain;  // how long output is still read once the child ended
};

enum class StdinFrom { NullDevice, Input };
enum class StdoutTo { NullDevice, Capture, Inherit };
enum class StderrTo { NullDevice, Inherit };

struct SpawnRequest {
    const char *program = nullptr;  // absolute path, no search
    char *const *argv = nullptr;    // NULL-terminated
    char *const *envp = nullptr;    // NULL-terminated; nullptr: the host's environment
    StdinFrom in = StdinFrom::NullDevice;
    std::string_view input;         // the whole standard input, for StdinFrom::Input
    StdoutTo out = StdoutTo::Capture;
    StderrTo err = StderrTo::Inherit;
    SpawnBounds bounds{};
};

enum class ChildEnd {
    Finished,     // reaped: waitStatus holds what waitpid reported
    NotStarted,   // error holds the reason; no child exists
    Stopped,      // the child stopped; its group was killed
    TimedOut,     // the time bound ran out; its group was killed
    OutputBound,  // it printed more than the output bound; its group was killed
    HeldOpen,     // it ended, but its output stayed open past the drain bound
                  // (a descendant holds it); its group was killed
    StatusLost,   // it ended, but someone else reaped it: the wait status is gone
};

struct SpawnResult {
    ChildEnd end = ChildEnd::NotStarted;
    int waitStatus = 0;
    int error = 0;             // errno for NotStarted
    std::string output;        // standard output, for StdoutTo::Capture
    bool reaped = true;        // false when a killed child was still not gone at the deadline
                               // (a later run reaps it once it has ended)
};

SpawnResult spawn_bounded(const SpawnRequest &request);

// Closes every descriptor from `lowest` up. Async-signal-safe: meant for a
// forked child before it executes another program.
void close_descriptors_from(int lowest);

}  // namespace kx::platform
