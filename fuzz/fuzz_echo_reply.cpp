// The probe's reading of a received ICMP datagram: on a raw socket any host
// can send one, with any IP header length and any quoted packet.
#include "ping.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kx::platform::EchoTag tag;
    tag.target.s_addr = 0x0100007f;
    tag.id = 0x1234;
    tag.sequence = 0x0001;
    std::memset(tag.nonce, 0x5a, sizeof tag.nonce);
    for (bool datagram : {false, true}) {
        tag.datagram = datagram;
        auto state = kx::platform::read_echo_datagram(tag, tag.target, data, size);
        // Nothing shorter than an echo and its payload can be the answer.
        std::size_t least = sizeof tag.nonce + 8 + (datagram ? 0 : 20);
        if (state == kx::platform::EchoState::Answered && size < least)
            __builtin_trap();
    }
    return 0;
}
