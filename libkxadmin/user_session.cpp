#include "user_session.h"

#include "admin_error.h"
#include "kxerrno.h"
#include "platform/spawner.h"
#include "utils.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <dirent.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

// A session file is a handful of short lines; more is not a session file.
constexpr std::size_t kSessionFileMax = std::size_t{64} << 10;

char *copy_of(std::string_view text)
{
    return safe_strdup(std::string(text).c_str());
}

void replace(char **slot, char *value)
{
    free(*slot);
    *slot = value;
}

std::string_view without_token_prefix(std::string_view token)
{
    if (token.substr(0, kTokenPrefix.size()) == kTokenPrefix)
        token.remove_prefix(kTokenPrefix.size());
    return token;
}

// The lines of a session file as fgets into a 1,000-byte buffer reads them,
// each without its last character (its newline, when it has one).
std::vector<std::string> session_lines(std::string_view text)
{
    std::vector<std::string> lines = split_as_fgets(text, kSessionLineBuffer);
    for (std::string &line : lines)
        line.pop_back();
    return lines;
}

// The value of `line` when it begins with `key` (which ends in '=').
std::optional<std::string_view> value_after(std::string_view line, std::string_view key)
{
    if (line.substr(0, key.size()) != key)
        return std::nullopt;
    return line.substr(key.size());
}

// What a failed open of a session file means. A link or other non-regular
// file in a session file's place has been reported and counts as absent.
int open_failure(int err)
{
    switch (err) {
    case EACCES:
        return KX_EPERM;
    case ENOENT:
    case ELOOP:
    case EINVAL:
        return KX_ENOENT;
    default:
        return KX_EFILEACCESS;
    }
}

int read_session_file(const char *path, std::string &text)
{
    if (!read_product_file(product_path(path), kSessionFileMax, text, Oversize::Cut))
        return open_failure(errno);
    return 0;
}

// `dir` + `name` as a product path, when it stays shorter than the limit the
// session files have always had. A longer one is never cut: cut, it could
// name another session's file.
std::optional<std::string> session_path(const char *dir, const char *name)
{
    std::string path = std::string(dir) + name;
    if (path.size() >= kSessionPathMax)
        return std::nullopt;
    return path;
}

}  // namespace

UserSessionEnt *allocate_userSession()
{
    auto *entry = static_cast<UserSessionEnt *>(safe_calloc(1, sizeof(UserSessionEnt)));
    entry->state = KX_SESSION_DETACHED;
    return entry;
}

void kx_freeUserSessionEnt(UserSessionEnt *entry)
{
    if (!entry)
        return;
    for (char *text : {entry->token, entry->insertToken, entry->uid, entry->display, entry->server,
                       entry->sessionType, entry->encryptUpType, entry->encryptDownType,
                       entry->authenticateUpType, entry->authenticateDownType, entry->securityMode,
                       entry->termPrimary, entry->termList, entry->multiheadGroupName})
        free(text);
    free(entry);
}

// ---- the session files --------------------------------------------------------

int parse_display_text(std::string_view text, UserSessionEnt **entry, char **tokenSet)
{
    std::optional<std::string> token, insertToken, display, set, type;
    const std::pair<std::string_view, std::optional<std::string> *> keys[] = {
        {"TOKEN=", &token},   {"INSERT_TOKEN=", &insertToken}, {"DISPLAY=", &display},
        {"TOKEN_SET=", &set}, {"SESSION_TYPE=", &type},
    };
    for (const std::string &line : session_lines(text))
        for (const auto &[key, slot] : keys)
            if (auto value = value_after(line, key))
                *slot = std::string(*value);
    if (!token || !insertToken || !display || !set || !type)
        return KX_ENOENT;
    UserSessionEnt *made = allocate_userSession();
    made->token = copy_of(without_token_prefix(*token));
    made->insertToken = copy_of(*insertToken);
    made->display = copy_of(*display);
    made->sessionType = copy_of(*type);
    *tokenSet = copy_of(*set);
    *entry = made;
    return 0;
}

