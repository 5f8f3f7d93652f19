#include "admin.h"

#include "admin_dstatus.h"
#include "admin_error.h"
#include "admin_ustatus.h"
#include "platform/sigpipe.h"
#include "utils.h"

#include <new>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

int DStimeout = 10;

namespace {
constexpr int kConfigLineBufferSize = 512;

// Replaces an owned string field with a copy of `value`.
void replace_text(char *&field, const char *value)
{
    free(field);
    field = value ? safe_strdup(value) : nullptr;
}

// A non-negative decimal number without sign that fits an int, or -1.
int decimal_value(const char *value)
{
    if (!is_numeric(value) || !*value)
        return -1;
    errno = 0;
    long number = strtol(value, nullptr, 10);
    if (errno == ERANGE || number > INT_MAX)
        return -1;
    return static_cast<int>(number);
}
}  // namespace

// ---- configuration ---------------------------------------------------------

bool for_each_config_line(const char *path,
                          const std::function<bool(const char *key, const char *value)> &apply)
{
    std::string text;
    if (!path || !read_product_file(path, kConfigFileMax, text))
        return false;
    for (const std::string &piece : split_as_fgets(text, kConfigLineBufferSize)) {
        const char *line = piece.c_str();  // as fgets hands it over
        char *key = nullptr;
        char *value = nullptr;
        bool more = true;
        if (parse_key_and_value(line, &key, &value) && key && value && *key && *value)
            more = apply(key, value);
        free(key);
        free(value);
        if (!more)
            break;
    }
    return true;
}

kxa *allocate_kxa()
{
    auto *rec = static_cast<kxa *>(safe_calloc(1, sizeof(kxa)));
    rec->authMech = KXA_AUTH_CRAM_MD5;
    return rec;
}

namespace {
// Every owned text of the record, for its release.
constexpr char *kxa::*kOwnedTexts[] = {&kxa::serverName,    &kxa::userName,   &kxa::subtree,
                                       &kxa::defaultLocale, &kxa::desktopDbFile, &kxa::userDbFile,
                                       &kxa::primaryName,   &kxa::password};
}  // namespace

void free_kxa(kxa *rec)
{
    if (!rec)
        return;
    for (char *kxa::*field : kOwnedTexts)
        free(rec->*field);
    free(rec);
}

int DSauth(const char *value)
{
    int mech = KXA_AUTH_CRAM_MD5;
    if (value && *value) {
        dprintf("DSauth=%s", value);
        if (strcmp(value, "CRAM_MD5") == 0)
            mech = KXA_AUTH_CRAM_MD5;
        else if (strcmp(value, "SIMPLE") == 0)
            mech = KXA_AUTH_SIMPLE;
        else
            mech = -1;
    }
    dprintf("DSauth ret=%d", mech);
    return mech;
}

namespace {

enum class Setting { Text, Port, Timeout, AuthMech, Debug };

struct ConfigKey {
    const char *key;
    Setting setting;
    char *kxa::*field;  // for Setting::Text
};

// The keys of the administration configuration; any other key is ignored.
constexpr ConfigKey kConfigKeys[] = {
    {"admin.dstatus.dbfile", Setting::Text, &kxa::desktopDbFile},
    {"admin.ustatus.dbfile", Setting::Text, &kxa::userDbFile},
    {"admin.server.name", Setting::Text, &kxa::serverName},
    {"admin.server.port", Setting::Port, nullptr},
    {"admin.user.name", Setting::Text, &kxa::userName},
    {"admin.subtree", Setting::Text, &kxa::subtree},
    {"admin.defaultlocale", Setting::Text, &kxa::defaultLocale},
    {"admin.debug", Setting::Debug, nullptr},
    {"admin.server.timeout", Setting::Timeout, nullptr},
    {"admin.server.authmech", Setting::AuthMech, nullptr},
};

void apply_setting(kxa *rec, const ConfigKey &entry, const char *value)
{
    switch (entry.setting) {
    case Setting::Text:
        replace_text(rec->*entry.field, value);
        break;
    case Setting::Port:
        if (int port = decimal_value(value); port >= 0)
            rec->serverPort = port;
        break;
    case Setting::Timeout:
        if (int seconds = decimal_value(value); seconds >= 0)
            DStimeout = seconds;
        break;
    case Setting::AuthMech:
        if (int mech = DSauth(value); mech != -1)
            rec->authMech = mech;
        else
            dprintf("invalid authentication mechanism specified in %s", kAdminConfigFile);
        break;
    case Setting::Debug:
        set_gdebug(value);
        break;
    }
}

}  // namespace

