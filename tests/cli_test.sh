#!/usr/bin/env bash
# The kxsmon command end to end, inside the network sandbox: a test root
# with the simulated server running as the product's daemons; its options,
# usage errors and roots, sections, the three output forms, the text's
# width, exit status, figures that are not known (daemons stopped, a run's
# time-out, a library that cannot start), the unowned limit the agent
# stores, failed writes, the output file, and the demo.
#   cli_test.sh KXSMON KXS-SIMD SCHEMA
set -u
export LC_ALL=C
kxsmon=$1 simd=$2 schema=$3
root=$(mktemp -d /tmp/kxsmon-cli.XXXXXX)
pids=()
trap '[ ${#pids[@]} = 0 ] || kill -CONT "${pids[@]}"; [ ${#pids[@]} = 0 ] || kill "${pids[@]}"; wait; rm -rf "$root"' EXIT
failures=0 out= err= rc=
fail() { echo "FAIL: $*"; echo "stdout: $out"; echo "stderr: $err"; failures=$((failures + 1)); }
run() { out=$(cd "$root" && timeout 60 "$kxsmon" "$@" 2>"$root/err"); rc=$?; err=$(<"$root/err"); }
check() {  # check DESCRIPTION STATUS STDOUT-PATTERN STDERR-PATTERN [ARGS...]
  local what=$1 status=$2 pattern=$3 errPattern=$4; shift 4
  run "$@"
  if [ "$rc" != "$status" ] || ! grep -qE -- "$pattern" <<<"$out" || ! grep -qE -- "$errPattern" <<<"$err"; then
    fail "$what: status $rc (want $status)"
  fi
  # A usage error is a line and a hint, not the help.
  [ "$status" != 2 ] || [ "$(wc -l <<<"$err")" -le 2 ] || fail "$what: more than a line and a hint"
}
widest() {  # the display columns of the widest line of standard output
  python3 -c 'import sys, unicodedata
print(max([sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in l)
           for l in sys.stdin.read().splitlines()] or [0]))' <<<"$out"
}
json_check() {  # json_check DESCRIPTION PYTHON-EXPRESSION-OVER-d: the document also matches the schema
  python3 -c 'import json, sys, jsonschema
d = json.loads(sys.stdin.read()); jsonschema.validate(d, json.load(open(sys.argv[1])))
sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' "$schema" "$2" <<<"$out" || fail "$1"
}

# The test root: the simulated server as both managers (with its sessions,
# terminals, an interface, a DHCP network and a member that is down), a
# daemon that does not run, a patch lister, a policy tool, the package record.
mkdir -p "$root/etc/opt/ZARNkx" "$root/var/sadm/pkg/ZARNkxo" "$root/opt/ZARNkx/lib" \
  "$root/var/opt/ZARNkx/snmp" "$root/bin"
printf 'VERSION=4.2\nINSTDATE=Nov 21 2026 14:31\nBASEDIR=/opt\n' >"$root/var/sadm/pkg/ZARNkxo/pkginfo"
printf '#!/bin/ksh\nprint 1-01\nprint 2-02\n' >"$root/opt/ZARNkx/lib/kxspatches"
mkdir -p -m 755 "$root/opt/ZARNkx/sbin"
printf '#!/bin/ksh\nprint "# policy"\nprint "/opt/ZARNkx/sbin/kxpolicy -c both"\n' >"$root/opt/ZARNkx/sbin/kxpolicy"
chmod 755 "$root/opt/ZARNkx/lib/kxspatches" "$root/opt/ZARNkx/sbin/kxpolicy"
printf 'begin\nname=%s\nport=%s\nend\n' kxauthd 7010 kxsessiond 7007 >"$root/etc/opt/ZARNkx/kxsservices.cfg"
printf 'begin\nname=kxgone\ndescription=Gone "away"\nend\n' >>"$root/etc/opt/ZARNkx/kxsservices.cfg"
printf 'begin\nname=kxlong\ndescription=%s\nend\n' "Watches $(printf 'x%.0s' {1..80}) and ends here" \
  >>"$root/etc/opt/ZARNkx/kxsservices.cfg"
