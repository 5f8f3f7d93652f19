// Administration-mode check and the child-command runner.
#pragma once

#include "spawner.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kx {

class Handle;

int kxs_checkAdminMode(Handle *handle);

// Bounds of one child command. Past them the child's process group is killed
// and the command fails with a diagnostic that names it and the bound.
struct ToolLimits {
    std::chrono::milliseconds time{30000};   // from start until the child is reaped
    std::size_t outputBytes = 1 << 20;       // standard output of a reading command
    std::chrono::milliseconds drain{1000};   // output still read after the child ended
};
ToolLimits tool_limits();
void set_tool_limits(ToolLimits limits);

// Runs `command` under /bin/ksh, in a process group of its own, with no
// descriptor of the caller above 2. Its error output never reaches the
// caller's: it is read within the output bound and its first line goes to
// the diagnostics. When the command is over, whatever it started is killed.
//
// Mode "r...": the command runs to its end, with /dev/null as input, before
// the call returns; the stream reads what it printed. NULL when it could not
// be started or hit a bound (errno ETIMEDOUT, EFBIG or ECANCELED).
// Any other mode: the stream collects the command's input; the command runs
// when the stream is handed to kxs_safe_pclose.
// Several commands may be outstanding, from any threads.
FILE *kxs_safe_popen(const char *command, const char *mode);
// Closes the stream and returns the child's wait status (exit code in bits 8
// to 15 when it exited; 127 when /bin/ksh cannot be run), or -1 with errno.
// NULL stands for the one outstanding command whose stream the caller closed
// itself. Read the status with exit_code_of: a command killed by a signal has
// no exit code, and fails.
int kxs_safe_pclose(FILE *stream);

// Runs the product tool at `tool` with `arguments` (words quoted for the
// shell, redirections allowed) as kxs_safe_popen(..., "r") runs a command.
// The tool is started from the descriptor on which open_trusted_tool checked
// it, not by its name: a path re-pointed after the check starts nothing
// else. NULL, with a diagnostic, when it is missing or not to be trusted,
// and as kxs_safe_popen.
FILE *kxs_popen_tool(const std::string &tool, const std::string &arguments);

// Quotes `text` as one word for the shell, whatever it holds, so that a
// root with blanks or shell characters cannot change the command.
std::string shell_quote(const std::string &text);

// The exit code of a child's wait status; -1 when it did not exit (killed or
// stopped by a signal) or the wait itself failed: every caller counts that as
// a failure.
using platform::exit_code_of;

// How a tool ended, for people: "exited with status 3", "was killed by
// signal 9", or, for -1, why its status could not be had (errno).
std::string tool_end_text(int status);
// Tells the running query that the product tool `tool` failed (KXS_ETOOL):
// "TOOL " + `what`.
void note_tool_failure(const std::string &tool, const std::string &what);

// ---- the daemons ------------------------------------------------------------

// Connects to `host` (a dotted IPv4 address or a name) on TCP `port` from any
// local port, with keep-alive set and close-on-exec; the attempt is bounded
// by ReplyLimits::connectMs (exchange.h). Returns the descriptor in blocking mode, or -1
// after reporting the failure.
int kxs_open_socket(const char *host, int port, int *error = nullptr);

// The authentication manager's status: released by the caller with free().
struct AMStatus {
    uint32_t starttime;  // "starttime": start time, seconds since the epoch; 0 when not reported
    int32_t desktops;    // "desktops"
};

// Asks the authentication manager on `host` with "amstatus". `*out` must be
// NULL on entry. Returns 0 with a new record in *out, or KX_EUNREACHABLE,
// KX_ENOMEM, KX_ESOCKET, KX_ESOCKWRITE, KX_EAMTIMEOUT with no record left in
// *out. A read error keeps what was parsed and returns 0.
int kxs_get_amstatus(const char *host, AMStatus **out);

// Applies one reply line; 1 when it held a known key, 0 otherwise.
int _parse_amstatus_line(const char *line, AMStatus *status);

}  // namespace kx
