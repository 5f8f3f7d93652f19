// The replica tool's output: the lines kept, the primary named in them, and
// the roles they give.
#include "kxsfog.h"
#include "utils.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string output(reinterpret_cast<const char *>(data), size);
    kx::CArray<char> kept(kx::free_text);
    for (const std::string &piece : kx::split_as_fgets(output, kx::kReplicaLineSize))
        kx::add_replica_line(kept, piece.c_str());
    char **lines = kx::as_replica_lines(kept);
    std::string primary = kx::primary_in_lines(lines);
    if (primary.find_first_of(" \t\n") != std::string::npos)
        __builtin_trap();
    // A name that passes the check holds nothing a shell would act on.
    if (kx::is_host_name(primary) && primary.find_first_of(";&|$`'\"<>()\\*?") != std::string::npos)
        __builtin_trap();
    for (const char *member : {"kxtest-host", "srv1", primary.c_str()})
        if (*member)
            (void)kx::role_in_lines(lines, member);
    kx::freeFOLines(lines);
    return 0;
}
