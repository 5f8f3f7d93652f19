#include "ping.h"

#include <cerrno>
#include <cstring>

#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kx::platform {

namespace {

// iputils ping: "-c 1" sends one echo, "-W 5" waits five seconds for it, and
// the exit status is 0 only when an answer came. "-q" leaves the summary,
// "1 packets transmitted, 1 received, ...".
constexpr const char *kPingProgram = "/usr/bin/ping";
constexpr std::string_view kAnsweredSummary = " transmitted, 1 received";

struct PingCommand {
    char *argv[10];
    char *envp[2];
};

// Built without allocating, for exec_ping's sake.
PingCommand ping_command(const char *host)
{
    static_assert(kPingWaitSeconds == 5, "the wait operand below spells the wait");
    return {{const_cast<char *>("ping"), const_cast<char *>("-n"), const_cast<char *>("-q"),
             const_cast<char *>("-c"), const_cast<char *>("1"), const_cast<char *>("-W"),
             const_cast<char *>("5"), const_cast<char *>("--"), const_cast<char *>(host), nullptr},
            {const_cast<char *>("PATH=/usr/bin:/usr/sbin:/bin"), nullptr}};
}

}  // namespace

SpawnResult run_ping(const char *host, std::chrono::milliseconds bound)
{
    PingCommand command = ping_command(host);
    SpawnRequest request;
    request.program = kPingProgram;
    request.argv = command.argv;
    request.envp = command.envp;
    request.err = StderrTo::NullDevice;
    request.bounds = {bound, 4096, std::chrono::milliseconds(500)};
    return spawn_bounded(request);
}

bool ping_output_shows_answer(std::string_view output)
{
    return output.find(kAnsweredSummary) != std::string_view::npos;
}

int exec_ping(const char *host)
{
    PingCommand command = ping_command(host);
    execve(kPingProgram, command.argv, command.envp);
    return errno;
}

}  // namespace kx::platform

// ---- the echo probe in process ---------------------------------------------------

namespace kx::platform {

namespace {

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kDestinationUnreachable = 3;
constexpr std::size_t kIcmpHeader = 8;
constexpr std::size_t kMaxDatagram = 1500;

uint16_t internet_checksum(const unsigned char *data, std::size_t length)
{
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2)
        sum += static_cast<uint32_t>(data[length - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint16_t read16(const unsigned char *at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// Fresh random bytes for each probe: no counter kept in the process.
void random_bytes(void *into, std::size_t length)
{
    if (getrandom(into, length, GRND_NONBLOCK) == static_cast<ssize_t>(length))
        return;
    auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    auto *bytes = static_cast<unsigned char *>(into);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(ticks >> (8 * (i % 8)) ^ (i * 131));
}

// The datagram socket first: it needs no privilege where the host's group
// range lets us in, and the kernel hands it only our own answers.
int open_icmp_socket(bool &datagram)
{
    constexpr int kFlags = SOCK_CLOEXEC | SOCK_NONBLOCK;
    int fd = socket(AF_INET, SOCK_DGRAM | kFlags, IPPROTO_ICMP);
    datagram = fd >= 0;
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_RAW | kFlags, IPPROTO_ICMP);
        if (fd >= 0) {
            // A raw socket sees every ICMP message of the host: keep the two
            // kinds the probe reads.
            icmp_filter keep{~((1U << kEchoReply) | (1U << kDestinationUnreachable))};
            setsockopt(fd, SOL_RAW, ICMP_FILTER, &keep, sizeof keep);
        }
    }
    return fd;
}

}  // namespace

EchoProbe::EchoProbe(const in_addr &target) : target_(target)
{
    fd_ = open_icmp_socket(datagram_);
    if (fd_ < 0)
        return;
    random_bytes(&id_, sizeof id_);
    random_bytes(&sequence_, sizeof sequence_);
    random_bytes(nonce_, sizeof nonce_);
    send_echo();
}

EchoProbe::~EchoProbe()
{
    if (fd_ >= 0)
        close(fd_);
}

void EchoProbe::send_echo()
{
    unsigned char packet[kIcmpHeader + sizeof nonce_] = {kEchoRequest, 0, 0, 0,
                                                        static_cast<unsigned char>(id_ >> 8),
                                                        static_cast<unsigned char>(id_),
                                                        static_cast<unsigned char>(sequence_ >> 8),
                                                        static_cast<unsigned char>(sequence_)};
    std::memcpy(packet + kIcmpHeader, nonce_, sizeof nonce_);
    uint16_t sum = internet_checksum(packet, sizeof packet);
    packet[2] = static_cast<unsigned char>(sum >> 8);
    packet[3] = static_cast<unsigned char>(sum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = target_;
    ssize_t sent;
    do
        sent = sendto(fd_, packet, sizeof packet, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to),
                      sizeof to);
    while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(sizeof packet))
        state_ = EchoState::Waiting;
    else if (sent < 0 && (errno == ENETUNREACH || errno == EHOSTUNREACH))
        state_ = EchoState::Unreachable;
    else
        state_ = EchoState::CannotTell;
}

// The kernel sets the identifier of a datagram socket's echo itself and
// hands that socket only the answers to it; a raw socket sees every answer
// of the host, so the identifier must be ours as well.
bool EchoProbe::matches(const unsigned char *icmp, std::size_t length) const
{
    return length >= kIcmpHeader + sizeof nonce_ && icmp[0] == kEchoReply &&
           (datagram_ || read16(icmp + 4) == id_) && read16(icmp + 6) == sequence_ &&
           std::memcmp(icmp + kIcmpHeader, nonce_, sizeof nonce_) == 0;
}

// A router's "destination unreachable" quotes the IP header and the first
// eight bytes of the echo it could not deliver.
bool EchoProbe::refuses_our_echo(const unsigned char *icmp, std::size_t length) const
{
    if (length < kIcmpHeader + 20 || icmp[0] != kDestinationUnreachable)
        return false;
    const unsigned char *quoted = icmp + kIcmpHeader;
    std::size_t header = static_cast<std::size_t>(quoted[0] & 0x0f) * 4;
    if (header < 20 || kIcmpHeader + header + kIcmpHeader > length)
        return false;
    const unsigned char *echo = quoted + header;
    return std::memcmp(quoted + 16, &target_.s_addr, 4) == 0 && echo[0] == kEchoRequest &&
           read16(echo + 4) == id_ && read16(echo + 6) == sequence_;
}

EchoState EchoProbe::on_readable()
{
    unsigned char packet[kMaxDatagram];
    while (state_ == EchoState::Waiting) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t got = recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from),
                               &fromLength);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EHOSTUNREACH || errno == ENETUNREACH || errno == ECONNREFUSED)
                state_ = EchoState::Unreachable;
            break;  // EAGAIN: nothing more for now
        }
        const unsigned char *icmp = packet;
        auto length = static_cast<std::size_t>(got);
        if (!datagram_) {  // a raw socket hands over the IP header too
            std::size_t header = length ? static_cast<std::size_t>(packet[0] & 0x0f) * 4 : length;
            if (header < 20 || header > length)
                continue;
            icmp += header;
            length -= header;
        }
        if (from.sin_addr.s_addr == target_.s_addr && matches(icmp, length))
            state_ = EchoState::Answered;
        else if (refuses_our_echo(icmp, length))
            state_ = EchoState::Unreachable;
    }
    return state_;
}

}  // namespace kx::platform