printf 'host kxtest-host 127.0.0.1 trusted\nauthmanager kxtest-host starttime=%d\nsessionmanager kxtest-host stime=%d\n' \
  $(( $(date +%s) - 7200 )) $(( $(date +%s) - 7200 )) >"$root/scn"
cat >>"$root/scn" <<'EOF'
host kxmember2 127.0.0.2 trusted down lastseen 100 period 20
interface kxtest-host eth0 192.168.10.5 255.255.255.0 192.168.10.255 lastpkt 3 lan
terminal kxtest-host terminalId=IEEE802.0800208a0001 terminalIPA=192.168.20.1 terminalCID=c1 firmware=4.1 terminalConnectTime=600 terminalPackets=300 terminalLostPackets=100 tokenName=T.1
terminal kxtest-host terminalId=IEEE802.0800208a0002 terminalIPA=192.168.20.2 terminalCID=c2 terminalConnectTime=900 terminalPackets=0 tokenName=T.2
terminal kxtest-host terminalId=IEEE802.0800208a0003 terminalIPA=192.168.20.3 terminalCID=c3 terminalConnectTime=30 terminalPackets=0 tokenName=T.3
session :3 T.1 uid=1000
session :4 T.2 idle uid=1001
session :5 T.9 uid=1002
dhcp 192.168.10.0 37
EOF
# The interface the group manager names: one end of a veth pair whose other
# end is up, so that the host can tell that its link is up.
ip link add eth0 type veth peer name eth0-peer && ip link set eth0-peer up && ip link set eth0 up
ln -s "$simd" "$root/bin/kxauthd"; ln -s "$simd" "$root/bin/kxsessiond"
"$root/bin/kxauthd" --sm-port 17007 --root "$root" "$root/scn" 2>/dev/null & pids+=($!)
"$root/bin/kxsessiond" --am-port 17010 "$root/scn" 2>/dev/null & pids+=($!)
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/7007 && exec 3<>/dev/tcp/127.0.0.1/7010) 2>/dev/null && break; sleep 0.1; done
sleep 1

mkdir -m 775 "$root/shared"
sections() {
  [ "$(grep -cxE 'Version|Patches|Up time|Sessions|Users|Desktops|Contact|Policy|Daemons|Interfaces|DHCP|Failover group|Monitored terminals|Terminals of this server' <<<"$out")" = 14 ]
}
run --root="$root"
{ [ "$rc" = 0 ] && sections; } || fail "report: every section"
long=$(printf 'a%.0s' {1..300})
while IFS='~' read -r what status pattern errPattern args; do
  eval "set -- $args"
  check "$what" "$status" "$pattern" "$errPattern" "$@"
