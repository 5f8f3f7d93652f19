#include "kxssystem.h"

#include "auth_mgr.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "kxssession.h"
#include "kxsservices.h"
#include "kxsutil.h"
#include "pkginfo.h"
#include "session_mgr.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace kx {

// ---- version and patches -----------------------------------------------------

namespace {

// Replaces *slot with the stripped value (which may be NULL).
void store_value(char **slot, const char *begin)
{
    free(*slot);
    *slot = strip_leading_and_trailing_whitespace(begin);
}

}  // namespace

void parse_package_info(const char *output, char **version, char **installDate)
{
    *version = nullptr;
    *installDate = nullptr;
    for (const std::string &line : split_as_fgets(output ? output : "", 128)) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        char *key = strip_leading_and_trailing_whitespace(line.substr(0, colon).c_str());
        if (!key)
            continue;
        const char *value = line.c_str() + colon + 1;
        if (strcasecmp(key, "VERSION") == 0)
            store_value(version, value);
        else if (strcasecmp(key, "INSTDATE") == 0)
            store_value(installDate, value);
        free(key);
    }
}

KXSVersion *getPackageInfo(const char *package)
{
    if (!package)
        return nullptr;
    auto answer = platform::package_info_query(root(), package, read_package_record);
    char *version = nullptr;
    char *installDate = nullptr;
    parse_package_info(answer.output.c_str(), &version, &installDate);

    if (answer.output.empty() || (!version && !installDate)) {
        dprintf("getPackageInfo(): Got unexpected data from pkginfo for %s\n", package);
        note_failure(KXS_ENOTCONFIGURED, std::string("the package record of ") + package +
                                             " is missing or holds no VERSION or INSTDATE");
        free(version);
        free(installDate);
        return nullptr;
    }
    int exitCode = exit_code_of(answer.waitStatus);
    if (exitCode != 0) {
        dprintf("getPackageInfo(): Could not get package %s information: %d(%d)\n", package,
                exitCode, answer.waitStatus);
        note_failure(KXS_ENOTCONFIGURED,
                     std::string("the package record of ") + package + " could not be read");
        free(version);
        free(installDate);
        return nullptr;
    }
    auto *record = static_cast<KXSVersion *>(calloc(1, sizeof(KXSVersion)));
    if (!record) {
        free(version);
        free(installDate);
        return nullptr;
    }
    record->version = version;
    record->installDate = installDate;
    return record;
}

char *getPatches(const char *key)
{
    if (!key)
        key = kPatchKey;
    char *root = get_package_root(kCorePackage);
    if (!root) {
        note_failure(KXS_ENOTCONFIGURED, "the install root of the product is not known");
        return nullptr;
    }
    const std::string tool = std::string(root) + "/ZARNkx/lib/kxspatches";
    free(root);
    FILE *stream = kxs_popen_tool(tool, shell_quote(key) + " 2> /dev/null");
    if (!stream)
        return nullptr;
    // Whole lines, however long: a patch line is never split or cut.
    std::string patches;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    bool first = true;
    while ((length = getline(&line, &capacity, stream)) > 0) {
        if (line[length - 1] == '\n')
            line[--length] = '\0';
        if (!first)
            patches += ", ";
        patches.append(line, static_cast<size_t>(length));
        first = false;
    }
    free(line);

    int status = kxs_safe_pclose(stream);
    if (status == -1) {
        int err = errno;
        dprintf("getPatches(): kxs_safe_pclose error for %s: %d\n", key, err);
        errno = err;
        perror("getPatches");
    }
    int exitCode = exit_code_of(status);
    if (exitCode != 0) {
        dprintf("getPatches(): Could not get patches for %s, %d\n", key, exitCode);
        note_tool_failure(tool, tool_end_text(status));
        return nullptr;
    }
    return safe_strdup(patches.c_str());
}

// ---- system contact ------------------------------------------------------------

