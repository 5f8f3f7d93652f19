#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C caller against the
# installed header and library, found through pkg-config. A third argument
# names the sanitizers the library was built with; the caller needs them too.
set -euo pipefail
build=$1 source=$2 sanitize=${3:-}
prefix=$(mktemp -d /tmp/kxsmon-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name kxsmon.pc)")/..
export PKG_CONFIG_PATH=$libdir/pkgconfig
test -x "$prefix/bin/kxsmon"
test -f "$prefix/include/kxsmon.h" && test -f "$prefix/include/kxerrno.h"
cc -std=c11 -Wall -Wextra -Werror ${sanitize:+-fsanitize=$sanitize} "$source" $(pkg-config --cflags --libs kxsmon) -o "$prefix/c_api_test"
LD_LIBRARY_PATH=$libdir "$prefix/c_api_test"
LD_LIBRARY_PATH=$libdir "$prefix/bin/kxsmon" --help >/dev/null
