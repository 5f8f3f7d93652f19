#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a C caller against the
# installed header and library, found through pkg-config, and runs the
# installed tools: kxsmon, its demo from the installed files alone, and
# the files an operator needs beside them. A third argument names the
# sanitizers the library was built with; the caller needs them too; a
# fourth is ON when the agent was built.
set -euo pipefail
build=$1 source=$2 sanitize=${3:-} agent=${4:-ON}
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
LD_LIBRARY_PATH=$libdir "$prefix/bin/kxsmon" --version | grep -qE '^kxsmon [0-9.]+ \(libkxsmon [0-9.]+\)$'

# What an operator reads and installs.
for file in share/man/man1/kxsmon.1 share/kxsmon/report.schema.json share/kxsmon/kxdesktop.ldif \
  share/bash-completion/completions/kxsmon lib/systemd/system/kxsmon-textfile.service \
  lib/systemd/system/kxsmon-textfile.timer; do
  test -f "$prefix/$file" || { echo "not installed: $file"; exit 1; }
done
grep -q '^ExecStart=/.*/kxsmon --format prom .*--output /var/lib/prometheus/node-exporter/kxsmon.prom$' \
  "$prefix/lib/systemd/system/kxsmon-textfile.service"
if [ "$agent" = ON ]; then
  for file in share/man/man8/kxsmon-agentx.8 share/snmp/mibs/KXSMON-MIB.txt share/snmp/mibs/SNMPv2-SMI.txt \
    share/snmp/mibs/SNMPv2-TC.txt share/snmp/mibs/SNMPv2-CONF.txt share/snmp/mibs/INET-ADDRESS-MIB.txt; do
    test -f "$prefix/$file" || { echo "not installed: $file"; exit 1; }
  done
fi

# The installed demo runs from the installed files (a kxsmon that is not the
# build tree's takes its scripts and simulated server from beside itself).
status=0
LD_LIBRARY_PATH=$libdir "$prefix/bin/kxsmon" demo >"$prefix/demo.out" 2>&1 || status=$?
[ "$status" = 77 ] || { [ "$status" = 0 ] && grep -qx 'Monitored terminals' "$prefix/demo.out"; } ||
  { echo "installed demo: status $status"; cat "$prefix/demo.out"; exit 1; }
