// The network interfaces of this server, as the failover group sees them.
#pragma once

namespace kx {

// The host's own verdict on an interface: KXS_IF_UP or KXS_IF_DOWN. Up also
// when neither its flags nor its data link can be read.
int _check_interface_status(const char *ifname);

}  // namespace kx
