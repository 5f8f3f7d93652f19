// Diagnostics, the product root, the package-root query and the small text,
// list and file helpers that the whole library shares.
//
// Everything here lives in namespace kx. The diagnostic routine `dprintf`
// would collide with POSIX dprintf(int, const char *, ...) at global scope;
// inside namespace kx an unqualified call resolves to ours. Code outside the
// namespace must write kx::dprintf.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace kx {

// ---- diagnostics ---------------------------------------------------------

// Formatted messages are cut to this many bytes, NUL included.
constexpr std::size_t kDiagnosticBufferSize = 1024;

void dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void dlprintf(const char *category, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_admin(const char *tag, const char *format, ...) __attribute__((format(printf, 2, 3)));
int gdebug(const char *category);
void set_gdebug(const char *options);

// Where diagnostic lines go: syslog by default. A sink receives the syslog
// priority and the finished line; an empty sink restores syslog.
using DiagnosticSink = std::function<void(int priority, const std::string &line)>;
void set_diagnostic_sink(DiagnosticSink sink);

// ---- the product root ----------------------------------------------------

// Sets the directory put in front of every product path. Returns 0; -1 for a
// relative path, one that is not an existing directory, or one that is not
// trusted (the root stays as it was). NULL clears it.
//
// A directory is trusted when it is owned by root or by the caller's
// effective user and is writable by neither group nor others unless its
// sticky bit is set. The root, every directory above it and every existing
// product directory below it must be trusted; the product directories are
// checked again before each product file is opened. A link on the way is
// followed only when root or the caller owns it, and every directory of its
// target must be trusted in turn.
int set_root(const char *dir);
const std::string &root();
// `path` (absolute) under the root.
std::string product_path(std::string_view path);

// ---- product files ---------------------------------------------------------

// Size caps of the product files that are read whole: the services file,
// the administration configuration and the package records.
constexpr std::size_t kConfigFileMax = 1 << 20;

// What a read does with a file longer than its cap.
enum class Oversize { Refuse, Cut };

// Opens a product file for reading as if another user might have planted it:
// every directory from the root down must be trusted, a link is not
// followed, a FIFO or device is never waited on, and only a regular file is
// accepted. Returns a close-on-exec descriptor, or -1 with errno set; every
// refusal other than a missing file is reported as a diagnostic.
int open_product_file(const std::string &path);
// Opens a product directory for reading its entries, trusted as
// open_product_file trusts a file's directories, the directory itself
// included; a link in its place is not followed. A descriptor or -1.
int open_product_directory(const std::string &path);
// Opens the product tool at `path` for starting it, when no other user could
// have changed it or a directory on its way (links followed as for product
// files): a regular file owned by root or the caller, writable by neither
// group nor others. A missing tool or directory is refused like an untrusted
// one. Returns a close-on-exec O_PATH descriptor of the file that was
// checked, or -1 with errno (ENOENT, EACCES) after reporting why.
int open_trusted_tool(const std::string &path);
// Reads at most `maxBytes` of a product file. Over the cap, Refuse fails
// with EFBIG and a diagnostic, Cut keeps the first `maxBytes`. Returns false
// with errno set when the file cannot be opened or read. `opened`, when
// given, gets the status of the file that was read.
bool read_product_file(const std::string &path, std::size_t maxBytes, std::string &contents,
                       Oversize oversize = Oversize::Refuse, struct stat *opened = nullptr);

// ---- the host's package tool -----------------------------------------------

char *get_package_root(const char *package);
// Reads a package record for the package tool adapter.
bool read_package_record(const std::string &path, std::string &contents);

// Splits text as successive fgets calls into a buffer of `bufferSize` bytes
// would return it: a line longer than bufferSize - 1 arrives in pieces.
std::vector<std::string> split_as_fgets(std::string_view text, std::size_t bufferSize);

// ---- allocation ------------------------------------------------------------

// Zero-filled blocks; when memory runs out they write a diagnostic and
// throw std::bad_alloc, which the exported function turns into its failure
// result. They never end the process.
void *safe_malloc(std::size_t size);
// The same without clearing the bytes, for blocks about to be written whole.
void *safe_malloc_uncleared(std::size_t size);
void *safe_calloc(std::size_t count, std::size_t size);
// A copy, or NULL for NULL and when memory runs out.
char *safe_strdup(const char *text);
// Memory ran out where no allocation routine says so: throws std::bad_alloc.
[[noreturn]] void out_of_memory();
// A copy for a record that must hold it: NULL for NULL; std::bad_alloc when
// memory runs out, so that no record goes out with a text missing.
char *record_text(const char *text);

// ---- the NULL-terminated arrays of the C interface ---------------------------

// Builds the NULL-terminated array of records that a query hands its caller
// (released by free_c_array): each record is owned by the builder from add()
// on, and released with it should the array not be made, and by the array
// from take() on.
template <class Record>
class CArray {
public:
    using Release = void (*)(Record *);
    explicit CArray(Release release) : release_(release) {}
    ~CArray()
    {
        for (Record *record : records_)
            release_(record);
    }
    CArray(const CArray &) = delete;
    CArray &operator=(const CArray &) = delete;

    // Takes `record` over.
    void add(Record *record)
    {
        try {
            records_.push_back(record);
        } catch (const std::bad_alloc &) {
            release_(record);
            out_of_memory();
        }
    }
    std::size_t size() const { return records_.size(); }
    // The array of every record added, NULL-terminated (malloc()ed, for the
    // C caller); nullptr when memory ran out, the records then still the
    // builder's.
    Record **take()
    {
        auto **array = static_cast<Record **>(calloc(records_.size() + 1, sizeof(Record *)));
        if (!array)
            return nullptr;
        std::copy(records_.begin(), records_.end(), array);
        records_.clear();
        return array;
    }

private:
    Release release_;
    std::vector<Record *> records_;
};

// Releases a NULL-terminated array and every record in it; NULL accepted.
template <class Record>
void free_c_array(Record **array, void (*release)(Record *))
{
    if (!array)
        return;
    for (Record **slot = array; *slot; ++slot)
        release(*slot);
    free(array);
}

// A text of such an array, for CArray<char> and free_c_array.
inline void free_text(char *text)
{
    free(text);
}

// ---- the same arrays laid out in one block -----------------------------------

// What lies in front of an array laid out in one block: the block's size,
// so that its release can tell what lies in it.
struct LaidOutHeader {
    std::size_t bytes;
};

// The places of one such block of `count` records and `textBytes` bytes of
// texts: its slots already point at its records and end with the NULL.
template <class Record>
struct LaidOutBlock {
    Record **slots = nullptr;  // nullptr when memory ran out
    Record *records = nullptr;
    char *texts = nullptr;
};

template <class Record>
LaidOutBlock<Record> allocate_laid_out(std::size_t count, std::size_t textBytes)
{
    static_assert(alignof(Record) <= alignof(LaidOutHeader));
    const std::size_t slotBytes = sizeof(LaidOutHeader) + (count + 1) * sizeof(Record *);
    const std::size_t recordsAt =
        (slotBytes + alignof(Record) - 1) / alignof(Record) * alignof(Record);
    const std::size_t bytes = recordsAt + count * sizeof(Record) + textBytes;
    char *block = static_cast<char *>(malloc(bytes));
    if (!block)
        return {};
    *reinterpret_cast<LaidOutHeader *>(block) = {bytes};
    LaidOutBlock<Record> laid{reinterpret_cast<Record **>(block + sizeof(LaidOutHeader)),
                              reinterpret_cast<Record *>(block + recordsAt),
                              block + recordsAt + count * sizeof(Record)};
    for (std::size_t i = 0; i < count; ++i)
        laid.slots[i] = &laid.records[i];
    laid.slots[count] = nullptr;
    return laid;
}

// Builds a NULL-terminated array of records that is laid out in one
// malloc()ed block with its records and their texts (the `fields` of each
// record): the header, the slots and their NULL, the records, the texts.
// A list of n records then costs one allocation rather than one per record
// and text, and is released by one free(). Its release (free_laid_out)
// still releases, with free(), a record or text that lies outside the
// block: one that a caller put in the place of ours.
template <class Record, std::size_t Texts>
class LaidOutArray {
public:
    using Fields = std::array<char *Record::*, Texts>;
    explicit LaidOutArray(const Fields &fields) : fields_(fields) {}
    LaidOutArray(const LaidOutArray &) = delete;
    LaidOutArray &operator=(const LaidOutArray &) = delete;

    void reserve(std::size_t records) { records_.reserve(records); }
    // A record whose texts (NULL stays NULL) live until take(), which copies
    // them into the block.
    void add(const Record &record)
    {
        records_.push_back(record);
        for (char *Record::*field : fields_)
            if (const char *text = record.*field)
                textBytes_ += strlen(text) + 1;
    }
    // A copy of `text` that lives as long as the builder, for a record's text
    // that would not live until take(). NULL for NULL.
    char *keep(const char *text)
    {
        if (!text)
            return nullptr;
        return keep(std::string_view(text));
    }
    // The same for a text that the parse found inside a longer one.
    char *keep(std::string_view text)
    {
        kept_.emplace_back(text);
        return kept_.back().data();
    }
    std::size_t size() const { return records_.size(); }
    // The array, owned by the caller; nullptr when memory ran out.
    Record **take()
    {
        const std::size_t count = records_.size();
        const LaidOutBlock<Record> block = allocate_laid_out<Record>(count, textBytes_);
        if (!block.slots)
            return nullptr;
        char *texts = block.texts;
        for (std::size_t i = 0; i < count; ++i) {
            block.records[i] = records_[i];
            for (char *Record::*field : fields_)
                if (const char *text = block.records[i].*field) {
                    const std::size_t length = strlen(text) + 1;
                    block.records[i].*field = static_cast<char *>(memcpy(texts, text, length));
                    texts += length;
                }
        }
        return block.slots;
    }

private:
    Fields fields_;
    std::vector<Record> records_;
    std::deque<std::string> kept_;
    std::size_t textBytes_ = 0;
};

// Releases an array that LaidOutArray made; NULL accepted. Each record up to
// the NULL, and each of its texts, that lies outside the block is released
// with free() first.
template <class Record, std::size_t Texts>
void free_laid_out(Record **array, const std::array<char *Record::*, Texts> &fields)
{
    if (!array)
        return;
    char *block = reinterpret_cast<char *>(array) - sizeof(LaidOutHeader);
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t end = begin + reinterpret_cast<LaidOutHeader *>(block)->bytes;
    const auto outside = [begin, end](const void *p) {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        return at < begin || at >= end;
    };
    for (Record **slot = array; *slot; ++slot) {
        for (char *Record::*field : fields)
            if (outside((*slot)->*field))
                free((*slot)->*field);
        if (outside(*slot))
            free(*slot);
    }
    free(block);
}

// ---- text ------------------------------------------------------------------

char *strip_leading_and_trailing_whitespace(const char *text);
int is_numeric(const char *text);
// Each side of the '=' is taken up to this many characters.
constexpr std::size_t kKeyValueSideMax = 511;
int parse_key_and_value(const char *line, char **key, char **value);
// The same split without copying: `key` and `value` view into `line` (empty
// where parse_key_and_value gives NULL). For parsers that read many pairs,
// hence inline: it runs once for every line of a long reply.
inline int split_key_and_value_without_nul(std::string_view line, std::string_view &key,
                                          std::string_view &value);
// `side` without the blanks (space, tab, line feed) at either end.
inline std::string_view strip_blanks(std::string_view side)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    while (!side.empty() && blank(side.front()))
        side.remove_prefix(1);
    while (!side.empty() && blank(side.back()))
        side.remove_suffix(1);
    return side;
}
inline int split_key_and_value(std::string_view line, std::string_view &key,
                               std::string_view &value)
{
    return split_key_and_value_without_nul(line.substr(0, line.find('\0')), key, value);
}
// The same for a line known to hold no NUL (a reply line as the transport
// hands it over): one scan of the line fewer.
inline int split_key_and_value_without_nul(std::string_view line, std::string_view &key,
                                          std::string_view &value)
{
    key = {};
    value = {};
    if (line.size() < 2 || line[0] == '#')
        return 0;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return 0;
    key = strip_blanks(line.substr(0, std::min(eq, kKeyValueSideMax)));
    value = strip_blanks(line.substr(eq + 1, kKeyValueSideMax));
    return 1;
}
// Copies `text` to `at` with its terminating NUL and moves `at` past it; for
// records laid out with their texts in one allocation. Returns the copy.
char *place_text(char *&at, std::string_view text);
// Splits `line` in place; stores at most `maxFields` field starts and stops
// there, so a line of more words than the caller has room for never writes
// past `fields`.
int make_fields(char *line, char **fields, int maxFields);
char *scramble_text(const char *text);
// strtoul(text, NULL, base) and atoi(text), but a figure beyond the 32-bit
// range reads as the nearest 32-bit value instead of wrapping round: a
// counter of 2^32 is a large counter, not 0.
uint32_t text_to_uint32(const char *text, int base = 0);
int32_t text_to_int32(const char *text);

