#include "utils.h"

#include "pkginfo.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace kx {

// ---- diagnostics ---------------------------------------------------------

namespace {

char *gdebug_string = nullptr;
// Shared formatting buffer: the diagnostics are used by one thread at a time.
char formatBuffer[kDiagnosticBufferSize];

DiagnosticSink &diagnostic_sink()
{
    static DiagnosticSink sink;
    return sink;
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

void dprintf(const char *format, ...)
{
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
    va_list args;
    va_start(args, format);
    vsnprintf(formatBuffer, sizeof formatBuffer, format, args);
    va_end(args);
    std::string line = std::string("(") + category + ") " + formatBuffer;
    emit(LOG_INFO, line.c_str());
}

void log_admin(const char *tag, const char *format, ...)
{
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
    static std::string dir;
    return dir;
}
}  // namespace

int set_root(const char *dir)
{
    if (!dir) {
        root_dir().clear();
        return 0;
    }
    struct stat st;
    if (dir[0] != '/' || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    std::string clean(dir);
    while (clean.size() > 1 && clean.back() == '/')
        clean.pop_back();
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

// ---- the host's package tool -----------------------------------------------

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
    auto answer = platform::package_root_query(root(), package);
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

void *safe_malloc(std::size_t size)
{
    void *block = calloc(1, size ? size : 1);
    if (!block) {
        fprintf(stderr, "Could not malloc %d bytes\n", static_cast<int>(size));
        exit(1);
    }
    return block;
}

void *safe_calloc(std::size_t count, std::size_t size)
{
    void *block = calloc(count ? count : 1, size ? size : 1);
    if (!block) {
        fprintf(stderr, "Could not calloc %d elements of %d bytes\n", static_cast<int>(count),
                static_cast<int>(size));
        exit(1);
    }
    return block;
}

char *safe_strdup(const char *text)
{
    return text ? strdup(text) : nullptr;
}

// ---- text ------------------------------------------------------------------

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

int split_key_and_value(std::string_view line, std::string_view &key, std::string_view &value)
{
    key = {};
    value = {};
    line = line.substr(0, line.find('\0'));
    if (line.size() < 2 || line[0] == '#')
        return 0;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return 0;
    auto stripped = [](std::string_view side) {
        while (!side.empty() && is_trimmed_space(side.front()))
            side.remove_prefix(1);
        while (!side.empty() && is_trimmed_space(side.back()))
            side.remove_suffix(1);
        return side;
    };
    key = stripped(line.substr(0, std::min(eq, kKeyValueSideMax)));
    value = stripped(line.substr(eq + 1, kKeyValueSideMax));
    return 1;
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

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string directory_of(const char *path)
{
    std::string copy(path);
    return dirname(copy.data());
}

// Permissions for the replacement: the old file's, or what creating it with
// fopen would have given.
mode_t replacement_mode(const struct stat *old)
{
    if (old)
        return old->st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
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
    File file(path ? fopen(path, "r") : nullptr);
    if (!file)
        return -1;
    char buffer[kLineBufferSize];
    while (lines.size() < maxLines && fgets(buffer, sizeof buffer, file.get()))
        lines.emplace_back(buffer);
    return static_cast<int>(lines.size());
}

int array_to_file(const char *path, const std::vector<std::string> &lines)
{
    if (!path || !*path)
        return -1;
    struct stat old;
    bool hadOld = stat(path, &old) == 0;
    if (hadOld && !S_ISREG(old.st_mode))
        return -1;

    std::string dir = directory_of(path);
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;

    bool ok = write_all(fd, lines) && fchmod(fd, replacement_mode(hadOld ? &old : nullptr)) == 0;
    if (ok && hadOld && geteuid() == 0)
        ok = fchown(fd, old.st_uid, old.st_gid) == 0;
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(temp.c_str(), path) == 0;
    if (!ok) {
        int saved = errno;
        unlink(temp.c_str());
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