done <<EOF2
help anywhere before --~0~monitored delete ID~^$~version --help
the versions~0~^kxsmon [0-9]+\.[0-9]+\.[0-9]+ \(libkxsmon [0-9]+\.[0-9]+\.[0-9]+\)$~^$~--version
no root option value~2~~^kxsmon: -R needs a value$~-R
an empty root~2~~^kxsmon: -R needs a directory \(an empty name is not one\)$~-R ''
an empty root, long~2~~-R needs a directory~--root= version
unknown option~2~~^kxsmon: unknown option --frob$~--frob
unknown short option~2~~^kxsmon: unknown option -q$~-vq
an option that takes no value~2~~^kxsmon: --json takes no value$~--json=yes
the hint~2~~^Try 'kxsmon --help' for more information\.$~--frob
unknown section~2~~^kxsmon: unknown section frobnicate$~-R "$root" frobnicate
bad format~2~~unknown format~--format xml
bad limit~2~~--limit takes a number~--limit 4294967296
a word that is no section~2~~unknown section now~-R "$root" version now
contact with two texts~2~~at most one TEXT~-R "$root" contact a b
monitored misuse~2~~monitored takes~-R "$root" monitored add
missing root~2~~^kxsmon: $root/none cannot be the root: there is no such directory$~-R "$root/none" version
a file as the root~2~~^kxsmon: $root/scn cannot be the root: it is not a directory$~-R "$root/scn" version
untrusted root~2~~^kxsmon: $root/shared refused as the root: $root/shared is writable by group or others~-R "$root/shared" version
no product under the root~1~~^kxsmon: no product found under /var: there is no /var/etc/opt/ZARNkx/kxsservices\.cfg~-R /var version
relative root, option after the command~0~^  version +4\.2$~^$~version -R .
up time in words~0~^  2 hours, 0 minutes \(7[12][0-9][0-9] s\)$~^$~uptime -R .
daemons table~0~^  kxsessiond +up +1 +[0-9a-z ]+ ago +[0-9a-z ]+ ago$~^$~daemons -R .
times in full with the zone~0~^  kxsessiond +up +1 +20[0-9-]+ [0-9:]+ [+-][0-9]{4} +20[0-9-]+ [0-9:]+ [+-][0-9]{4}~^$~daemons -l -R .
a daemon down~0~^  kxgone +down +0 +- +- +Gone "away"$~^$~daemons -R .
a description cut to fit~0~^  kxlong +down +0 +- +- +Watches x+…$~^$~daemons -R .
in full with -l~0~^  kxlong +down +0 +- +- +Watches x{80} and ends here$~^$~daemons --long -R .
several sections~0~^Failover group$~^$~daemons group -R .
-- ends the options~0~^  --help$~^$~-R . contact -- --help
refused terminal says why~1~~one line of at most 254 characters~-R . monitored add $long
sessions: an idle one not counted~0~^  Total +2$~^$~sessions -R .
sessions: a detached one not active~0~^  Active +1$~^$~sessions -R .
policy: the command line's options~0~^  -c both$~^$~policy -R .
interface with its packet age~0~^  eth0 +192\.168\.10\.5 +255\.255\.255\.0 +up +3 s ago +LAN$~^$~interfaces -R .
DHCP network~0~^  192\.168\.10\.0 +37$~^$~dhcp -R .
a member down~0~^  kxmember2 +no data sharing +down$~^$~group -R .
terminal without packets past the limit~0~^  0800208a0002 +unowned +192\.168\.20\.2 +kxtest-host +- +-$~^$~exceptions --limit 600 -R .
every column with -l~0~^  0800208a0002 +unowned +192\.168\.20\.2 +kxtest-host +IEEE802 +- +0 +0 +- +-$~^$~exceptions -l --limit 600 -R .
terminal within the limit~0~^  3 on this server: 3 owned$~^$~exceptions --limit=901 -R .
the agent's limit by default~0~^  3 on this server: 2 owned, 1 unowned$~^$~exceptions -R .
loss of a terminal~0~^  0800208a0001 +owned +192\.168\.20\.1 +kxtest-host +25\.00% +-$~^$~exceptions -R .
its packets~0~^  0800208a0001 +owned .* 4\.1 +300 +100 +25\.00% +-$~^$~exceptions -l -R .
absent terminal: no figures~0~^  080020ffee01 +absent +- +- +- +-$~^$~-R . monitored add 080020ffee01
absent terminal, every column~0~^  080020ffee01 +absent( +-){8}$~^$~-R . -l monitored
monitored terminals~0~^  2 monitored: 1 absent, 1 unowned$~^$~-R . monitored add 0800208a0002 --limit 600
dtus is monitored~0~^  0800208a0002 +unowned +192~^$~dtus -R . --limit 600
EOF2

# Several sections in one call, each once, in the order asked.
run -R "$root" daemons group
{ [ "$rc" = 0 ] && [ "$(grep -cxE 'Version|Daemons|Failover group|Users' <<<"$out")" = 2 ] &&
  [ "$(grep -xE 'Daemons|Failover group' <<<"$out" | head -1)" = Daemons ]; } || fail "daemons group"
run -R "$root" --json users desktops users
json_check "several sections, json" 'list(d) == ["time", "error", "errors", "users", "desktops"]'
# No product on this machine (the sandbox's own files are the host's).
[ -e /etc/opt/ZARNkx/kxsservices.cfg ] ||
  check "no product found" 1 '' '^kxsmon: no product found: there is no /etc/opt/ZARNkx/kxsservices\.cfg \(for a product under another root, try -R ROOT\)$' version