// ---- keyed list ------------------------------------------------------------

struct LinkedListNode {
    char *key;
    void *data;
    LinkedListNode *next;
};
using ReleaseFunction = void (*)(void *);

LinkedListNode *kx_allocLinkedListNode();
int kx_addNode2List(LinkedListNode **list, char *key, void *data, int order);
int kx_findLinkedListNode(LinkedListNode *list, const char *key, void **data);
void kx_freeLinkedListNode(LinkedListNode *node, ReleaseFunction release);
void kx_freeLinkedList(LinkedListNode *list, ReleaseFunction release);

// ---- line files ------------------------------------------------------------

// Line length limit of the line files: a longer line is read as several.
constexpr std::size_t kLineBufferSize = 256;

// Reads at most `maxLines` lines of up to 255 characters, newline kept, from
// a product file opened as open_product_file does; at most kConfigFileMax
// bytes are read. Returns the number read, or -1 when the file cannot be
// opened or is refused.
int file_to_array(const char *path, std::vector<std::string> &lines,
                  std::size_t maxLines = std::numeric_limits<std::size_t>::max());
// Replaces the file with the non-empty entries, written one after the other.
// The new contents go to a temporary file in the same directory
// ("<file>.<pid>.<12 hex digits>"), reach the disk, and are renamed over the
// old file, so that the file is always either the old contents or the new
// ones. The replacement is the writer's, with the old file's read bits, but
// writable by neither group nor others; root keeps the old file's group. A
// new file gets 0644 less the process's file mode mask. A link or other
// non-regular file at `path`, or an untrusted directory above it, is
// refused. After a write, stale temporary files of `path` that killed
// writers left are removed. Returns 0, or -1 (the old file untouched).
int array_to_file(const char *path, const std::vector<std::string> &lines);

// An exclusive advisory lock for a read-modify-write of the product file
// `path`, held while the object lives: an flock of "<path>.lock" beside it.
// The file itself is replaced by rename, so a lock of it would bind no
// writer that opens the new one; the lock file stays. It is created 0600,
// so that no other user can open it to hold the lock, never through a link,
// in a directory trusted as the file's. Waiting for another writer ends
// after `wait`.
class ProductFileLock {
public:
    ProductFileLock(const std::string &path, std::chrono::milliseconds wait);
    ~ProductFileLock();
    ProductFileLock(const ProductFileLock &) = delete;
    ProductFileLock &operator=(const ProductFileLock &) = delete;
    bool held() const { return fd_ >= 0; }
    // Why it is not held, reported already: ETIMEDOUT when another writer
    // held it all along, else why the lock file could not be opened.
    int error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

// The system's text for the error number `err`. Unlike strerror, safe to
// call from several threads at once.
std::string error_text(int err);

}  // namespace kx
