#include "admin_error.h"

#include "utils.h"

#include <cerrno>
#include <iterator>
#include <libintl.h>

namespace kx {
namespace {

constexpr const char *kUndefined = "Undefined error code";

// Indexed by code - KX_EREPLTIMEOUT; nullptr where a value is not a code.
constexpr const char *kMessages[] = {
    "Data replication timed out",                   // -33
    "Connection disconnected",                      // -32
    "Message rejected",                             // -31
    "Open failed",                                  // -30
    "Invalid referral from the primary DS server",  // -29
    "Failed to open DBM files",                     // -28
    "No buffer space available",                    // -27
    "Configuration error",                          // -26
    "Failed to contact the remote service",         // -25
    "Operation timed out",                          // -24
    "Not currently in a Kestrel session",           // -23
    "Session detached",                             // -22
    nullptr,                                        // -21
    "Unable to contact admin database",             // -20
    "File or directory does not exist",             // -19
    "No more data",                                 // -18
    "Invalid call sequence",                        // -17
    "File access error",                            // -16
    "Authentication Manager timeout",               // -15
    "Socket write failed",                          // -14
    "Failed to open socket",                        // -13
    "Server unreachable",                           // -12
    "Duplicate Terminal ID",                        // -11
    "Not enough memory",                            // -10
    "Token not found",                              // -9
    "Terminal already in use",                      // -8
    "Data already exists",                          // -7
    "Invalid arguments",                            // -6
    "No permission",                                // -5
    "Object not found",                             // -4
    "Authentication failed",                        // -3
    "No changes were made",                         // -2
    "Internal system error",                        // -1
    "Success",                                      // 0
    nullptr,                                        // +1
    "Unknown system error",                         // +2
};
static_assert(std::size(kMessages) == 36);

const char *translate(const char *message)
{
    return dgettext(kMessageDomain, message);
}

}  // namespace

const char *kx_err2str(int code)
{
    long index = static_cast<long>(code) - KX_EREPLTIMEOUT;
    if (index < 0 || index >= static_cast<long>(std::size(kMessages)) || !kMessages[index])
        return translate(kUndefined);
    return translate(kMessages[index]);
}

const char *kx_errNotPrivileged()
{
    return translate("Administrator privilege is required to perform this activity");
}

int kx_errno2kxerr(int err, int defaultCode)
{
    switch (err) {
    case 0: return KX_SUCCESS;
    case ENOENT: return KX_ENOENT;
    case ENOMEM: return KX_ENOMEM;
    case EACCES: return KX_EPERM;
    case EEXIST: return KX_EEXIST;
    default: return defaultCode;
    }
}

int kx_dserr2kxerr(int ldapResult)
{
    switch (ldapResult) {
    case 0: return KX_SUCCESS;
    case 10: return KX_EREFERRAL;   // LDAP_REFERRAL
    case 50: return KX_EPERM;       // LDAP_INSUFFICIENT_ACCESS
    case 68: return KX_EEXIST;      // LDAP_ALREADY_EXISTS
    default: return KX_EINTERNAL;
    }
}

void kx_err2str_init()
{
    bindtextdomain(kMessageDomain, product_path(kLocaleDir).c_str());
}

namespace {
// The catalogue must be bound before the first lookup: do it at load time.
__attribute__((constructor)) void bind_message_catalogue()
{
    kx_err2str_init();
}
}  // namespace

}  // namespace kx
