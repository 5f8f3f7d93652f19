#include "kxsdesktop.h"

#include "admin_desktop.h"
#include "group_mgr.h"
#include "kxsdt.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace kx {
namespace {

// How long a change of the table waits for another writer of the file.
constexpr std::chrono::milliseconds kTableLockWait{5000};

// The first ID of the table that matches without regard to case, or the
// table's end.
std::vector<std::string>::iterator find_id(Handle *handle, const std::string &terminalId)
{
    return std::find_if(handle->monitored.begin(), handle->monitored.end(),
                        [&terminalId](const std::string &id) {
                            return strcasecmp(id.c_str(), terminalId.c_str()) == 0;
                        });
}

// The table file as a handle last read or wrote it: a file replaced under
// the same name is told by its identity, size and times.
struct FileStamp {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{}, changed{};

    static FileStamp of(const struct stat &st)
    {
        return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileStamp &other) const
    {
        auto same = [](const timespec &a, const timespec &b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return present == other.present && device == other.device && inode == other.inode &&
               size == other.size && same(modified, other.modified) && same(changed, other.changed);
    }
};

// The file's stamp now, without opening it; absent when there is no file.
FileStamp stamp_now(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? FileStamp::of(st) : FileStamp{};
}

struct TableChange {
    bool add;
    std::string terminalId;
};

}  // namespace

// What a handle's table follows: the file as the handle last saw it, and the
// handle's changes that the file does not hold yet (a write failed), which
// go on top of whatever the file holds when it is read again.
struct MonitoredFile {
    FileStamp stamp;
    std::vector<TableChange> unstored;
};

namespace {

// The IDs of the table file, one a line. A line longer than an ID can be
// (a hand-edited file) is dropped with a diagnostic rather than read as
// several IDs; a NUL ends a line's ID. -1 with errno when the file cannot
// be read or is refused; `stamp` is then the file's as it is (absent when
// there is none), so that it is not tried again until it changes.
int read_table(const std::string &path, std::vector<std::string> &ids, FileStamp &stamp)
{
    ids.clear();
    std::string text;
    struct stat st;
    if (!read_product_file(path, kConfigFileMax, text, Oversize::Cut, &st)) {
        int err = errno;
        stamp = stamp_now(path);
        errno = err;
        return -1;
    }
    stamp = FileStamp::of(st);
    // A line that the cap cut is no ID.
    const bool cut = static_cast<std::size_t>(st.st_size) > text.size();
    std::string_view rest = text;
    for (int number = 1; !rest.empty() && ids.size() <= static_cast<std::size_t>(kMaxMonitored);
         ++number) {
        const std::size_t feed = rest.find('\n');
        if (feed == std::string_view::npos && cut)
            break;
        const std::string_view line = rest.substr(0, feed);
        rest.remove_prefix(feed == std::string_view::npos ? rest.size() : feed + 1);
        if (line.size() > kMaxTerminalIdLength) {
            dprintf("kxs_initDTUMonitored(): %s: line %d is longer than %d characters; dropped\n",
                    path.c_str(), number, static_cast<int>(kMaxTerminalIdLength));
            continue;
        }
        ids.emplace_back(line.substr(0, line.find('\0')));
    }
    if (ids.size() > static_cast<std::size_t>(kMaxMonitored)) {
        dprintf("kxs_initDTUMonitored(): %s holds more than %d terminals, the rest is ignored\n",
                path.c_str(), kMaxMonitored);
        ids.resize(kMaxMonitored);
    }
    return static_cast<int>(ids.size());
}

// The handle's table becomes `ids`.
void load_table(Handle *handle, const std::vector<std::string> &ids)
{
    handle->monitored.clear();
    for (const std::string &id : ids) {
        dlprintf("s", "kxs_initDTUMonitored: %s\n", id.c_str());
        handle->monitored.push_back(id);
    }
}

enum class Applied { Changed, Unchanged, Full };

// One change of the table in memory.
Applied apply(Handle *handle, const TableChange &change)
{
    auto found = find_id(handle, change.terminalId);
    if (!change.add) {
        if (found == handle->monitored.end())
            return Applied::Unchanged;
        handle->monitored.erase(found);
        return Applied::Changed;
    }
    if (found != handle->monitored.end())
        return Applied::Unchanged;
    if (handle->monitored.size() >= static_cast<std::size_t>(kMaxMonitored))
        return Applied::Full;
    handle->monitored.push_back(change.terminalId);  // the table's order is the order added
    return Applied::Changed;
}

// The handle's table as the file holds it now, with the handle's unstored
// changes on top. A file that cannot be read for another reason than its
// absence leaves the table as it is.
void follow_file(Handle *handle, MonitoredFile &file, const std::string &path)
{
    std::vector<std::string> ids;
    const bool read = read_table(path, ids, file.stamp) >= 0;
    if (!read && errno != ENOENT) {
        dlprintf("s", "kxs_initDTUMonitored could not read %s file\n", path.c_str());
        return;
    }
    load_table(handle, ids);
    for (const TableChange &change : file.unstored)
        apply(handle, change);
}

MonitoredFile *monitored_file(Handle *handle)
{
    if (!handle->monitoredFile)
        handle->monitoredFile.reset(new (std::nothrow) MonitoredFile);
    return handle->monitoredFile.get();
}

// Writes the whole table, one ID a line, under the table's lock. Returns 0,
// or -1 with the unstored changes kept for the next write.
int store_table(Handle *handle, MonitoredFile &file, const std::string &path,
                const char *caller)
{
    std::vector<std::string> lines;
    for (const std::string &id : handle->monitored)
        lines.push_back(id + "\n");
    if (array_to_file(path.c_str(), lines) != 0) {
        int err = errno;  // the caller may tell why
        dprintf("%s(): Unable to write %s file", caller, path.c_str());
        note_failure(KXS_EFILE, path + " could not be stored: " + error_text(err));
        errno = err;
        return -1;
    }
    file.unstored.clear();
    file.stamp = stamp_now(path);
    return 0;
}

// One change of the table and of its file: under the file's lock, the table
// is read again (another handle or process may have changed it), the change
// is made, and the table is written when the file does not hold it yet.
// Returns 0 or -1 with errno; a change that could not be stored stays in
// the table and is stored with the next change.
int32_t change_table(Handle *handle, const TableChange &change, const char *caller)
{
    MonitoredFile *file = monitored_file(handle);
    if (!file)
        out_of_memory();
    const std::string path = product_path(kMonitoredPath);
    const ProductFileLock lock(path, kTableLockWait);
    if (lock.held())
        follow_file(handle, *file, path);
    const Applied applied = apply(handle, change);
    const char *id = change.terminalId.c_str();
    switch (applied) {
    case Applied::Full:
        dprintf("Reach maximum numbers of monitored DTUs \"%d\"!!", kMonitoredSlots);
        note_failure(KXS_ELIMIT,
                     "the monitored table holds " + std::to_string(kMaxMonitored) + " terminals");
        errno = ENOSPC;
        return -1;
    case Applied::Unchanged:
        if (change.add)
            dlprintf("s", "%s: duplicate terminalID \"%s\"\n", caller, id);
        else
            dlprintf("s", "%s: terminalID \"%s\" not found\n", caller, id);
        break;
    case Applied::Changed:
        file->unstored.push_back(change);
        break;
    }
    if (!lock.held()) {
        dprintf("%s(): Unable to write %s file", caller, path.c_str());
        note_failure(KXS_EFILE,
                     "the lock of " + path + " could not be had: " + error_text(lock.error()));
        errno = lock.error();
        return -1;
    }
    if (!file->unstored.empty() && store_table(handle, *file, path, caller) != 0)
        return -1;
    if (applied == Applied::Changed && change.add)
        dlprintf("s", "%s: added terminalID \"%s\"\n", caller, id);
    else if (applied == Applied::Changed)
        dlprintf("s", "%s: terminalID \"%s\" deleted\n", caller, id);
    return 0;
}

}  // namespace

void kxs_initDTUMonitored(Handle *handle)
{
    dlprintf("s", "kxs_initDTUMonitored initializing table\n");
    std::string path = product_path(kMonitoredPath);
    std::vector<std::string> ids;
    FileStamp stamp;
    if (read_table(path, ids, stamp) < 0)
        dlprintf("s", "kxs_initDTUMonitored could not open %s file\n", path.c_str());
    if (MonitoredFile *file = monitored_file(handle))
        file->stamp = stamp;
    load_table(handle, ids);
    dlprintf("s", "kxs_initDTUMonitored completed\n");
}

void ReleaseMonitoredFile::operator()(MonitoredFile *file) const
{
    delete file;
}

void kxs_freeDTUMonitored(Handle *handle)
{
    if (!handle)
        return;
    dlprintf("s", "kxs_freeDTUMonitored freeing table\n");
    // An empty table, as a fresh handle has it, ready to be read again.
    handle->monitored.clear();
    handle->monitoredFile.reset();
    dlprintf("s", "kxs_freeDTUMonitored completed\n");
}

namespace {

// The table as the file holds it now, read again only when the file was
// replaced since the handle last saw it. A handle whose table was not read
// from the file keeps it.
void follow_if_changed(Handle *handle)
{
    MonitoredFile *file = handle->monitoredFile.get();
    if (!file)
        return;
    const std::string path = product_path(kMonitoredPath);
    if (!(stamp_now(path) == file->stamp))
        follow_file(handle, *file, path);
}

int32_t add_monitored(Handle *handle, const char *terminalId)
{
    if (!handle || !terminalId) {
        note_failure(KXS_EINVAL, "no terminal ID");
        return -1;
    }
    // The file carries one ID a line of at most 255 characters: an ID that
    // holds a line feed, or a longer one, would come back as several IDs.
    if (strchr(terminalId, '\n') || strlen(terminalId) > kMaxTerminalIdLength) {
        dprintf("kxs_addDTUMonitored(): terminalID refused: it holds a line feed or is longer "
                "than %d characters\n",
                static_cast<int>(kMaxTerminalIdLength));
        note_failure(KXS_EINVAL, "a terminal ID holding a line feed or longer than " +
                                     std::to_string(kMaxTerminalIdLength) +
                                     " characters is refused");
        errno = EINVAL;
        return -1;
    }
    return change_table(handle, {true, terminalId}, "kxs_addDTUMonitored");
}

int32_t delete_monitored(Handle *handle, const char *terminalId)
{
    if (!handle || !terminalId) {
        note_failure(KXS_EINVAL, "no terminal ID");
        return -1;
    }
    return change_table(handle, {false, terminalId}, "kxs_deleteDTUMonitored");
}

}  // namespace


// ---- terminal status and exceptions -----------------------------------------------

namespace {

// A result's records and their texts, laid out in one block.
using DTURecords = LaidOutArray<KXSDTU, 7>;
constexpr DTURecords::Fields kDTUTexts{&KXSDTU::terminalId, &KXSDTU::terminalIPA,
                                       &KXSDTU::location,   &KXSDTU::otherInfo,
                                       &KXSDTU::serverName, &KXSDTU::model,
                                       &KXSDTU::firmware};

void free_dtus(KXSDTU **dtus)
{
    free_laid_out(dtus, kDTUTexts);
}

// The live figures of a reported terminal; its texts stay the list's until
// the records are laid out.
void fill_from_term(KXSDTU &dtu, const KXSTerm *term, uint32_t limit)
{
    dtu.state = kxs_term_unowned(term, limit) ? KXS_DTU_UNOWNED : KXS_DTU_OWNED;
    dtu.terminalPackets = term->terminalPackets;
    dtu.terminalLostPackets = term->terminalLostPackets;
    dtu.lossPercent = term->lossPercent;
    dtu.terminalIPA = term->terminalIPA;
    dtu.serverName = term->serverName;
    dtu.model = term->model;
    dtu.firmware = term->firmware;
}

// The directory step of one query: location and further text from each
// terminal's desktop entry, when the handle has a directory connection and
// the directory knows the terminal. A lookup that runs into the directory's
// time-out means that the directory does not answer: the rest of the query
// goes without it, so that a hung directory costs one time-out per query
// rather than one per terminal.
struct DirectoryStep {
    using Entry = std::unique_ptr<desktop, void (*)(desktop *)>;

