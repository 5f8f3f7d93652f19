#!/usr/bin/env bash
# The agent module through a real snmpd: the subagent on a private AgentX
# socket, kxs-simd as the product's daemons, all inside the network sandbox;
# then the daemons stopped (SIGSTOP: their sockets still accept), the master
# restarted, the module loaded into snmpd itself, and a status reply of a
# few hundred thousand terminals.
#   agent_test.sh BUILD-DIR
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
if [ "${KXS_NET_SANDBOX:-}" != 1 ]; then
  exec "$top/tests/support/netsandbox" "$0" "$build"
fi
work=$(mktemp -d /tmp/kxs-agent-test.XXXXXX)
root=$work/root snmp=$work/root/var/opt/ZARNkx/snmp
cp -r "$top/tools/demo/root" "$root" && mkdir -p "$snmp" && chmod -R go-w "$root"
pids=() simd=() probe= daemonized=
cleanup() {
  [ -z "$probe" ] || kill "$probe"
  kill -CONT "${simd[@]}"
  [ -z "$daemonized" ] || stop_daemon
  kill "${pids[@]}" "${simd[@]}"; wait; rm -rf "$work"
} 2>/dev/null
trap cleanup EXIT
failures=0
# A sanitizer build is slower and bigger: its times get more room, its memory is not measured.
sanitized=$(ldd "$build/agent/kxsmon-agentx" | grep -cE 'lib(a|t|ub)san')
slack=$((sanitized ? 2 : 1))
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
wait_until() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
# Milliseconds until COMMAND succeeds (asked every 0.1 s, for at most LIMIT ms).
ms_until() {
  local limit=$1 start; shift; start=$(now_ms)
  until "$@" || [ $(($(now_ms) - start)) -gt "$limit" ]; do sleep 0.1; done
  echo $(($(now_ms) - start))
}
# Milliseconds until process $1 is gone after SIGTERM (at most $2 ms, then SIGKILL).
term_ms() {
  local start; start=$(now_ms); kill -TERM "$1"
  while [ -e "/proc/$1" ] && [ $(($(now_ms) - start)) -lt "$2" ]; do sleep 0.02; done
  echo $(($(now_ms) - start)); kill -KILL "$1" 2>/dev/null; wait "$1" 2>/dev/null
}
# snmpd run as a daemon is no child of ours: it is found by its pid file, and
# waited for until gone, since it writes into the work directory as it ends.
# Fails when SIGTERM did not end it.
stop_daemon() {
  local pid
  wait_until test -s "$work/daemon.pid"; pid=$(cat "$work/daemon.pid") || return 0
  daemonized=
  kill "$pid"; wait_until test ! -e "/proc/$pid" && return 0
  kill -9 "$pid"; return 1
} 2>/dev/null

mibs=(-M "$top/mibs/ietf:$top/mibs:/usr/share/snmp/mibs" -m KXSMON-MIB:SNMPv2-MIB)
ask() { local tool=$1 community=$2 port=$3; shift 3
        "$tool" -v2c -c "$community" -t 1 -r 0 "${mibs[@]}" -OqetU ${ASK_FLAGS:-} "127.0.0.1:$port" "$@" 2>&1; }
walk() { ask snmpwalk public 16161 "$@" | sed 's/^KXSMON-MIB:://; s/ "\(.*\)"$/ \1/'; }
get() { ask snmpget public "${PORT:-16161}" "$@" | sed 's/^KXSMON-MIB:://; s/ "\(.*\)"$/ \1/'; }
set_it() { ASK_FLAGS=-Ir ask snmpset private "${PORT:-16161}" "$@"; }