# The text fits 80 columns by default (a pipe tells no width), the
# terminal's given in COLUMNS, and any with -l.
run -R "$root"
[ "$(widest)" -le 80 ] || fail "report wider than 80 columns: $(widest)"
COLUMNS=120 run -R "$root" daemons
{ [ "$(widest)" -gt 80 ] && [ "$(widest)" -le 120 ]; } || fail "COLUMNS=120: $(widest) columns"
run -R "$root" -l daemons
[ "$(widest)" -gt 120 ] || fail "-l cuts: $(widest) columns"

run -R "$root" contact "$(printf 'M\xfcller\x1b[2J')"
run -R "$root" --json
json_check "JSON report" 'd["version"]["version"] == "4.2" and d["patches"] == ["1-01", "2-02"] and d["contact"] == "M\u00fcller\u001b[2J" and 7100 <= d["uptime"]["seconds"] <= 7300 and [(x["name"], x["state"], x["status"]) for x in d["daemons"]] == [("kxauthd", "up", 1), ("kxsessiond", "up", 1), ("kxgone", "down", 2), ("kxlong", "down", 2)] and d["sessions"] == {"total": 2, "active": 1} and d["users"] == d["desktops"] == 3 and d["policy"] == " -c both" and d["interfaces"] == [{"name": "eth0", "ipaddr": "192.168.10.5", "netmask": "255.255.255.0", "state": "up", "status": 1, "lastpkt": 300, "type": "LAN"}] and d["dhcp"] == [{"name": "192.168.10.0", "available": 37}] and [(g["name"], g["state"], g["status"]) for g in d["group"]] == [("kxtest-host", "up", 1), ("kxmember2", "down", 2)] and [(x["terminalId"], x["state"], x["status"], x["model"], x["terminalPackets"], x["terminalLostPackets"], x["lossPercent"]) for x in d["exceptions"]] == [("0800208a0001", "owned", 1, "IEEE802", 300, 100, 25.0), ("0800208a0002", "unowned", 3, "IEEE802", 0, 0, 0.0), ("0800208a0003", "owned", 1, "IEEE802", 0, 0, 0.0)] and d["error"] is None and d["errors"] == {}'
run -R "$root" monitored add T1
run -R "$root" monitored add T2
run -R "$root" monitored delete t1
run -R "$root" monitored --json
json_check "monitored changes persist" 'list(d) == ["time", "error", "errors", "monitored"] and [(x["terminalId"], x["state"], x["terminalIPA"]) for x in d["monitored"]] == [("080020ffee01", "absent", None), ("0800208a0002", "unowned", "192.168.20.2"), ("T2", "absent", None)]'
# The agent's stored unowned limit is the default (T.3 has been connected for
# 30 s without packets, T.2 for 900 s); a link, or a text that is no limit, is not.
limitFile=$root/var/opt/ZARNkx/snmp/kxsunownedlimit.data
while IFS='~' read -r what store pattern args; do
  rm -f "$limitFile"; eval "$store"; eval "set -- $args"
  check "limit: $what" 0 "$pattern" '^$' exceptions -R "$root" "$@"
done <<'EOF2'
stored~echo 20 >"$limitFile"~^  3 on this server: 1 owned, 2 unowned$~
stored without a line feed~printf 901 >"$limitFile"~^  3 on this server: 3 owned$~
--limit before the stored one~echo 901 >"$limitFile"~^  3 on this server: 1 owned, 2 unowned$~--limit 20
not a limit~echo 9x >"$limitFile"~^  3 on this server: 2 owned, 1 unowned$~
through a link~echo 901 >"$root/elsewhere"; ln -s "$root/elsewhere" "$limitFile"~^  3 on this server: 2 owned, 1 unowned$~
EOF2
rm -f "$limitFile"

