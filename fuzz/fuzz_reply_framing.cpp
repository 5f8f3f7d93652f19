// Line reassembly and record-block framing over reads cut at arbitrary
// places: the first byte of the input picks the read size.
#include "exchange.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// A block stays within its bound and each one needs a "begin" of its own
// (the first aside): no amplification.
struct CheckedBlocks {
    std::size_t begins = 0, blocks = 0;
    std::string text;
    void open()
    {
        ++begins;
        text.clear();
    }
    void line(std::string_view line) { text.append(line).push_back('\n'); }
    void close()
    {
        if (text.size() > kx::kMaxBlockLength || ++blocks > begins + 1)
            __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::size_t step = 1 + data[0] % kx::kReadChunkSize;
    kx::BlockReply<CheckedBlocks> reply("fuzz");
    for (std::size_t at = 1; at < size; at += step) {
        std::size_t n = size - at < step ? size - at : step;
        std::string chunk(reinterpret_cast<const char *>(data) + at, n);
        reply.bytes(chunk.data(), chunk.size());
    }
    return 0;
}