int parse_session_text(std::string_view text, SessionProc &proc)
{
    std::optional<std::string> uid, xid, pid, program, serverPid, serverProg;
    const std::pair<std::string_view, std::optional<std::string> *> keys[] = {
        {"XID=", &xid},       {"uid=", &uid},         {"pid=", &pid},
        {"program=", &program}, {"server_pid=", &serverPid}, {"server_prog=", &serverProg},
    };
    for (const std::string &line : session_lines(text))
        for (const auto &[key, slot] : keys)
            if (auto value = value_after(line, key))
                *slot = std::string(*value);
    if (!xid || !pid || !program)
        return KX_ENOENT;
    proc = SessionProc{};
    if (uid) {
        char *stripped = strip_leading_and_trailing_whitespace(uid->c_str());
        // A blank uid names no user: the session keeps none rather than
        // failing the whole enumeration.
        if (!stripped)
            dprintf("parse_sessionfile(): blank uid ignored\n");
        proc.uid = stripped ? stripped : "";
        free(stripped);
    }
    proc.xid = *xid;
    proc.pid = *pid;
    proc.program = *program;
    proc.server_pid = serverPid.value_or("");
    proc.server_prog = serverProg.value_or("");
    return 0;
}

int parse_displayfile(const char *path, UserSessionEnt **entry, char **tokenSet)
{
    std::string text;
    int result = read_session_file(path, text);
    return result != 0 ? result : parse_display_text(text, entry, tokenSet);
}

int parse_sessionfile(const char *path, SessionProc &proc)
{
    std::string text;
    int result = read_session_file(path, text);
    return result != 0 ? result : parse_session_text(text, proc);
}

namespace {

// stat of one of the display's files for valid_procfile: 1 when it exists,
// KX_ENOENT when not, 0 after reporting any other failure.
int examine(const std::string &path, const char *what, const char *display, struct stat &st)
{
    if (stat(product_path(path).c_str(), &st) == 0)
        return 1;
    if (errno == ENOENT)
        return KX_ENOENT;
    dprintf("valid_procfile(): failed to stat %s for display %s (%s)", what, display,
            error_text(errno).c_str());
    return 0;
}

}  // namespace

int valid_procfile(const char *display)
{
    auto displayPath = session_path(kDisplayDir, display);
    auto procPath = session_path(kSessionProcDir, display);
    if (!displayPath || !procPath)
        return 0;
    struct stat displayStat {}, procStat {};
    int found = examine(*displayPath, "display file", display, displayStat);
    if (found != 1)
        return found;
    found = examine(*procPath, "proc_file", display, procStat);
    if (found != 1)
        return found;
    return displayStat.st_mtime > procStat.st_mtime ? 0 : 1;
}

int is_idling_session(const char *display)
{
    std::string marker = std::string(kIdleDir) + display + ".pid";
    if (marker.size() >= 1025)
        return -1;
    struct stat st {};
    if (lstat(product_path(marker).c_str(), &st) == 0)
        return 1;
    if (errno == ENOENT)
        return 0;
    dprintf("kx_setUserSessionEnt(): idling check failed (%s)", error_text(errno).c_str());
    return -1;
}

// ---- set_state ----------------------------------------------------------------

