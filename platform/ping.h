// The host's reachability probe, as the library uses it.
//
// The probe sends one ICMP echo and waits at most five seconds for the
// answer: from the process itself where the host gives it an ICMP socket,
// otherwise through the host system's ping. Of the host's ping the caller
// relies on the exit status: 0 when the host answered in time, anything else
// when it did not; where that status is lost, on what the program printed.
#pragma once

#include "spawner.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <netinet/in.h>

namespace kx::platform {

// Seconds that the probe waits for the host's answer.
constexpr int kPingWaitSeconds = 5;

// ---- the host's ping, where no ICMP socket can be had ---------------------------

// Runs the host's ping for `host` as a bounded child: its own process group,
// /dev/null as input and error output, its output captured, and an
// environment that holds only a fixed PATH. Killed when `bound` runs out.
SpawnResult run_ping(const char *host, std::chrono::milliseconds bound);

// Whether the probe's output says that the host answered.
bool ping_output_shows_answer(std::string_view output);

// Replaces the calling process with the host's ping, with the same program,
// arguments and environment as run_ping. Returns only when the program could
// not be started, with the errno value. Meant for a freshly forked child whose
// descriptors are already set up: it allocates nothing.
int exec_ping(const char *host);

// ---- the echo probe in process ---------------------------------------------------

// What one echo probe has learnt so far.
enum class EchoState {
    Waiting,      // sent; no answer yet
    Answered,     // the target answered our echo
    Unreachable,  // the network said the target cannot be reached
    CannotTell,   // the echo could not be sent
};

// What identifies one echo: its target, identifier, sequence and payload,
// and whether it went over a datagram socket (whose identifier the kernel
// sets, and which receives no IP header).
struct EchoTag {
    in_addr target{};
    bool datagram = false;
    uint16_t id = 0;
    uint16_t sequence = 0;
    unsigned char nonce[16] = {};
};

// What one datagram received from `from` says about the echo `tag`:
// Answered, Unreachable (a router could not deliver it), or Waiting (the
// datagram is not about this echo).
EchoState read_echo_datagram(const EchoTag &tag, in_addr from, const unsigned char *packet,
                             std::size_t length);

// One ICMP echo to an IPv4 address, sent from this process: over an ICMP
// datagram socket where the host lets this process's group have one
// (net.ipv4.ping_group_range), else over a raw socket (root). The socket is
// close-on-exec and non-blocking; the caller waits for it to become readable
// (fd()) and then calls on_readable(). Only the answer to this very echo
// counts: same source, identifier, sequence and payload. Nothing is shared
// between probes, so probes of several threads never see each other's
// answers as their own.
class EchoProbe {
public:
    explicit EchoProbe(const in_addr &target);
    ~EchoProbe();
    EchoProbe(const EchoProbe &) = delete;
    EchoProbe &operator=(const EchoProbe &) = delete;

    // False when neither socket could be had: only the host's ping can tell.
    bool has_socket() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    EchoState state() const { return state_; }
    // Reads every datagram waiting on the socket; the state after them.
    EchoState on_readable();

private:
    void send_echo();

    EchoTag tag_;
    int fd_ = -1;
    EchoState state_ = EchoState::CannotTell;
};

}  // namespace kx::platform
