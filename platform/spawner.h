// Running a program as a bounded child: the one way the library starts a
// process, for the product's tools and for the reachability probe.
//
// The program runs under a watcher of its own (an intermediate child that is
// the subreaper of everything the program starts), in a process group of its
// own, with the default signal dispositions and an empty signal mask whatever
// the host has set, and holds no descriptor of the host above 2. Its standard
// and error output are read into memory up to a bound; the whole run, reap
// included, ends by a wall-clock deadline. When the run is over, the program
// and every process it started, also one that left its process group or
// session, are killed and reaped. Nothing process-wide of the host is
// changed.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kx::platform {

struct SpawnBounds {
    std::chrono::milliseconds time;   // from the start until the child is reaped
    std::size_t outputBytes;          // standard output kept, and error output read;
                                      // more of either is a bound hit
    std::chrono::milliseconds drain;  // how long output is still read once the child ended
};

enum class StdinFrom { NullDevice, Input };
enum class StdoutTo { NullDevice, Capture, Inherit };
// Error output never reaches the host's: it is discarded or captured.
enum class StderrTo { NullDevice, Capture };

// The descriptor number at which the child receives SpawnRequest::passedFd,
// and the path by which the child (and any program it starts) names it.
constexpr int kPassedDescriptor = 3;
constexpr const char *kPassedDescriptorPath = "/proc/self/fd/3";

// How much of the error output SpawnResult keeps.
constexpr std::size_t kErrorOutputKept = 1024;

struct SpawnRequest {
    const char *program = nullptr;  // absolute path, no search
    char *const *argv = nullptr;    // NULL-terminated
    char *const *envp = nullptr;    // NULL-terminated; nullptr: the host's environment
    int passedFd = -1;              // handed to the child as kPassedDescriptor, not
                                    // close-on-exec (a checked program it starts by that path)
    StdinFrom in = StdinFrom::NullDevice;
    std::string_view input;         // the whole standard input, for StdinFrom::Input
    StdoutTo out = StdoutTo::Capture;
    StderrTo err = StderrTo::Capture;
    SpawnBounds bounds{};
};

enum class ChildEnd {
    Finished,     // it ended: waitStatus holds what waitpid reported
    NotStarted,   // error holds the reason; no child exists
    Stopped,      // the child stopped; it was killed
    TimedOut,     // the time bound ran out; it was killed
    OutputBound,  // it printed more than the output bound (on either output); it was killed
    HeldOpen,     // it ended, but its output stayed open past the drain bound
                  // (a descendant holds it); the descendants were killed
    StatusLost,   // its watcher ended without telling how the child ended
                  // (something killed it): the result is unknown
};

struct SpawnResult {
    ChildEnd end = ChildEnd::NotStarted;
    int waitStatus = 0;
    int error = 0;                      // errno for NotStarted
    std::string output;                 // standard output, for StdoutTo::Capture
    std::string errorOutput;            // its first kErrorOutputKept bytes, for StderrTo::Capture
    std::size_t errorOutputBytes = 0;   // how much error output was read in all
    bool reaped = true;  // false when the watcher was still not gone at the deadline
                         // (a later run reaps it once it has ended)
};

SpawnResult spawn_bounded(const SpawnRequest &request);

// The exit code in a wait status; -1 when the child did not end by exiting
// (a signal killed or stopped it) and for a status of -1 (no status).
int exit_code_of(int waitStatus);

// Closes every descriptor from `lowest` up. Async-signal-safe: meant for a
// forked child before it executes another program.
void close_descriptors_from(int lowest);

}  // namespace kx::platform
