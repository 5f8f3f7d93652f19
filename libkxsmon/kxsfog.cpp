#include "kxsfog.h"

#include "admin.h"
#include "group_mgr.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "utils.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace kx {

namespace {

constexpr std::size_t kMaxHostName = 255;

const char *first_line_with(char *const *lines, const char *text)
{
    for (; lines && *lines; ++lines)
        if (std::strstr(*lines, text))
            return *lines;
    return nullptr;
}

bool some_line_with_both(char *const *lines, const char *a, const char *b)
{
    for (; lines && *lines; ++lines)
        if (std::strstr(*lines, a) && std::strstr(*lines, b))
            return true;
    return false;
}

// The tool to start here and its arguments: the replica tool on this
// server, or on `server` through the remote-command tool. Every word is
// quoted; the server's name has been checked already.
struct ReplicaCommand {
    std::string tool;
    std::string arguments;
};

ReplicaCommand replica_command(const char *packageRoot, const char *server)
{
    std::string root(packageRoot);
    const std::string replicaTool = root + "/ZARNkx/sbin/kxreplica";
    if (!server)
        return {replicaTool, "-l 2> /dev/null"};
    return {root + "/ZARNkx/lib/kxrcmd",
            shell_quote(server) + " " + shell_quote(replicaTool) + " -l 2> /dev/null"};
}

// getFOServers, with what went wrong kept for the handle's life.
int fetch_roles(Handle *handle)
{
    NoteRecorder recorder(handle->replicaStatus, false);
    int result = getFOServers(handle);
    if (handle->replicaState == KXS_REPL_FAILED && !handle->replicaStatus.failed())
        note_failure(KXS_ETOOL, "the replica tool's roles could not be had");
    return result;
}

void keep_replicas(Handle *handle, char **lines, int state)
{
    handle->replicas.reset(lines);
    handle->replicaState = state;
}

// The roles when the primary is another server: its own lines decide.
int fetch_from_primary(Handle *handle, const std::string &primary)
{
    const char *name = primary.c_str();
    if (!is_host_name(primary)) {
        // It would be handed to the remote-command tool, which may pass it on
        // to a shell of its own: a name that is not a host name never goes.
        dprintf("getFOServers(): primary server name \"%s\" is not a host name\n", name);
        note_tool_failure("the replica tool on localhost", "named a primary that is no host name");
        keep_replicas(handle, nullptr, KXS_REPL_FAILED);
        return -1;
    }
    char **lines = getFOLines(handle, name);
    if (!lines) {
        dlprintf("s", "getFOServers(): getFOLines returned NULL for %s\n", name);
        keep_replicas(handle, nullptr, KXS_REPL_FAILED);
        return -1;
    }
    if (some_line_with_both(lines, "primary", name)) {
        dlprintf("s", "getFOServers(): primary server %s\n", name);
        keep_replicas(handle, lines, KXS_REPL_FETCHED);
        return 0;
    }
    dlprintf("s", "getFOServers(): no primary found for %s\n", name);
    note_tool_failure(std::string("the replica tool on ") + name, "does not name it the primary");
    freeFOLines(lines);
    keep_replicas(handle, nullptr, KXS_REPL_FAILED);
    return -1;
}

// The list, its members and their texts, laid out in one block.
using MemberRecords = LaidOutArray<KXSFOHost, 2>;
constexpr MemberRecords::Fields kMemberTexts{&KXSFOHost::name, &KXSFOHost::role};

// The record of `host`; its name stays the host list's until the records
// are laid out.
KXSFOHost member_of(Handle *handle, MemberRecords &records, const gm_host &host)
{
    const gm_hostinfo &info = *host.info;
    KXSFOHost member{};
    member.name = const_cast<char *>(info.name);
    if (info.lastseen < 0) {
        dlprintf("s", "kxs_FOGroup(): last seen %d, host down\n", info.lastseen);
        member.status = 2;
    } else {
        member.status = isTimedOut(info.lastseen, info.period) ? 2 : 1;
    }
    member.role = records.keep(checkFOServer(handle, info.name, host.offline));
    return member;
}

void free_fo_group(KXSFOHost **hosts)
{
    free_laid_out(hosts, kMemberTexts);
}

KXSFOHost **fo_group(Handle *handle)
{
    if (!handle)
        return nullptr;
    int count = 0;
    // Released whatever happens, memory running out included.
    const std::unique_ptr<HostList, void (*)(HostList *)> hosts(
        get_gm_hosts(handle->hostname.c_str(), &count), free_HostList);
    if (!hosts || count == 0) {
        dlprintf("s", "kxs_FOGroup(): get_gm_hosts returned NULL\n");
        return nullptr;
    }
    MemberRecords records(kMemberTexts);
    for (HostList *node = hosts.get(); node; node = node->next) {
        if (!node->host || !node->host->info) {
            dlprintf("s", "kxs_FOGroup(): host list has bad element\n");
            continue;
        }
        if (node->host->trusted == 1)
            records.add(member_of(handle, records, *node->host));
    }
    KXSFOHost **group = records.take();
    if (!group)
        out_of_memory();
    // Roles that could not be had are "unknown" for the handle's life, and
    // every answer says why.
    if (handle->replicaState == KXS_REPL_FAILED) {
        note_all(handle->replicaStatus);
        note_partial();
    }
    return group;
}


}  // namespace

void ReleaseLines::operator()(char **lines) const
{
    freeFOLines(lines);
}

