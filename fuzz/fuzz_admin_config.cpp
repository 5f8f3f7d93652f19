// The administration configuration and credentials files.
#include "admin.h"
#include "utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

std::string rootDir;

void remove_root()
{
    std::error_code ec;
    std::filesystem::remove_all(rootDir, ec);
}

std::string make_root()
{
    char dir[] = "/tmp/kxs-fuzz-admin.XXXXXX";
    if (!mkdtemp(dir))
        abort();
    std::filesystem::create_directories(std::string(dir) + "/etc/opt/ZARNkx");
    kx::set_root(dir);
    kx::set_diagnostic_sink([](int, const std::string &) {});
    rootDir = dir;
    atexit(remove_root);
    return dir;
}

void put(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
}

void check_text(const char *text)
{
    if (text && strlen(text) > 511)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string root = make_root();
    const std::string config = root + kx::kAdminConfigFile;
    const std::string password = root + kx::kAdminPasswordFile;
    put(config, data, size);
    put(password, data, size);

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
