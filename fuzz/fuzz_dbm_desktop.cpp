// A stored record of the desktop status database. The first byte gives the
// length of the requested terminal ID, which follows; the rest is the stored
// content.
#include "admin_dstatus.h"
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        kx::set_diagnostic_sink([](int, const std::string &) {});
        return true;
    }();
    (void)quiet;
    if (size == 0)
        return 0;
    size_t idLength = std::min<size_t>(data[0] % 32, size - 1);
    std::string id(reinterpret_cast<const char *>(data + 1), idLength);
    // The stored content is a separate allocation of exactly its size, so
    // that a read past its end is caught.
    size_t contentSize = size - 1 - idLength;
    char *content = static_cast<char *>(malloc(contentSize ? contentSize : 1));
    if (contentSize)
        memcpy(content, data + 1 + idLength, contentSize);
    datum stored{content, static_cast<int>(contentSize)};

    kx::dbm_desktop *rec = kx::fill_dbm_desktop_struct(id.c_str(), stored);
    if (rec) {
        if (!rec->id || strcasecmp(rec->id, id.c_str()) != 0)
            abort();
        size_t total = 0;
        for (const char *field : {rec->id, rec->model, rec->firmware_rev, rec->status,
                                  rec->last_status_time, rec->first_conn_time})
            if (field) {
                if (strchr(field, '\x1e') || !*field)
                    abort();
                total += strlen(field);
            }
        if (total > 511)
            abort();
    }
    kx::free_dbm_desktop(rec);
    free(content);
    return 0;
}
