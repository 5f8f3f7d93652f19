// The report written out: to standard output within the run's deadline, or
// to a file that is replaced whole, as node_exporter's textfile collector
// and anyone else reading it wants.
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kxsmon {
namespace {

int milliseconds_left(Deadline deadline)
{
    if (!deadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Writes at most `most` bytes of `text` (again when interrupted) and drops
// what was written from it; false on an error.
bool write_some(int fd, std::string_view &text, std::size_t most)
{
    ssize_t n;
    do
        n = write(fd, text.data(), std::min(text.size(), most));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    text.remove_prefix(static_cast<std::size_t>(n));
    return true;
}

bool write_all(int fd, std::string_view text)
{
    while (!text.empty())
        if (!write_some(fd, text, text.size()))
            return false;
    return true;
}

std::string why_not()
{
    return std::generic_category().message(errno);
}

// A new file beside `path`, made exclusively: a hidden name that no
// collector reads ("*.prom" is what node_exporter takes), readable by
// others as far as the umask lets (the collector runs as another user).
int create_beside(const std::string &path, std::string &temporary)
{
    const std::size_t slash = path.rfind('/');
    const std::string stem = (slash == std::string::npos ? "." + path
                                                       : path.substr(0, slash + 1) + "." + path.substr(slash + 1)) +
                             ".";
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(entropy()));
        temporary = stem;
        temporary += suffix;
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace

// In pieces of at most PIPE_BUF bytes, each once poll() says the descriptor
// takes data: a pipe then takes the piece without blocking, so a reader that
// stopped reading holds the run no longer than its deadline.
bool write_before(int fd, std::string_view text, Deadline deadline)
{
    while (!text.empty()) {
        pollfd ready = {fd, POLLOUT, 0};
        const int polled = poll(&ready, 1, milliseconds_left(deadline));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled < 0)
            return false;
        if (polled == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (!write_some(fd, text, PIPE_BUF))
            return false;
    }
    return true;
}

// Written whole and flushed to disk before the rename, so that the file's
// readers see the old document or the new one, never a part; on any
// failure the temporary file goes and the old one stays.
std::string replace_file(const std::string &path, std::string_view text)
{
    std::string temporary;
    const int fd = create_beside(path, temporary);
    if (fd < 0)
        return "cannot make a file beside it: " + why_not();
    std::string why;
    if (!write_all(fd, text) || fsync(fd) != 0)
        why = "not written: " + why_not();
    if (close(fd) != 0 && why.empty())
        why = "not written: " + why_not();
    if (why.empty() && rename(temporary.c_str(), path.c_str()) != 0)
        why = "not replaced: " + why_not();
    if (!why.empty())
        unlink(temporary.c_str());
    return why;
}

}  // namespace kxsmon
