// Line reassembly and record-block framing over reads cut at arbitrary
// places: the first byte of the input picks the read size.
#include "ping.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const kx::DaemonClient client{"fuzz", "b", false, false, "svc", 1, false,
                                         kx::Opener::Plain};
    std::size_t step = 1 + data[0] % kx::kReadChunkSize;
    kx::LineAssembler lines(client);
    kx::RecordFramer framer("fuzz");
    std::size_t begins = 0, blocks = 0;
    auto onLine = [&](std::string_view line) {
        begins += line == "begin";
        if (const char *block = framer.line(line)) {
            // A block stays within its bound and each one needs a "begin"
            // of its own (the first aside): no amplification.
            if (std::strlen(block) > kx::kMaxBlockLength || ++blocks > begins + 1)
                __builtin_trap();
        }
        return true;
    };
    for (std::size_t at = 1; at < size; at += step) {
        std::size_t n = size - at < step ? size - at : step;
        std::string chunk(reinterpret_cast<const char *>(data) + at, n);
        lines.feed(chunk.data(), chunk.size(), onLine);
    }
    return 0;
}
