// The line feeds of a read buffer, found 64 bytes at a time (SSE2 where the
// compiler has it): a reply's lines are short, and one search per line would
// cost more than the line. Internal to the line assembly of reply_framing.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kx {

class LineFeeds {
public:
    LineFeeds(char *data, std::size_t length)
        : block_(data), end_(data + length), feeds_(feeds_in(block_))
    {
    }
    // The next line feed, or nullptr when there is none.
    char *next()
    {
        while (feeds_ == 0) {
            if (end_ - block_ <= 64)
                return nullptr;
            block_ += 64;
            feeds_ = feeds_in(block_);
        }
        char *feed = block_ + __builtin_ctzll(feeds_);
        feeds_ &= feeds_ - 1;
        return feed;
    }

private:
    // One bit a byte of the 64 from `at` (as far as the buffer goes).
    uint64_t feeds_in(const char *at) const
    {
        if (end_ - at >= 64)
            return feeds_in_whole(at);
        char last[64] = {};  // the buffer's last bytes, read no further
        std::memcpy(last, at, static_cast<std::size_t>(end_ - at));
        return feeds_in_whole(last);
    }
    static uint64_t feeds_in_whole(const char *at)
    {
#if defined(__SSE2__)
        const __m128i feed = _mm_set1_epi8('\n');
        uint64_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 16 * i));
            auto mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
            bits |= static_cast<uint64_t>(mask) << (16 * i);
        }
        return bits;
#else
        uint64_t bits = 0;
        for (int i = 0; i < 64; ++i)
            bits |= static_cast<uint64_t>(at[i] == '\n') << i;
        return bits;
#endif
    }

    char *block_;
    char *end_;
    uint64_t feeds_;
};

}  // namespace kx