# The master agent on a private AgentX socket, and the subagent (under
# $KXS_AGENT_WRAP, say valgrind, when given).
cat >"$work/master.conf" <<CONF
agentaddress udp:127.0.0.1:16161
master agentx
agentXSocket unix:$work/agentx
agentXPerms 0600 0700
rocommunity public 127.0.0.1
rwcommunity private 127.0.0.1
CONF
mkdir "$work/persist"
start_master() {
  rm -f "$work/agentx"
  SNMP_PERSISTENT_DIR=$work/persist SNMPCONFPATH=$work MIBS= \
    /usr/sbin/snmpd -f -C -c "$work/master.conf" -Lf "$work/master.log" & master=$!; pids+=($master)
  wait_until test -S "$work/agentx"
}
start_subagent() {
  # shellcheck disable=SC2086  # the wrapper is words
  ${KXS_AGENT_WRAP:-} "$build/agent/kxsmon-agentx" -R "$root" -x "unix:$work/agentx" -t 1 \
    2>>"$work/agentx.log" & subagent=$!; pids+=($subagent)
}
# The interface the group manager names: one end of a veth pair whose other
# end is up, so that the host can tell that its link is up.
ip link add eth0 type veth peer name eth0-peer && ip link set eth0-peer up && ip link set eth0 up
# The daemons, under their own names (run-demo does the same).
start_daemons() {
  ln -sf "$build/tools/kxs-simd/kxs-simd" "$work/kxauthd"
  ln -sf "$build/tools/kxs-simd/kxs-simd" "$work/kxsessiond"
  "$work/kxauthd" --am-port 7010 --sm-port 17007 --root "$root" "$1" 2>>"$work/simd.log" & simd=($!)
  "$work/kxsessiond" --am-port 17010 --sm-port 7007 "$1" 2>>"$work/simd.log" & simd+=($!)
}

# This host and kxmember2; terminals monitored by short ID, one reported by no member.
now=$(date +%s)
cat >"$work/scenario" <<SCN
host kxtest-host 127.0.0.1 trusted lan_ok lastseen 2 period 20 starttime $((now - 86400))
host kxmember2 127.0.0.2 trusted lastseen 5 period 20 starttime $((now - 7200))
interface kxtest-host eth0 192.168.10.5 255.255.255.0 192.168.10.255 lastpkt 1 lan
authmanager kxtest-host starttime=$((now - 90000)) desktops=19
sessionmanager kxtest-host stime=$((now - 90060)) sessions=17 connected=15 auth=2
terminal kxtest-host terminalId=IEEE802.0800208a0001 terminalIPA=192.168.20.1 terminalCID=c1 tokenName=Payflex.1 firmware=4.1 terminalConnectTime=600 terminalPackets=300 terminalLostPackets=100
terminal kxtest-host terminalId=IEEE802.0800208a0003 terminalIPA=192.168.20.3 terminalCID=c3 tokenName=Payflex.3 firmware=4.0 terminalConnectTime=900 terminalPackets=0 terminalLostPackets=0
terminal kxmember2 terminalId=IEEE802.0800208a0002 terminalIPA=192.168.20.2 terminalCID=c2 tokenName=Payflex.2 firmware=4.2 terminalConnectTime=30 terminalPackets=0 terminalLostPackets=0
session :3 ZeroAdmin.xx.Payflex.1 uid=0
session :4 Payflex.2 idle uid=0
dhcp 192.168.10.0 37
SCN
printf '%s\n' 0800208a0001 0800208a0002 080020ffee01 >"$snmp/kxsmonitoreddtus.data"
printf '#!/bin/sh\necho "/opt/ZARNkx/sbin/kxpolicy -z pseudo -s both"\n' | install -D /dev/stdin "$root/opt/ZARNkx/sbin/kxpolicy"
# The figures kxsmon does not report, from the scenario; a table row is its cells in MIB order.
cat >"$work/expected" <<'WALK'
kxsTotalSessions.0 1
kxsActiveSessions.0 1
kxsUsers.0 2
kxsDesktops.0 2
kxsPolicy.0  -z pseudo -s both
Interface 1 eth0|192.168.10.5|255.255.255.0|1|LAN
Dhcp 1 192.168.10.0|37
Failover 1 kxtest-host|zero admin|1
Failover 2 kxmember2|no data sharing|1
Mon '0800208a0001' 192.168.20.1|1|300|100|2500|||kxtest-host|IEEE802|4.1|1
Mon '0800208a0002' 192.168.20.2|1|0|0|0|||kxmember2|IEEE802|4.2|1
Mon '080020ffee01' |2|0|0|0||||||1
Exc 1 0800208a0001|192.168.20.1|1|300|100|2500|||kxtest-host|IEEE802|4.1
Exc 2 0800208a0003|192.168.20.3|3|0|0|0|||kxtest-host|IEEE802|4.0
Source version version|1|
Source patches patches|1|
Source upTime up time|1|
Source sessions sessions|1|
Source usersAndDesktops users and desktops|1|
Source contact contact|1|
Source policy policy|1|
Source daemons daemons|1|
Source interfaces interfaces|1|
Source dhcp DHCP|1|
Source failoverGroup failover group|1|
Source monitoredTerminals monitored terminals|1|
Source terminalExceptions terminal exceptions|1|
WALK