namespace {

// The five security values of a record, in the entry's field order.
std::array<const char *, 5> security_values(const KeyValuesNode *r)
{
    return {r->enc_up_type, r->enc_down_type, r->auth_up_type, r->auth_down_type,
            r->security_mode};
}

std::array<char **, 5> security_fields(UserSessionEnt *e)
{
    return {&e->encryptUpType, &e->encryptDownType, &e->authenticateUpType,
            &e->authenticateDownType, &e->securityMode};
}

const char *or_none(const char *value)
{
    return value ? value : "none";
}

// The heads of one multihead group, by slot.
struct HeadSlots {
    std::array<std::array<const char *, 5>, kMaxHeads> values{};
    std::array<const char *, kMaxHeads> cids{};
    int highest = -1;
};

void take_single_unit(UserSessionEnt *entry, const KeyValuesNode *record)
{
    auto fields = security_fields(entry);
    auto values = security_values(record);
    for (std::size_t i = 0; i < fields.size(); ++i)
        replace(fields[i], safe_strdup(or_none(values[i])));
    replace(&entry->termList, safe_strdup(record->terminal_CID));
}

// Joins the group's slots in slot order. A slot with an encryptUpType
// contributes all five values; one it lacks is "none", so that the five
// lists keep the same number of items.
void join_heads(UserSessionEnt *entry, const HeadSlots &heads)
{
    std::array<std::string, 5> lists;
    std::string terminals;
    std::size_t total = 0;
    bool warned = false;
    for (int slot = 0; slot <= heads.highest; ++slot) {
        const auto &values = heads.values[static_cast<std::size_t>(slot)];
        if (values[0]) {
            for (std::size_t i = 0; i < lists.size(); ++i) {
                lists[i] += or_none(values[i]);
                if (slot != heads.highest)
                    lists[i] += ',';
            }
        }
        const char *cid = heads.cids[static_cast<std::size_t>(slot)];
        if (!cid || !*cid)
            continue;
        total += strlen(cid) + 1;
        if (terminals.empty() && slot == 0) {
            terminals = cid;
        } else if (total < kTermListMax) {
            if (!terminals.empty())
                terminals += ',';
            terminals += cid;
        } else if (!warned) {
            dprintf("set_state(): multiheadterminal list exceeds internal limit of %d", kMaxHeads);
            warned = true;
        }
    }
    auto fields = security_fields(entry);
    for (std::size_t i = 0; i < fields.size(); ++i)
        replace(fields[i], safe_strdup(lists[i].c_str()));
    replace(&entry->termList, safe_strdup(terminals.c_str()));
}

thread_local std::size_t tokenComparisons = 0;

bool token_before(const char *a, const char *b)
{
    ++tokenComparisons;
    return strcmp(a ? a : "", b ? b : "") < 0;
}

// The records by token name, equal names in list order: indexed once per
// merge (the authentication manager's list comes ordered so, which one walk
// confirms), so that each session finds its records by a binary search
// rather than a walk from the head of the list.
class RecordsByToken {
public:
    explicit RecordsByToken(const KeyValuesNode *records)
    {
        for (; records; records = records->next)
            sorted_.push_back(records);
        auto before = [](const KeyValuesNode *a, const KeyValuesNode *b) {
            return token_before(a->token_name, b->token_name);
        };
        if (!std::is_sorted(sorted_.begin(), sorted_.end(), before))
            std::stable_sort(sorted_.begin(), sorted_.end(), before);
    }
    // The records whose token name is `key`, in list order.
    std::span<const KeyValuesNode *const> named(const char *key) const
    {
        struct Order {
            bool operator()(const KeyValuesNode *r, const char *k) const
            {
                return token_before(r->token_name, k);
            }
            bool operator()(const char *k, const KeyValuesNode *r) const
            {
                return token_before(k, r->token_name);
            }
        };
        auto [first, end] = std::equal_range(sorted_.begin(), sorted_.end(), key, Order{});
        return {first, end};
    }

private:
    std::vector<const KeyValuesNode *> sorted_;
};

// Applies the records of the entry's token; -1 for an invalid head index.
int apply_records(UserSessionEnt *entry, const RecordsByToken &records)
{
    const std::string key(without_token_prefix(entry->token ? entry->token : ""));
    HeadSlots heads;
    for (const KeyValuesNode *r : records.named(key.c_str())) {
        entry->state &= ~KX_SESSION_DETACHED;
        if (!r->MHgroup_name) {
            take_single_unit(entry, r);
            break;
        }
        if (r->MHterm_index < 0 || r->MHterm_index >= kMaxHeads) {
            dprintf("set_state(): Invalid Multihead group index %d\n", r->MHterm_index);
            return -1;
        }
        const auto slot = static_cast<std::size_t>(r->MHterm_index);
        heads.values[slot] = security_values(r);
        heads.cids[slot] = r->terminal_CID;
        heads.highest = std::max(heads.highest, r->MHterm_index);
        if (r->flag == 0) {
            replace(&entry->termPrimary, safe_strdup(r->terminal_CID));
            replace(&entry->multiheadGroupName, safe_strdup(r->MHgroup_name));
        }
    }
    if (heads.highest >= 0)
        join_heads(entry, heads);
    return 0;
}

}  // namespace

std::size_t merge_token_comparisons()
{
    return tokenComparisons;
}

