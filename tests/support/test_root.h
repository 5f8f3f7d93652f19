// A private product root for one test: a temporary directory made the
// library's root, removed again at the end. Nothing a test writes leaves it.
#pragma once

#include "kxsmon.h"
#include "utils.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace kxtest {

// A handle from kxs_init, released with kxs_freeHandle.
struct HandleDeleter {
    void operator()(KXSHandle *h) const { kxs_freeHandle(h); }
};
using Handle = std::unique_ptr<KXSHandle, HandleDeleter>;

// A text the library allocated, released: "<null>" where it gave none.
inline std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

class TestRoot {
public:
    TestRoot() : path_((std::filesystem::temp_directory_path() / "kxsmon-test.XXXXXX").string())
    {
        if (!mkdtemp(path_.data()) || chmod(path_.c_str(), 0755) != 0 ||
            kx::set_root(path_.c_str()) != 0)
            throw std::runtime_error("no test root at " + path_);
    }
    ~TestRoot()
    {
        kx::set_root(nullptr);
        // Tests make directories unreadable or unwritable: open them up first.
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != decltype(it)();
             it.increment(ec))
            if (it->is_directory(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &path() const { return path_; }
    // `path` (absolute, as the product names it) inside this root.
    std::string at(std::string_view path) const { return path_ + std::string(path); }
    void make_dir(std::string_view path) const { std::filesystem::create_directories(at(path)); }
    // Writes a file under the root, making its directories; returns its path.
    std::string write(std::string_view path, std::string_view contents, int mode = 0644) const
    {
        std::string file = at(path);
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
        chmod(file.c_str(), static_cast<mode_t>(mode));
        return file;
    }
    std::string read(std::string_view path) const
    {
        std::ostringstream all;
        all << std::ifstream(at(path), std::ios::binary).rdbuf();
        return all.str();
    }
    // An empty services file and the core package record (BASEDIR=/opt), so
    // that kxs_init succeeds.
    void lay_out_minimal_product() const
    {
        write("/etc/opt/ZARNkx/kxsservices.cfg", "");
        write("/var/sadm/pkg/ZARNkxo/pkginfo",
              "PKG=ZARNkxo\nVERSION=4.2,REV=2026.11.20\nBASEDIR=/opt\nINSTDATE=Nov 21 2026 14:31\n");
        make_dir("/var/opt/ZARNkx/snmp");
    }

private:
    std::string path_;
};

}  // namespace kxtest
