// One "smstatus" reply line.
#include "session_mgr.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    kx::SMStatus *rec = kx::allocate_smstatus();
    kx::parse_smstatus_line(&rec, line.c_str());
    kx::free_smstatus(rec);
    return 0;
}
