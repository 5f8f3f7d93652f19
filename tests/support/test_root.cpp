#include "test_root.h"

#include "utils.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kxtest {

TestRoot::TestRoot()
{
    path_ = (fs::temp_directory_path() / "kxsmon-test.XXXXXX").string();
    if (!mkdtemp(path_.data()))
        throw std::runtime_error("mkdtemp failed");
    chmod(path_.c_str(), 0755);  // reachable by other users
    if (kx::set_root(path_.c_str()) != 0)
        throw std::runtime_error("set_root failed");
}

TestRoot::~TestRoot()
{
    kx::set_root(nullptr);
    std::error_code ec;
    // Tests make directories unreadable or unwritable: open them up first.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != decltype(it)();
         it.increment(ec))
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TestRoot::write(std::string_view productPath, std::string_view contents, int mode) const
{
    std::string file = at(productPath);
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
    chmod(file.c_str(), static_cast<mode_t>(mode));
    return file;
}

std::string TestRoot::read(std::string_view productPath) const
{
    std::ostringstream all;
    all << std::ifstream(at(productPath), std::ios::binary).rdbuf();
    return all.str();
}

void TestRoot::lay_out_minimal_product() const
{
    write("/etc/opt/ZARNkx/kxsservices.cfg", "");
    write("/var/sadm/pkg/ZARNkxo/pkginfo",
          "PKG=ZARNkxo\nVERSION=4.2,REV=2026.11.20\nBASEDIR=/opt\nINSTDATE=Nov 21 2026 14:31\n");
    make_dir("/var/opt/ZARNkx/snmp");
}

}  // namespace kxtest
