// A "status" reply read as the transport hands it over, in reads of every
// size, against a plain reading of the same bytes: whole lines, the shared
// block framing, the general key=value split and a case-blind compare of
// each key. The two must give the same terminals in the same order, with
// their texts where the exceptions' layout copies them from.
#include "kxsdt.h"
#include "exchange.h"
#include "utils.h"

#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Terminal {
    std::string id, cid, ipa, model, firmware;
    bool hasCid = false, hasFirmware = false;
    uint32_t connectTime = 0, packets = 0, lost = 0;
};

uint32_t number(std::string_view value)
{
    return kx::text_to_uint32(std::string(value).c_str());
}

// One block's lines, read plainly.
struct PlainBlock {
    std::string id, cid, ipa, firmware;
    uint32_t connectTime = 0, packets = 0, lost = 0;

    void line(std::string_view line)
    {
        std::string_view key, value;
        if (!kx::split_key_and_value_without_nul(line, key, value))
            return;
        const std::string k(key);
        auto is = [&k](const char *name) { return strcasecmp(k.c_str(), name) == 0; };
        if (is("terminalId"))
            id = value;
        else if (is("terminalCID"))
            cid = value;
        else if (is("terminalIPA"))
            ipa = value;
        else if (is("firmware"))
            firmware = value;
        else if (is("terminalConnectTime"))
            connectTime = number(value);
        else if (is("terminalPackets"))
            packets = number(value);
        else if (is("terminalLostPackets"))
            lost = number(value);
    }
    void close(std::vector<Terminal> &out) const
    {
        if (id.empty() || ipa.empty())
            return;
        const std::size_t dot = id.rfind('.');
        Terminal t;
        t.id = dot == std::string::npos ? id : id.substr(dot + 1);
        t.model = dot == std::string::npos ? "" : id.substr(0, dot);
        t.cid = cid;
        t.hasCid = !cid.empty();
        t.ipa = ipa;
        t.firmware = firmware;
        t.hasFirmware = !firmware.empty();
        t.connectTime = connectTime;
        t.packets = packets;
        t.lost = lost;
        out.push_back(t);
    }
};

std::vector<Terminal> read_plainly(const std::string &reply)
{
    std::vector<Terminal> out;
    kx::BlockFraming framing("fuzz");
    PlainBlock block;
    std::size_t from = 0;
    for (std::size_t feed; (feed = reply.find('\n', from)) != std::string::npos; from = feed + 1) {
        std::string_view line(reply.data() + from, feed - from);
        if (line.size() > kx::kMaxLineLength)
            continue;
        line = line.substr(0, line.find('\0'));
        switch (framing.step(line)) {
        case kx::BlockFraming::Step::Open:
            block = PlainBlock();
            break;
        case kx::BlockFraming::Step::Add:
            block.line(line);
            break;
        case kx::BlockFraming::Step::Close:
            block.close(out);
            block = PlainBlock();
            break;
        case kx::BlockFraming::Step::Skip:
            break;
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Terminal &a, const Terminal &b) {
        return strcasecmp(a.id.c_str(), b.id.c_str()) < 0;
    });
    return out;
}

bool same(const Terminal &t, const kx::KXSTerm *term)
{
    auto text = [](const char *s) { return std::string_view(s ? s : ""); };
    return t.id == text(term->terminalId) && t.model == text(term->model) &&
           t.ipa == text(term->terminalIPA) && t.cid == text(term->terminalCID) &&
           t.hasCid == (term->terminalCID != nullptr) && t.firmware == text(term->firmware) &&
           t.hasFirmware == (term->firmware != nullptr) &&
           text(term->serverName) == "fuzz-host" && t.connectTime == term->terminalConnectTime &&
           t.packets == term->terminalPackets && t.lost == term->terminalLostPackets;
}

// What the exceptions' layout relies on: each text lies behind its record,
// but for the list's shared server name. Returns what copies of them take.
std::size_t checked_copies(const kx::KXSTerm *term)
{
    for (const char *text : {term->terminalId, term->terminalCID, term->terminalIPA, term->model,
                             term->firmware})
        if (text && !kx::lies_behind(term, text))
            __builtin_trap();
    const std::size_t behind = kx::texts_behind(term).size();
    return kx::lies_behind(term, term->serverName) ? behind
                                                   : behind + std::strlen(term->serverName) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte sets the size of the reads.
    const std::size_t readSize = 1 + data[0] * 7u % 600u;
    const std::string reply(reinterpret_cast<const char *>(data) + 1, size - 1);

    kx::KXSTermList list;
    list.serverName = "fuzz-host";
    {
        std::unique_ptr<kx::ReplySink> sink = kx::kxs_term_reply(list, nullptr);
        std::vector<char> buffer(readSize + 1);
        for (std::size_t at = 0; at < reply.size(); at += readSize) {
            const std::size_t n = std::min(readSize, reply.size() - at);
            std::memcpy(buffer.data(), reply.data() + at, n);
            buffer[n] = '\0';
            sink->bytes(buffer.data(), n);
        }
    }
    const std::vector<Terminal> expected = read_plainly(reply);
    kx::KXSTerm *head = kx::kxs_link_list(list);
    std::size_t i = 0, copies = 0;
    for (const kx::KXSTerm *term = head; term; term = term->next, ++i) {
        if (i >= expected.size() || !same(expected[i], term))
            __builtin_trap();
        copies += checked_copies(term);
    }
    if (i != expected.size() || (head && head->copiedTextBytes != copies))
        __builtin_trap();
    kx::kxs_free_linked_list(nullptr, &head);
    return 0;
}
