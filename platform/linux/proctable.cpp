// Linux keeps each process's record under /proc/<pid>: "stat" holds the
// name, state, task flags, thread count and start (in clock ticks after boot),
// "cmdline" the argument vector. The start becomes seconds since the epoch by
// adding the boot time, taken once per process to the nanosecond (the
// kernel's own "btime" is cut to the second), so that a process's start time
// never moves between two scans.
#include "proctable.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <type_traits>
#include <unistd.h>

namespace kx::platform {
namespace {

constexpr uint32_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
// A stat line is well under this; a longer one is cut and still parses.
constexpr std::size_t kStatBufferSize = 1024;

bool all_digits(const char *text)
{
    if (!*text)
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// "/proc/<pid>/<file>" on the stack: the scan builds one per process, and
// the text is wanted as a std::string only for a message.
struct ProcessPath {
    char text[64];
    ProcessPath(const char *pid, const char *file)
    {
        std::snprintf(text, sizeof text, "%s/%.20s/%s", kProcessDirectory, pid, file);
    }
};

// Reads at most `limit` bytes of a file that the kernel makes whole at open
// time, in one read: /proc hands a record of this size over in one piece.
ProcessRead read_small_file(const char *path, char *buffer, std::size_t limit, std::size_t &count)
{
    count = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ESRCH ? ProcessRead::gone : ProcessRead::openFailed;
    ssize_t n;
    do
        n = read(fd, buffer, limit);
    while (n < 0 && errno == EINTR);
    int saved = errno;
    close(fd);
    errno = saved;
    if (n < 0)
        return saved == ESRCH ? ProcessRead::gone : ProcessRead::readFailed;
    count = static_cast<std::size_t>(n);
    return ProcessRead::ok;
}

constexpr uint64_t kNanosecondsPerSecond = 1000000000;

uint64_t nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNanosecondsPerSecond +
           static_cast<uint64_t>(now.tv_nsec);
}

// The wall-clock time of the boot: now less the time since boot. The time
// since boot is taken first, so the small gap between the two readings makes
// the boot later, never earlier, than it was.
uint64_t boot_nanoseconds()
{
    static const uint64_t boot = [] {
        uint64_t sinceBoot = nanoseconds(CLOCK_BOOTTIME);
        return nanoseconds(CLOCK_REALTIME) - sinceBoot;
    }();
    return boot;
}

std::atomic<uint64_t> argumentReads{0};

template <typename Number>
bool parse_number(std::string_view word, Number &value)
{
    if (!word.empty() && word[0] == '-') {
        if constexpr (std::is_unsigned_v<Number>)
            return false;
    }
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    return ec == std::errc() && end == word.data() + word.size();
}

}  // namespace

// ---- pure parsers ----------------------------------------------------------------

bool parse_stat_line(std::string_view line, StatLine &out)
{
    // "pid (name) state ppid ...": the name may hold blanks and parentheses,
    // so it ends at the last ')'.
    std::size_t open = line.find('(');
    std::size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    std::string_view name = line.substr(open + 1, close - open - 1);
    out.name.assign(name.substr(0, kProcessNameMax));

    // Fields after the name, numbered as the kernel documents them: 3 is the
    // state, 9 the flags, 20 the thread count, 22 the start.
    std::string_view rest = line.substr(close + 1);
    int field = 2;
    bool haveStart = false;
    while (!rest.empty() && !haveStart) {
        std::size_t begin = rest.find_first_not_of(" \n");
        if (begin == std::string_view::npos)
            break;
        rest.remove_prefix(begin);
        std::size_t end = rest.find_first_of(" \n");
        std::string_view word = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        ++field;
        switch (field) {
        case 3:
            if (word.size() != 1)
                return false;
            out.state = word[0];
            break;
        case 9:
            if (!parse_number(word, out.flags))
                return false;
            break;
        case 20:
            if (!parse_number(word, out.threads))
                return false;
            break;
        case 22:
            if (!parse_number(word, out.startTicks))
                return false;
            haveStart = true;
            break;
        default:
            break;
        }
    }
    return haveStart;
}

bool is_kernel_thread(uint32_t flags)
{
    return (flags & kKernelThreadFlag) != 0;
}

uint32_t start_seconds(uint64_t bootNanoseconds, uint64_t ticks, long ticksPerSecond)
{
    if (ticksPerSecond <= 0)
        return static_cast<uint32_t>(bootNanoseconds / kNanosecondsPerSecond);
    // The end of the start's tick, split so that no product overflows.
    auto hz = static_cast<uint64_t>(ticksPerSecond);
    uint64_t tickEnd = ticks + 1;
    uint64_t fraction = (tickEnd % hz * kNanosecondsPerSecond + hz - 1) / hz;
    uint64_t seconds = bootNanoseconds / kNanosecondsPerSecond + tickEnd / hz;
    seconds += (bootNanoseconds % kNanosecondsPerSecond + fraction) / kNanosecondsPerSecond;
    // A record cannot name a start past 2106; a damaged one gets the last second.
    return static_cast<uint32_t>(std::min<uint64_t>(seconds, UINT32_MAX));
}

std::string join_arguments(std::string_view raw, std::size_t limit)
{
    std::string text(raw.substr(0, limit));
    for (char &c : text)
        if (c == '\0')
            c = ' ';
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

// ---- the live table --------------------------------------------------------------

ProcessDirectory::ProcessDirectory() : dir_(opendir(kProcessDirectory)) {}

ProcessDirectory::~ProcessDirectory()
{
    if (dir_)
        closedir(dir_);
}

const char *ProcessDirectory::next()
{
    if (!dir_)
        return nullptr;
    while (dirent *entry = readdir(dir_))
        if (all_digits(entry->d_name))
            return entry->d_name;
    return nullptr;
}

ProcessRead read_process_status(const char *pid, ProcessStatus &status, std::string &path)
{
    ProcessPath file(pid, "stat");
    char buffer[kStatBufferSize];
    std::size_t count = 0;
    ProcessRead outcome = read_small_file(file.text, buffer, sizeof buffer, count);
    if (outcome == ProcessRead::ok && count == 0)
        outcome = ProcessRead::gone;
    StatLine stat;
    if (outcome == ProcessRead::ok && !parse_stat_line(std::string_view(buffer, count), stat))
        outcome = ProcessRead::malformed;
    if (outcome != ProcessRead::ok) {
        int saved = errno;
        path = file.text;
        errno = saved;
        return outcome;
    }

    status.name = std::move(stat.name);
    // A zombie has no live thread. A process whose first thread has ended
    // while others still run shows 'Z' with a thread count above one: it lives.
    status.zombie = (stat.state == 'Z' || stat.state == 'X') && stat.threads <= 1;
    status.threads = status.zombie ? 0 : static_cast<int32_t>(stat.threads);
    status.system = is_kernel_thread(stat.flags);
    static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    status.startTime = start_seconds(boot_nanoseconds(), stat.startTicks, ticksPerSecond);
    return ProcessRead::ok;
}

ProcessRead read_process_arguments(const char *pid, std::string &arguments, std::string &path)
{
    path = std::string(kProcessDirectory) + "/" + pid + "/cmdline";
    char raw[kFullArgumentsMax];
    std::size_t count = 0;
    argumentReads.fetch_add(1, std::memory_order_relaxed);
    ProcessRead outcome = read_small_file(path.c_str(), raw, sizeof raw, count);
    if (outcome != ProcessRead::ok)
        return outcome;
    arguments = join_arguments(std::string_view(raw, count), kFullArgumentsMax);
    return ProcessRead::ok;
}

uint64_t argument_reads()
{
    return argumentReads.load(std::memory_order_relaxed);
}

}  // namespace kx::platform
