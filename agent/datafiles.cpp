#include "datafiles.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kxsmon.h"

namespace kxagent {

std::string data_path(const std::string &root, const char *name)
{
    return root + "/var/opt/ZARNkx/snmp/" + name;
}

std::string read_data_file(const std::string &path, size_t cap)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0)
        return text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[4096];
        while (text.size() < cap) {
            ssize_t n = read(fd, buffer, std::min(sizeof buffer, cap - text.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return text;
}

std::optional<uint32_t> parse_limit(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

namespace {

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool store_limit(const std::string &path, uint32_t limit)
{
    struct stat st{};
    // A link in the file's place is refused rather than replaced by a file.
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return false;
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool stored = write_all(fd, std::to_string(limit) + "\n") && fchmod(fd, 0644) == 0 &&
                  fsync(fd) == 0;
    stored = close(fd) == 0 && stored;
    if (stored && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}

std::vector<std::string> monitored_ids(std::string_view text)
{
    std::vector<std::string> ids;
    while (!text.empty() && ids.size() < KXS_MAX_MONITORED_DTUS) {
        size_t end = text.find('\n');
        ids.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return ids;
}

}  // namespace kxagent
