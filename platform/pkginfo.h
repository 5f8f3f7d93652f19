// The host's package tool, as the library uses it.
//
// Two questions are asked of it: where a package is installed ("-r") and its
// descriptive record ("-l"). The answer is what the tool would print on its
// standard output and the wait status it would end with, so that callers
// parse it exactly as they would parse the tool's output.
#pragma once

#include <string>

namespace kx::platform {

struct PackageToolAnswer {
    std::string output;  // what the tool prints, line by line
    int waitStatus = 0;  // as waitpid reports it: exit code in bits 8 to 15
};

// Reads a package record whole; false when it is missing or refused. The
// caller decides how product files are opened and bounded.
using RecordReader = bool (*)(const std::string &path, std::string &contents);

// `pkginfo -r PACKAGE`: one line, the package's install root, exit code 0;
// nothing and exit code 1 when the package is not installed.
PackageToolAnswer package_root_query(const std::string &root, const std::string &package,
                                     RecordReader read);

// `pkginfo -l PACKAGE`: one "KEY:  VALUE" line for every field of the package
// record, exit code 0; nothing and exit code 1 when it is not installed.
PackageToolAnswer package_info_query(const std::string &root, const std::string &package,
                                     RecordReader read);

}  // namespace kx::platform
