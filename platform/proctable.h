// The host's process table, as the service scan uses it.
//
// A process is known by its process id in decimal text. For each one the scan
// needs its executable name (at most 15 characters, as the kernel keeps it),
// its start time, its number of threads, whether it is a zombie and whether
// it is a system process (a kernel thread); on request only, the argument
// text, arguments joined by blanks, at most 499 bytes. Reading the arguments
// takes the target's memory lock, so one process stuck in uninterruptible
// sleep would stall the reader: the scan asks for them only where a service
// needs them. This adapter is the only code that reads the kernel's process
// files.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <string>
#include <string_view>

namespace kx::platform {

// Longest executable name the kernel keeps.
constexpr std::size_t kProcessNameMax = 15;
// The full argument text: at most this many bytes.
constexpr std::size_t kFullArgumentsMax = 499;

// The directory of the process table, for messages.
constexpr const char *kProcessDirectory = "/proc";

struct ProcessStatus {
    std::string name;       // executable name, at most 15 characters
    uint32_t startTime = 0; // seconds since the epoch
    int32_t threads = 0;    // 0 for a zombie
    bool zombie = false;
    bool system = false;    // a kernel thread
};

// The outcome of reading one process's files.
enum class ProcessRead {
    ok,
    gone,        // the process has ended: nothing to report
    openFailed,  // errno says why
    readFailed,  // errno says why; EAGAIN is worth another try
    malformed,   // the kernel's record did not parse
};

// Lists the process ids of the table, in directory order. Entries that are
// not process ids are skipped.
class ProcessDirectory {
public:
    ProcessDirectory();
    ~ProcessDirectory();
    ProcessDirectory(const ProcessDirectory &) = delete;
    ProcessDirectory &operator=(const ProcessDirectory &) = delete;

    // False when the table cannot be listed (errno says why).
    bool is_open() const { return dir_ != nullptr; }
    // The next process id, or nullptr at the end. The text lives until the
    // next call.
    const char *next();

private:
    DIR *dir_;
};

// The process's record. On a failure `path` is set to the file read (for
// messages) and errno says why.
ProcessRead read_process_status(const char *pid, ProcessStatus &status, std::string &path);

// The argument text: arguments joined by blanks, trailing white space
// removed, at most 499 bytes. Empty for a process without arguments (a
// kernel thread, a zombie).
ProcessRead read_process_arguments(const char *pid, std::string &arguments, std::string &path);

// How many times this process has read another process's arguments: the
// reads that can stall, counted so that their number can be checked.
uint64_t argument_reads();

// ---- pure parsers, apart from the system calls ---------------------------------

// The fields of one line of the kernel's per-process "stat" file that the
// scan uses.
struct StatLine {
    std::string name;          // between the parentheses, cut to 15 characters
    char state = 0;            // 'R', 'S', 'Z', ...
    uint32_t flags = 0;        // the kernel's task flags
    int64_t threads = 0;
    uint64_t startTicks = 0;   // clock ticks after boot
};

// False when the line does not hold the fields up to the start time.
bool parse_stat_line(std::string_view line, StatLine &out);

// True for the task flags of a kernel thread.
bool is_kernel_thread(uint32_t flags);

// Seconds since the epoch of a start `ticks` clock ticks after a boot at
// `bootNanoseconds` since the epoch. The kernel cuts a start down to whole
// ticks, so the process started within the tick after `ticks`: the end of
// that tick, cut to the second, is never before the second it started in,
// and later by one only for a start in the last tick of a second.
uint32_t start_seconds(uint64_t bootNanoseconds, uint64_t ticks, long ticksPerSecond);

// A raw argument vector (NUL-separated, as the kernel gives it) as text:
// NULs turned into blanks, cut to `limit` bytes, trailing white space
// removed.
std::string join_arguments(std::string_view raw, std::size_t limit);

}  // namespace kx::platform