    Handle *handle;
    const char *query;
    bool givenUp = false;

    // Whether a lookup may still find an entry.
    bool active() const { return handle->connection && !givenUp; }
    // The terminal's desktop entry, or none.
    Entry lookup(const char *terminalId)
    {
        if (!active())
            return {nullptr, free_desktop};
        desktop *rec = nullptr;
        const int found = find_desktop(handle->connection.get(), terminalId, &rec);
        if (found != 0) {
            givenUp = found == KX_ETIMEDOUT;
            if (givenUp) {
                dprintf("%s(): the directory does not answer; the other terminals go without "
                        "location\n",
                        query);
                note_failure(KXS_EDIRECTORY,
                             "the directory did not answer; terminals are without location");
            }
            return {nullptr, free_desktop};
        }
        return {rec, free_desktop};
    }

    void fill(DTURecords &records, KXSDTU &dtu, const char *terminalId)
    {
        if (const Entry entry = lookup(terminalId)) {
            dtu.location = records.keep(entry->location);
            dtu.otherInfo = records.keep(entry->other_info);
        }
    }
};

// Adds the record for `terminalId`: absent with zeroed figures unless `term`
// reports it, then completed from the directory. Its texts are the table's,
// the list's or kept by `records` until they are laid out.
void add_dtu(DTURecords &records, DirectoryStep &directory, const char *terminalId,
             const KXSTerm *term, uint32_t limit)
{
    KXSDTU dtu{};
    dtu.state = KXS_DTU_ABSENT;
    dtu.lossPercent = 0.0f;
    dtu.terminalId = const_cast<char *>(terminalId);
    if (term)
        fill_from_term(dtu, term, limit);
    directory.fill(records, dtu, terminalId);
    records.add(dtu);
}

// Memory ran out while `query` made `what` of its records.
void report_no_memory(const char *query, const char *what)
{
    dprintf("%s(): error allocating %s\n", query, what);
    note_failure(KXS_ENOMEM, "memory ran out");
}

// Owns a status list and a host list for the length of one query.
struct QueryLists {
    KXSTerm *terms = nullptr;
    HostList *hosts = nullptr;
    QueryLists() = default;
    QueryLists(const QueryLists &) = delete;
    QueryLists &operator=(const QueryLists &) = delete;
    ~QueryLists()
    {
        kxs_free_linked_list(nullptr, &terms);
        free_HostList(hosts);
    }
};

// The terminals of the trusted, live members of this server's failover
// group, or this server's own when the group lists no host: only those
// that `wanted` keeps, so that the query holds no more than it can report.
void read_group_terminals(Handle *handle, KXSWantedTerms &wanted, QueryLists &lists)
{
    int hostCount = 0;
    const char *hostname = handle->hostname.c_str();
    lists.hosts = get_gm_hosts(hostname, &hostCount);
    int count = 0;
    if (lists.hosts) {
        lists.terms = kxs_get_currentHA_list(handle, lists.hosts, &wanted);
    } else {
        dlprintf("s", "kxs_DTUMonitored: no hosts listed\n");
        lists.terms =
            kxs_get_current_list(handle, hostname, &count, nullptr, kNoDeadline, &wanted);
    }
    if (!lists.terms) {
        if (count == 0)
            dlprintf("s", "kxs_DTUMonitored: no DTUs returned\n");
        dlprintf("s", "kxs_DTUMonitored: error getting DTUs\n");
    }
}

KXSDTU **monitored_dtus(Handle *handle, uint32_t limit)
{
    if (!handle)
        return nullptr;
    follow_if_changed(handle);
    if (handle->monitored.empty())
        return nullptr;
    std::vector<const char *> ids;
    for (const std::string &id : handle->monitored)
        ids.push_back(id.c_str());
    KXSWantedTerms wanted(ids);
    QueryLists lists;
    read_group_terminals(handle, wanted, lists);
    const KXSTermIndex index(lists.terms);
    DirectoryStep directory{handle, "kxs_DTUMonitored"};
    DTURecords records(kDTUTexts);
    records.reserve(ids.size());
    for (const char *id : ids)
        add_dtu(records, directory, id, index.find(id), limit);
    KXSDTU **dtus = records.take();
    if (!dtus) {
        report_no_memory("kxs_DTUMonitored", "DTU list");
        return nullptr;
    }
    // Some member's list is better than none; with none, every terminal
    // reads absent, which is no figure.
    if (query_failed() && query_answers() > 0)
        note_partial();
    return dtus;
}

// A copy of `text` at `to`, which moves past it; NULL for NULL.
char *copy_text(const char *text, char *&to)
{
    if (!text)
        return nullptr;
    const std::size_t bytes = strlen(text) + 1;
    char *copy = static_cast<char *>(memcpy(to, text, bytes));
    to += bytes;
    return copy;
}

// The records of a whole status list, laid out in one block as DTURecords
// lays them out (free_dtus releases them), but straight from the list: the
// texts behind each record are copied in one piece, and the block's size is
// known from the list's head without a walk of the list.
class ReportedDTUs {
public:
    ReportedDTUs(const KXSTerm *list, std::size_t count, DirectoryStep &directory)
        : list_(list), count_(count)
    {
        if (!directory.active())
            return;
        entries_.reserve(count);
        const KXSTerm *term = list;
        for (std::size_t i = 0; i < count; ++i, term = term->next) {
            entries_.push_back(directory.lookup(term->terminalId));
            if (const desktop *entry = entries_.back().get())
                directoryBytes_ += size_of(entry->location) + size_of(entry->other_info);
        }
    }
    // The array; nullptr when memory ran out.
    KXSDTU **take(uint32_t limit)
    {
        const std::size_t textBytes = list_ ? list_->copiedTextBytes : 0;
        const LaidOutBlock<KXSDTU> block =
            allocate_laid_out<KXSDTU>(count_, textBytes + directoryBytes_);
        if (!block.slots)
            return nullptr;
        char *texts = block.texts;
        const KXSTerm *term = list_;
        for (std::size_t i = 0; i < count_; ++i, term = term->next) {
            KXSDTU &dtu = block.records[i];
            dtu = KXSDTU{};
            fill_from_term(dtu, term, limit);
            const std::string_view behind = texts_behind(term);
            char *copy = static_cast<char *>(memcpy(texts, behind.data(), behind.size()));
            texts += behind.size();
            // Those behind the record move with them; the others are copied.
            const auto placed = [&](const char *t) {
                return lies_behind(term, t) ? copy + (t - behind.data()) : copy_text(t, texts);
            };
            dtu.terminalId = placed(term->terminalId);
            dtu.terminalIPA = placed(term->terminalIPA);
            dtu.serverName = placed(term->serverName);
            dtu.model = placed(term->model);
            dtu.firmware = placed(term->firmware);
            if (i < entries_.size() && entries_[i]) {
                dtu.location = copy_text(entries_[i]->location, texts);
                dtu.otherInfo = copy_text(entries_[i]->other_info, texts);
            }
        }
        return block.slots;
    }

private:
    static std::size_t size_of(const char *text) { return text ? strlen(text) + 1 : 0; }