int merge_records(SessionList &cache, const KeyValuesNode *list)
{
    const RecordsByToken records(list);
    for (UserSessionEnt *entry : cache) {
        int idling = is_idling_session(entry->display ? entry->display : "");
        if (idling < 0)
            return -1;
        if (idling == 1)
            entry->state |= KX_SESSION_IDLING;
        if (apply_records(entry, records) != 0)
            return -1;
    }
    return 0;
}

int set_state(SessionList &cache)
{
    if (cache.empty())
        return 0;
    static const char *const fields[] = {
        "tokenName",          "encryptUpType",      "encryptDownType",      "authenticateUpType",
        "authenticateDownType", "securityMode",     "MultiheadTerminalIndex", "MultiheadGroupName",
        "MultiheadData",      "MultiheadPrimary",   "terminalCID",          "MultiheadGroupName",
        nullptr};
    KeyValuesNode *records = nullptr;
    int result = kx_getAuthMgrRecords("localhost", kSortByToken, nullptr, fields, &records);
    if (result != 0) {
        dprintf("set_state(): failed to contact authd (%s)", kx_err2str(result));
        kx_free_KeyValuesNode_list(records);
        records = nullptr;
    }
    result = merge_records(cache, records);
    kx_free_KeyValuesNode_list(records);
    return result;
}

// ---- the process table --------------------------------------------------------

namespace {

constexpr const char *kProcessLister = "/bin/ps";
// What the process lister may take and print: a full table of tens of
// thousands of processes fits.
constexpr platform::SpawnBounds kListerBounds{std::chrono::seconds(30), 8u << 20,
                                              std::chrono::seconds(1)};

// Only used under one_lane.
std::optional<std::map<std::string, PsEntry>> local_ps_table;

struct ListerRun {
    int exitCode = 0;
    std::string output;
};

// Runs the process lister with `arguments` within its bounds; nothing after
// reporting why it could not run or was stopped.
std::optional<ListerRun> run_lister(const std::vector<const char *> &arguments,
                                    const char *caller)
{
    std::vector<char *> argv{const_cast<char *>("ps")};
    for (const char *argument : arguments)
        argv.push_back(const_cast<char *>(argument));
    argv.push_back(nullptr);
    platform::SpawnRequest request;
    request.program = kProcessLister;
    request.argv = argv.data();
    request.err = platform::StderrTo::NullDevice;
    request.bounds = kListerBounds;
    platform::SpawnResult run = platform::spawn_bounded(request);
    using platform::ChildEnd;
    if (run.end == ChildEnd::NotStarted) {
        dprintf("%s(): cannot run %s (%s)", caller, kProcessLister, error_text(run.error).c_str());
        return std::nullopt;
    }
    if (run.end != ChildEnd::Finished) {
        dprintf("%s(): %s was stopped at its bounds, or how it ended is unknown", caller,
                kProcessLister);
        return std::nullopt;
    }
    ListerRun result;
    // -1 for a lister killed by a signal: its table may be cut short.
    result.exitCode = platform::exit_code_of(run.waitStatus);
    result.output = std::move(run.output);
    return result;
}

}  // namespace

int parse_ps_entry(std::string_view line, PsEntry &entry)
{
    if (line.empty())
        return -1;
    if (line.back() == '\n')
        line.remove_suffix(1);
    std::array<std::string_view, 4> fields;
    std::size_t count = 0;
    while (count < fields.size()) {
        std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos)
            break;
        line.remove_prefix(start);
        std::size_t end = std::min(line.find(' '), line.size());
        fields[count++] = line.substr(0, end);
        line.remove_prefix(end);
    }
    if (count < fields.size())
        return -1;
    entry.pid = fields[0];
    entry.state = fields[1] == "T" ? KX_SESSION_STOPPED : 0;
    entry.uid = fields[2];
    entry.comm = fields[3];
    return 0;
}

