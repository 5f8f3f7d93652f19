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

EchoProbe::EchoProbe(const in_addr &target)
{
    tag_.target = target;
    fd_ = open_icmp_socket(tag_.datagram);
    if (fd_ < 0)
        return;
    random_bytes(&tag_.id, sizeof tag_.id);
    random_bytes(&tag_.sequence, sizeof tag_.sequence);
    random_bytes(tag_.nonce, sizeof tag_.nonce);
    send_echo();
}

EchoProbe::~EchoProbe()
{
    if (fd_ >= 0)
        close(fd_);
}

void EchoProbe::send_echo()
{
    unsigned char packet[kIcmpHeader + sizeof tag_.nonce] = {
        kEchoRequest,
        0,
        0,
        0,
        static_cast<unsigned char>(tag_.id >> 8),
        static_cast<unsigned char>(tag_.id),
        static_cast<unsigned char>(tag_.sequence >> 8),
        static_cast<unsigned char>(tag_.sequence)};
    std::memcpy(packet + kIcmpHeader, tag_.nonce, sizeof tag_.nonce);
    uint16_t sum = internet_checksum(packet, sizeof packet);
    packet[2] = static_cast<unsigned char>(sum >> 8);
    packet[3] = static_cast<unsigned char>(sum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = tag_.target;
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

namespace {

// The kernel sets the identifier of a datagram socket's echo itself and
// hands that socket only the answers to it; a raw socket sees every answer
// of the host, so the identifier must be ours as well.
bool answers_echo(const EchoTag &tag, const unsigned char *icmp, std::size_t length)
{
    return length >= kIcmpHeader + sizeof tag.nonce && icmp[0] == kEchoReply &&
           (tag.datagram || read16(icmp + 4) == tag.id) && read16(icmp + 6) == tag.sequence &&
           std::memcmp(icmp + kIcmpHeader, tag.nonce, sizeof tag.nonce) == 0;
}

// A router's "destination unreachable" quotes the IP header and the first
// eight bytes of the echo it could not deliver.
bool refuses_echo(const EchoTag &tag, const unsigned char *icmp, std::size_t length)
{
    if (length < kIcmpHeader + 20 || icmp[0] != kDestinationUnreachable)
        return false;
    const unsigned char *quoted = icmp + kIcmpHeader;
    std::size_t header = static_cast<std::size_t>(quoted[0] & 0x0f) * 4;
    if (header < 20 || kIcmpHeader + header + kIcmpHeader > length)
        return false;
    const unsigned char *echo = quoted + header;
    return std::memcmp(quoted + 16, &tag.target.s_addr, 4) == 0 && echo[0] == kEchoRequest &&
           read16(echo + 4) == tag.id && read16(echo + 6) == tag.sequence;
}

}  // namespace

EchoState read_echo_datagram(const EchoTag &tag, in_addr from, const unsigned char *packet,
                             std::size_t length)
{
    if (!tag.datagram) {  // a raw socket hands over the IP header too
        std::size_t header = length ? static_cast<std::size_t>(packet[0] & 0x0f) * 4 : 0;
        if (header < 20 || header > length)
            return EchoState::Waiting;
        packet += header;
        length -= header;
    }
    if (from.s_addr == tag.target.s_addr && answers_echo(tag, packet, length))
        return EchoState::Answered;
    if (!tag.datagram && refuses_echo(tag, packet, length))
        return EchoState::Unreachable;
    return EchoState::Waiting;
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
        state_ = read_echo_datagram(tag_, from.sin_addr, packet, static_cast<std::size_t>(got));
    }
    return state_;
}

}  // namespace kx::platform