# Daemons stopped (their sockets still accept): every section that asks them
# is unknown in every form, the whole report costs one wait per daemon (a
# generous bound here, against a wait per section), and the status is 1.
amSections="uptime sessions users desktops interfaces group monitored exceptions"
timed() { local start; start=$(date +%s%N); run "$@"; took=$((($(date +%s%N) - start) / 1000000)); }
hung_check() {  # hung_check WHAT FORMAT [ARGS...]
  local what=$1 format=$2 title s; shift 2
  timed -R "$root" --format "$format" "$@"
  echo "$what, $format: $took ms"
  { [ "$rc" = 1 ] && [ "$took" -lt 20000 ]; } || fail "$what, $format: status $rc after $took ms"
  case $format in
  text) while read -r title; do
          grep -A1 -x "$title" <<<"$out" | grep -q '^  unknown: .* did not answer within 5 s' || fail "$what: $title"
        done <<<$'Up time\nSessions\nUsers\nDesktops\nInterfaces\nFailover group\nMonitored terminals\nTerminals of this server' ;;
  json) json_check "$what, json" "d['version']['version'] == '4.2' and list(d['errors']) == '$amSections'.split() and
          all(d[s] is None and d['errors'][s]['state'] == 'unknown' and d['errors'][s]['code'] == 1 for s in d['errors'])" ;;
  prom) { promtool check metrics <<<"$out" && grep -qx 'kxsmon_up 1' <<<"$out" &&
          ! grep -qE '^kxsmon_(users|desktops|sessions|active_sessions|product_up|up_time|interface|group|monitored|server)' <<<"$out" &&
          [ "$(grep -cE "^kxsmon_query_ok\{query=\"(${amSections// /|})\"\} 0$" <<<"$out")" = 8 ]; } || fail "$what, prom" ;;
  esac
  for s in $amSections; do grep -q "^kxsmon: $s: " <<<"$err" || fail "$what, $format: no line for $s"; done
}
kill -STOP "${pids[@]}"
for format in text json prom; do hung_check "both daemons stopped" "$format"; done
kill -CONT "${pids[1]}"
hung_check "the authentication manager stopped" text

# The run's time-out: the section being asked then is unknown, those after it
# are not asked, and the report is out soon after.
timed -R "$root" --timeout 2
echo "--timeout 2: $took ms"
{ [ "$rc" = 1 ] && [ "$took" -lt 5000 ] &&
  grep -A1 -x 'Up time' <<<"$out" | grep -q "^  unknown: no answer before the run's time-out passed$" &&
  grep -A1 -x 'Terminals of this server' <<<"$out" | grep -q "^  not asked: the run's time-out passed$" &&
  grep -q '^kxsmon: exceptions: not asked: ' <<<"$err"; } || fail "--timeout: status $rc after $took ms"
run -R "$root" --timeout=2 --json
json_check "--timeout, json" 'd["patches"] == ["1-01", "2-02"] and d["uptime"] is None and d["exceptions"] is None and
  d["errors"]["uptime"]["state"] == "unknown" and d["errors"]["exceptions"]["state"] == "not asked"'
run -R "$root" --timeout 2 --format prom
{ [ "$rc" = 1 ] && promtool check metrics <<<"$out" && grep -qx 'kxsmon_query_ok{query="exceptions"} 0' <<<"$out" &&
  grep -qx 'kxsmon_query_ok{query="patches"} 1' <<<"$out"; } || fail "--timeout, prom"
kill -CONT "${pids[0]}"

# A library that cannot start: still a document, and metrics that say so.
run -R /var --json
json_check "no services file, json" 'd["error"].startswith("no product found under /var") and len(d["errors"]) == 14 and
  all(d[s] is None and d["errors"][s]["state"] == "not asked" for s in d["errors"])'
run -R /var --format prom
{ [ "$rc" = 1 ] && promtool check metrics <<<"$out" && grep -qx 'kxsmon_up 0' <<<"$out" &&
  [ "$(grep -c '^kxsmon_query_ok{.*} 0$' <<<"$out")" = 14 ]; } || fail "no services file, prom"

# Output that cannot be written is an error: a full disk, a pipe nobody reads.
for args in "--format prom version" "--help"; do
  # shellcheck disable=SC2086
  "$kxsmon" -R "$root" $args >/dev/full 2>"$root/err"; rc=$? err=$(<"$root/err")
  { [ "$rc" = 1 ] && grep -qx 'kxsmon: standard output: No space left on device' <<<"$err"; } || fail "$args >/dev/full: status $rc"
done
python3 -c 'import os, subprocess, sys
r, w = os.pipe(); os.close(r); sys.exit(subprocess.call(sys.argv[1:], stdout=w) & 255)' "$kxsmon" -R "$root" version 2>"$root/err"
rc=$? err=$(<"$root/err")
{ [ "$rc" = 1 ] && grep -qx 'kxsmon: standard output: Broken pipe' <<<"$err"; } || fail "closed pipe: status $rc"

# --output: the file replaced whole once written, nothing on standard
# output; a write that fails (a full disk) leaves the old file, and nothing
# beside it.
mkdir -m 755 "$root/out"
check "output file" 0 '^$' '^$' -R "$root" --format prom --output "$root/out/kxsmon.prom" version
{ grep -qx 'kxsmon_up 1' "$root/out/kxsmon.prom" && promtool check metrics <"$root/out/kxsmon.prom"; } ||
  fail "output file: $(head -3 "$root/out/kxsmon.prom")"
old=$(cat "$root/out/kxsmon.prom")
check "output into no directory" 1 '^$' "^kxsmon: $root/none/k\.prom: cannot make a file beside it: No such file or directory$" \
  -R "$root" --format prom -o "$root/none/k.prom" version
if mount -t tmpfs -o size=64k tmpfs "$root/out" 2>/dev/null; then
  echo "$old" >"$root/out/kxsmon.prom"
  dd if=/dev/zero of="$root/out/filler" bs=1k 2>/dev/null
  check "output to a full disk" 1 '^$' "^kxsmon: $root/out/kxsmon\.prom: not written: No space left on device$" \
    -R "$root" --format prom --output "$root/out/kxsmon.prom"
  { [ "$(cat "$root/out/kxsmon.prom")" = "$old" ] && [ "$(ls -A "$root/out")" = $'filler\nkxsmon.prom' ]; } ||
    fail "a failed write changed the old file or left another: $(ls -A "$root/out")"
  umount "$root/out"
else
  echo "no tmpfs here: a full disk is not tried"
fi

check "text shows no control characters" 0 '^  M.*ller\?\[2J$' '^$' -R "$root" contact
mkdir "$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data.new" && rm -f "$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data" &&
  mv "$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data.new" "$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data"
check "unstored table says why" 1 '' 'monitored: the monitored table could not be stored: File exists' -R "$root" monitored add T3
run -R "$root" --format prom
{ [ "$rc" = 0 ] && promtool check metrics <<<"$out" && grep -q '^kxsmon_daemon_state{daemon="kxgone",state="down"} 1$' <<<"$out" &&
  grep -qx 'kxsmon_up 1' <<<"$out" && ! grep -q '^kxsmon_query_ok.* 0$' <<<"$out"; } || fail "Prometheus metrics"

printf '#!/bin/ksh\nprint oops\nexit 1\n' >"$root/opt/ZARNkx/lib/kxspatches"
rm "$root/opt/ZARNkx/sbin/kxpolicy"
check "failed query" 1 '^  unknown: .*(patch|Patches)' '^kxsmon: patches: ' -R "$root"
check "policy tool missing" 1 '^Policy$' '^kxsmon: policy: ' -R "$root"
run -R "$root" --json
json_check "failed query in JSON" 'd["patches"] is None and d["policy"] is None and d["version"]["version"] == "4.2"'

# The demo: to completion, every section with figures, nothing left behind.
kill "${pids[@]}"; wait; pids=()  # the demo serves the same ports
# Its temporary root in a directory of its own: other tests run demos of their own meanwhile.
mkdir "$root/demo-tmp"
TMPDIR=$root/demo-tmp run demo
{ [ "$rc" = 0 ] && sections && ! grep -qE 'failed|unknown|partial|not asked|none|  down|^  no |^  0 (monitored|on this)|empty' <<<"$out" &&
  grep -qE '^  [0-9]+ monitored: [0-9]+ owned, 1 absent, [0-9]+ unowned$' <<<"$out"; } || fail "demo: a section is empty or down"
# With slapd, the terminals' locations and the members' roles from the directory's configuration.
[ ! -x /usr/sbin/slapd ] || { grep -qE '^  0800208a0001 +owned .* floor 2, desk 1$' <<<"$out" &&
  grep -qE '^  kxtest-host +primary +up$' <<<"$out"; } || fail "demo: no directory figures"
[ -z "$(ls -A "$root/demo-tmp")" ] || fail "demo left its root behind"
! pgrep -f '/tmp/kxsmon-demo' >/dev/null || fail "demo left processes behind"

echo "cli: $failures failed"
[ "$failures" = 0 ]