void kxs_initSystemContact(Handle *handle)
{
    dlprintf("s", "kxs_initSystemContact initializing system contact\n");
    std::string path = product_path(kContactPath);
    std::vector<std::string> lines;
    if (file_to_array(path.c_str(), lines, 1) < 0) {
        const int error = errno;
        dlprintf("s", "kxs_initSystemContact could not open %s file\n", path.c_str());
        // No file: no contact was ever set. Any other failure: the default
        // given instead is no figure of this server.
        handle->contactStatus.clear();
        if (error != ENOENT)
            handle->contactStatus.fail(KXS_EFILE, path + " could not be read: " + error_text(error));
        return;
    }
    if (lines.empty())
        return;
    std::string line = lines.front();
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    dlprintf("s", "kxs_initSystemContact: Retrieved %s\n", line.c_str());
    handle->contact = line;
    dlprintf("s", "kxs_initSystemContact completed\n");
}

void kxs_freeContact(Handle *handle)
{
    if (handle)
        handle->contact.reset();
}

// ---- up time ---------------------------------------------------------------------

uint32_t up_time_since(uint32_t now, uint32_t start)
{
    // A start later than now (clocks that disagree) is a fresh start, not
    // an up time of some 497 days.
    if (start > now)
        return 1;
    // Hundredths of a second in 32 bits wrap after some 497 days, as the
    // figure's unit does everywhere.
    uint32_t hundredths = (now - start) * 100u;
    return hundredths == 0 ? 1 : hundredths;
}

namespace {

// The session manager's share of the up time, or 0.
uint32_t session_manager_up_time(Handle *handle, uint32_t now)
{
    SMStatus *record = allocate_smstatus();
    if (!record)
        return 0;
    int result = get_smstatus(handle->connection.get(), "localhost", &record);
    uint32_t up = 0;
    if (result != 0) {
        dprintf("kxs_upTime(): get_smstatus returned %d\n", result);
    } else if (record->starttime == 0) {
        dprintf("kxs_upTime(): get_smstatus returned zero starttime\n");
        if (!query_failed())  // a reply cut short says so itself
            note_reply_fault(kSessionMgrService, kSessionMgrFallbackPort, "localhost",
                             record->error ? std::string("answered an error: ") + record->error
                                           : std::string("gave no start time"));
    } else
        up = up_time_since(now, static_cast<uint32_t>(record->starttime));
    free_smstatus(record);
    return up;
}

// The authentication manager's share of the up time, or 0.
uint32_t authentication_manager_up_time(uint32_t now)
{
    AMStatus *record = nullptr;
    int result = kxs_get_amstatus("localhost", &record);
    uint32_t up = 0;
    if (result != 0) {
        dprintf("kxs_upTime(): kxs_get_amstatus returned %d\n", result);
    } else if (!record || record->starttime == 0) {
        dprintf("kxs_upTime(): kxs_get_amstatus returned zero starttime\n");
        if (!query_failed())
            note_reply_fault(kAuthMgrService, kAuthMgrFallbackPort, "localhost",
                             "gave no start time");
    } else
        up = up_time_since(now, record->starttime);
    free(record);
    return up;
}

}  // namespace

uint32_t up_time(Handle *handle)
{
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (!handle)
        return 0;
    uint32_t up = session_manager_up_time(handle, now);
    if (up == 0)
        return 0;
    uint32_t authUp = authentication_manager_up_time(now);
    if (authUp == 0)
        return 0;
    up = std::min(up, authUp);

    // Every daemon's state counts: one that could not be told makes the up
    // time unknown, not a figure.
    if (kxs_refreshServices(handle) != 0 || query_failed()) {
        dprintf("kxs_upTime(): kxs_refreshServices failed\n");
        return 0;
    }
    if (handle->services.empty()) {
        dlprintf("s", "kxs_upTime: no services present \n");
        return up;
    }
    for (const auto &service : handle->services) {
        if (!(service->flags & KXS_SVC_CRITICAL) || (service->flags & KXS_SVC_EXCLUDED))
            continue;
        if (service->state == KXS_SVC_DOWN || service->stime == 0) {
            dlprintf("s", "kxs_upTime: service %s down\n", service->name);
            return 0;
        }
        up = std::min(up, up_time_since(now, service->stime));
    }
    return up;
}

// ---- users, desktops and policy ------------------------------------------------

