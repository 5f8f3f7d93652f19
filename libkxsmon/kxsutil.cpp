#include "kxsutil.h"

#include "admin.h"
#include "hostname.h"
#include "kxerrno.h"
#include "exchange.h"
#include "kxsinit.h"
#include "utils.h"
#include "spawner.h"

#include <new>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

// Administration mode is on while the configuration file can be opened as
// a product file: a link, FIFO or device in its place leaves it off.
int kxs_checkAdminMode(Handle *handle)
{
    int fd = open_product_file(product_path(kAdminConfigFile));
    bool on = fd >= 0;
    if (on)
        close(fd);
    if (handle)
        handle->adminMode = on ? kAdminModeOn : kAdminModeOff;
    return on ? 1 : 0;
}

namespace {

constexpr const char *kShell = "/bin/ksh";

// A command started by kxs_safe_popen and not yet closed.
struct PendingCommand {
    FILE *stream = nullptr;
    std::string command;
    bool writing = false;
    int status = -1;         // a reading command's result, as kxs_safe_pclose returns it
    int error = 0;           // errno with it
    char *input = nullptr;   // a writing command's input, kept by open_memstream
    size_t inputSize = 0;
};

std::mutex gRunnerLock;
ToolLimits gToolLimits;
// A list: open_memstream keeps pointers into its nodes.
std::list<PendingCommand> gPending;

platform::SpawnResult run_tool(const std::string &command, std::string_view input, bool reading,
                               int tool = -1)
{
    char *const argv[] = {const_cast<char *>("ksh"), const_cast<char *>("-c"),
                          const_cast<char *>(command.c_str()), nullptr};
    platform::SpawnRequest request;
    request.program = kShell;
    request.argv = argv;
    request.passedFd = tool;
    request.in = reading ? platform::StdinFrom::NullDevice : platform::StdinFrom::Input;
    request.input = input;
    request.out = reading ? platform::StdoutTo::Capture : platform::StdoutTo::Inherit;
    ToolLimits limits = tool_limits();
    request.bounds = {limits.time, limits.outputBytes, limits.drain};
    return platform::spawn_bounded(request);
}

// The first line of what a command wrote to its error output, for the
// diagnostics: it never goes to the host's own error output.
void report_error_output(const char *caller, const char *name, const platform::SpawnResult &run)
{
    if (run.errorOutput.empty())
        return;
    std::string_view text = run.errorOutput;
    text = text.substr(0, text.find('\n'));
    dprintf("%s(): \"%s\" wrote %zu bytes to its error output, first: %.*s\n", caller, name,
            run.errorOutputBytes, static_cast<int>(std::min<std::size_t>(text.size(), 256)),
            text.data());
}

// What kxs_safe_pclose reports for a run: the wait status, or -1 with *error.
int judge_run(const char *caller, const std::string &command, const platform::SpawnResult &run,
              int *error)
{
    using platform::ChildEnd;
    const char *name = command.c_str();
    ToolLimits limits = tool_limits();
    if (!run.reaped)
        dprintf("%s(): \"%s\" was killed but its watcher was not yet reaped\n", caller, name);
    report_error_output(caller, name, run);
    switch (run.end) {
    case ChildEnd::Finished:
        if (WIFSIGNALED(run.waitStatus))
            dprintf("%s(): \"%s\" was killed by signal %d\n", caller, name,
                    WTERMSIG(run.waitStatus));
        return run.waitStatus;
    case ChildEnd::NotStarted:
        dprintf("%s(): could not run %s for \"%s\": %s\n", caller, kShell, name,
                kx::error_text(run.error).c_str());
        if (run.error == ENOENT || run.error == EACCES || run.error == ENOEXEC)
            return 127 << 8;
        *error = run.error;
        return -1;
    case ChildEnd::StatusLost:
        dprintf("%s(): how \"%s\" ended is unknown: the process that watched it was killed\n",
                caller, name);
        *error = ECHILD;
        return -1;
    case ChildEnd::TimedOut:
        dprintf("%s(): \"%s\" ran longer than %lld ms and was killed\n", caller, name,
                static_cast<long long>(limits.time.count()));
        *error = ETIMEDOUT;
        return -1;
    case ChildEnd::OutputBound:
        dprintf("%s(): \"%s\" printed more than %zu bytes%s and was killed\n", caller, name,
                limits.outputBytes,
                run.errorOutputBytes > limits.outputBytes ? " to its error output" : "");
        *error = EFBIG;
        return -1;
    case ChildEnd::HeldOpen:
        dprintf("%s(): \"%s\" ended, but a process it started held its output open "
                "past %lld ms; what it started was killed\n",
                caller, name, static_cast<long long>(limits.drain.count()));
        *error = ETIMEDOUT;
        return -1;
    case ChildEnd::Stopped:
        dprintf("%s(): \"%s\" stopped and was killed\n", caller, name);
        *error = ECANCELED;
        return -1;
    }
    return -1;
}

// A stream that reads `text`; it owns its copy.
FILE *stream_over(const std::string &text)
{
    // One byte more than the text: a writable memory stream keeps its last
    // byte for a terminating NUL.
    FILE *stream = fmemopen(nullptr, text.size() + 1, "w+");
    if (stream && (fwrite(text.data(), 1, text.size(), stream) != text.size() ||
                   fseek(stream, 0, SEEK_SET) != 0)) {
        fclose(stream);
        return nullptr;
    }
    return stream;
}

// Takes the pending command of `stream` out of the table; for NULL the only
// pending one. Empty when there is none.
std::list<PendingCommand> take_pending(FILE *stream)
{
    std::list<PendingCommand> taken;
    std::lock_guard lock(gRunnerLock);
    if (!stream) {
        if (gPending.size() == 1)
            taken.splice(taken.end(), gPending);
        else if (!gPending.empty())
            dprintf("kxs_safe_pclose(): %zu commands are outstanding; no stream names one\n",
                    gPending.size());
        return taken;
    }
    auto it = std::find_if(gPending.rbegin(), gPending.rend(),
                           [stream](const PendingCommand &c) { return c.stream == stream; });
    if (it != gPending.rend())
        taken.splice(taken.end(), gPending, std::prev(it.base()));
    return taken;
}

FILE *remember(PendingCommand command)
{
    std::lock_guard lock(gRunnerLock);
    PendingCommand &kept = gPending.emplace_back(std::move(command));
    if (kept.writing)
        kept.stream = open_memstream(&kept.input, &kept.inputSize);
    FILE *stream = kept.stream;
    if (!stream)
        gPending.pop_back();
    return stream;
}

}  // namespace

