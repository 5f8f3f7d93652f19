// The failover group.
#pragma once

struct KXSHandle;

namespace kx {

// Releases the handle's replica lines; they are fetched again when next needed.
void kxs_freeReplicas(KXSHandle *handle);

}  // namespace kx
