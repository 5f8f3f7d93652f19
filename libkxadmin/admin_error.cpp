#include "admin_error.h"

#include "utils.h"

#include <cerrno>
#include <libintl.h>

namespace kx {
namespace {

constexpr const char *kUndefined = "Undefined error code";

// The message of a code, from the one list of kxerrno.h; values that are not
// codes have none.
const char *message_of(int code)
{
    switch (code) {
#define KX_MESSAGE_CASE(name, value, message) \
    case name:                                \
        return message;
        KX_ERRNO_MAP(KX_MESSAGE_CASE)
#undef KX_MESSAGE_CASE
    default:
        return kUndefined;
    }
}

const char *translate(const char *message)
{
    return dgettext(kMessageDomain, message);
}

}  // namespace

const char *kx_err2str(int code)
{
    return translate(message_of(code));
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
