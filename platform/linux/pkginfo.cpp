// Linux has no System V package tool. The product installs its package
// records the System V way, as <root>/var/sadm/pkg/<PKG>/pkginfo files of
// KEY=VALUE lines, and this adapter answers the tool's two questions from
// that record: BASEDIR is the install base, the other keys are reported as
// "pkginfo -l" lists them.
#include "pkginfo.h"

#include <sstream>
#include <utility>
#include <vector>

namespace kx::platform {
namespace {

constexpr int kNotInstalled = 1 << 8;  // exit code 1

using Record = std::vector<std::pair<std::string, std::string>>;

bool valid_package_name(const std::string &package)
{
    return !package.empty() && package != "." && package != ".." &&
           package.find('/') == std::string::npos;
}

bool read_record(const std::string &root, const std::string &package, RecordReader read,
                 Record &record)
{
    std::string text;
    if (!valid_package_name(package) || !read(root + "/var/sadm/pkg/" + package + "/pkginfo", text))
        return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos || eq == 0)
            continue;
        std::string value = line.substr(eq + 1);
        // pkgadd writes values that hold blanks in double quotes.
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        record.emplace_back(line.substr(0, eq), value);
    }
    return true;
}

const std::string *find_key(const Record &record, const std::string &key)
{
    for (const auto &[k, v] : record)
        if (k == key)
            return &v;
    return nullptr;
}

}  // namespace

PackageToolAnswer package_root_query(const std::string &root, const std::string &package,
                                     RecordReader read)
{
    Record record;
    if (!read_record(root, package, read, record))
        return {"", kNotInstalled};
    const std::string *base = find_key(record, "BASEDIR");
    if (!base)
        return {"", kNotInstalled};
    return {root + *base + "\n", 0};
}

PackageToolAnswer package_info_query(const std::string &root, const std::string &package,
                                     RecordReader read)
{
    Record record;
    if (!read_record(root, package, read, record))
        return {"", kNotInstalled};
    std::string out;
    for (const auto &[key, value] : record) {
        if (key.size() < 10)
            out.append(10 - key.size(), ' ');
        out.append(key).append(":  ").append(value).append("\n");
    }
    return {out, 0};
}

}  // namespace kx::platform
