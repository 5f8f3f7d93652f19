// The package tool's output and the shared line parsers.
#include "kxssystem.h"
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *line = text.c_str();  // stops at the first NUL, as a C reader does

    char *version = nullptr, *date = nullptr;
    kx::parse_package_info(line, &version, &date);
    free(version);
    free(date);

    char *key = nullptr, *value = nullptr;
    kx::parse_key_and_value(line, &key, &value);
    if ((key && strlen(key) > kx::kKeyValueSideMax) || (value && strlen(value) > kx::kKeyValueSideMax))
        abort();
    free(key);
    free(value);

    // Pieces as fgets reads them: none longer than the buffer, nothing lost.
    std::string joined;
    for (const std::string &piece : kx::split_as_fgets(text, 64)) {
        if (piece.empty() || piece.size() > 63)
            abort();
        joined += piece;
    }
    if (joined != text)
        abort();

    std::string copy = line;
    char *fields[8];
    if (kx::make_fields(copy.data(), fields, 8) > 8)
        abort();

    char *stripped = kx::strip_leading_and_trailing_whitespace(line);
    free(stripped);
    char *once = kx::scramble_text(line);
    char *twice = kx::scramble_text(once);
    if (strcmp(twice, line) != 0)
        abort();
    free(once);
    free(twice);
    return 0;
}