void set_kxa_val(kxa *rec, const char *key, const char *value)
{
    if (!rec || !key || !value)
        return;
    for (const ConfigKey &entry : kConfigKeys) {
        if (strcmp(key, entry.key) == 0) {
            apply_setting(rec, entry, value);
            return;
        }
    }
}

int read_config_file(kxa *rec, const char *path)
{
    bool opened = for_each_config_line(path, [rec](const char *key, const char *value) {
        set_kxa_val(rec, key, value);
        return true;
    });
    if (!opened) {
        int err = errno;
        dprintf("read_config_file(): Could not open config file (%s), error %d\n", path, err);
        return kx_errno2kxerr(err, KX_EFILEACCESS);
    }
    return 0;
}

int check_kxa(const kxa *rec)
{
    if (!rec || !rec->serverName || rec->serverPort == 0 || !rec->subtree || !rec->desktopDbFile ||
        !rec->userDbFile) {
        dprintf("check_kxa(): kxa - important fields are not filled.\n");
        return -1;
    }
    if (rec->openMode != KXA_ANONYMOUS && !rec->userName) {
        dprintf("check_kxa(): kxa - user fields are not filled.\n");
        return -1;
    }
    return 0;
}

char *read_passwd_file(const char *path, int *error)
{
    *error = -1;
    // Only the first line counts, as far as one line buffer takes it.
    std::string text;
    if (!path || !read_product_file(path, kConfigLineBufferSize - 1, text, Oversize::Cut)) {
        *error = kx_errno2kxerr(errno, KX_EFILEACCESS);
        return nullptr;
    }
    auto pieces = split_as_fgets(text, kConfigLineBufferSize);
    if (pieces.empty())
        return nullptr;
    char *stripped = strip_leading_and_trailing_whitespace(pieces.front().c_str());
    if (!stripped || !*stripped) {
        free(stripped);
        return nullptr;
    }
    char *password = scramble_text(stripped);
    free(stripped);
    if (password)
        *error = 0;
    return password;
}

char *get_kxadmin_info(const char *key)
{
    if (!key)
        return nullptr;
    std::string path = product_path(kAdminConfigFile);
    char *found = nullptr;
    bool opened = for_each_config_line(path.c_str(), [&](const char *k, const char *v) {
        if (strcmp(k, key) != 0)
            return true;
        found = safe_strdup(v);
        return false;
    });
    if (!opened)
        dprintf("get_kxadmin_info(): Could not open config file (%s)\n", path.c_str());
    return found;
}

int kx_DSConfigured(char **path)
{
    *path = nullptr;
    std::string file = product_path(kAdminConfigFile);
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        int err = errno;
        if (err == EACCES)
            dprintf("kx_DSConfigured(): No permission to access %s\n", file.c_str());
        else if (err != ENOENT)
            dprintf("kx_DSConfigured(): Failed due to error - %s\n", kx::error_text(err).c_str());
        return kx_errno2kxerr(err, KX_EINTERNAL);
    }
    *path = strdup(file.c_str());
    if (!*path) {
        dprintf("kx_DSConfigred(): Out of memory\n");
        out_of_memory();
    }
    return 0;
}

std::string configured_path(const char *path)
{
    static const char *const productDirs[] = {"/etc/opt/ZARNkx/", "/var/opt/ZARNkx/",
                                              "/opt/ZARNkx/", "/tmp/ZARNkx/"};
    for (const char *dir : productDirs)
        if (strncmp(path, dir, strlen(dir)) == 0)
            return product_path(path);
    return path;
}

// ---- directory connection ------------------------------------------------