namespace {

void report_records_failure(const char *caller, int result)
{
    const char *why = nullptr;
    switch (result) {
    case KX_EUNREACHABLE:
        why = "Server unreachable";
        break;
    case KX_ESOCKET:
        why = "Failed to open socket";
        break;
    case KX_ESOCKWRITE:
        why = "Socket write failed";
        break;
    case KX_EAMTIMEOUT:
        why = "Authentication Manager timeout";
        break;
    default:
        return;
    }
    dprintf("%s(): %s\n", caller, why);
}

// The authentication manager's records of the handle's host, or nothing
// after reporting why.
bool fetch_records(const char *caller, const Handle *handle, int mode,
                   const char *const *fields, KeyValuesNode **list)
{
    *list = nullptr;
    int result = kx_getAuthMgrRecords(handle->hostname.c_str(), mode, nullptr, fields, list);
    if (result == 0)
        return true;
    report_records_failure(caller, result);
    kx_free_KeyValuesNode_list(*list);
    *list = nullptr;
    return false;
}

}  // namespace

int32_t desktop_count(const Handle *handle)
{
    static const char *const fields[] = {"terminalCID", nullptr};
    KeyValuesNode *list = nullptr;
    if (!handle || !fetch_records("kxs_desktops", handle, kSortByTerminal, fields, &list))
        return 0;
    int32_t desktops = 0;
    for (const KeyValuesNode *r = list; r; r = r->next)
        if (r->terminal_CID)
            ++desktops;
    kx_free_KeyValuesNode_list(list);
    return desktops;
}

uint32_t user_count(const Handle *handle)
{
    static const char *const fields[] = {"MultiheadGroupName", "MultiheadPrimary", nullptr};
    KeyValuesNode *list = nullptr;
    if (!handle || !fetch_records("kxs_users", handle, kSortByToken, fields, &list))
        return 0;
    uint32_t units = 0, secondaryHeads = 0;
    for (const KeyValuesNode *r = list; r; r = r->next) {
        if (r->terminal_CID)
            ++units;
        if (r->MHgroup_name && (r->flag & kSecondaryHead))
            ++secondaryHeads;
    }
    kx_free_KeyValuesNode_list(list);
    return units - secondaryHeads;
}

char *get_local_policy()
{
    const std::string tool = product_path(kPolicyTool);
    FILE *stream = kxs_popen_tool(tool, "");
    if (!stream) {
        dprintf("Error obtaining local policy! %s\n", error_text(errno).c_str());
        return nullptr;
    }
    // Whole lines: a long line is never split, so a piece of one can never
    // pass for a comment.
    std::string policy;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, stream)) > 0)
        if (line[0] != '#')
            policy.append(line, static_cast<size_t>(length));
    free(line);
    // Otherwise the exit code is not examined; but a tool that could not be
    // run at all, or was killed before its end, has no policy to give (or
    // only part of one), not an empty one.
    const int status = kxs_safe_pclose(stream);
    const int exitCode = exit_code_of(status);
    if (exitCode == -1 || exitCode == 126 || exitCode == 127) {
        dprintf("Error obtaining local policy! %s cannot be run or did not end of itself\n",
                tool.c_str());
        note_tool_failure(tool, tool_end_text(status));
        return nullptr;
    }
    if (!policy.empty() && policy.back() == '\n')
        policy.pop_back();
    return safe_strdup(policy.c_str());
}

char *policy_text()
{
    char *policy = get_local_policy();
    if (!policy || policy[0] != '/')
        return policy;
    // The tool's own command line: its options, from the first blank on.
    const char *options = strpbrk(policy, " \t");
    char *result = options ? safe_strdup(options) : nullptr;
    free(policy);
    return result;
}