start_daemons "$work/scenario"
wait_until test -x "$root/opt/ZARNkx/lib/kxsdhcpsum"; chmod -R go-w "$root"
sleep 1  # a started daemon is at least a second old
start_master
start_subagent
wait_until eval '[ -n "$(walk KXSMON-MIB::kxsDaemonName 2>/dev/null | grep kxauthd)" ]' ||
  fail "the subagent never answered: $(cat "$work/agentx.log")"

# --- the walk against the library's own answers (kxsmon --json)
"$build/tools/kxsmon/kxsmon" -R "$root" --json report >"$work/report.json"
python3 - "$work/report.json" "$work/changes" >>"$work/expected" <<'PY'
import json, sys
r, changes = json.load(open(sys.argv[1])), open(sys.argv[2], "w")
print(f"kxsVersion.0 {r['version']['version']}\nkxsInstallDate.0 {r['version']['installDate']}")
print(f"kxsPatches.0 {', '.join(r['patches'])}\nkxsContact.0 {r['contact']}\nkxsUnownedLimit.0 60")
for i, d in enumerate(r["daemons"], 1):
    print("Daemon", i, "|".join(str(d[k] or (d[k] == 0 and "0") or "") for k in ("name", "status", "stime", "instances", "description")))
    print(f"kxsDaemonChangeTime.{i} {d['changetm']}", file=changes)
PY
version=$(sed -n 's/.*"version": "\([^"]*\)".*/\1/p' "$work/report.json")
serves_version() { [ "$(PORT=${1:-16161} get KXSMON-MIB::kxsVersion.0)" = "kxsVersion.0 $version" ]; }
# Scalars as they are, table cells joined into rows; figures that move with time are checked apart.
walk_rows() {
  awk '{ name = $1; sub(/\..*/, "", name); index_ = substr($1, length(name) + 2); value = substr($0, length($1) + 2) }
       name ~ /^kxs(UpTime|DaemonChangeTime|InterfaceLastPacket|SourceGathered)$/ { next } index_ == "0" { print; next }
       { match(name, /^kxs(Daemon|Interface|Dhcp|Failover|Mon|Exc|Source)/); key = substr(name, 4, RLENGTH - 3) " " index_
         row[key] = (seen[key]++ ? row[key] "|" : "") value; if (seen[key] == 1) order[++n] = key }
       END { for (i = 1; i <= n; i++) print order[i], row[order[i]] }' "$work/walk"
}
walk_matches() {
  walk KXSMON-MIB::kxsmon >"$work/walk"
  sort "$work/expected" | diff - <(walk_rows | sort) >"$work/diff"
}
sleep 1.1  # the agent's snapshot is refreshed after its cache time-out
for _ in $(seq 20); do walk_matches && break; sleep 0.5; done
[ -s "$work/diff" ] && fail "walk differs from kxsmon --json and the scenario: $(cat "$work/diff")"
grep -q '^kxsDaemonStatus.1 1$' "$work/walk" || fail "the simulated daemon is not up: $(cat "$work/walk")"
paste "$work/changes" <(grep '^kxsDaemonChangeTime' "$work/walk") |
  awk '{ d = $2 - $4; if (d < -30 || d > 30 || ($2 == 0) != ($4 == 0)) exit 1 }' ||
  fail "change times differ by more than the time between the two looks"
agent_up=$(awk '/^kxsUpTime/ { print $2 }' "$work/walk")
cli_up=$(python3 -c 'import json, sys; print(json.load(sys.stdin)["uptime"]["hundredths"])' <"$work/report.json")
apart=$((($(date +%s) - $(stat -c %Y "$work/report.json") + 2) * 100))  # the walk came after the report
[ "${agent_up:-0}" -gt 0 ] && [ $((agent_up - cli_up)) -le "$apart" ] && [ $((cli_up - agent_up)) -le 200 ] ||
  fail "up time $agent_up, kxsmon said $cli_up (hundredths)"
