#include "admin_ustatus.h"

#include "admin.h"
#include "utils.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace kx {

int dbm_open_flags(int mode)
{
    return mode == KXA_ANONYMOUS ? O_RDONLY : O_RDWR;
}

namespace {

// Whether a file of a database is one that no other user could have
// planted: a regular file (never a FIFO to hang on, nor a link) in trusted
// directories. The index file may be missing; dbm_open judges that.
bool trusted_dbm_file(const std::string &path, bool required)
{
    int fd = open_product_file(path);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    return !required && errno == ENOENT;
}

}  // namespace

DBM *open_status_dbm(const char *path, int mode)
{
    if (!path)
        return nullptr;
    std::string name(path);  // dbm_open takes a non-const name
    if (!trusted_dbm_file(name + ".pag", true) || !trusted_dbm_file(name + ".dir", false))
        return nullptr;
    DBM *db = dbm_open(name.data(), dbm_open_flags(mode) | O_CLOEXEC, 0664);
    if (db) {
        // Read with calls, not through a mapping: a database that its writer
        // truncates while it is open would end the host with SIGBUS. Where
        // the library maps nothing the option fails, harmlessly.
        int off = 0;
        gdbm_setopt(db->file, GDBM_SETMMAP, &off, sizeof off);
    }
    return db;
}

DBM *open_user_dbm(const char *path, int mode)
{
    return open_status_dbm(path, mode);
}

}  // namespace kx
