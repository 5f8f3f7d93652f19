#include "hostname.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

namespace kx::platform {

bool resolve_ipv4(const char *name, in_addr &address)
{
    if (!name)
        return false;
    in_addr_t dotted = inet_addr(name);
    if (dotted != INADDR_NONE) {
        address.s_addr = dotted;
        return true;
    }
    // The reentrant lookup reports a work buffer that is too small with
    // ERANGE; grow it and ask again.
    std::vector<char> work(512);
    hostent entry{};
    hostent *result = nullptr;
    int lookupError = 0;
    int rc;
    while ((rc = gethostbyname_r(name, &entry, work.data(), work.size(), &result,
                                 &lookupError)) == ERANGE)
        work.resize(work.size() * 2);
    if (rc != 0 || !result || result->h_addrtype != AF_INET || !result->h_addr_list[0])
        return false;
    std::memcpy(&address, result->h_addr_list[0], sizeof address);
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