ToolLimits tool_limits()
{
    std::lock_guard lock(gRunnerLock);
    return gToolLimits;
}

void set_tool_limits(ToolLimits limits)
{
    std::lock_guard lock(gRunnerLock);
    gToolLimits = limits;
}

namespace {

// Runs a reading command now, for kxs_safe_popen: `shown` names it in
// diagnostics, `tool` is a checked tool handed to it, or -1.
FILE *popen_reading(const std::string &command, const std::string &shown, int tool)
{
    PendingCommand pending;
    pending.command = shown;
    platform::SpawnResult run = run_tool(command, {}, true, tool);
    pending.status = judge_run("kxs_safe_popen", shown, run, &pending.error);
    if (pending.status == -1) {
        errno = pending.error;
        return nullptr;
    }
    pending.stream = stream_over(run.output);
    if (!pending.stream) {
        dprintf("kxs_safe_popen(): no stream for the output of \"%s\"\n", shown.c_str());
        return nullptr;
    }
    FILE *stream = remember(std::move(pending));
    if (!stream)
        dprintf("kxs_safe_popen(): no stream for \"%s\"\n", shown.c_str());
    return stream;
}

}  // namespace

FILE *kxs_safe_popen(const char *command, const char *mode)
{
    if (!command || !mode)
        return nullptr;
    if (mode[0] == 'r')
        return popen_reading(command, command, -1);
    PendingCommand pending;
    pending.command = command;
    pending.writing = true;
    FILE *stream = remember(std::move(pending));
    if (!stream)
        dprintf("kxs_safe_popen(): no stream for \"%s\"\n", command);
    return stream;
}

namespace {

// Why a tool that was started gave nothing.
std::string bound_text(int error)
{
    switch (error) {
    case ETIMEDOUT:
        return "ran past its time bound and was killed";
    case EFBIG:
        return "printed more than its output bound and was killed";
    case ECANCELED:
        return "left its output open and was killed";
    default:
        return "could not be run: " + error_text(error);
    }
}

}  // namespace

