// The spawner's intermediate child: it starts the program, tells the parent
// how the program ended, and once the parent is done ends every process the
// program started. Being their subreaper, it inherits each one whose parent
// dies, also one that left the program's process group or session.
//
// It is forked from a host that may run other threads, so everything here
// uses async-signal-safe calls only: no allocation, no lock, no stdio.
#pragma once

#include <cstdint>
#include <sys/types.h>

namespace kx::platform::warden {

// Everything the warden needs, prepared by the parent before the fork.
struct Plan {
    const char *program;
    char *const *argv;
    char *const *envp;
    int control;         // read end: a byte or the end of it tells the warden to finish
    int reports;         // write end of the pipe that carries the Reports
    int input;           // the program's standard input; -1: /dev/null
    int output;          // its standard output; -1: /dev/null
    bool inheritOutput;  // keep the host's standard output instead
    int errors;          // its error output; -1: /dev/null
    int passed;          // handed over as kPassedDescriptor; -1: none
};

// One message to the parent, written whole (far below PIPE_BUF).
struct Report {
    enum Kind : int32_t { Ended = 1, Stopped, NotStarted };
    int32_t kind;
    int32_t value;  // the wait status for Ended, errno for NotStarted
};

// Forks as fork() does, without the host's fork handlers: the child may use
// async-signal-safe calls only.
pid_t fork_process();

// The warden's whole life in the forked child. Expects every signal blocked.
[[noreturn]] void run(const Plan &plan);

}  // namespace kx::platform::warden
