#include "admin_ustatus.h"

#include "admin.h"

#include <fcntl.h>
#include <string>

namespace kx {

int dbm_open_flags(int mode)
{
    return mode == KXA_ANONYMOUS ? O_RDONLY : O_RDWR;
}

DBM *open_user_dbm(const char *path, int mode)
{
    if (!path)
        return nullptr;
    std::string name(path);  // dbm_open takes a non-const name
    return dbm_open(name.data(), dbm_open_flags(mode), 0664);
}

}  // namespace kx
