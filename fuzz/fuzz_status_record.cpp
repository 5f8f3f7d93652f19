// "status" record blocks for the status records (both sort modes, with and
// without a filter) and for the terminal status list.
#include "auth_mgr.h"
#include "kxsdt.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    const char *selection = "~terminalCID~terminalId~tokenName~firmware~MultiheadGroupName~"
                            "MultiheadPrimary~annotation.x_token~MultiheadTerminalIndex~boot~";
    // Blocks are separated by NUL bytes, so that one input can hold several.
    kx::KeyValuesNode *records = nullptr;
    kx::KXSTermList terms;
    std::size_t from = 0;
    while (from <= input.size()) {
        std::size_t end = input.find('\0', from);
        if (end == std::string::npos)
            end = input.size();
        std::string block = input.substr(from, end - from);
        kx::parse_record(&records, block.c_str(), 1 + block.size() % 2, selection,
                         block.size() % 3 == 0 ? "P1.0001 abc" : nullptr);
        kx::kxs_parse_entry(nullptr, terms, block.c_str(), block.size() % 5 == 0 ? "0" : nullptr);
        from = end + 1;
    }
    kx::kx_free_KeyValuesNode_list(records);
    kx::KXSTerm *list = kx::kxs_link_list(terms);
    kx::kxs_free_linked_list(nullptr, &list);
    return 0;
}
