// The CLI's encoders of texts that daemons and files hand it: whatever the
// bytes, a JSON string parses, a terminal line holds no control character,
// stays within its width when cut or wrapped, and a Prometheus sample stays
// one line; all of it well-formed UTF-8.
#include "output.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Walks strict UTF-8 (no overlong form, surrogate or value past U+10FFFF),
// handing each code point to `each`; false at the first malformed byte.
template <class Each>
bool well_formed(std::string_view text, Each &&each)
{
    static constexpr unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 ? 2 : (lead & 0xf0) == 0xe0 ? 3
                             : (lead & 0xf8) == 0xf0                   ? 4
                                                                       : 0;
        if (length == 0 || i + length > text.size())
            return false;
        unsigned code = length == 1 ? lead : lead & (0x7fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3fu);
        }
        if (code < kLeast[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        each(code);
        i += length;
    }
    return true;
}

bool is_control(unsigned code)
{
    return code < 0x20 || (code >= 0x7f && code < 0xa0);
}

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A JSON string literal: quoted, no raw control character or quote, every
// escape one that JSON knows.
bool json_string(std::string_view literal)
{
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"')
        return false;
    const std::string_view body = literal.substr(1, literal.size() - 2);
    for (std::size_t i = 0; i < body.size(); ++i) {
        const auto c = static_cast<unsigned char>(body[i]);
        if (c < 0x20 || c == '"')
            return false;
        if (c != '\\')
            continue;
        if (++i == body.size())
            return false;
        if (body[i] == 'u') {
            if (i + 4 >= body.size())
                return false;
            for (std::size_t k = 1; k <= 4; ++k)
                if (!is_hex(body[i + k]))
                    return false;
            i += 4;
        } else if (std::string_view("\"\\/bfnrt").find(body[i]) == std::string_view::npos) {
            return false;
        }
    }
    return well_formed(body, [](unsigned) {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);

    const std::string quoted = kxsmon::json_quote(input);
    if (!json_string(quoted))
        abort();
    // Plain UTF-8 with nothing to escape comes out as it went in.
    bool plain = true;
    if (well_formed(input, [&plain](unsigned code) {
            plain = plain && !is_control(code) && code != '"' && code != '\\';
        }) &&
        plain && quoted != "\"" + input + "\"")
        abort();

    bool clean = true;
    if (!well_formed(kxsmon::printable(input.c_str()),
                     [&clean](unsigned code) { clean = clean && !is_control(code); }) ||
        !clean)
        abort();

    // Cut to a width, or wrapped, a terminal text takes no more columns
    // and stays well-formed.
    const std::string shown = kxsmon::printable(input.c_str());
    const std::size_t width = size ? data[0] % 40 : 0;
    const std::string cut = kxsmon::cut_to_width(shown, width);
    if (kxsmon::display_width(cut) > width || !well_formed(cut, [](unsigned) {}))
        abort();
    const std::string wrapped = kxsmon::wrap_lines(shown, width + 8);
    if (!well_formed(wrapped, [](unsigned) {}))
        abort();
    for (std::size_t start = 0; start < wrapped.size();) {
        const std::size_t end = std::min(wrapped.find('\n', start), wrapped.size());
        const std::string line = wrapped.substr(start, end - start);
        if (kxsmon::display_width(line) > width + 8)
            abort();
        start = end + 1;
    }

    kxsmon::Prom prom;
    prom.sample("m", {{"who", input}}, 1);
    const std::string &sample = prom.str();
    if (sample.find('\n') != sample.size() - 1 || !well_formed(sample, [](unsigned) {}))
        abort();
    return 0;
}
