// The CRAM-MD5 bind of the directory connection, through Cyrus SASL.
#include "admin.h"

#include <cstring>
#include <sasl/sasl.h>

namespace kx {
namespace {

// What the SASL client asks for: the bind DN is the authentication identity,
// no separate authorisation identity, and the secret.
struct CramMd5Identity {
    const char *dn;
    const berval *secret;
};

int supply_identity(LDAP *, unsigned, void *defaults, void *prompts)
{
    const auto *identity = static_cast<const CramMd5Identity *>(defaults);
    for (auto *prompt = static_cast<sasl_interact_t *>(prompts); prompt->id != SASL_CB_LIST_END; ++prompt) {
        switch (prompt->id) {
        case SASL_CB_AUTHNAME:
            prompt->result = identity->dn;
            prompt->len = static_cast<unsigned>(strlen(identity->dn));
            break;
        case SASL_CB_PASS:
            prompt->result = identity->secret->bv_val;
            prompt->len = static_cast<unsigned>(identity->secret->bv_len);
            break;
        case SASL_CB_USER:
            prompt->result = "";
            prompt->len = 0;
            break;
        default:
            // A realm or anything else CRAM-MD5 does not need: take the default.
            prompt->result = prompt->defresult ? prompt->defresult : "";
            prompt->len = static_cast<unsigned>(strlen(static_cast<const char *>(prompt->result)));
            break;
        }
    }
    return LDAP_SUCCESS;
}

}  // namespace

int _kx_ldap_sasl_cram_md5_bind_s(LDAP *ld, const char *dn, const berval *cred,
                                  LDAPControl **serverControls, LDAPControl **clientControls)
{
    if (!ld || !dn || !cred || !cred->bv_val)
        return LDAP_PARAM_ERROR;
    CramMd5Identity identity{dn, cred};
    return ldap_sasl_interactive_bind_s(ld, nullptr, "CRAM-MD5", serverControls, clientControls,
                                        LDAP_SASL_QUIET, supply_identity, &identity);
}

}  // namespace kx