int init_processState()
{
    local_ps_table.reset();
    auto run = run_lister({"-e", "-o", "pid,s,uid,comm"}, "init_processState");
    if (!run || run->exitCode != 0) {
        dprintf("kx_setUserSessionEnt(): failed to initialize the process table cache (%d)",
                run ? run->exitCode : -1);
        return -1;
    }
    const std::string *output = &run->output;
    std::map<std::string, PsEntry> table;
    std::size_t from = 0;
    while (from < output->size()) {
        std::size_t end = std::min(output->find('\n', from), output->size());
        PsEntry entry;
        if (parse_ps_entry(std::string_view(*output).substr(from, end - from), entry) == 0)
            table.emplace(entry.pid, std::move(entry));
        from = end + 1;
    }
    local_ps_table = std::move(table);
    return 0;
}

int get_processState(const char *pid, PsEntry &found)
{
    if (!pid)
        return -1;
    if (local_ps_table) {
        auto it = local_ps_table->find(pid);
        if (it == local_ps_table->end())
            return KX_ENOTFOUND;
        found = it->second;
        return 0;
    }
    // Only a process number goes to the lister.
    if (!*pid || strspn(pid, "0123456789") != strlen(pid) || strlen(pid) > 20)
        return -1;
    // "ps -p" of a process that does not exist prints its header and fails.
    auto run = run_lister({"-p", pid, "-o", "pid,s,uid,comm"}, "kx_processState");
    if (!run)
        return -1;
    if (run->exitCode == -1) {  // killed: whatever it printed may be a piece
        dprintf("kx_processState(): %s was killed", kProcessLister);
        return -1;
    }
    std::string_view text = run->output;
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (text.empty())
        return KX_ENOTFOUND;
    std::size_t last = text.rfind('\n');
    std::string_view line = last == std::string_view::npos ? text : text.substr(last + 1);
    if (parse_ps_entry(line, found) != 0 || found.pid != pid)
        return KX_ENOTFOUND;
    return 0;
}

void reset_processState()
{
    local_ps_table.reset();
}

// ---- set_unix -------------------------------------------------------------------

namespace {

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

// Opens a product directory that no other user could have planted.
Directory open_product_dir(const char *path)
{
    int fd = open_product_directory(product_path(path));
    if (fd < 0)
        return nullptr;
    DIR *dir = fdopendir(fd);
    if (!dir)
        close(fd);
    return Directory(dir);
}

// The names of a directory that do not begin with '.'.
std::vector<std::string> visible_names(DIR *dir)
{
    std::vector<std::string> names;
    while (dirent *d = readdir(dir))
        if (d->d_name[0] != '.')
            names.emplace_back(d->d_name);
    return names;
}

// The login name of the user numbered `uid`, when the host knows one.
std::optional<std::string> login_name(const std::string &uid)
{
    long number = atol(uid.c_str());
    if (number < 0)
        return std::nullopt;
    struct passwd pw {}, *result = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(static_cast<uid_t>(number), &pw, buffer.data(), buffer.size(), &result) != 0 ||
        !result)
        return std::nullopt;
    return std::string(result->pw_name);
}

// The session process files of the sessions in the directory, by XID.
int read_session_procs(std::multimap<std::string, SessionProc> &procs)
{
    Directory dir = open_product_dir(kSessionProcDir);
    if (!dir) {
        dprintf("kx_setUserSessionEnt(): cannot access session information directory");
        return KX_EFILEACCESS;
    }
    for (const std::string &name : visible_names(dir.get())) {
        if (valid_procfile(name.c_str()) != 1)
            continue;
        SessionProc proc;
        int result = parse_sessionfile((kSessionProcDir + name).c_str(), proc);
        if (result == KX_ENOENT)
            continue;
        if (result != 0)
            return result;
        if (!proc.uid.empty()) {
            if (is_idling_session(name.c_str()) == 1)
                proc.uid.clear();
            else if (auto login = login_name(proc.uid))
                proc.uid = *login;
        }
        procs.emplace(proc.xid, std::move(proc));
    }
    return 0;
}

}  // namespace

