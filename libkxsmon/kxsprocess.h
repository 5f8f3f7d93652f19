// The process files as the service scan reads them, and the process-wide
// table of watched processes ("dtlogin", "lumend") that the scan fills.
#pragma once

#include "proctable.h"

namespace kx {

// A process's information record.
using PsInfo = platform::ProcessStatus;

// The display manager's process-id file.
constexpr const char *kDtloginPidPath = "/var/dt/Xpid";
// The full argument text is handed out in a buffer of this size.
constexpr std::size_t kPsargsBufferSize = 500;

// Fills `info` for the process `pid` (decimal text). 0, or: KX_EINVAL for a
// missing or non-numeric pid, KX_ENOBUFS for one too long for a path, -1 when
// the process has gone (no message), else an administration error code.
int kxs_getPsinfo(const char *pid, PsInfo *info);
// Stores through `result` a new 500-byte buffer with the process's argument
// text (at most 499 bytes), which the caller frees; 0, or an error code and
// NULL. Empty for a zombie or a kernel thread, which `info` tells apart
// without touching the process. The read can stall on a process stuck in the
// kernel: ask only where the text decides something.
int kxs_getPsargs(const char *pid, const PsInfo *info, char **result);

// The watched-process table: reset before each scan, then fed every live
// process of the scan.
void init_ps_cache();
int get_dtlogin_pid();
void updateProcCache(const char *pid, const PsInfo *info);
int checkProcCache(const char *name);
// 1 when the last scan saw the watched process `name`, else 0.
int kxs_checkProcess(const char *name);

}  // namespace kx