namespace {

struct ConnectionCloser {
    void operator()(kxa *conn) const { kx_closeDsConnection(conn); }
};
using OpenRecord = std::unique_ptr<kxa, ConnectionCloser>;

struct LdapUnbinder {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapUnbinder>;

// The bound on every wait for the directory server.
timeval directory_timeout()
{
    timeval tv{};
    tv.tv_sec = DStimeout > 0 ? DStimeout : 1;
    return tv;
}

std::string ldap_uri(const char *host, int port)
{
    std::string name(host);
    if (name.find(':') != std::string::npos)
        name = "[" + name + "]";  // an IPv6 address literal
    return "ldap://" + name + ":" + std::to_string(port);
}

// The session options of a new connection: LDAPv3, no referral following,
// and the directory time-out on connecting and on every synchronous call.
bool set_session_options(LDAP *ld, const char *host)
{
    int version = LDAP_VERSION3;
    int rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (rc != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): failed to establish ldapv3 session with server %s - %s.\n", host,
                ldap_err2string(rc));
        return false;
    }
    rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    if (rc != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): failed to turn off the follow referral option with server %s - %s.\n",
                host, ldap_err2string(rc));
        return false;
    }
    timeval timeout = directory_timeout();
    rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
    if (rc == LDAP_OPT_SUCCESS)
        rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout);
    if (rc != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): failed to set the time-outs with server %s - %s.\n", host,
                ldap_err2string(rc));
        return false;
    }
    return true;
}

int simple_bind(LDAP *ld, const char *dn, const char *password)
{
    berval cred{};
    cred.bv_val = const_cast<char *>(password ? password : "");
    cred.bv_len = password ? strlen(password) : 0;
    return ldap_sasl_bind_s(ld, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
}

}  // namespace

LDAP *_kx_LDAPopen(const char *bindDn, const char *password, const char *host, int port,
                   int authMech, int *error)
{
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", host ? host : "", port, bindDn ? bindDn : "");
    platform::SigpipeGuard quiet;  // also over the unbind of a failed connection
    LDAP *raw = nullptr;
    int rc = host ? ldap_initialize(&raw, ldap_uri(host, port).c_str()) : LDAP_PARAM_ERROR;
    LdapHandle ld(raw);
    if (rc != LDAP_SUCCESS || !ld) {
        dprintf("open_connection(): failed to connect to DS server %s - %s\n", host ? host : "",
                ldap_err2string(rc));
        *error = KX_ENODB;
        return nullptr;
    }
    if (!set_session_options(ld.get(), host)) {
        *error = KX_ENODB;
        return nullptr;
    }

    if (authMech == KXA_AUTH_CRAM_MD5) {
        if (!password) {
            dprintf("open_connection(): Could not bind to DS server %s - %s\n", host, ldap_err2string(0));
            *error = KX_EAUTH;
            return nullptr;
        }
        berval cred{};
        cred.bv_val = const_cast<char *>(password);
        cred.bv_len = strlen(password);
        rc = _kx_ldap_sasl_cram_md5_bind_s(ld.get(), bindDn, &cred, nullptr, nullptr);
    } else if (authMech == KXA_AUTH_SIMPLE) {
        rc = simple_bind(ld.get(), bindDn, password);
    } else {
        dprintf("open_connection(): invalid authentication mechanism (=%d)", authMech);
        *error = KX_EAUTH;
        return nullptr;
    }
    if (rc != LDAP_SUCCESS) {
        *error = rc == LDAP_INVALID_CREDENTIALS ? KX_EAUTH : KX_EINTERNAL;
        dprintf("open_connection(): Could not bind to DS server %s - %s\n", host, ldap_err2string(rc));
        return nullptr;
    }
    return ld.release();
}

