// One "amstatus" reply line.
#include "kxsutil.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    kx::AMStatus status{};
    kx::_parse_amstatus_line(line.c_str(), &status);
    return 0;
}
