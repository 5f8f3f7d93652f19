#include "kxsprocess.h"

#include "admin_error.h"
#include "kxerrno.h"
#include "utils.h"

#include <new>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

// The longest path the readers build, as the process files are named.
constexpr std::size_t kPathBufferSize = 100;
constexpr int kReadAttempts = 5;

// Only decimal process ids name a process: anything else could name another
// file under the process directory.
bool valid_pid(const char *pid)
{
    if (!pid || !*pid)
        return false;
    for (const char *c = pid; *c; ++c)
        if (*c < '0' || *c > '9')
            return false;
    return true;
}

bool path_fits(const char *pid)
{
    // "/proc/<pid>/cmdline" is the longer of the two files read.
    return strlen(platform::kProcessDirectory) + strlen(pid) + strlen("//cmdline") <
           kPathBufferSize;
}

}  // namespace

// ---- process files ---------------------------------------------------------------

int kxs_getPsinfo(const char *pid, PsInfo *info)
{
    if (!pid || !info || !valid_pid(pid))
        return KX_EINVAL;
    if (!path_fits(pid))
        return KX_ENOBUFS;
    std::string path;
    for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
        switch (platform::read_process_status(pid, *info, path)) {
        case platform::ProcessRead::ok:
            return 0;
        case platform::ProcessRead::gone:
            // Processes end while the table is scanned: nothing to report.
            return -1;
        case platform::ProcessRead::openFailed: {
            int err = errno;
            dprintf("kxs_getPsinfo(): open() on %s: %s\n", path.c_str(), error_text(err).c_str());
            return kx_errno2kxerr(err, -1);
        }
        case platform::ProcessRead::malformed:
            dprintf("kxs_getPsinfo(): unreadable record in %s\n", path.c_str());
            return -1;
        case platform::ProcessRead::readFailed:
            if (errno == EAGAIN)
                continue;
            dprintf("kxs_getPsinfo(): read() on %s: %s\n", path.c_str(), error_text(errno).c_str());
            return KX_ENOENT;
        }
    }
    dprintf("kxs_getPsinfo(): max retry read() on %s: %s\n", path.c_str(),
            error_text(EAGAIN).c_str());
    return -1;
}

int kxs_getPsargs(const char *pid, const PsInfo *info, char **result)
{
    if (result)
        *result = nullptr;
    if (!pid || !info || !result || !valid_pid(pid))
        return KX_EINVAL;
    if (!path_fits(pid))
        return KX_ENOBUFS;
    auto *buffer = static_cast<char *>(calloc(1, kPsargsBufferSize));
    if (!buffer)
        out_of_memory();

    // A zombie or a kernel thread has no argument vector to read.
    std::string text;
    if (info->threads != 0 && !info->system) {
        std::string path;
        switch (platform::read_process_arguments(pid, text, path)) {
        case platform::ProcessRead::ok:
            break;
        case platform::ProcessRead::gone:
            free(buffer);
            return -1;
        case platform::ProcessRead::openFailed: {
            int err = errno;
            dprintf("kxs_getPsargs(): open() on %s: %s\n", path.c_str(), error_text(err).c_str());
            free(buffer);
            return kx_errno2kxerr(err, -1);
        }
        case platform::ProcessRead::readFailed:
        case platform::ProcessRead::malformed:
            dprintf("kxs_getPsargs(): parsing on %s failed.\n", path.c_str());
            free(buffer);
            return -1;
        }
    }
    text.copy(buffer, kPsargsBufferSize - 1);  // the zeroed buffer keeps its last byte
    *result = buffer;
    return 0;
}

// ---- watched processes -------------------------------------------------------------

namespace {

struct WatchedProcess {
    const char *name;
    int pid;   // 0 until known
    int seen;  // seen by the last scan
};

// Shared by every handle: the last scan by any handle is what it answers.
WatchedProcess ps_cache[] = {
    {"dtlogin", 0, 0},
    {"lumend", 0, 0},
    {nullptr, 0, 0},
};

}  // namespace

void init_ps_cache()
{
    for (WatchedProcess *entry = ps_cache; entry->name; ++entry) {
        entry->pid = 0;
        entry->seen = 0;
    }
    ps_cache[0].pid = get_dtlogin_pid();
}

int get_dtlogin_pid()
{
    std::string path = product_path(kDtloginPidPath);
    // The pid file is read like every product file (no link followed, never
    // a FIFO waited on); its first line is all that is looked at.
    std::string contents;
    if (!read_product_file(path, 127, contents, Oversize::Cut)) {
        dprintf("get_dtlogin_pid(): Could not open file %s\n", path.c_str());
        return 0;
    }
    if (contents.empty()) {
        dprintf("get_dtlogin_pid(): fgets returned NULL for file %s\n", path.c_str());
        return 0;
    }
    std::size_t feed = contents.find('\n');
    if (feed != std::string::npos)
        contents.resize(feed + 1);
    char *stripped = strip_leading_and_trailing_whitespace(contents.c_str());
    int pid = stripped && *stripped ? atoi(stripped) : 0;
    bool missing = !stripped || !*stripped;
    free(stripped);
    if (missing)
        dprintf("get_dtlogin_pid(): PID missing from file %s\n", path.c_str());
    return pid;
}

void updateProcCache(const char *pid, const PsInfo *info)
{
    if (!pid || !info)
        return;
    int id = atoi(pid);
    if (id <= 0)
        return;
    for (WatchedProcess *entry = ps_cache; entry->name; ++entry) {
        if ((entry->pid == 0 || entry->pid == id) && info->name == entry->name) {
            entry->pid = id;
            entry->seen = 1;
            return;
        }
    }
}

int checkProcCache(const char *name)
{
    if (!name)
        return 0;
    for (const WatchedProcess *entry = ps_cache; entry->name; ++entry)
        if (strcmp(entry->name, name) == 0)
            return entry->seen;
    return 0;
}

int kxs_checkProcess(const char *name)
{
    return checkProcCache(name) == 1 ? 1 : 0;
}

}  // namespace kx
