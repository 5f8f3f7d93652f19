#include "utils.h"

#include "pkginfo.h"
#include "spawner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace kx {

// ---- diagnostics ---------------------------------------------------------

namespace {

char *gdebug_string = nullptr;

// Never destroyed, as the root below: a thread of the host still inside a
// query while the host exits goes on using them.
DiagnosticSink &diagnostic_sink()
{
    static auto *sink = new DiagnosticSink;
    return *sink;
}

void emit(int priority, const char *line)
{
    if (const auto &sink = diagnostic_sink())
        sink(priority, line);
    else
        syslog(priority, "%s", line);
}

}  // namespace

void set_diagnostic_sink(DiagnosticSink sink)
{
    diagnostic_sink() = std::move(sink);
}

// Each call formats into a buffer of its own: every thread of the agent
// writes diagnostics.
void dprintf(const char *format, ...)
{
    char formatBuffer[kDiagnosticBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(formatBuffer, sizeof formatBuffer, format, args);
    va_end(args);
    emit(LOG_INFO, formatBuffer);
}

void dlprintf(const char *category, const char *format, ...)
{
    if (!gdebug(category))
        return;
    char formatBuffer[kDiagnosticBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(formatBuffer, sizeof formatBuffer, format, args);
    va_end(args);
    std::string line = std::string("(") + category + ") " + formatBuffer;
    emit(LOG_INFO, line.c_str());
}

void log_admin(const char *tag, const char *format, ...)
{
    char formatBuffer[kDiagnosticBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(formatBuffer, sizeof formatBuffer, format, args);
    va_end(args);
    std::string line = std::string(tag ? tag : "") + " : " + formatBuffer;
    emit(LOG_LOCAL1 | LOG_INFO, line.c_str());
}

int gdebug(const char *category)
{
    if (!gdebug_string || !category)
        return 0;
    if (strcmp(gdebug_string, "*") == 0)
        return 1;
    if (strcmp(category, " ") == 0)
        return 1;
    if (*category == '\0')
        return 0;
    return strpbrk(gdebug_string, category) ? 1 : 0;
}

void set_gdebug(const char *options)
{
    char *copy = safe_strdup(options);
    free(gdebug_string);
    gdebug_string = copy;
    if (gdebug_string) {
        dprintf(" \n");
        dprintf("running with debug options |%s|\n", gdebug_string);
    }
}

// ---- the product root ----------------------------------------------------

namespace {
std::string &root_dir()
{
    static auto *dir = new std::string;
    return *dir;
}
}  // namespace

namespace {

// The product directories the library reads and writes, below the root.
constexpr const char *kProductDirectories[] = {
    "/etc/opt/ZARNkx", "/var/opt/ZARNkx/snmp", "/var/sadm/pkg", "/opt/ZARNkx/lib",
};

// Why a directory cannot be trusted with product files, or nullptr.
const char *distrust(const struct stat &st)
{
    if (!S_ISDIR(st.st_mode))
        return "not a directory";
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return "owned by another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
        return "writable by group or others";
    return nullptr;
}

const char *distrust_link(const struct stat &st)
{
    return st.st_uid != 0 && st.st_uid != geteuid() ? "a link owned by another user" : nullptr;
}

// Why a tool cannot be trusted to run, or nullptr.
const char *distrust_tool(const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return "owned by another user";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "writable by group or others";
    return nullptr;
}

// As the kernel counts links in one lookup.
constexpr int kMaxLinksFollowed = 40;

// Where a walk ended: the descriptor (O_PATH) of what the path names, or why
// not ("NAME is WHY"); `missing` when a name on the way does not exist.
struct Walked {
    int fd = -1;
    std::string why;
    bool missing = false;
};

// The directories a walk stands in, from "/" down, each an O_PATH
// descriptor, with the names that show where the walk is.
class DirectoryStack {
public:
    DirectoryStack() = default;
    ~DirectoryStack()
    {
        for (int fd : fds_)
            close(fd);
    }
    DirectoryStack(const DirectoryStack &) = delete;
    DirectoryStack &operator=(const DirectoryStack &) = delete;

    int top() const { return fds_.back(); }
    void push(int fd, std::string name)
    {
        fds_.push_back(fd);
        names_.push_back(std::move(name));
    }
    void pop_to(std::size_t depth)
    {
        while (fds_.size() > depth) {
            close(fds_.back());
            fds_.pop_back();
            names_.pop_back();
        }
    }
    // ".." stays in "/", as the kernel's does.
    void up() { pop_to(std::max<std::size_t>(1, fds_.size() - 1)); }
    int release_top()
    {
        int fd = fds_.back();
        fds_.pop_back();
        names_.pop_back();
        return fd;
    }
    std::string path_of(const std::string &name) const
    {
        std::string path;
        for (std::size_t i = 1; i < names_.size(); ++i)
            path += "/" + names_[i];
        return path + "/" + name;
    }

private:
    std::vector<int> fds_;
    std::vector<std::string> names_;
};

// The names of `path` pushed on `pending` so that its first name is on top.
void push_names(std::vector<std::string> &pending, std::string_view path)
{
    std::vector<std::string_view> names;
    while (!path.empty()) {
        std::size_t slash = std::min(path.find('/'), path.size());
        std::string_view name = path.substr(0, slash);
        if (!name.empty() && name != ".")
            names.push_back(name);
        path.remove_prefix(std::min(slash + 1, path.size()));
    }
    for (auto it = names.rbegin(); it != names.rend(); ++it)
        pending.emplace_back(*it);
}

bool read_link(int fd, std::string &target)
{
    char buffer[PATH_MAX];
    ssize_t n = readlinkat(fd, "", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return false;
    target.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

Walked refused(std::string where, const char *why, bool missing = false)
{
    return {-1, std::move(where) + " is " + why, missing};
}

// Walks `path` (absolute) one name at a time from "/", each opened with
// O_PATH and O_NOFOLLOW beneath the directory before it, so that what is
// checked is what is then used: another user cannot swap a name between the
// check and the use. Every directory on the way must be trusted. A link is
// followed only when root or this user owns it, and its target is walked in
// turn (from "/" when absolute), every directory of it checked. A link as
// the last name is followed too; what that name is, the caller judges.
Walked walk_trusted(std::string_view path)
{
    DirectoryStack dirs;
    int rootFd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (rootFd < 0 || fstat(rootFd, &st) != 0) {
        if (rootFd >= 0)
            close(rootFd);
        return refused("/", "not to be opened");
    }
    dirs.push(rootFd, "");
    if (const char *why = distrust(st))
        return refused("/", why);
    std::vector<std::string> pending;
    push_names(pending, path);
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == "..") {
            dirs.up();
            continue;
        }
        std::string where = dirs.path_of(name);
        int fd = openat(dirs.top(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &st) != 0) {
            int err = errno;
            if (fd >= 0)
                close(fd);
            return err == ENOENT ? refused(where, "missing", true)
                                 : refused(where, error_text(err).c_str());
        }
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            const char *why = distrust_link(st);
            if (!why && ++links > kMaxLinksFollowed)
                why = "a link too many";
            if (!why && !read_link(fd, target))
                why = "a link that cannot be read";
            close(fd);
            if (why)
                return refused(where, why);
            if (target.front() == '/')
                dirs.pop_to(1);
            push_names(pending, target);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const char *why = distrust(st);
            if (why) {
                close(fd);
                return refused(where, why);
            }
            dirs.push(fd, name);
            continue;
        }
        if (!pending.empty()) {
            close(fd);
            return refused(where, "not a directory");
        }
        return {fd, {}, false};
    }
    return {dirs.release_top(), {}, false};
}

// Walks `dir` as walk_trusted does, to a directory: its descriptor, or why
// not. Without a descriptor, `missing` tells a missing directory.
Walked walk_to_directory(std::string_view dir)
{
    Walked walked = walk_trusted(dir);
    struct stat st;
    if (walked.fd >= 0 && (fstat(walked.fd, &st) != 0 || !S_ISDIR(st.st_mode))) {
        close(walked.fd);
        return refused(std::string(dir), "not a directory");
    }
    return walked;
}

// Walks `dir` (absolute) from "/" down and checks every directory on the way
// that exists. Empty when all are trusted, else "DIR is WHY".
std::string untrusted_directory_on(std::string_view dir)
{
    Walked walked = walk_to_directory(dir);
    if (walked.fd >= 0)
        close(walked.fd);
    return walked.missing ? std::string() : walked.why;  // nothing below a missing one to check
}

std::string directory_of(std::string_view path)
{
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

}  // namespace

int set_root(const char *dir)
{
    if (!dir) {
        root_dir().clear();
        return 0;
    }
    struct stat st;
    if (dir[0] != '/' || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        dprintf("kxs_setRoot(): root %s refused: not an absolute path to a directory\n", dir);
        return -1;
    }
    std::string clean(dir);
    while (clean.size() > 1 && clean.back() == '/')
        clean.pop_back();
    std::string why = untrusted_directory_on(clean);
    for (const char *productDir : kProductDirectories)
        if (why.empty())
            why = untrusted_directory_on(clean + productDir);
    if (!why.empty()) {
        dprintf("kxs_setRoot(): root %s refused: %s\n", clean.c_str(), why.c_str());
        return -1;
    }
    root_dir() = clean == "/" ? std::string() : clean;
    return 0;
}

const std::string &root()
{
    return root_dir();
}

std::string product_path(std::string_view path)
{
    return root_dir() + std::string(path);
}

// ---- product files ---------------------------------------------------------

namespace {

// The name in `path` after its last slash.
std::string_view last_name(std::string_view path)
{
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The trusted directory of `path` (from walk_to_directory), or -1 with errno:
// ENOENT when it is missing (the file is then absent), EACCES with a
// diagnostic when it is not to be trusted.
int trusted_directory_of(const std::string &path)
{
    Walked dir = walk_to_directory(directory_of(path));
    if (dir.fd >= 0)
        return dir.fd;
    if (!dir.missing)
        dprintf("%s refused: %s\n", path.c_str(), dir.why.c_str());
    errno = dir.missing ? ENOENT : EACCES;
    return -1;
}

}  // namespace

int open_product_file(const std::string &path)
{
    int dir = trusted_directory_of(path);
    if (dir < 0)
        return -1;
    // Beneath the directory that was checked. Non-blocking, so that a FIFO
    // in the file's place cannot stall the open.
    const std::string name(last_name(path));
    int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int err = errno;
    close(dir);
    if (fd < 0) {
        if (err == ELOOP)
            dprintf("%s refused: it is a symbolic link\n", path.c_str());
        errno = err;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        dprintf("%s refused: not a regular file\n", path.c_str());
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int open_product_directory(const std::string &given)
{
    std::string path = given;  // a directory may be named with a slash at its end
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    int dir = trusted_directory_of(path);
    if (dir < 0)
        return -1;
    const std::string name(last_name(path));
    int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    close(dir);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) {
        if (const char *why = distrust(st)) {
            dprintf("%s refused: %s is %s\n", path.c_str(), path.c_str(), why);
            close(fd);
            errno = EACCES;
            return -1;
        }
        return fd;
    }
    if (fd >= 0)
        close(fd);
    errno = err;
    return -1;
}

int open_trusted_tool(const std::string &path)
{
    Walked tool = walk_trusted(path);
    struct stat st;
    const char *why = nullptr;
    if (tool.fd >= 0 && fstat(tool.fd, &st) != 0)
        why = "not to be examined";
    else if (tool.fd >= 0)
        why = distrust_tool(st);
    if (tool.fd >= 0 && !why)
        return tool.fd;
    if (tool.fd >= 0)
        close(tool.fd);
    dprintf("%s not run: %s\n", path.c_str(), why ? why : tool.why.c_str());
    errno = tool.missing ? ENOENT : EACCES;
    return -1;
}

bool read_product_file(const std::string &path, std::size_t maxBytes, std::string &contents,
                       Oversize oversize, struct stat *opened)
{
    contents.clear();
    int fd = open_product_file(path);
    if (fd < 0)
        return false;
    if (opened && fstat(fd, opened) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return false;
    }
    // One byte past the cap tells a file that is too long.
    const std::size_t limit = oversize == Oversize::Refuse ? maxBytes + 1 : maxBytes;
    char buffer[8192];
    while (contents.size() < limit) {
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - contents.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            contents.clear();
            errno = err;
            return false;
        }
        if (n == 0)
            break;
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (contents.size() > maxBytes) {
        dprintf("%s refused: longer than %zu bytes\n", path.c_str(), maxBytes);
        contents.clear();
        errno = EFBIG;
        return false;
    }
    return true;
}

// ---- the host's package tool -----------------------------------------------

bool read_package_record(const std::string &path, std::string &contents)
{
    return read_product_file(path, kConfigFileMax, contents);
}

std::vector<std::string> split_as_fgets(std::string_view text, std::size_t bufferSize)
{
    std::vector<std::string> reads;
    const std::size_t room = bufferSize > 1 ? bufferSize - 1 : 1;
    while (!text.empty()) {
        std::size_t len = std::min(room, text.size());
        auto nl = text.substr(0, len).find('\n');
        if (nl != std::string_view::npos)
            len = nl + 1;
        reads.emplace_back(text.substr(0, len));
        text.remove_prefix(len);
    }
    return reads;
}

char *get_package_root(const char *package)
{
    if (!package) {
        dprintf("get_package_root(): Could not open pipe to determine locale dir\n");
        return nullptr;
    }
    auto answer = platform::package_root_query(root(), package, read_package_record);
    // The tool's output is read with fgets into a 128-byte buffer, so a root
    // of 127 characters or more arrives as two reads and is refused.
    auto reads = split_as_fgets(answer.output, 128);
    if (reads.size() != 1) {
        dprintf("get_package_root(): Got unexpected data from pkginfo\n");
        return nullptr;
    }
    if (platform::exit_code_of(answer.waitStatus) != 0) {
        dprintf("get_package_root(): Could not get package location\n");
        return nullptr;
    }
    std::string line = reads.front();
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return safe_strdup(line.c_str());
}

// ---- allocation ------------------------------------------------------------

namespace {

// Memory exhaustion is bad_alloc inside the library: the exported function
// that started the query turns it into its failure result (KXS_ENOMEM), so
// that the host process, an agent perhaps, lives on.
void *allocated_or_throw(void *block, const char *what, std::size_t count, std::size_t size)
{
    if (!block) {
        if (count == 0)
            dprintf("Could not malloc %zu bytes\n", size);
        else
            dprintf("Could not %s %zu elements of %zu bytes\n", what, count, size);
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

void *safe_malloc(std::size_t size)
{
    return allocated_or_throw(calloc(1, size ? size : 1), "malloc", 0, size);
}

void *safe_malloc_uncleared(std::size_t size)
{
    return allocated_or_throw(malloc(size ? size : 1), "malloc", 0, size);
}

void *safe_calloc(std::size_t count, std::size_t size)
{
    return allocated_or_throw(calloc(count ? count : 1, size ? size : 1), "calloc",
                              count ? count : 1, size);
}

char *safe_strdup(const char *text)
{
    return text ? strdup(text) : nullptr;
}

void out_of_memory()
{
    throw std::bad_alloc();
}

char *record_text(const char *text)
{
    if (!text)
        return nullptr;
    char *copy = strdup(text);
    if (!copy)
        out_of_memory();
    return copy;
}

// ---- text ------------------------------------------------------------------

uint32_t text_to_uint32(const char *text, int base)
{
    if (!text)
        return 0;
    // As strtoul reads it where unsigned long has 32 bits: a magnitude past
    // the range gives the largest value, a negated one wraps as strtoul
    // negates.
    const char *first = text;
    while (isspace(static_cast<unsigned char>(*first)))
        ++first;
    errno = 0;
    unsigned long long value = strtoull(first, nullptr, base);
    unsigned long long magnitude = *first == '-' ? 0 - value : value;
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return UINT32_MAX;
    return static_cast<uint32_t>(value);
}

int32_t text_to_int32(const char *text)
{
    if (!text)
        return 0;
    long long value = strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

namespace {
bool is_trimmed_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

char *strip_range(const char *begin, const char *end)
{
    while (begin < end && is_trimmed_space(*begin))
        ++begin;
    while (end > begin && is_trimmed_space(end[-1]))
        --end;
    if (begin == end)
        return nullptr;
    auto len = static_cast<std::size_t>(end - begin);
    char *out = static_cast<char *>(safe_malloc(len + 1));
    memcpy(out, begin, len);
    out[len] = '\0';
    return out;
}
}  // namespace

char *strip_leading_and_trailing_whitespace(const char *text)
{
    if (!text)
        return nullptr;
    return strip_range(text, text + strlen(text));
}

int is_numeric(const char *text)
{
    if (!text)
        return 0;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return 0;
    return 1;
}

int parse_key_and_value(const char *line, char **key, char **value)
{
    *key = nullptr;
    *value = nullptr;
    if (!line || line[0] == '#' || strlen(line) < 2)
        return 0;
    const char *eq = strchr(line, '=');
    if (!eq)
        return 0;
    const char *keyEnd = std::min(eq, line + kKeyValueSideMax);
    const char *valueStart = eq + 1;
    const char *valueEnd = valueStart + strnlen(valueStart, kKeyValueSideMax);
    *key = strip_range(line, keyEnd);
    *value = strip_range(valueStart, valueEnd);
    return 1;
}

char *place_text(char *&at, std::string_view text)
{
    char *copy = at;
    if (!text.empty())  // an empty view may carry no pointer at all
        std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    at += text.size() + 1;
    return copy;
}

int make_fields(char *line, char **fields, int maxFields)
{
    auto is_separator = [](char c) {
        return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
    };
    int count = 0;
    char *p = line;
    while (*p && *p != '\n' && count < maxFields) {
        while (is_separator(*p))
            ++p;
        if (!*p || *p == '\n')
            break;
        fields[count++] = p;
        while (*p && *p != '\n' && !is_separator(*p))
            ++p;
        while (is_separator(*p))
            *p++ = '\0';
    }
    if (*p == '\n')
        *p = '\0';
    return count;
}

char *scramble_text(const char *text)
{
    if (!text)
        return nullptr;
    char *out = safe_strdup(text);
    if (!out)
        return nullptr;
    for (char *p = out; *p; ++p) {
        char c = *p;
        if (c >= 'a' && c <= 'z')
            *p = static_cast<char>(c >= 'n' ? c - 13 : c + 13);
        else if (c >= 'A' && c <= 'Z')
            *p = static_cast<char>(c >= 'N' ? c - 13 : c + 13);
    }
    return out;
}

// ---- keyed list ------------------------------------------------------------

LinkedListNode *kx_allocLinkedListNode()
{
    return static_cast<LinkedListNode *>(calloc(1, sizeof(LinkedListNode)));
}

int kx_addNode2List(LinkedListNode **list, char *key, void *data, int order)
{
    if (!list || !key || !data || (order != 0 && order != 1))
        return -6;  // KX_EINVAL
    LinkedListNode *node = kx_allocLinkedListNode();
    if (!node)
        return -10;  // KX_ENOMEM
    node->key = key;
    node->data = data;
    LinkedListNode *prev = nullptr;
    LinkedListNode *cur = *list;
    while (cur) {
        int cmp = strcmp(cur->key, key);
        if (order == 0 ? cmp >= 0 : cmp <= 0)
            break;
        prev = cur;
        cur = cur->next;
    }
    node->next = cur;
    if (prev)
        prev->next = node;
    else
        *list = node;
    return 0;
}

int kx_findLinkedListNode(LinkedListNode *list, const char *key, void **data)
{
    if (!list || !key || !data)
        return -6;  // KX_EINVAL
    for (; list; list = list->next)
        if (strcmp(list->key, key) == 0) {
            *data = list->data;
            return 0;
        }
    return -4;  // KX_ENOTFOUND
}

void kx_freeLinkedListNode(LinkedListNode *node, ReleaseFunction release)
{
    if (!node)
        return;
    free(node->key);
    if (release)
        release(node->data);
    free(node);
}

void kx_freeLinkedList(LinkedListNode *list, ReleaseFunction release)
{
    while (list) {
        LinkedListNode *next = list->next;
        kx_freeLinkedListNode(list, release);
        list = next;
    }
}

// ---- line files ------------------------------------------------------------

namespace {

// A replacement's name: the file's, then ".PID.RANDOM" (12 hexadecimal
// digits), so that the leftovers of a writer that was killed can be told
// and their writer asked after. Writers before the process number was added
// wrote ".RANDOM" alone.
constexpr std::size_t kTempRandomDigits = 12;

// Creates the replacement next to `path` under a random name, never
// following a link planted there; the kernel applies the file mode mask.
int create_temporary(const std::string &path, mode_t mode, std::string &temp)
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        snprintf(suffix, sizeof suffix, ".%ld.%0*llx", static_cast<long>(getpid()),
                 static_cast<int>(kTempRandomDigits),
                 static_cast<unsigned long long>(random() & 0xffffffffffffULL));
        temp = path + suffix;
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool write_all(int fd, const std::vector<std::string> &lines)
{
    for (const auto &line : lines) {
        std::string_view rest = line;
        while (!rest.empty()) {
            ssize_t n = write(fd, rest.data(), rest.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    return true;
}

bool all_of_class(std::string_view text, int (*is_class)(int))
{
    return std::all_of(text.begin(), text.end(),
                       [is_class](char c) { return is_class(static_cast<unsigned char>(c)) != 0; });
}

// The writer's process number that a name of a replacement of `base`
// carries: 0 for a name of the older form, -1 for any other name.
long temporary_writer(std::string_view name, std::string_view base)
{
    if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base ||
        name[base.size()] != '.')
        return -1;
    name.remove_prefix(base.size() + 1);
    const std::size_t dot = name.find('.');
    const std::string_view random = dot == std::string_view::npos ? name : name.substr(dot + 1);
    const std::string_view pid = dot == std::string_view::npos ? "" : name.substr(0, dot);
    const bool numbered = dot != std::string_view::npos;
    if (random.size() != kTempRandomDigits || !all_of_class(random, isxdigit) ||
        (numbered && (pid.empty() || pid.size() > 9 || !all_of_class(pid, isdigit))))
        return -1;
    return pid.empty() ? 0 : std::stol(std::string(pid));
}

// A replacement that no writer is still busy with: its writer is gone (or
// unknown) and it has not been written to for a minute, or it has lain for
// an hour whatever its number says (the number may be another process's by
// now, or one of another process namespace).
bool stale_temporary(long writer, const struct stat &st)
{
    constexpr time_t kQuietSeconds = 60, kForgottenSeconds = 3600;
    const time_t age = time(nullptr) - st.st_mtime;
    if (age >= kForgottenSeconds)
        return true;
    const bool writerGone =
        writer == 0 || (kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH);
    return writerGone && age >= kQuietSeconds;
}

// Removes the replacements of `path` that killed writers left in its
// directory: only regular files named as this writer names them, and only
// stale ones, so that a writer busy in another process keeps its own.
void remove_stale_temporaries(const std::string &path, const std::string &dir)
{
    const std::string base = path.substr(path.rfind('/') + 1);
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR *listing = fdopendir(dirFd);
    if (!listing) {
        close(dirFd);
        return;
    }
    while (const dirent *entry = readdir(listing)) {
        const long writer = temporary_writer(entry->d_name, base);
        struct stat st;
        if (writer < 0 || writer == getpid() ||
            fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            !stale_temporary(writer, st))
            continue;
        if (unlinkat(dirFd, entry->d_name, 0) == 0)
            dprintf("%s: removed %s, left by a writer that did not finish\n", path.c_str(),
                    entry->d_name);
    }
    closedir(listing);
}

// The mode of a replacement: the old file's read and execute bits and its
// owner's write bit, but never writable by group or others, and no set-id
// bits: root's agent reads these files back.
constexpr mode_t kReplacementModeBits = 0755;

void sync_directory(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

int file_to_array(const char *path, std::vector<std::string> &lines, std::size_t maxLines)
{
    lines.clear();
    if (!path)
        return -1;
    // Each line is at most 255 bytes, so this many bytes hold `maxLines` of
    // them: a cut here is the documented limit on lines, not a lost tail.
    constexpr std::size_t kPiece = kLineBufferSize - 1;
    const bool bounded = maxLines <= kConfigFileMax / kPiece;
    std::string text;
    if (!read_product_file(path, bounded ? maxLines * kPiece : kConfigFileMax, text,
                           bounded ? Oversize::Cut : Oversize::Refuse))
        return -1;
    for (const std::string &piece : split_as_fgets(text, kLineBufferSize)) {
        if (lines.size() >= maxLines)
            break;
        lines.emplace_back(piece.c_str());  // as fgets, a NUL ends the line
    }
    return static_cast<int>(lines.size());
}

int array_to_file(const char *path, const std::vector<std::string> &lines)
{
    if (!path || !*path)
        return -1;
    std::string dir = directory_of(path);
    std::string why = untrusted_directory_on(dir);
    if (!why.empty()) {
        dprintf("%s not written: %s\n", path, why.c_str());
        errno = EPERM;
        return -1;
    }
    struct stat old;
    bool hadOld = lstat(path, &old) == 0;
    if (hadOld && !S_ISREG(old.st_mode)) {
        dprintf("%s not written: not a regular file\n", path);
        errno = EEXIST;
        return -1;
    }

    std::string temp;
    // Not writable by others whatever the process's mask: root's agent
    // reads these files back.
    int fd = create_temporary(path, 0644, temp);
    if (fd < 0) {
        int err = errno;
        dprintf("%s not written: %s\n", path, error_text(err).c_str());
        errno = err;
        return -1;
    }

    bool ok = write_all(fd, lines);
    // The replacement stays the writer's own; root keeps the old group,
    // which may only read it.
    if (ok && hadOld)
        ok = fchmod(fd, old.st_mode & kReplacementModeBits) == 0;
    if (ok && hadOld && geteuid() == 0 && old.st_gid != getegid())
        ok = fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(temp.c_str(), path) == 0;
    if (!ok) {
        int saved = errno;
        unlink(temp.c_str());
        dprintf("%s not written: %s\n", path, error_text(saved).c_str());
        errno = saved;
        return -1;
    }
    sync_directory(dir);
    remove_stale_temporaries(path, dir);
    return 0;
}

namespace {

// Opens (creating it when missing) the lock file of `path`: -1 with errno
// after reporting why.
int open_lock_file(const std::string &path)
{
    const std::string lockPath = path + ".lock";
    std::string why = untrusted_directory_on(directory_of(lockPath));
    if (!why.empty()) {
        dprintf("%s not locked: %s\n", path.c_str(), why.c_str());
        errno = EPERM;
        return -1;
    }
    int fd = open(lockPath.c_str(),
                  O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    if (fd < 0) {
        int err = errno;
        dprintf("%s not locked: %s: %s\n", path.c_str(), lockPath.c_str(),
                err == ELOOP ? "a symbolic link" : error_text(err).c_str());
        errno = err;
    }
    return fd;
}

}  // namespace

ProductFileLock::ProductFileLock(const std::string &path, std::chrono::milliseconds wait)
{
    int fd = open_lock_file(path);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    // Tried again and again rather than waited for in the kernel: a
    // blocking flock could only be ended by a signal, and the library sends
    // none to its host.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error_ = errno;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            error_ = ETIMEDOUT;
            break;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(16));
    }
    close(fd);
    dprintf("%s not locked: %s\n", path.c_str(),
            error_ == ETIMEDOUT ? "another writer holds it" : error_text(error_).c_str());
}

ProductFileLock::~ProductFileLock()
{
    if (fd_ >= 0)
        close(fd_);  // releases the lock
}

namespace {

// strerror_r comes in two flavours: the GNU one returns the text (which may
// not be in the buffer), the POSIX one fills the buffer.
[[maybe_unused]] const char *strerror_r_text(const char *text, const char *)
{
    return text;
}

[[maybe_unused]] const char *strerror_r_text(int, const char *buffer)
{
    return buffer;
}

}  // namespace

std::string error_text(int err)
{
    char buffer[128] = "";
    return strerror_r_text(strerror_r(err, buffer, sizeof buffer), buffer);
}

}  // namespace kx
