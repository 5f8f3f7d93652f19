// The failover group: its trusted members, their states and their roles.
//
// Roles come from the replica tool's lines: this server's, or, when another
// server is the primary, the primary's through the remote-command tool. They
// are fetched once per handle and kept in it (replicas, replicaState).
#pragma once

#include "utils.h"

#include <string>
#include <vector>

namespace kx {

class Handle;

// Values of Handle::replicaState.
constexpr int KXS_REPL_UNFETCHED = 0;
constexpr int KXS_REPL_FETCHED = 1;    // replicas may be NULL: no primary was found
constexpr int KXS_REPL_ZEROADMIN = 2;  // no administration database on this server
constexpr int KXS_REPL_FAILED = -1;

// The replica tool's lines are read in pieces of at most this many bytes,
// NUL included; each piece counts as a line.
constexpr int kReplicaLineSize = 128;

// Releases the handle's replica lines; they are fetched again when next needed.
void kxs_freeReplicas(Handle *handle);

// The replica tool's lines for `server` (this server when NULL), or NULL
// when it cannot be run or fails. Release with freeFOLines.
char **getFOLines(Handle *handle, const char *server);
void freeFOLines(char **lines);
// Fills the handle's replicas and replicaState: 0, or -1 when fetching failed.
int getFOServers(Handle *handle);
// The role text of `member`, after "offline " when `offline` is 1.
std::string checkFOServer(Handle *handle, const char *member, int offline);

// ---- the replica lines, apart from the tools ------------------------------------

// Takes one piece of the tool's output: its line feed removed, kept unless
// it is then empty.
void add_replica_line(CArray<char> &lines, const char *piece);
// The lines as a NULL-terminated array that freeFOLines releases.
char **as_replica_lines(CArray<char> &lines);
// The primary's name: the last blank-separated word of the first line that
// contains "primary"; empty when there is no such line or it is one word.
std::string primary_in_lines(char *const *lines);
// "primary" or "secondary" from the first line that contains `member`;
// "no data sharing" when none does.
const char *role_in_lines(char *const *lines, const char *member);
// Whether `name` may be handed to the remote-command tool: a host name of
// letters, digits, '-', '.' and '_' that does not start with '-'.
bool is_host_name(const std::string &name);

}  // namespace kx
