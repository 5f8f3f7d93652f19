// "status" record blocks for the status records (both sort modes, with and
// without a filter) and for the terminal status list.
#include "auth_mgr.h"
#include "kxsdt.h"
#include "utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// The copying and the viewing key=value splits must agree on every line.
void check_splits_agree(const std::string &line)
{
    char *key = nullptr;
    char *value = nullptr;
    std::string_view keyView, valueView;
    int copied = kx::parse_key_and_value(line.c_str(), &key, &value);
    int viewed = kx::split_key_and_value(line, keyView, valueView);
    if (copied != viewed || std::string_view(key ? key : "") != keyView ||
        std::string_view(value ? value : "") != valueView)
        __builtin_trap();
    free(key);
    free(value);
}

}  // namespace

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
        check_splits_agree(block.substr(0, block.find('\n')));
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
