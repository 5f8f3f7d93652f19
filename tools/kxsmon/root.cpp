// The product root's checks as the operator is told of them.
#include "root.h"

#include <cerrno>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsmon {
namespace {

constexpr const char kServicesFile[] = "/etc/opt/ZARNkx/kxsservices.cfg";
// The product's directories that the library checks under a root, when
// they exist.
constexpr const char *kProductDirectories[] = {"/etc/opt/ZARNkx", "/var/opt/ZARNkx/snmp", "/var/sadm/pkg",
                                               "/opt/ZARNkx/lib"};

// Why the directory `path` is not to be trusted, as the library judges it
// (owned by root or the caller, writable by nobody else unless sticky).
std::string distrust(const std::string &path, const struct stat &st)
{
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return path + " belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
        return path + " is writable by group or others";
    return "";
}

// The first untrusted directory on the way from "/" down to `path`, from
// its byte `from` on (the part above checked already).
std::string untrusted_on_way(const std::string &path, std::size_t from)
{
    for (std::size_t end = from; end <= path.size(); ++end) {
        if ((end < path.size() && path[end] != '/') || (end > 0 && path[end - 1] == '/'))
            continue;
        const std::string dir = end == 0 ? "/" : path.substr(0, end);
        struct stat st{};
        if (stat(dir.c_str(), &st) != 0)
            return "";  // a product directory that is not there is not checked
        std::string why = distrust(dir, st);
        if (!why.empty())
            return why;
    }
    return "";
}

}  // namespace

std::string root_refusal(const std::string &root)
{
    struct stat st{};
    if (stat(root.c_str(), &st) != 0)
        return root + " cannot be the root: " + (errno == ENOENT ? "there is no such directory" : std::generic_category().message(errno));
    if (!S_ISDIR(st.st_mode))
        return root + " cannot be the root: it is not a directory";
    std::string why = untrusted_on_way(root, 0);
    for (const char *dir : kProductDirectories)
        if (why.empty())
            why = untrusted_on_way(root + dir, root.size());
    if (why.empty())
        return "";
    return root + " refused as the root: " + why +
           " (a root and its product directories must be root's or yours, and writable by no one else)";
}

std::string start_failure(const std::string &root)
{
    const std::string services = root + kServicesFile;
    struct stat st{};
    if (lstat(services.c_str(), &st) != 0 && errno == ENOENT) {
        if (root.empty())
            return std::string("no product found: there is no ") + kServicesFile +
                   " (for a product under another root, try -R ROOT)";
        return "no product found under " + root + ": there is no " + services + " (is -R the product's root?)";
    }
    const int fd = open(services.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "the library could not start: " + services + " cannot be read: " + std::generic_category().message(errno);
    close(fd);
    return "the library could not start (see the system log, or run with -v)";
}

}  // namespace kxsmon
