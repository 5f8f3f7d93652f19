// Administration-mode check and the child-command runner.
#pragma once

#include <cstdio>

struct KXSHandle;

namespace kx {

int kxs_checkAdminMode(KXSHandle *handle);

// Runs `command` under /bin/ksh with one end of a pipe as its standard output
// (mode "r...") or input (any other mode). One child at a time per process:
// NULL while another is outstanding, or when the child could not be started.
FILE *kxs_safe_popen(const char *command, const char *mode);
// Closes the stream (NULL accepted) and waits for the child: its raw wait
// status, or -1 when there is no child or the wait failed.
int kxs_safe_pclose(FILE *stream);

}  // namespace kx
