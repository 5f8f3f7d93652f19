#!/usr/bin/env bash
# The kxsmon command: its commands, output and exit status against a root of
# its own, with a real process as the configured daemon.
set -u
kxsmon=$1
root=$(mktemp -d /tmp/kxsmon-cli.XXXXXX)
daemon_pid=
trap '[ -z "$daemon_pid" ] || kill $daemon_pid; rm -rf "$root"' EXIT
failures=0
check() {  # check DESCRIPTION EXPECTED-STATUS EXPECTED-OUTPUT-PATTERN [ARGS...]
  local what=$1 status=$2 pattern=$3 out rc; shift 3
  out=$(timeout 20 "$kxsmon" "$@" 2>&1); rc=$?  # a hang fails the check
  if [ "$rc" != "$status" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $what: status $rc (want $status), output:"; echo "$out"
    failures=$((failures + 1))
  fi
}

check "help lists the commands" 0 'monitored delete ID' --help
check "no command" 2 'no command given'
check "unknown command" 2 'unknown command' -R "$root" frobnicate
check "relative root" 2 'not an absolute path' -R relative version
check "missing services file" 1 'could not start' -R "$root" version

mkdir -p "$root/etc/opt/ZARNkx" "$root/var/sadm/pkg/ZARNkxo" "$root/opt/ZARNkx/lib" "$root/var/opt/ZARNkx/snmp"
: > "$root/etc/opt/ZARNkx/kxsservices.cfg"
printf 'VERSION=4.2\nINSTDATE=Nov 21 2026 14:31\nBASEDIR=/opt\n' > "$root/var/sadm/pkg/ZARNkxo/pkginfo"
printf '#!/bin/ksh\nprint 1-01\nprint 2-02\n' > "$root/opt/ZARNkx/lib/kxspatches"
chmod 755 "$root/opt/ZARNkx/lib/kxspatches"
check "version" 0 '^Version: +4\.2$' -R "$root" version
check "version json" 0 '^\{"version": "4\.2", "installDate": "Nov 21 2026 14:31"\}$' -R "$root" --json version
check "patches" 0 '^Patches: 1-01, 2-02$' -R "$root" patches
check "set contact" 0 '^Contact: Desk "7"$' -R "$root" contact 'Desk "7"'
check "contact json" 0 '^\{"contact": "Desk \\"7\\""\}$' -R "$root" --json contact
check "add terminal" 0 '^  T1$' -R "$root" monitored add T1
check "list json" 0 '^\{"monitored": \["T1"\]\}$' -R "$root" --json monitored
check "refused terminal" 1 'could not add' -R "$root" monitored add "$(printf 'a%.0s' {1..300})"
check "delete terminal" 0 'Monitored terminals: 0' -R "$root" monitored delete t1
mkfifo "$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data"
check "monitored table a FIFO" 0 'Monitored terminals: 0' -R "$root" monitored
rm -f "$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data"
mkdir -m 0775 "$root/shared" && chmod 0775 "$root/shared"
check "untrusted root" 2 'not an absolute path to a trusted directory' -R "$root/shared" version
check "no daemons configured" 0 '^NAME +STATE' -R "$root" daemons

# A daemon that runs: a copy of sleep under the configured name.
daemon=kxcli$$  # at most 15 characters, as the kernel keeps a process name
cp /bin/sleep "$root/$daemon"
"$root/$daemon" 600 &
daemon_pid=$!
printf 'begin\nname=%s\ndescription=CLI daemon\nend\nbegin\nname=kxcligone\nend\n' "$daemon" \
  > "$root/etc/opt/ZARNkx/kxsservices.cfg"
check "daemons table" 0 "^$daemon +up +1  [0-9-]+ [0-9:]+  [0-9-]+ [0-9:]+  CLI daemon$" -R "$root" daemons
check "daemon down" 0 '^kxcligone +down +0  - +- +$' -R "$root" daemons
check "daemons json" 0 "^  \{\"name\": \"$daemon\", \"status\": 1, \"state\": \"up\", \"instances\": 1, \"stime\": [1-9][0-9]*, \"changetm\": [1-9][0-9]*, \"description\": \"CLI daemon\"\},$" -R "$root" --json daemons
# No session manager answers here: the product is not up.
check "uptime down" 0 '^Up time: down or unknown$' -R "$root" uptime
check "uptime json" 0 '^\{"uptime": 0, "up": false\}$' -R "$root" --json uptime

echo "cli: $failures failed"
[ "$failures" = 0 ]
