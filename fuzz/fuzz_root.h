// A scratch product root for fuzzers that feed files to the library.
//
// libFuzzer ends the process without running exit handlers, so the root is
// left behind in the temporary directory; the fuzzing script points TMPDIR at
// its build tree.
#pragma once

#include "utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>

namespace kxfuzz {

// Makes a root holding the product directories `dirs`, makes it the
// library's root and silences the diagnostics. Returns its path.
inline std::string make_root(const char *name, std::initializer_list<const char *> dirs)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(name) + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        abort();
    for (const char *dir : dirs)
        std::filesystem::create_directories(pattern + dir);
    kx::set_root(pattern.c_str());
    kx::set_diagnostic_sink([](int, const std::string &) {});
    return pattern;
}

// Replaces the file at `path` with the fuzzer's input.
inline void put(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
}

}  // namespace kxfuzz
