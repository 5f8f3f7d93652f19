#include "snapshot.h"

#include <algorithm>
#include <arpa/inet.h>

namespace kxagent {

Value Value::string(const char *s, size_t limit)
{
    Value v{Asn::OctetString, 0, {}};
    if (s)
        v.text.assign(s, std::min(limit, std::char_traits<char>::length(s)));
    return v;
}

Value Value::ip(const char *dotted)
{
    in_addr address{};
    if (!dotted || inet_pton(AF_INET, dotted, &address) != 1)
        address.s_addr = 0;
    return {Asn::IpAddress, static_cast<int64_t>(address.s_addr), {}};
}

// Every object lies below kxsObjects, the first arc of the module.
constexpr Subid kObjects = 1;
constexpr Subid kEntry = 1;

Oid table_cell(Subid table, Subid column, const Oid &index)
{
    Oid oid{kObjects, table, kEntry, column};
    oid.insert(oid.end(), index.begin(), index.end());
    return oid;
}

Oid system_scalar(Subid number)
{
    return {kObjects, 1, number, 0};
}

Oid text_index(std::string_view id)
{
    if (id.empty() || id.size() > kMaxIndexBytes)
        return {};
    Oid index;
    for (unsigned char c : id)
        index.push_back(c);
    return index;
}

bool has_prefix(const Oid &oid, const Oid &prefix)
{
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

}  // namespace kxagent