void kxs_freeReplicas(Handle *handle)
{
    if (!handle)
        return;
    handle->replicas.reset();
    handle->replicaState = KXS_REPL_UNFETCHED;
    handle->replicaStatus.clear();
}

void freeFOLines(char **lines)
{
    free_c_array(lines, free_text);
}

void add_replica_line(CArray<char> &lines, const char *piece)
{
    std::size_t length = std::strlen(piece);
    if (length > 0 && piece[length - 1] == '\n')
        --length;
    if (length == 0)
        return;
    auto *line = static_cast<char *>(safe_malloc(length + 1));
    std::memcpy(line, piece, length);
    line[length] = '\0';
    lines.add(line);
}

char **as_replica_lines(CArray<char> &lines)
{
    char **array = lines.take();
    if (!array)
        out_of_memory();
    return array;
}

std::string primary_in_lines(char *const *lines)
{
    const char *line = first_line_with(lines, "primary");
    if (!line)
        return "";
    // The last word, also when blanks trail it: a stray blank at the end of
    // the line must not hide the primary.
    std::string_view text(line);
    std::size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string_view::npos)
        return "";
    text = text.substr(0, end + 1);
    std::size_t blank = text.find_last_of(" \t");
    if (blank == std::string_view::npos)
        return "";
    return std::string(text.substr(blank + 1));
}

const char *role_in_lines(char *const *lines, const char *member)
{
    const char *line = first_line_with(lines, member);
    if (!line)
        return "no data sharing";
    return std::strstr(line, "primary") ? "primary" : "secondary";
}

bool is_host_name(const std::string &name)
{
    if (name.empty() || name.size() > kMaxHostName || name[0] == '-')
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
            return false;
    return true;
}

char **getFOLines(Handle *handle, const char *server)
{
    if (!handle)
        return nullptr;
    if (!handle->packageRoot) {
        note_failure(KXS_ENOTCONFIGURED, "the install root of the product is not known");
        return nullptr;
    }
    const char *who = server ? server : "localhost";
    const ReplicaCommand command = replica_command(handle->packageRoot->c_str(), server);
    FILE *stream = kxs_popen_tool(command.tool, command.arguments);
    if (!stream)
        return nullptr;
    CArray<char> lines(free_text);
    char piece[kReplicaLineSize];
    while (fgets(piece, sizeof piece, stream))
        add_replica_line(lines, piece);

    int status = kxs_safe_pclose(stream);
    int exitCode = -1;
    if (status == -1) {
        int err = errno;
        dlprintf("s", "getFOLines(): kxs_safe_pclose error for %s: %d\n", who, err);
        errno = err;
        perror("getFOLines");
    } else {
        exitCode = exit_code_of(status);
    }
    if (exitCode != 0) {
        dprintf("getFOLines(): Could not get fail over type for %s, %d\n", who, exitCode);
        note_tool_failure(command.tool + (server ? std::string(" for ") + server : ""),
                          tool_end_text(status));
        return nullptr;
    }
    return as_replica_lines(lines);
}

int getFOServers(Handle *handle)
{
    if (!handle)
        return -1;
    char *path = nullptr;
    int configured = kx_DSConfigured(&path);
    free(path);
    if (configured == KX_ENOENT) {
        keep_replicas(handle, nullptr, KXS_REPL_ZEROADMIN);
        return 0;
    }
    if (configured != 0)
        dprintf("getFOServers(): kx_DSConfigured returned %d\n", configured);

    char **local = getFOLines(handle, nullptr);
    if (!local) {
        dlprintf("s", "getFOServers(): getFOLines returned NULL for %s\n", handle->hostname.c_str());
        keep_replicas(handle, nullptr, KXS_REPL_FAILED);
        return -1;
    }
    const char *primaryLine = first_line_with(local, "primary");
    if (primaryLine && std::strstr(primaryLine, handle->hostname.c_str())) {
        dlprintf("s", "getFOServers(): primary server %s\n", handle->hostname.c_str());
        keep_replicas(handle, local, KXS_REPL_FETCHED);
        return 0;
    }
    std::string primary = primary_in_lines(local);
    freeFOLines(local);
    if (primary.empty()) {
        dlprintf("s", "getFOServers(): no primary found for %s\n", handle->hostname.c_str());
        keep_replicas(handle, nullptr, KXS_REPL_FETCHED);
        return 0;
    }
    dlprintf("s", "getFOServers(): primary server %s\n", primary.c_str());
    return fetch_from_primary(handle, primary);
}

std::string checkFOServer(Handle *handle, const char *member, int offline)
{
    std::string role = offline == 1 ? "offline " : "";
    if (handle->replicaState == KXS_REPL_UNFETCHED && fetch_roles(handle) != 0)
        role += "unknown";
    else if (handle->replicaState == KXS_REPL_ZEROADMIN)
        role += std::strcmp(member, handle->hostname.c_str()) == 0 ? "zero admin" : "no data sharing";
    else if (handle->replicas)
        role += role_in_lines(handle->replicas.get(), member);
    else
        role += handle->replicaState == KXS_REPL_FETCHED ? "no data sharing" : "unknown";
    return role;
}

}  // namespace kx

KXS_EXPORT KXSFOHost **kxs_FOGroup(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_FOGroup", static_cast<KXSFOHost **>(nullptr),
                       kx::FailureResult::MayBeAnswer, kx::fo_group);
}

KXS_EXPORT void kxs_freeFOGroup(KXSHandle *handle, KXSFOHost **hosts) noexcept
{
    (void)handle;
    kx::c_release("kxs_freeFOGroup", [hosts] { kx::free_fo_group(hosts); });
}
