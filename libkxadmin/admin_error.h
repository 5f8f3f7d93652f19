// Messages of the administration error codes, and the mappings onto them.
#pragma once

#include "kxerrno.h"

namespace kx {

// Message catalogue of the administration messages.
constexpr const char *kMessageDomain = "kx_libkxadmin";
constexpr const char *kLocaleDir = "/opt/ZARNkx/lib/locale";

const char *kx_err2str(int code);
const char *kx_errNotPrivileged();
int kx_errno2kxerr(int err, int defaultCode);
int kx_dserr2kxerr(int ldapResult);
// Binds the catalogue domain to the locale directory under the product root.
// Runs by itself when the library is loaded, and again when the root changes.
void kx_err2str_init();

}  // namespace kx
