// This host's user sessions: what the session processes leave on disk (the
// display files, the session process files, the idle markers), merged with
// the authentication manager's records and the host's process table, and the
// process-wide set/get/end enumeration over them.
#pragma once

#include "auth_mgr.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// Bits of UserSessionEnt::state.
constexpr int32_t KX_SESSION_DETACHED = 1;  // no desktop unit shows the session
constexpr int32_t KX_SESSION_IDLING = 2;    // an idle marker exists
constexpr int32_t KX_SESSION_STOPPED = 4;   // the session's process is stopped

// One session; every text is malloc()ed and owned by the record.
struct UserSessionEnt {
    char *token;                 // "TOKEN=", without a leading "ZeroAdmin.xx."
    char *insertToken;           // "INSERT_TOKEN="
    char *uid;                   // login name, or the number as written; NULL while idling
    int32_t state;               // KX_SESSION_* bits
    char *display;               // "DISPLAY="
    char *server;                // this host's name
    char *sessionType;           // "SESSION_TYPE="
    char *encryptUpType;         // from the authentication manager, or NULL
    char *encryptDownType;
    char *authenticateUpType;
    char *authenticateDownType;
    char *securityMode;
    char *termPrimary;           // CID of a multihead group's primary
    char *termList;              // CID, or the group's CIDs joined by ","
    char *multiheadGroupName;
};

// One session process file.
struct SessionProc {
    std::string uid;  // empty when the file names none
    std::string xid;
    std::string pid;
    std::string program;
    std::string server_pid;
    std::string server_prog;
};

// One process of the host's process table.
struct PsEntry {
    std::string uid;
    std::string comm;
    std::string pid;
    int32_t state = 0;  // KX_SESSION_STOPPED or 0
};

// Where the session processes leave their files (product paths).
constexpr const char *kDisplayDir = "/var/opt/ZARNkx/displays/";
constexpr const char *kSessionProcDir = "/tmp/ZARNkx/session_proc/";
constexpr const char *kIdleDir = "/var/opt/ZARNkx/idle/";
// A display or session process file path (without the root) must be shorter.
constexpr std::size_t kSessionPathMax = 100;
// Line buffer of the display and session process files: a longer line is
// read in pieces, each losing its last character as a whole line would.
constexpr std::size_t kSessionLineBuffer = 1000;
// The terminal list of a multihead group stops growing at this many
// characters; the slot tables hold this many heads.
constexpr std::size_t kTermListMax = 1344;
constexpr int kMaxHeads = 64;
// The token prefix that sessions and records may carry.
constexpr std::string_view kTokenPrefix = "ZeroAdmin.xx.";

UserSessionEnt *allocate_userSession();
void kx_freeUserSessionEnt(UserSessionEnt *entry);

// ---- the session files ----------------------------------------------------

// The file parsers over the text of a file. The display text gives 0 with a
// new entry and *tokenSet (owned), or KX_ENOENT when a key is missing.
int parse_display_text(std::string_view text, UserSessionEnt **entry, char **tokenSet);
// 0 with *proc filled, or KX_ENOENT when XID, pid or program is missing.
int parse_session_text(std::string_view text, SessionProc &proc);

// The same over a product file: KX_EPERM when access was refused, KX_ENOENT
// when it does not exist, KX_EFILEACCESS for any other failure.
int parse_displayfile(const char *path, UserSessionEnt **entry, char **tokenSet);
int parse_sessionfile(const char *path, SessionProc &proc);

// 1 when both files of `display` exist and the session process file is not
// older than the display file; 0 when it is (or a path would be too long, or
// a file cannot be examined); KX_ENOENT when either is missing.
int valid_procfile(const char *display);
// 1 when the display's idle marker exists, 0 when not, -1 on failure.
int is_idling_session(const char *display);

// ---- the merges -----------------------------------------------------------

using SessionList = std::vector<UserSessionEnt *>;

// Marks each entry idling or shown by a desktop unit, with the unit's (or
// the multihead group's) security values and terminals, from `records`
// (ordered by token; another order is sorted first): every record whose
// token name is the entry's token without a leading "ZeroAdmin.xx.", in
// list order. 0, or -1 for a failed idle check or a head index outside
// 0..63. The records are indexed once, so a merge costs O((n + m) log m).
int merge_records(SessionList &cache, const KeyValuesNode *records);
// The token comparisons that merges have made on this thread: what a merge
// costs, for its tests.
std::size_t merge_token_comparisons();
// merge_records over the authentication manager's records of this host.
int set_state(SessionList &cache);
// Takes each session's user and process state from the session process
// files and the process table; `byDisplay` holds the entries ordered by
// display. 0 or an error code.
int set_unix(const SessionList &byDisplay);

// ---- the process table ----------------------------------------------------

// 0 with a new entry; -1 for a line of fewer than four fields.
int parse_ps_entry(std::string_view line, PsEntry &entry);
// Loads the table from the host's process lister: 0 or an error code.
int init_processState();
// The process `pid` from the loaded table, or asked of the process lister
// when none is loaded: 0, KX_ENOTFOUND when it does not exist, -1.
int get_processState(const char *pid, PsEntry &found);
void reset_processState();

// ---- the enumeration ------------------------------------------------------

// Builds the process-wide cache of this host's sessions: 0, or an error code
// (KX_ENOTFOUND when there is no session, KX_EFILEACCESS without the display
// directory). Both arguments must be NULL: every session of this host.
int kx_setUserSessionEnt(const char *selector, const char *host);
// Hands out the next entry (the caller releases it with
// kx_freeUserSessionEnt): 0, KX_ESEQUENCE without a cache, KX_ENOMORE at
// the end.
int kx_getUserSessionEnt(UserSessionEnt **entry);
// Releases the cache and every entry not handed out.
void kx_endUserSessionEnt();

}  // namespace kx