    const KXSTerm *list_;
    std::size_t count_;
    std::vector<DirectoryStep::Entry> entries_;  // by record, with a directory
    std::size_t directoryBytes_ = 0;
};

KXSDTU **exception_dtus(Handle *handle, uint32_t limit)
{
    if (!handle)
        return nullptr;
    QueryLists lists;
    int count = 0;
    lists.terms = kxs_get_current_list(handle, handle->hostname.c_str(), &count, nullptr);
    if (!lists.terms && count < 0) {
        dlprintf("s", "kxs_DTUException: error getting DTUs\n");
        return nullptr;
    }
    if (!lists.terms)
        dlprintf("s", "kxs_DTUException: no DTUs returned\n");
    DirectoryStep directory{handle, "kxs_DTUException"};
    // The list came: count is its length, 0 without terminals.
    ReportedDTUs records(lists.terms, static_cast<std::size_t>(count), directory);
    KXSDTU **dtus = records.take(limit);
    if (!dtus) {
        report_no_memory("kxs_DTUException", "DTU list");
        return nullptr;
    }
    // The list came; a directory that did not answer leaves out locations.
    if (query_failed())
        note_partial();
    return dtus;
}

}  // namespace

}  // namespace kx

KXS_EXPORT int32_t kxs_addDTUMonitored(KXSHandle *handle, const char *terminalId) noexcept
{
    return kx::c_query(handle, "kxs_addDTUMonitored", -1, kx::FailureResult::AlwaysFailure,
                       [terminalId](kx::Handle *h) { return kx::add_monitored(h, terminalId); });
}

