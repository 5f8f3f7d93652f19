#include "test_root.h"

#include "utils.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <grp.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kxtest {

TestRoot::TestRoot()
{
    std::string pattern = (fs::temp_directory_path() / "kxsmon-test.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    chmod(path_.c_str(), 0755);  // reachable by run_unprivileged's child
    if (kx::set_root(path_.c_str()) != 0)
        throw std::runtime_error("set_root failed");
}

TestRoot::~TestRoot()
{
    kx::set_root(nullptr);
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TestRoot::at(std::string_view productPath) const
{
    return path_ + std::string(productPath);
}

void TestRoot::make_dir(std::string_view productPath) const
{
    fs::create_directories(at(productPath));
}

std::string TestRoot::write(std::string_view productPath, std::string_view contents, int mode) const
{
    std::string file = at(productPath);
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    chmod(file.c_str(), static_cast<mode_t>(mode));
    return file;
}

std::string TestRoot::read(std::string_view productPath) const
{
    std::ifstream in(at(productPath), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool TestRoot::exists(std::string_view productPath) const
{
    return fs::exists(at(productPath));
}

void TestRoot::lay_out_minimal_product() const
{
    write("/etc/opt/ZARNkx/kxsservices.cfg", "");
    write("/var/sadm/pkg/ZARNkxo/pkginfo",
          "PKG=ZARNkxo\nVERSION=4.2,REV=2026.11.20\nBASEDIR=/opt\nINSTDATE=Nov 21 2026 14:31\n");
    make_dir("/var/opt/ZARNkx/snmp");
}

int run_unprivileged(int (*body)(void *), void *arg)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (geteuid() == 0) {
            const uid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                setresuid(nobody, nobody, nobody) != 0)
                _exit(125);
        }
        _exit(body(arg));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kxtest
