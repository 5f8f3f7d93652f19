#include "kxsfog.h"

#include "kxsinit.h"

#include <cstdlib>

namespace kx {

void kxs_freeReplicas(KXSHandle *handle)
{
    if (!handle || !handle->replicas)
        return;
    for (char **line = handle->replicas; *line; ++line)
        free(*line);
    free(handle->replicas);
    handle->replicas = nullptr;
    handle->replicaState = 0;
}

}  // namespace kx
