#include "kxssystem.h"

#include "kxsinit.h"
#include "kxsutil.h"
#include "pkginfo.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kx {

// ---- version and patches -----------------------------------------------------

namespace {

// Replaces *slot with the stripped value (which may be NULL).
void store_value(char **slot, const char *begin)
{
    free(*slot);
    *slot = strip_leading_and_trailing_whitespace(begin);
}

// The exit code of a child's wait status; -1 when the wait itself failed.
int exit_code_of(int status)
{
    return status == -1 ? -1 : (status >> 8) & 0xff;
}

// Quotes a path for the shell, so that a root holding blanks or shell
// characters stays one word.
std::string shell_quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

}  // namespace

void parse_package_info(const char *output, char **version, char **installDate)
{
    *version = nullptr;
    *installDate = nullptr;
    for (const std::string &line : split_as_fgets(output ? output : "", 128)) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        char *key = strip_leading_and_trailing_whitespace(line.substr(0, colon).c_str());
        if (!key)
            continue;
        const char *value = line.c_str() + colon + 1;
        if (strcasecmp(key, "VERSION") == 0)
            store_value(version, value);
        else if (strcasecmp(key, "INSTDATE") == 0)
            store_value(installDate, value);
        free(key);
    }
}

KXSVersion *getPackageInfo(const char *package)
{
    if (!package)
        return nullptr;
    auto answer = platform::package_info_query(root(), package);
    char *version = nullptr;
    char *installDate = nullptr;
    parse_package_info(answer.output.c_str(), &version, &installDate);

    if (answer.output.empty() || (!version && !installDate)) {
        dprintf("getPackageInfo(): Got unexpected data from pkginfo for %s\n", package);
        free(version);
        free(installDate);
        return nullptr;
    }
    int exitCode = exit_code_of(answer.waitStatus);
    if (exitCode != 0) {
        dprintf("getPackageInfo(): Could not get package %s information: %d(%d)\n", package, exitCode,
                answer.waitStatus);
        free(version);
        free(installDate);
        return nullptr;
    }
    auto *record = static_cast<KXSVersion *>(calloc(1, sizeof(KXSVersion)));
    if (!record) {
        free(version);
        free(installDate);
        return nullptr;
    }
    record->version = version;
    record->installDate = installDate;
    return record;
}

char *getPatches(const char *key)
{
    if (!key)
        key = kPatchKey;
    char *root = get_package_root(kCorePackage);
    if (!root)
        return nullptr;
    std::string command = shell_quote(std::string(root) + "/ZARNkx/lib/kxspatches") + " " +
                          shell_quote(key) + " 2> /dev/null";
    free(root);

    FILE *stream = kxs_safe_popen(command.c_str(), "r");
    if (!stream)
        return nullptr;
    // Whole lines, however long: a patch line is never split or cut.
    std::string patches;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    bool first = true;
    while ((length = getline(&line, &capacity, stream)) > 0) {
        if (line[length - 1] == '\n')
            line[--length] = '\0';
        if (!first)
            patches += ", ";
        patches.append(line, static_cast<size_t>(length));
        first = false;
    }
    free(line);

    int status = kxs_safe_pclose(stream);
    if (status == -1) {
        int err = errno;
        dprintf("getPatches(): kxs_safe_pclose error for %s: %d\n", key, err);
        errno = err;
        perror("getPatches");
    }
    int exitCode = exit_code_of(status);
    if (exitCode != 0) {
        dprintf("getPatches(): Could not get patches for %s, %d\n", key, exitCode);
        return nullptr;
    }
    return safe_strdup(patches.c_str());
}

// ---- system contact ------------------------------------------------------------

void kxs_initSystemContact(KXSHandle *handle)
{
    dlprintf("s", "kxs_initSystemContact initializing system contact\n");
    std::string path = product_path(kContactPath);
    std::vector<std::string> lines;
    if (file_to_array(path.c_str(), lines, 1) < 0) {
        dlprintf("s", "kxs_initSystemContact could not open %s file\n", path.c_str());
        return;
    }
    if (lines.empty())
        return;
    std::string line = lines.front();
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    dlprintf("s", "kxs_initSystemContact: Retrieved %s\n", line.c_str());
    free(handle->contact);
    handle->contact = safe_strdup(line.c_str());
    dlprintf("s", "kxs_initSystemContact completed\n");
}

void kxs_freeContact(KXSHandle *handle)
{
    if (handle && handle->contact) {
        free(handle->contact);
        handle->contact = nullptr;
    }
}

}  // namespace kx

// ---- exported ------------------------------------------------------------------

KXS_EXPORT KXSVersion *kxs_version(KXSHandle *) noexcept
{
    return kx::getPackageInfo(kCorePackage);
}

KXS_EXPORT void kxs_freeVersion(KXSHandle *, KXSVersion *version) noexcept
{
    if (!version)
        return;
    free(version->version);
    free(version->installDate);
    free(version);
}

KXS_EXPORT char *kxs_patches(KXSHandle *) noexcept
{
    char *patches = kx::getPatches(kx::kPatchKey);
    if (!patches) {
        printf("kxs_patches: getPatches returned NULL for kestrel\n");
        patches = kx::safe_strdup("");
    }
    return patches;
}

KXS_EXPORT char *kxs_contact(KXSHandle *handle) noexcept
{
    if (!handle || !handle->contact)
        return kx::safe_strdup(kx::kDefaultContact);
    return kx::safe_strdup(handle->contact);
}

KXS_EXPORT int32_t kxs_setContact(KXSHandle *handle, const char *contact) noexcept
{
    if (!handle || !contact)
        return -1;
    char *copy = kx::safe_strdup(contact);
    free(handle->contact);
    handle->contact = copy;
    std::string path = kx::product_path(kx::kContactPath);
    if (kx::array_to_file(path.c_str(), {contact}) != 0) {
        kx::dprintf("kxs_setContact(): Unable to write %s file", path.c_str());
        return -1;
    }
    return 0;
}
