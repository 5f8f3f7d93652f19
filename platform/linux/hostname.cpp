#include "hostname.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

namespace kx::platform {

namespace {

using Clock = std::chrono::steady_clock;

// One lookup handed to glibc's resolver threads (getaddrinfo_a). Until
// gai_error says it is done, such a thread writes into `request`, so a
// lookup must outlive it whatever its caller does.
struct Lookup {
    explicit Lookup(const char *host) : name(host)
    {
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;  // one entry an address, not one per socket type
        request.ar_name = name.c_str();
        request.ar_request = &hints;
    }
    ~Lookup()
    {
        if (request.ar_result)
            freeaddrinfo(request.ar_result);
    }
    Lookup(const Lookup &) = delete;
    Lookup &operator=(const Lookup &) = delete;

    bool running() { return gai_error(&request) == EAI_INPROGRESS; }

    std::string name;
    addrinfo hints{};
    gaicb request{};
};

// The lookups whose callers stopped waiting, freed by a later call once
// they are done. A later caller for the same name waits for the one still
// running rather than start another: glibc runs at most 20 lookups at once
// and queues the rest, so one lookup per call would soon hold every resolver
// thread while the name service is silent, and then even names of the
// hosts file would wait. Never destroyed: a resolver thread may still write
// into one of them while the process exits.
struct Unfinished {
    std::mutex lock;
    std::vector<std::shared_ptr<Lookup>> lookups;
};

Unfinished &unfinished()
{
    static auto *left = new Unfinished;
    return *left;
}

// Frees the finished lookups; the one still running for `name`, if any.
std::shared_ptr<Lookup> unfinished_lookup_of(const char *name)
{
    Unfinished &left = unfinished();
    const std::lock_guard<std::mutex> hold(left.lock);
    std::erase_if(left.lookups, [](const std::shared_ptr<Lookup> &lookup) {
        return !lookup->running();
    });
    for (const auto &lookup : left.lookups)
        if (lookup->name == name)
            return lookup;
    return nullptr;
}

// Kept rather than cancelled: glibc keeps what it allocated for a cancelled
// request.
void leave_running(const std::shared_ptr<Lookup> &lookup)
{
    Unfinished &left = unfinished();
    const std::lock_guard<std::mutex> hold(left.lock);
    if (std::find(left.lookups.begin(), left.lookups.end(), lookup) == left.lookups.end())
        left.lookups.push_back(lookup);
}

// A new lookup of `name`, started; nullptr when glibc cannot take it. Its
// last owner frees it only once it is done, and loses it otherwise (were
// the list above to refuse it for want of memory).
std::shared_ptr<Lookup> start_lookup(const char *name)
{
    std::shared_ptr<Lookup> lookup(new Lookup(name), [](Lookup *done) {
        if (!done->running())
            delete done;
    });
    gaicb *requests[] = {&lookup->request};
    if (getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0)
        return nullptr;
    return lookup;
}

// Waits for `lookup` until `deadline`, each round only for what is left of
// it, so a signal never restarts the wait with its whole time. True when the
// lookup is done.
bool wait_for(Lookup &lookup, Clock::time_point deadline)
{
    const gaicb *const waited[] = {&lookup.request};
    while (lookup.running()) {
        timespec left{};
        const timespec *timeout = nullptr;
        if (deadline != Clock::time_point::max()) {
            const auto rest = deadline - Clock::now();
            if (rest <= Clock::duration::zero())
                return false;
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(rest);
            left.tv_sec = static_cast<time_t>(seconds.count());
            left.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(rest - seconds).count());
            timeout = &left;
        }
        const int rc = gai_suspend(waited, 1, timeout);
        if (rc != 0 && rc != EAI_AGAIN && rc != EAI_INTR)
            return !lookup.running();  // the wait itself failed
    }
    return true;
}

}  // namespace

bool resolve_ipv4(const char *name, in_addr &address, Clock::time_point deadline)
{
    if (!name)
        return false;
    in_addr_t dotted = inet_addr(name);
    if (dotted != INADDR_NONE) {
        address.s_addr = dotted;
        return true;
    }
    // Asynchronous, so that a name service that does not answer costs the
    // caller its deadline rather than the resolver's own time-outs.
    std::shared_ptr<Lookup> lookup = unfinished_lookup_of(name);
    if (!lookup)
        lookup = start_lookup(name);
    if (!lookup)
        return false;
    if (!wait_for(*lookup, deadline)) {
        leave_running(lookup);
        return false;
    }
    const addrinfo *found = lookup->request.ar_result;
    if (gai_error(&lookup->request) != 0 || !found || found->ai_family != AF_INET ||
        found->ai_addrlen < sizeof(sockaddr_in))
        return false;
    std::memcpy(&address, &reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr,
                sizeof address);
    return true;
}

int service_port(const char *name, const char *protocol)
{
    if (!name || !protocol)
        return 0;
    // A services entry of more than this is taken as not found.
    constexpr std::size_t kMaxWork = 65536;
    servent entry{};
    servent *found = nullptr;
    std::vector<char> work(1024);
    int rc;
    while ((rc = getservbyname_r(name, protocol, &entry, work.data(), work.size(), &found)) ==
               ERANGE &&
           work.size() < kMaxWork)
        work.resize(work.size() * 2);
    if (rc != 0 || !found)
        return 0;
    return ntohs(static_cast<uint16_t>(found->s_port));
}

bool local_host_name(std::string &name)
{
    char text[128];
    if (gethostname(text, sizeof text) != 0)
        return false;
    text[sizeof text - 1] = '\0';  // a cut name need not be terminated
    name = text;
    return true;
}

}  // namespace kx::platform