FILE *kxs_popen_tool(const std::string &tool, const std::string &arguments)
{
    int fd = open_trusted_tool(tool);
    if (fd < 0) {
        const int err = errno;
        note_tool_failure(tool, err == ENOENT ? "is missing" : "was not run: it is not trusted");
        errno = err;
        return nullptr;
    }
    // The shell starts what the descriptor holds; its name is for the diagnostics.
    const std::string tail = arguments.empty() ? "" : " " + arguments;
    FILE *stream =
        popen_reading(platform::kPassedDescriptorPath + tail, shell_quote(tool) + tail, fd);
    int err = errno;
    close(fd);
    if (!stream)
        note_tool_failure(tool, bound_text(err));
    errno = err;
    return stream;
}

int kxs_safe_pclose(FILE *stream)
{
    std::list<PendingCommand> taken = take_pending(stream);
    if (stream)
        fclose(stream);  // a writing command's input is complete from here on
    if (taken.empty())
        return -1;
    PendingCommand &command = taken.front();
    if (command.writing) {
        platform::SpawnResult run =
            run_tool(command.command, std::string_view(command.input, command.inputSize), false);
        free(command.input);
        command.status = judge_run("kxs_safe_pclose", command.command, run, &command.error);
    }
    if (command.status == -1)
        errno = command.error;
    return command.status;
}

std::string shell_quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string tool_end_text(int status)
{
    if (status == -1)
        return "could not be run or waited for: " + error_text(errno);
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

void note_tool_failure(const std::string &tool, const std::string &what)
{
    note_failure(KXS_ETOOL, tool + " " + what);
}

// ---- the daemons ------------------------------------------------------------

int kxs_open_socket(const char *host, int port, int *error)
{
    return open_daemon_socket(kBoundOpener, host, port, deadline_in(reply_limits().connectMs),
                              error);
}

namespace {

constexpr DaemonClient kAmStatusClient{"kxs_get_amstatus", "s",   false, true, kAuthMgrService,
                                       kAuthMgrFallbackPort, true, Opener::Bound};

const char *or_nil(const char *value)
{
    return value && *value ? value : "(nil)";
}

}  // namespace

int _parse_amstatus_line(const char *line, AMStatus *status)
{
    char *key = nullptr;
    char *value = nullptr;
    if (!status || !parse_key_and_value(line, &key, &value) || !key) {
        free(key);
        free(value);
        return 0;
    }
    int known = 1;
    bool hasValue = value && *value;
    if (strcasecmp(key, "starttime") == 0) {
        dlprintf("s", "got starttime |%s|\n", or_nil(value));
        if (hasValue)
            status->starttime = text_to_uint32(value);
    } else if (strcasecmp(key, "desktops") == 0) {
        dlprintf("s", "got desktops |%s|\n", or_nil(value));
        if (hasValue)
            status->desktops = text_to_int32(value);
    } else {
        dlprintf("s", "unknown key |%s| value |%s|\n", key, or_nil(value));
        known = 0;
    }
    free(key);
    free(value);
    return known;
}

int kxs_get_amstatus(const char *host, AMStatus **out)
{
    if (!out)
        return KX_EINVAL;
    AMStatus status{};
    auto onLine = [&status](std::string_view line) {
        _parse_amstatus_line(line.data(), &status);
        return true;
    };
    Outcome outcome = ask_daemon(kAmStatusClient, host, "amstatus\n", onLine);
    // A reply cut short keeps what was parsed; an unreachable host leaves
    // *out as it was.
    if (int error = client_result(kAmStatusClient, outcome)) {
        if (outcome != Outcome::Unreachable)
            *out = nullptr;
        return error;
    }
    auto *record = static_cast<AMStatus *>(malloc(sizeof(AMStatus)));
    if (!record) {
        dprintf("kxs_get_amstatus(): allocation failed for AMStatus \n");
        *out = nullptr;
        out_of_memory();
    }
    *record = status;
    *out = record;
    dlprintf("s", "amstatus starttime=%d desktops=%d\n", static_cast<int>(record->starttime),
             record->desktops);
    return 0;
}

}  // namespace kx