# When each source answered: this minute, in UTC.
gathered=$(grep -c "^kxsSourceGathered\.[a-zA-Z]* $(date -u +%Y-%-m-%-d)," "$work/walk")
[ "$gathered" = 13 ] || fail "gathering times: $(grep SourceGathered "$work/walk")"

# --- sets that change the stored files, and malformed ones that must not
set_it KXSMON-MIB::kxsContact.0 s 'Ops desk, x4242' >/dev/null
[ "$(walk KXSMON-MIB::kxsContact)" = "kxsContact.0 Ops desk, x4242" ] || fail "contact not read back"
[ "$(cat "$snmp/kxssyscontact.data")" = "Ops desk, x4242" ] || fail "contact file: $(cat "$snmp/kxssyscontact.data")"
set_it KXSMON-MIB::kxsMonRowStatus.\'IEEE802.0800\' i 4 >/dev/null
[ "$(tail -n 1 "$snmp/kxsmonitoreddtus.data")" = IEEE802.0800 ] || fail "monitored row not stored"
walk KXSMON-MIB::kxsMonRowStatus | grep -qx "kxsMonRowStatus.'IEEE802.0800' 1" ||
  fail "monitored row not served: $(walk KXSMON-MIB::kxsMonRowStatus)"
set_it KXSMON-MIB::kxsUnownedLimit.0 u 120 >/dev/null
[ "$(cat "$snmp/kxsunownedlimit.data")" = 120 ] || fail "limit not stored"

