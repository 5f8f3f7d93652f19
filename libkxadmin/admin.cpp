#include "admin.h"

#include "utils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace kx {
namespace {
struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
constexpr int kConfigLineBufferSize = 512;
}  // namespace

bool for_each_config_line(const char *path,
                          const std::function<bool(const char *key, const char *value)> &apply)
{
    std::unique_ptr<FILE, FileCloser> file(fopen(path, "r"));
    if (!file)
        return false;
    char line[kConfigLineBufferSize];
    while (fgets(line, sizeof line, file.get())) {
        char *key = nullptr;
        char *value = nullptr;
        bool more = true;
        if (parse_key_and_value(line, &key, &value) && key && value)
            more = apply(key, value);
        free(key);
        free(value);
        if (!more)
            break;
    }
    return true;
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

}  // namespace kx