int set_unix(const SessionList &byDisplay)
{
    if (byDisplay.empty())
        return 0;
    std::multimap<std::string, SessionProc> procs;
    int result = read_session_procs(procs);
    if (result != 0 && result != KX_ENOENT && result != KX_ENOTFOUND)
        return result;
    if (init_processState() != 0) {
        dprintf("kx_setUserSessionEnt(): init_processState() failed!");
        return -1;
    }
    // A sorted merge of the entries (by display) and the files (by XID).
    auto proc = procs.begin();
    for (UserSessionEnt *entry : byDisplay) {
        const std::string display = entry->display ? entry->display : "";
        while (proc != procs.end() && proc->first < display)
            ++proc;
        if (proc == procs.end())
            break;
        if (proc->first != display)
            continue;
        replace(&entry->uid, proc->second.uid.empty() ? nullptr : safe_strdup(proc->second.uid.c_str()));
        PsEntry process;
        if (get_processState(proc->second.pid.c_str(), process) == 0)
            entry->state |= process.state;
    }
    reset_processState();
    return 0;
}

// ---- the enumeration ------------------------------------------------------------

namespace {

// The process-wide cache: the entries by token, and the cursor.
struct SessionCache {
    bool exists = false;
    SessionList entries;     // ascending by token; handed-out slots are NULL
    std::size_t cursor = 0;  // the next entry to hand out
    SessionList byDisplay;   // the display index, only while the cache is built
};

std::mutex one_lane;
SessionCache gCache;

void free_cache()
{
    gCache.byDisplay.clear();
    for (UserSessionEnt *entry : gCache.entries)
        kx_freeUserSessionEnt(entry);
    gCache.entries.clear();
    gCache.cursor = 0;
    gCache.exists = false;
}

const char *text_or_empty(const char *text)
{
    return text ? text : "";
}

// Files the entry under its token, before any equal one, and in the display
// index under its display.
void insert_cache(UserSessionEnt *entry)
{
    auto byToken = [](const UserSessionEnt *a, const UserSessionEnt *b) {
        return strcmp(text_or_empty(a->token), text_or_empty(b->token)) < 0;
    };
    auto byDisplay = [](const UserSessionEnt *a, const UserSessionEnt *b) {
        return strcmp(text_or_empty(a->display), text_or_empty(b->display)) < 0;
    };
    auto &entries = gCache.entries;
    entries.insert(std::lower_bound(entries.begin(), entries.end(), entry, byToken), entry);
    auto &index = gCache.byDisplay;
    index.insert(std::upper_bound(index.begin(), index.end(), entry, byDisplay), entry);
    gCache.cursor = 0;
}

// Collects every session of this host from the display directory.
int local_all(const char *hostName)
{
    Directory dir = open_product_dir(kDisplayDir);
    if (!dir) {
        dprintf("kx_setUserSessionEnt(): cannot open display directory");
        return KX_EFILEACCESS;
    }
    int result = KX_ENOTFOUND;
    for (const std::string &name : visible_names(dir.get())) {
        auto path = session_path(kDisplayDir, name.c_str());
        if (!path) {
            dprintf("kx_setUserSessionEnt(): display name %s too long, skipped\n", name.c_str());
            continue;
        }
        UserSessionEnt *entry = nullptr;
        char *tokenSet = nullptr;
        int parsed = parse_displayfile(path->c_str(), &entry, &tokenSet);
        if (parsed == KX_ENOENT)
            continue;
        if (parsed != 0)
            return parsed;
        free(tokenSet);
        entry->server = safe_strdup(hostName);
        insert_cache(entry);
        result = 0;
    }
    return result;
}

}  // namespace

int kx_setUserSessionEnt(const char *, const char *)
{
    char hostName[256] = "";
    if (gethostname(hostName, sizeof hostName) != 0)
        hostName[0] = '\0';
    hostName[sizeof hostName - 1] = '\0';

    std::lock_guard lock(one_lane);
    free_cache();
    gCache.exists = true;
    int result = local_all(hostName);
    if (result == 0)
        result = set_state(gCache.entries);
    if (result == 0)
        result = set_unix(gCache.byDisplay);
    gCache.byDisplay.clear();
    if (result != 0)
        free_cache();
    return result;
}

int kx_getUserSessionEnt(UserSessionEnt **entry)
{
    std::lock_guard lock(one_lane);
    if (!gCache.exists)
        return KX_ESEQUENCE;
    if (gCache.cursor >= gCache.entries.size())
        return KX_ENOMORE;
    *entry = std::exchange(gCache.entries[gCache.cursor++], nullptr);
    return 0;
}

void kx_endUserSessionEnt()
{
    std::lock_guard lock(one_lane);
    free_cache();
}

}  // namespace kx