int kx_openDsConnection(int mode, const char *user, const char *password, const char *configPath,
                        const char *server, kxa **conn)
{
    *conn = nullptr;
    OpenRecord rec(allocate_kxa());
    rec->openMode = mode;

    std::string path = configPath ? std::string(configPath) : product_path(kAdminConfigFile);
    if (access(path.c_str(), F_OK) != 0)
        return kx_errno2kxerr(errno, KX_EFILEACCESS);
    if (int rc = read_config_file(rec.get(), path.c_str()); rc != 0) {
        dprintf("open_connection(): Could not read config file (%s)\n", path.c_str());
        return rc;
    }
    if (int rc = check_kxa(rec.get()); rc != 0) {
        dprintf("open_connection(): Config file (%s) contents are incomplete\n", path.c_str());
        return rc;
    }
    if (server)
        replace_text(rec->serverName, server);

    switch (mode) {
    case KXA_ANONYMOUS:
        rec->authMech = KXA_AUTH_SIMPLE;
        replace_text(rec->userName, "cn=anonymous");
        break;
    case KXA_ADMIN: {
        int error = -1;
        rec->password = read_passwd_file(product_path(kAdminPasswordFile).c_str(), &error);
        if (!rec->password) {
            dprintf("open_connection(): Could not read KX password file (%s)\n", kAdminPasswordFile);
            return error;
        }
        break;
    }
    case KXA_USER_PASSWORD:
        replace_text(rec->password, password);
        break;
    case KXA_CREDENTIALS:
        replace_text(rec->userName, user);
        replace_text(rec->password, password);
        break;
    default:
        break;
    }

    int error = 0;
    rec->dsConnection = _kx_LDAPopen(rec->userName, rec->password, rec->serverName, rec->serverPort,
                                     rec->authMech, &error);
    if (!rec->dsConnection)
        return error;
    rec->desktopDb = open_desktop_dbm(configured_path(rec->desktopDbFile).c_str(), mode);
    if (!rec->desktopDb) {
        dprintf("open_connection(): Could not open dstatus DB at (%s)\n", rec->desktopDbFile);
        return KX_EDBMOPEN;
    }
    rec->userDb = open_user_dbm(configured_path(rec->userDbFile).c_str(), mode);
    if (!rec->userDb) {
        dprintf("open_connection(): Could not open ustatus DB at (%s)\n", rec->userDbFile);
        return KX_EDBMOPEN;
    }
    *conn = rec.release();
    return 0;
}

kxa *open_connection(int mode, const char *user, const char *password, const char *configPath,
                     int *error)
{
    kxa *conn = nullptr;
    *error = kx_openDsConnection(mode, user, password, configPath, nullptr, &conn);
    if (!conn)
        *error = -1;
    return conn;
}

void kx_closeDsConnection(kxa *conn)
{
    if (!conn)
        return;
    platform::SigpipeGuard quiet;  // the server may have gone away since
    if (conn->desktopDb)
        dbm_close(conn->desktopDb);
    if (conn->userDb)
        dbm_close(conn->userDb);
    if (conn->dsConnection)
        ldap_unbind_ext_s(conn->dsConnection, nullptr, nullptr);
    if (conn->primaryConnection)
        ldap_unbind_ext_s(conn->primaryConnection, nullptr, nullptr);
    free_kxa(conn);
}

int close_connection(kxa *conn)
{
    kx_closeDsConnection(conn);
    return 0;
}

const char *get_server_name(const kxa *conn)
{
    return conn ? conn->serverName : nullptr;
}

LDAPMessage *search_for_entries(LDAP *ld, const char *filter, const char *base, char **attrs,
                                int attrsOnly, int mode, int *timedOut)
{
    if (timedOut)
        *timedOut = 0;
    if (!ld) {
        dprintf("search_for_entries(): LDAP search failed - %s\n", ldap_err2string(LDAP_PARAM_ERROR));
        return nullptr;
    }
    int scope = mode == KX_SEARCH_ONELEVEL ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE;
    timeval timeout = directory_timeout();
    LDAPMessage *result = nullptr;
    platform::SigpipeGuard quiet;
    int rc = ldap_search_ext_s(ld, base, scope, filter, attrs, attrsOnly, nullptr, nullptr, &timeout,
                               LDAP_NO_LIMIT, &result);
    if (rc != LDAP_SUCCESS) {
        dprintf("search_for_entries(): LDAP search failed - %s\n", ldap_err2string(rc));
        if (timedOut)
            *timedOut = rc == LDAP_TIMEOUT || rc == LDAP_TIMELIMIT_EXCEEDED;
        if (result)
            ldap_msgfree(result);
        return nullptr;
    }
    if (mode != KX_SEARCH_SINGLE)
        return result;
    int count = ldap_count_entries(ld, result);
    if (count == 1)
        return result;
    if (count > 1)
        dprintf("search_for_entries(): Found multiple matching entries, was expecting a single match");
    ldap_msgfree(result);
    return nullptr;
}

}  // namespace kx
