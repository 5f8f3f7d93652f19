// A display file, a session process file and process-lister lines, from the
// same bytes.
#include "user_session.h"
#include "utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        kx::set_diagnostic_sink([](int, const std::string &) {});
        return true;
    }();
    (void)quiet;
    std::string_view text(reinterpret_cast<const char *>(data), size);

    kx::UserSessionEnt *entry = nullptr;
    char *tokenSet = nullptr;
    if (kx::parse_display_text(text, &entry, &tokenSet) == 0) {
        kx::kx_freeUserSessionEnt(entry);
        free(tokenSet);
    }
    kx::SessionProc proc;
    kx::parse_session_text(text, proc);

    while (!text.empty()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        kx::PsEntry process;
        kx::parse_ps_entry(text.substr(0, end), process);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return 0;
}
