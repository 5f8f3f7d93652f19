// The administration configuration and credentials files.
#include "admin.h"
#include "fuzz_root.h"
#include "utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check_text(const char *text)
{
    if (text && strlen(text) > 511)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string root = kxfuzz::make_root("kxs-fuzz-admin", {"/etc/opt/ZARNkx"});
    const std::string config = root + kx::kAdminConfigFile;
    const std::string password = root + kx::kAdminPasswordFile;
    kxfuzz::put(config, data, size);
    kxfuzz::put(password, data, size);

    kx::kxa *rec = kx::allocate_kxa();
    if (kx::read_config_file(rec, config.c_str()) != 0)
        abort();
    for (const char *text : {rec->serverName, rec->userName, rec->subtree, rec->defaultLocale,
                             rec->desktopDbFile, rec->userDbFile})
        check_text(text);
    if (rec->serverPort < 0 || kx::DStimeout < 0 || (rec->authMech != 0 && rec->authMech != 1))
        abort();
    for (int mode = 1; mode <= 4; ++mode) {
        rec->openMode = mode;
        kx::check_kxa(rec);
    }
    kx::free_kxa(rec);

    char *subtree = kx::get_kxadmin_info("admin.subtree");
    check_text(subtree);
    free(subtree);

    int error = 0;
    char *secret = kx::read_passwd_file(password.c_str(), &error);
    if ((secret == nullptr) != (error != 0))
        abort();
    check_text(secret);
    free(secret);
    kx::set_gdebug(nullptr);
    kx::DStimeout = 10;
    return 0;
}