namespace {

char *patches_text()
{
    char *patches = getPatches(kPatchKey);
    if (!patches) {
        // A library keeps off its caller's standard output: the failure
        // goes to the diagnostics like every other.
        dprintf("kxs_patches: getPatches returned NULL for kestrel\n");
        patches = safe_strdup("");
    }
    return patches;
}

// The handle's session count, refreshed when stale: the sessions not
// idling, or (`active`) those a unit shows now; 0 when they cannot be had.
int32_t session_count(Handle *handle, bool active)
{
    if (!handle)
        return 0;
    int result = count_sessions(handle);
    note_session_status(handle, active);
    if (result != 0)
        return 0;
    if (!active)
        return handle->totalSessions;
    return query_failed() ? 0 : handle->activeSessions;
}

char *contact_text(const Handle *handle)
{
    if (handle && !handle->contact)
        note_all(handle->contactStatus);
    return record_text(handle && handle->contact ? handle->contact->c_str() : kDefaultContact);
}

int32_t set_contact(Handle *handle, const char *contact)
{
    if (!handle || !contact) {
        note_failure(KXS_EINVAL, "no contact");
        return -1;
    }
    // The contact comes back as the file's first line of at most 255
    // characters: a text that could not come back whole is refused, not cut.
    if (strchr(contact, '\n') || strlen(contact) > kLineBufferSize - 1) {
        dprintf("kxs_setContact(): contact refused: it holds a line feed or is longer than %d "
                "characters\n",
                static_cast<int>(kLineBufferSize - 1));
        note_failure(KXS_EINVAL, "a contact holding a line feed or longer than " +
                                     std::to_string(kLineBufferSize - 1) +
                                     " characters is refused");
        errno = EINVAL;
        return -1;
    }
    handle->contact = contact;
    std::string path = product_path(kContactPath);
    if (array_to_file(path.c_str(), {contact}) != 0) {
        int err = errno;  // the caller may tell why
        dprintf("kxs_setContact(): Unable to write %s file", path.c_str());
        note_failure(KXS_EFILE, path + " could not be stored: " + error_text(err));
        errno = err;
        return -1;
    }
    return 0;
}

}  // namespace

}  // namespace kx

// ---- exported ------------------------------------------------------------------

KXS_EXPORT KXSVersion *kxs_version(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_version", static_cast<KXSVersion *>(nullptr),
                       kx::FailureResult::AlwaysFailure,
                       [] { return kx::getPackageInfo(kCorePackage); });
}

KXS_EXPORT void kxs_freeVersion(KXSHandle *, KXSVersion *version) noexcept
{
    kx::c_release("kxs_freeVersion", [version] {
        if (!version)
            return;
        free(version->version);
        free(version->installDate);
        free(version);
    });
}

KXS_EXPORT char *kxs_patches(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_patches", static_cast<char *>(nullptr),
                       kx::FailureResult::AlwaysFailure, kx::patches_text);
}

KXS_EXPORT char *kxs_listPatches(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_listPatches", static_cast<char *>(nullptr),
                       kx::FailureResult::AlwaysFailure,
                       [] { return kx::getPatches(kx::kPatchKey); });
}

KXS_EXPORT char *kxs_contact(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_contact", static_cast<char *>(nullptr),
                       kx::FailureResult::AlwaysFailure, kx::contact_text);
}

KXS_EXPORT int32_t kxs_setContact(KXSHandle *handle, const char *contact) noexcept
{
    return kx::c_query(handle, "kxs_setContact", -1, kx::FailureResult::AlwaysFailure,
                       [contact](kx::Handle *h) { return kx::set_contact(h, contact); });
}

KXS_EXPORT uint32_t kxs_upTime(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_upTime", 0u, kx::FailureResult::MayBeAnswer, kx::up_time);
}

KXS_EXPORT int32_t kxs_desktops(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_desktops", 0, kx::FailureResult::MayBeAnswer,
                       kx::desktop_count);
}

KXS_EXPORT uint32_t kxs_users(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_users", 0u, kx::FailureResult::MayBeAnswer, kx::user_count);
}

KXS_EXPORT char *kxs_policy(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_policy", static_cast<char *>(nullptr),
                       kx::FailureResult::AlwaysFailure, kx::policy_text);
}

KXS_EXPORT int32_t kxs_totalSessions(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_totalSessions", 0, kx::FailureResult::MayBeAnswer,
                       [](kx::Handle *h) { return kx::session_count(h, false); });
}

KXS_EXPORT int32_t kxs_sessions(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_sessions", 0, kx::FailureResult::MayBeAnswer,
                       [](kx::Handle *h) { return kx::session_count(h, true); });
}
