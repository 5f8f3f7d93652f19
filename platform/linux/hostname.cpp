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

using Clock = std::chrono::steady_clock;

// IPv4 only, and one entry an address rather than one per socket type.
constexpr addrinfo kHints{0, AF_INET, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};

// One lookup handed to glibc's resolver threads (getaddrinfo_a). Until
// gai_error says it is done, such a thread writes into `request`, so a
// lookup must outlive it whatever its caller does.
struct NameLookup {
    explicit NameLookup(const char *host) : name(host)
    {
        request.ar_name = name.c_str();
        request.ar_request = &kHints;
    }
    ~NameLookup()
    {
        if (request.ar_result)
            freeaddrinfo(request.ar_result);
    }
    NameLookup(const NameLookup &) = delete;
    NameLookup &operator=(const NameLookup &) = delete;

    bool running() { return gai_error(&request) == EAI_INPROGRESS; }

    std::string name;
    gaicb request{};
};

namespace {

// The lookups that are running or held by a HostLookup. A lookup of a name
// that is already being looked up, or whose address someone still holds,
// shares that one rather than start another: each lookup costs a hand-over
// to one of glibc's resolver threads (often a new thread), and glibc runs
// at most 20 lookups at once and queues the rest, so one lookup per call
// would soon hold every resolver thread while the name service is silent,
// and then even names of the hosts file would wait. A lookup that nobody
// waits for any more while it runs is kept until it is done, then freed by
// a later lookup. Never destroyed: a resolver thread may still write into a
// lookup while the process exits.
struct Lookups {
    std::mutex lock;
    std::vector<std::weak_ptr<NameLookup>> held;
    std::vector<std::shared_ptr<NameLookup>> abandoned;
};

Lookups &lookups()
{
    static auto *all = new Lookups;
    return *all;
}

// Under the lock: drops what is done with, and gives the lookup of `name`
// that is running or held, if any.
std::shared_ptr<NameLookup> shared_lookup_of(Lookups &all, const char *name)
{
    std::erase_if(all.abandoned,
                  [](const std::shared_ptr<NameLookup> &lookup) { return !lookup->running(); });
    std::erase_if(all.held, [](const std::weak_ptr<NameLookup> &lookup) { return lookup.expired(); });
    for (const auto &lookup : all.abandoned)
        if (lookup->name == name)
            return lookup;
    for (const auto &held : all.held)
        if (std::shared_ptr<NameLookup> lookup = held.lock(); lookup && lookup->name == name)
            return lookup;
    return nullptr;
}

// Kept rather than cancelled: glibc keeps what it allocated for a cancelled
// request.
void abandon(const std::shared_ptr<NameLookup> &lookup)
{
    Lookups &all = lookups();
    const std::lock_guard<std::mutex> hold(all.lock);
    if (std::find(all.abandoned.begin(), all.abandoned.end(), lookup) == all.abandoned.end())
        all.abandoned.push_back(lookup);
}

// A new lookup of `name`, started; nullptr when glibc cannot take it. Its
// last owner frees it only once it is done, and loses it otherwise (were
// the lists above to refuse it for want of memory).
std::shared_ptr<NameLookup> start_lookup(const char *name)
{
    std::shared_ptr<NameLookup> lookup(new NameLookup(name), [](NameLookup *done) {
        if (!done->running())
            delete done;
    });
    gaicb *requests[] = {&lookup->request};
    if (getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0)
        return nullptr;
    return lookup;
}

// The first IPv4 address of what a lookup found.
bool first_address(const addrinfo *found, in_addr &address)
{
    if (!found || found->ai_family != AF_INET || found->ai_addrlen < sizeof(sockaddr_in))
        return false;
    std::memcpy(&address, &reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr,
                sizeof address);
    return true;
}

// The lookup of a ThreadSanitizer build, in the calling thread.
bool look_up_here(const char *name, in_addr &address)
{
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &kHints, &found) != 0)
        return false;
    const bool known = first_address(found, address);
    freeaddrinfo(found);
    return known;
}

// Waits for `lookup` until `deadline`, each round only for what is left of
// it, so a signal never restarts the wait with its whole time. True when the
// lookup is done.
bool wait_for(NameLookup &lookup, Clock::time_point deadline)
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

HostLookup::HostLookup(const char *name)
{
    if (!name || !*name)
        return;
    in_addr_t dotted = inet_addr(name);
    if (dotted != INADDR_NONE) {
        known_ = true;
        address_.s_addr = dotted;
        return;
    }
    if (!kLookupsKeepDeadlines) {
        known_ = look_up_here(name, address_);
        return;
    }
    // Asynchronous, so that a name service that does not answer costs the
    // caller its deadline rather than the resolver's own time-outs.
    Lookups &all = lookups();
    const std::lock_guard<std::mutex> hold(all.lock);
    lookup_ = shared_lookup_of(all, name);
    if (lookup_)
        return;
    lookup_ = start_lookup(name);
    if (lookup_)
        all.held.push_back(lookup_);
}

HostLookup::~HostLookup()
{
    if (lookup_ && lookup_->running())
        abandon(lookup_);
}

bool HostLookup::wait(in_addr &address, Clock::time_point deadline)
{
    if (known_) {
        address = address_;
        return true;
    }
    if (!lookup_ || !wait_for(*lookup_, deadline))
        return false;
    return gai_error(&lookup_->request) == 0 && first_address(lookup_->request.ar_result, address);
}

bool resolve_ipv4(const char *name, in_addr &address, Clock::time_point deadline)
{
    return HostLookup(name).wait(address, deadline);
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
