// The administration configuration and credentials, and the directory
// connection built from them.
#pragma once

#include <functional>
#include <string>
#include <ldap.h>
#include "kx_ndbm.h"

namespace kx {

constexpr const char *kAdminConfigFile = "/etc/opt/ZARNkx/kxadmin.conf";
constexpr const char *kAdminPasswordFile = "/etc/opt/ZARNkx/kxadmin.pw";

// Connection modes: who binds, and whether the status databases are writable.
constexpr int KXA_ANONYMOUS = 1;
constexpr int KXA_USER_PASSWORD = 2;
constexpr int KXA_ADMIN = 3;
constexpr int KXA_CREDENTIALS = 4;

// Bind mechanisms of "admin.server.authmech".
constexpr int KXA_AUTH_SIMPLE = 0;
constexpr int KXA_AUTH_CRAM_MD5 = 1;

// Search modes of search_for_entries.
constexpr int KX_SEARCH_ALL = 0;
constexpr int KX_SEARCH_SINGLE = 1;
constexpr int KX_SEARCH_ONELEVEL = 2;

// The administration connection record: the configuration, then the open
// directory connection and status databases.
struct kxa {
    LDAP *dsConnection;
    int openMode;
    char *serverName;
    int serverPort;
    char *userName;
    char *subtree;
    char *defaultLocale;
    DBM *desktopDb;
    DBM *userDb;
    char *desktopDbFile;
    char *userDbFile;
    int authMech;
    char *password;
    LDAP *primaryConnection;  // opened only by the directory write routines
    char *primaryName;
};

// Directory time-out in seconds ("admin.server.timeout", default 10). Every
// network connect, bind and search of the directory connection is bounded by
// it; 0 is taken as 1 second, so that no wait is ever unbounded.
extern int DStimeout;

// ---- configuration ---------------------------------------------------------

// Calls `apply` with the key and value of every setting line of a
// configuration file, in file order: lines of up to 511 characters ("#" in the
// first column is a comment, lines without "=" are skipped), key and value
// stripped, lines with an empty key or value ignored. `apply` returns false
// to stop. Returns false when the file cannot be opened (errno tells why).
bool for_each_config_line(const char *path,
                          const std::function<bool(const char *key, const char *value)> &apply);

kxa *allocate_kxa();
void free_kxa(kxa *rec);
int read_config_file(kxa *rec, const char *path);
void set_kxa_val(kxa *rec, const char *key, const char *value);
int DSauth(const char *value);
int check_kxa(const kxa *rec);
char *read_passwd_file(const char *path, int *error);

// The value of the first line of the administration configuration whose key
// is `key`, newly allocated; NULL for a NULL key, no such line or no file.
char *get_kxadmin_info(const char *key);

// 0 with a copy of the configuration's path in *path when the administration
// database is configured; KX_ENOENT when it is not; another code otherwise.
int kx_DSConfigured(char **path);

// A configured path: paths under the product's directories lie under the
// product root, any other path is used as written.
std::string configured_path(const char *path);

// ---- directory connection ------------------------------------------------

int kx_openDsConnection(int mode, const char *user, const char *password, const char *configPath,
                        const char *server, kxa **conn);
kxa *open_connection(int mode, const char *user, const char *password, const char *configPath,
                     int *error);
void kx_closeDsConnection(kxa *conn);
int close_connection(kxa *conn);
const char *get_server_name(const kxa *conn);
LDAP *_kx_LDAPopen(const char *bindDn, const char *password, const char *host, int port,
                   int authMech, int *error);
// The entries that match, or NULL when the search failed (`*timedOut`, when
// given, then tells whether it ran out of time: a server that does not
// answer rather than one that said no).
LDAPMessage *search_for_entries(LDAP *ld, const char *filter, const char *base, char **attrs,
                                int attrsOnly, int mode, int *timedOut = nullptr);

// SASL CRAM-MD5 bind as `dn` (the authentication identity) with the secret in
// `cred`. Returns the LDAP result code: 0 success, 49 invalid credentials.
int _kx_ldap_sasl_cram_md5_bind_s(LDAP *ld, const char *dn, const struct berval *cred,
                                  LDAPControl **serverControls, LDAPControl **clientControls);

}  // namespace kx