# Each request refused: the error, no stored file changed, and the served
# values as before.  refused WHAT WANT OID TYPE VALUE [OID TYPE VALUE ...]
refused() {
  local what=$1 want=$2 oids=() before served out i; shift 2
  for ((i = 1; i <= $#; i += 3)); do oids+=("${!i}"); done
  before=$(cat "$snmp"/*.data | md5sum) served=$(get "${oids[@]}")
  out=$(set_it "$@")
  grep -q "Reason: $want" <<<"$out" || fail "$what: want $want, got: $out"
  [ "$(cat "$snmp"/*.data | md5sum)" = "$before" ] || fail "$what changed a stored file"
  [ "$(get "${oids[@]}")" = "$served" ] || fail "$what changed what is served: $(get "${oids[@]}"), was $served"
}
long=$(printf 'a%.0s' {1..256})
while IFS='|' read -r what want oid type value; do
  refused "$what" "$want" "$oid" "$type" "$value"
done <<TABLE
contact of the wrong type|wrongType|KXSMON-MIB::kxsContact.0|i|4
contact too long|wrongLength|KXSMON-MIB::kxsContact.0|s|$long
contact with a line feed|wrongValue|KXSMON-MIB::kxsContact.0|x|4F700A78
limit of the wrong type|wrongType|KXSMON-MIB::kxsUnownedLimit.0|i|5
terminal ID with a line feed|noCreation|KXSMON-MIB::kxsMonRowStatus.65.10.66|i|4
row status of the wrong type|wrongType|KXSMON-MIB::kxsMonRowStatus.65.66|s|x
row created and waiting|wrongValue|KXSMON-MIB::kxsMonRowStatus.65.66|i|5
row created twice, other case|inconsistentValue|KXSMON-MIB::kxsMonRowStatus.'ieee802.0800'|i|4
read-only version|notWritable|KXSMON-MIB::kxsVersion.0|s|9
TABLE
# A directory that others may write to is refused for every stored file.
chmod o+w "$snmp"
while IFS='|' read -r what oid type value; do
  refused "$what in a world-writable directory" commitFailed "$oid" "$type" "$value"
done <<TABLE
contact|KXSMON-MIB::kxsContact.0|s|Planted
limit|KXSMON-MIB::kxsUnownedLimit.0|u|7
row created|KXSMON-MIB::kxsMonRowStatus.'0800208a0042'|i|4
row destroyed|KXSMON-MIB::kxsMonRowStatus.'IEEE802.0800'|i|6
TABLE
chmod o-w "$snmp"
# Two sets in one request, the second of which cannot be stored (a link in
# its file's place): the first is taken back.
mv "$snmp/kxsunownedlimit.data" "$work/limit.kept" && ln -s "$work/limit.kept" "$snmp/kxsunownedlimit.data"
refused "a request whose second set cannot be stored" commitFailed \
  KXSMON-MIB::kxsContact.0 s Undone KXSMON-MIB::kxsUnownedLimit.0 u 9
rm "$snmp/kxsunownedlimit.data" && mv "$work/limit.kept" "$snmp/kxsunownedlimit.data"

set_it KXSMON-MIB::kxsMonRowStatus.\'ieee802.0800\' i 6 >/dev/null
grep -qix IEEE802.0800 "$snmp/kxsmonitoreddtus.data" && fail "destroyed row still stored"
walk KXSMON-MIB::kxsMonRowStatus | grep -qi "0800'" && fail "destroyed row still served"

# --- daemons that accept and never answer
kill -STOP "${simd[@]}"
printf '#!/bin/ksh\nexit 3\n' >"$root/opt/ZARNkx/lib/kxspatches"  # and a patch lister that fails
# One wait per dead daemon (two here, 5 s each), not one per figure.
took=$(ms_until 40000 eval '[ "$(get KXSMON-MIB::kxsSourceStatus.terminalExceptions)" = "kxsSourceStatus.terminalExceptions 4" ]')
[ "$took" -le 16000 ] || fail "the gathering with both daemons stopped took $took ms"
echo "agent: a gathering with both daemons stopped: $took ms"
walk KXSMON-MIB::kxsmon >"$work/walk"
# What each source says, and what is served of its figures: the last good
# value, nothing (no instance, no rows), or figures that need no daemon.
while IFS='|' read -r source status figure served; do
  grep -qx "kxsSourceStatus.$source $status" "$work/walk" ||
    fail "status of $source: $(grep "kxsSourceStatus.$source " "$work/walk"), want $status"
  got=$(grep "^$figure[. ]" "$work/walk")
  case $served in
    none) [ -z "$got" ] || fail "$figure served while $source failed: $got";;
    *) grep -qx "$served" <<<"$got" || fail "$figure: $got, want $served";;
  esac
done <<TABLE
version|1|kxsVersion|kxsVersion.0 $version
patches|3|kxsPatches|kxsPatches.0 128711-02, 128712-01, 129004-05
policy|1|kxsPolicy|kxsPolicy.0  -z pseudo -s both
contact|1|kxsContact|kxsContact.0 Ops desk, x4242
upTime|4|kxsUpTime|none
usersAndDesktops|4|kxsUsers|none
usersAndDesktops|4|kxsDesktops|none
interfaces|4|kxsInterface|none
failoverGroup|4|kxsFailover|none
terminalExceptions|4|kxsExc|none
monitoredTerminals|4|kxsMonState|none
monitoredTerminals|4|kxsMonRowStatus|kxsMonRowStatus.'080020ffee01' 1
dhcp|1|kxsDhcpName|kxsDhcpName.1 192.168.10.0
TABLE
grep -q "^kxsSourceReason.usersAndDesktops .*did not answer" "$work/walk" ||
  fail "no reason for the failed users: $(grep SourceReason "$work/walk")"
grep -q "^kxsSourceReason.patches ." "$work/walk" || fail "no reason for the stale patches"

# Sets while the worker waits for a daemon: each answered at once with the
# truth (the file holds what the answer said, and so does a get), and no
# other request waits.
probe_gets() {  # PORT: a get of snmpd's own sysUpTime and of a figure, 5 a second
  while :; do
    start=$(now_ms)
    snmpget -v2c -c public -t 1 -r 0 -On "127.0.0.1:$1" .1.3.6.1.2.1.1.3.0 .1.3.6.1.4.1.8072.9999.9999.1.1.1.1.0 \
      >/dev/null 2>&1 || echo "no answer"
    echo $(($(now_ms) - start)); sleep 0.2
  done >"$work/probe.$1"
}
sets_while_hung() {  # PORT
  probe_gets "$1" & probe=$!
  while IFS='|' read -r what oid type value file check line readback; do
    start=$(now_ms)
    out=$(PORT=$1 set_it "$oid" "$type" "$value")
    took=$(($(now_ms) - start))
    grep -q "Error\|Timeout" <<<"$out" && fail "port $1: $what: $out"
    [ "$took" -lt 1000 ] || fail "port $1: $what answered after $took ms"
    case $check in
      is) [ "$(cat "$snmp/$file")" = "$line" ];;
      has) grep -qx "$line" "$snmp/$file";;
      lacks) ! grep -qix "$line" "$snmp/$file";;
    esac || fail "port $1: $what: $file holds $(cat "$snmp/$file")"
    [ "$(PORT=$1 get "$oid")" = "$readback" ] || fail "port $1: $what read back as $(PORT=$1 get "$oid")"
  done <<TABLE
contact|KXSMON-MIB::kxsContact.0|s|Hung desk $1|kxssyscontact.data|is|Hung desk $1|kxsContact.0 Hung desk $1
row created|KXSMON-MIB::kxsMonRowStatus.'0800208a0009'|i|4|kxsmonitoreddtus.data|has|0800208a0009|kxsMonRowStatus.'0800208a0009' 1
row destroyed|KXSMON-MIB::kxsMonRowStatus.'0800208a0001'|i|6|kxsmonitoreddtus.data|lacks|0800208a0001|kxsMonRowStatus.'0800208a0001' No Such Instance currently exists at this OID
limit|KXSMON-MIB::kxsUnownedLimit.0|u|$1|kxsunownedlimit.data|is|$1|kxsUnownedLimit.0 $1
row created back|KXSMON-MIB::kxsMonRowStatus.'0800208a0001'|i|4|kxsmonitoreddtus.data|has|0800208a0001|kxsMonRowStatus.'0800208a0001' 1
row destroyed again|KXSMON-MIB::kxsMonRowStatus.'0800208a0009'|i|6|kxsmonitoreddtus.data|lacks|0800208a0009|kxsMonRowStatus.'0800208a0009' No Such Instance currently exists at this OID
TABLE
  sleep 1.5  # and a refresh or two more
  kill "$probe"; wait "$probe" 2>/dev/null; probe=
  awk '/no answer/ || $1 >= 1000 { bad = bad " " $0 } END { if (bad) { print bad; exit 1 } }' \
    "$work/probe.$1" >"$work/slow" || fail "port $1: gets without an answer within a second:$(cat "$work/slow")"
}
sets_while_hung 16161
kill -0 "$subagent" 2>/dev/null || fail "the subagent died: $(tail -n 5 "$work/agentx.log")"

# --- the master restarted: the subagent is served again within 2 s
term_ms "$master" 5000 >/dev/null
start_master
took=$(ms_until 20000 serves_version)
[ "$took" -le 2000 ] || fail "the subagent was served again $took ms after the master restarted"
echo "agent: served again $took ms after the master restarted"

# --- SIGTERM while the worker waits for a daemon (a fresh subagent's first
# gathering waits for the stopped session manager from its first second on)
took=$(term_ms "$subagent" 5000)
[ "$took" -le $((3000 * slack)) ] || fail "the subagent took $took ms to end on SIGTERM"
start_subagent
wait_until serves_version ||
  fail "the new subagent does not answer"
sleep 1.5
took=$(term_ms "$subagent" 5000)
[ "$took" -le $((2000 * slack)) ] || fail "the subagent took $took ms to end on SIGTERM in the middle of a query"
echo "agent: SIGTERM in the middle of a query: $took ms"

# --- the same module loaded into snmpd itself (a sanitizer build loads the
# sanitizer's runtime first)
preload=$(ldd "$build/agent/kxsmon.so" | awk '/lib(a|t|ub)san/ { printf "%s:", $3 }')
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
cat >"$work/dlmod.conf" <<CONF
agentaddress udp:127.0.0.1:16162
rocommunity public 127.0.0.1
rwcommunity private 127.0.0.1
dlmod kxsmon $build/agent/kxsmon.so
kxsmonRoot $root
kxsmonCacheTimeout 1
CONF
mkdir "$work/persist-dlmod"
LD_PRELOAD=$preload SNMP_PERSISTENT_DIR=$work/persist-dlmod SNMPCONFPATH=$work MIBS= \
  /usr/sbin/snmpd -f -C -c "$work/dlmod.conf" -Lf "$work/dlmod.log" 2>>"$work/dlmod.log" & dlmod=$!; pids+=($dlmod)
wait_until serves_version 16162 ||
  fail "dlmod: $(PORT=16162 get KXSMON-MIB::kxsVersion.0) $(cat "$work/dlmod.log")"
# With the daemons still stopped: sets, and snmpd's own objects, never wait.
sets_while_hung 16162
took=$(term_ms "$dlmod" 5000)
[ "$took" -le $((2000 * slack)) ] || fail "dlmod: snmpd took $took ms to end on SIGTERM in the middle of a query"
echo "agent: dlmod: SIGTERM in the middle of a query: $took ms"
grep -qi "error\|sanitizer" "$work/dlmod.log" && fail "dlmod: $(cat "$work/dlmod.log")"

# --- and in snmpd run as a daemon, which forks after reading its configuration
kill -CONT "${simd[@]}"
sed 's/16162/16163/' "$work/dlmod.conf" >"$work/daemon.conf"
mkdir "$work/persist-daemon"
daemonized=1
LD_PRELOAD=$preload SNMP_PERSISTENT_DIR=$work/persist-daemon SNMPCONFPATH=$work MIBS= \
  /usr/sbin/snmpd -C -c "$work/daemon.conf" -Lf "$work/daemon.log" -p "$work/daemon.pid" >>"$work/daemon.log" 2>&1
wait_until serves_version 16163 ||
  fail "daemon: $(PORT=16163 get KXSMON-MIB::kxsVersion.0) $(cat "$work/daemon.log")"
out=$(PORT=16163 set_it KXSMON-MIB::kxsContact.0 s 'Night desk')
[ "$(PORT=16163 get KXSMON-MIB::kxsContact.0)" = 'kxsContact.0 Night desk' ] ||
  fail "daemon: contact not set ($out) or not read back: $(PORT=16163 get KXSMON-MIB::kxsContact.0)"
stop_daemon || fail "daemon: still running a while after SIGTERM"

# --- a status reply of many terminals: the subagent's memory grows by at
# most 4 times the bytes of the replies, and no get waits for it
kill "${simd[@]}"; wait "${simd[@]}" 2>/dev/null
terminals=${KXS_AGENT_TERMINALS:-$((100000 / slack / slack))}
{ grep -v '^terminal' "$work/scenario"
  "$build/tools/kxs-simd/kxs-simd" --generate "$terminals" 1 | sed -n 's/^terminal kxmember1 /terminal kxtest-host /p'
} >"$work/big.scenario"
start_daemons "$work/big.scenario"
for _ in $(seq 120); do
  printf 'status\n' | socat -t 30 - TCP:127.0.0.1:7010 2>/dev/null | wc -c >"$work/reply.bytes"
  [ "$(cat "$work/reply.bytes")" -gt 0 ] && break; sleep 0.5
done
bytes=$(cat "$work/reply.bytes")
[ "$bytes" -gt 0 ] || fail "the big scenario is not served"
KXS_AGENT_WRAP= start_subagent  # its own memory and time, not valgrind's
wait_until serves_version ||
  fail "the subagent does not answer before the big replies"
before=$(awk '/^VmRSS/ { print $2 }' "/proc/$subagent/status")
probe_gets 16161 & probe=$!
last_row() { get KXSMON-MIB::kxsExcTerminalId.$terminals | grep -q "^kxsExcTerminalId.$terminals 0800"; }
for _ in $(seq 120); do last_row && break; sleep 0.5; done
last_row || fail "the terminals are not served: $(get KXSMON-MIB::kxsSourceStatus.terminalExceptions KXSMON-MIB::kxsSourceReason.terminalExceptions KXSMON-MIB::kxsExcTerminalId.$terminals)"
sleep 4  # a few more gatherings, each replacing the last
kill "$probe"; wait "$probe" 2>/dev/null; probe=
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$subagent/status")
grew=$(((peak - before) * 1024))
echo "agent: $terminals terminals, replies of $bytes bytes: the subagent grew by $grew bytes at its peak"
if [ "$sanitized" != 0 ]; then
  echo "agent: the memory check is skipped in a sanitizer build"
else
  [ "$grew" -le $((4 * bytes)) ] || fail "the subagent grew by $grew bytes for replies of $bytes"
fi
awk '/no answer/ || $1 >= 1000 { bad = bad " " $0 } END { if (bad) { print bad; exit 1 } }' \
  "$work/probe.16161" >"$work/slow" || fail "gets without an answer within a second:$(cat "$work/slow")"

# What valgrind (KXS_AGENT_WRAP) or a sanitizer found in a subagent.
grep -q '^==[0-9]*==' "$work/agentx.log" && fail "the subagent: $(grep '^==[0-9]*==' "$work/agentx.log" | head -n 20)"

echo "agent: $failures failed ($SECONDS s)"
[ "$failures" = 0 ]
