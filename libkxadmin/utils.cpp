#include "utils.h"

#include "pkginfo.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <syslog.h>
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

// Why the directory at `path` cannot be trusted, or nullptr. A link in its
// place is trusted only when root or this user made it: in a sticky
// directory anyone may plant one, and re-point it between the check and the
// open.
const char *distrust_path(const std::string &path, bool &missing)
{
    struct stat st;
    missing = lstat(path.c_str(), &st) != 0;
    if (missing)
        return nullptr;
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != 0 && st.st_uid != geteuid())
            return "a link owned by another user";
        missing = stat(path.c_str(), &st) != 0;
        if (missing)
            return nullptr;
    }
    return distrust(st);
}

// Walks `dir` (absolute) from "/" down and checks every directory on the way
// that exists. Empty when all are trusted, else "DIR is WHY".
std::string untrusted_directory_on(std::string_view dir)
{
    std::string walked = "/";
    for (;;) {
        bool missing = false;
        const char *why = distrust_path(walked, missing);
        if (missing)
            return {};  // nothing below a missing directory to check
        if (why)
            return walked + " is " + why;
        while (!dir.empty() && dir.front() == '/')
            dir.remove_prefix(1);
        if (dir.empty())
            return {};
        std::string_view name = dir.substr(0, dir.find('/'));
        dir.remove_prefix(name.size());
        if (walked.back() != '/')
            walked += '/';
        walked += name;
    }
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

int open_product_file(const std::string &path)
{
    std::string why = untrusted_directory_on(directory_of(path));
    if (!why.empty()) {
        dprintf("%s refused: %s\n", path.c_str(), why.c_str());
        errno = EACCES;
        return -1;
    }
    // Non-blocking, so that a FIFO in the file's place cannot stall the open.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
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

int open_product_directory(const std::string &path)
{
    std::string why = untrusted_directory_on(path);
    if (!why.empty()) {
        dprintf("%s refused: %s\n", path.c_str(), why.c_str());
        errno = EACCES;
        return -1;
    }
    return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool trusted_tool(const std::string &path)
{
    std::string why = untrusted_directory_on(directory_of(path));
    struct stat st;
    if (why.empty() && stat(path.c_str(), &st) == 0) {
        if (st.st_uid != 0 && st.st_uid != geteuid())
            why = "owned by another user";
        else if (st.st_mode & (S_IWGRP | S_IWOTH))
            why = "writable by group or others";
    }
    if (why.empty())
        return true;  // a missing tool fails to start, with its own diagnostic
    dprintf("%s not run: %s\n", path.c_str(), why.c_str());
    return false;
}

bool read_product_file(const std::string &path, std::size_t maxBytes, std::string &contents,
                       Oversize oversize)
{
    contents.clear();
    int fd = open_product_file(path);
    if (fd < 0)
        return false;
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
    if (((answer.waitStatus >> 8) & 0xff) != 0) {
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

void *allocated_or_exit(void *block, std::size_t size)
{
    if (!block) {
        fprintf(stderr, "Could not malloc %d bytes\n", static_cast<int>(size));
        exit(1);  // NOLINT(concurrency-mt-unsafe): memory exhaustion ends the process by contract
    }
    return block;
}

}  // namespace

void *safe_malloc(std::size_t size)
{
    return allocated_or_exit(calloc(1, size ? size : 1), size);
}

void *safe_malloc_uncleared(std::size_t size)
{
    return allocated_or_exit(malloc(size ? size : 1), size);
}

void *safe_calloc(std::size_t count, std::size_t size)
{
    void *block = calloc(count ? count : 1, size ? size : 1);
    if (!block) {
        fprintf(stderr, "Could not calloc %d elements of %d bytes\n", static_cast<int>(count),
                static_cast<int>(size));
        exit(1);  // NOLINT(concurrency-mt-unsafe): memory exhaustion ends the process by contract
    }
    return block;
}

char *safe_strdup(const char *text)
{
    return text ? strdup(text) : nullptr;
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

// Creates the replacement next to `path` under a random name, never
// following a link planted there; the kernel applies the file mode mask.
int create_temporary(const std::string &path, mode_t mode, std::string &temp)
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        snprintf(suffix, sizeof suffix, ".%012llx",
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
    if (ok && hadOld)
        ok = fchmod(fd, old.st_mode & 07777) == 0;
    if (ok && hadOld && geteuid() == 0)
        ok = fchown(fd, old.st_uid, old.st_gid) == 0;
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
    return 0;
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
