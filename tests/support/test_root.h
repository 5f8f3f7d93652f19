// A private product root for one test: a temporary directory made the
// library's root, removed again at the end. Nothing a test writes leaves it.
#pragma once

#include "kxsmon.h"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace kxtest {

// A handle from kxs_init, released with kxs_freeHandle.
struct HandleDeleter {
    void operator()(KXSHandle *h) const { kxs_freeHandle(h); }
};
using Handle = std::unique_ptr<KXSHandle, HandleDeleter>;

class TestRoot {
public:
    TestRoot();
    ~TestRoot();
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &path() const { return path_; }
    // `path` (absolute, as the product names it) inside this root.
    std::string at(std::string_view path) const { return path_ + std::string(path); }
    bool exists(std::string_view path) const { return std::filesystem::exists(at(path)); }
    void make_dir(std::string_view path) const { std::filesystem::create_directories(at(path)); }
    // Writes a file under the root, making its directories; returns its path.
    std::string write(std::string_view path, std::string_view contents, int mode = 0644) const;
    std::string read(std::string_view path) const;
    // An empty services file and the core package record (BASEDIR=/opt), so
    // that kxs_init succeeds.
    void lay_out_minimal_product() const;

private:
    std::string path_;
};

}  // namespace kxtest