KXS_EXPORT int32_t kxs_deleteDTUMonitored(KXSHandle *handle, const char *terminalId) noexcept
{
    return kx::c_query(handle, "kxs_deleteDTUMonitored", -1, kx::FailureResult::AlwaysFailure,
                       [terminalId](kx::Handle *h) { return kx::delete_monitored(h, terminalId); });
}

KXS_EXPORT KXSDTU **kxs_DTUMonitored(KXSHandle *handle, uint32_t limit, void *) noexcept
{
    return kx::c_query(handle, "kxs_DTUMonitored", static_cast<KXSDTU **>(nullptr),
                       kx::FailureResult::MayBeAnswer,
                       [limit](kx::Handle *h) { return kx::monitored_dtus(h, limit); });
}

KXS_EXPORT KXSDTU **kxs_DTUException(KXSHandle *handle, uint32_t limit, void *) noexcept
{
    return kx::c_query(handle, "kxs_DTUException", static_cast<KXSDTU **>(nullptr),
                       kx::FailureResult::AlwaysFailure,
                       [limit](kx::Handle *h) { return kx::exception_dtus(h, limit); });
}

KXS_EXPORT void kxs_freeDTUs(KXSHandle *, KXSDTU **dtus) noexcept
{
    kx::c_release("kxs_freeDTUs", [dtus] { kx::free_dtus(dtus); });
}
