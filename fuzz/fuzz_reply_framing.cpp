// Line reassembly and record-block framing over reads cut at arbitrary
// places: the first byte of the input picks the read size.
#include "ping.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const kx::DaemonClient client{"fuzz", "b", false, false};
    std::size_t step = 1 + data[0] % kx::kReadChunkSize;
    kx::LineAssembler lines(client);
    std::string block;
    auto onLine = [&](std::string_view line) {
        kx::frame_record_line(block, line);
        return true;
    };
    for (std::size_t at = 1; at < size; at += step) {
        std::size_t n = size - at < step ? size - at : step;
        std::string chunk(reinterpret_cast<const char *>(data) + at, n);
        lines.feed(chunk.data(), chunk.size(), onLine);
    }
    if (block.size() > kx::kMaxBlockLength)
        __builtin_trap();
    return 0;
}
