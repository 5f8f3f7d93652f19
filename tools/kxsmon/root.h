// The product root as an operator gives it: why one is refused, and why the
// library found no product to start on. Each says what is wrong in words,
// where the library's own reasons go to the system log.
#pragma once

#include <string>

namespace kxsmon {

// Why the absolute directory `root` cannot be the product root: it does not
// exist, is no directory, or is not trusted (a directory of it, or of the
// product's under it, owned by another user or writable by others); "" when
// none of these holds.
std::string root_refusal(const std::string &root);

// Why the library could not start on `root` ("" for none): no product found
// (no services file), or the services file could not be read.
std::string start_failure(const std::string &root);

}  // namespace kxsmon
