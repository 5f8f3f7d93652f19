#!/usr/bin/env bash
# The agent module through a real snmpd: the subagent on a private AgentX
# socket, kxs-simd as the product's daemons and snmptrapd as the station's
# trap receiver, all inside the network sandbox; the notifications of the
# server's changes (a daemon killed, a member down, terminals dropped, a
# link's carrier lost); then the daemons stopped (SIGSTOP: their sockets
# still accept), the master restarted, the module loaded into snmpd itself
# (notifying by SNMPv3 informs), and a status reply of a hundred thousand
# terminals.
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

mibdirs=$top/mibs/ietf:$top/mibs:/usr/share/snmp/mibs
mibs=(-M "$mibdirs" -m KXSMON-MIB:SNMPv2-MIB)
ask() { local tool=$1 community=$2 port=$3; shift 3
        "$tool" -v2c -c "$community" -t 1 -r 0 "${mibs[@]}" -OqetU ${ASK_FLAGS:-} "127.0.0.1:$port" "$@" 2>&1; }
# Names without the module, texts without quotes, hex strings without their trailing blank.
plain() { sed 's/^KXSMON-MIB:://; s/ "\(.*\)"$/ \1/; s/\([0-9A-F][0-9A-F]\) $/\1/'; }
walk() { ask snmpwalk public 16161 "$@" | plain; }
get() { ask snmpget public "${PORT:-16161}" "$@" | plain; }
set_it() { ASK_FLAGS=-Ir ask snmpset private "${PORT:-16161}" "$@"; }

# The station's trap receiver: SNMPv2c traps, and SNMPv3 informs of the
# user kxtrap. One line a notification: the security (TRAP2 or INFORM, the
# version, the community or user), then each object and its value.
cat >"$work/trapd.conf" <<CONF
authCommunity log public
createUser kxtrap SHA "kxtrap auth pass" AES "kxtrap priv pass"
authUser log kxtrap priv
CONF
mkdir "$work/persist-trapd"
SNMP_PERSISTENT_DIR=$work/persist-trapd /usr/sbin/snmptrapd -f -X -n -C -c "$work/trapd.conf" \
  "${mibs[@]}" -OqsetU -Lf "$work/traps" -F '%P|%V|%v\n' udp:127.0.0.1:16200 & pids+=($!)
wait_until grep -q 'NET-SNMP version' "$work/traps" 2>/dev/null || fail "snmptrapd did not start"
# The module's notifications logged from line $1 on, one a line: SECURITY|NAME|OBJECT VALUE|...
# Left out: the daemons whose check looks at every process of the host
# (dtlogin, kxscreventd), which other tests on the machine may start.
notifications_from() {
  tail -n +"$1" "$work/traps" | grep '|snmpTrapOID.0 kxs' |
    sed -E 's/"//g; s/ *\|/|/g; s/ +$//; s/, (community|user) [^|]*//; s/\|sysUpTime.0 [0-9]+\|snmpTrapOID.0 /|/' |
    grep -Ev '\|kxsDaemonName\.[0-9]+ (dtlogin|kxscreventd)\|'
}
traps_now() { echo $(($(wc -l <"$work/traps") + 1)); }  # the line the next one will be
when='[0-9]+-[0-9]+-[0-9]+,[0-9]+:[0-9]+:[0-9]+\.0,\+0:0'  # a DateAndTime in UTC
# Each expected notification (a line of ERE on standard input) once from
# line $1 on, within $2 seconds, and nothing else for a watch period more.
notified() {
  local from=$1 limit=$2 what=$3 expected got want
  expected=$(cat)
  for _ in $(seq $((limit * 4))); do
    got=$(notifications_from "$from")
    [ "$(grep -cEx -f <(echo "$expected") <<<"$got")" -ge "$(wc -l <<<"$expected")" ] && break
    sleep 0.25
  done
  sleep 1.5
  got=$(notifications_from "$from")
  while read -r want; do
    [ "$(grep -cEx "$want" <<<"$got")" = 1 ] || fail "$what: want once: $want, got: $got"
  done <<<"$expected"
  [ "$(wc -l <<<"$got")" = "$(wc -l <<<"$expected")" ] || fail "$what: more than wanted: $got"
}

# The master agent on a private AgentX socket, its notifications sent to
# snmptrapd and an SNMPv3 user for the station, and the subagent (under
# $KXS_AGENT_WRAP, say valgrind, when given), which gathers every second
# for its notifications.
cat >"$work/master.conf" <<CONF
agentaddress udp:127.0.0.1:16161
master agentx
agentXSocket unix:$work/agentx
agentXPerms 0600 0700
rocommunity public 127.0.0.1
rwcommunity private 127.0.0.1
createUser kxops SHA "kxops auth pass" AES "kxops priv pass"
rouser kxops priv
trap2sink 127.0.0.1:16200 public
CONF
echo 'kxsmonWatchInterval 1' >"$work/agentx.conf"
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
    -c "$work/agentx.conf" 2>>"$work/agentx.log" & subagent=$!; pids+=($subagent)
}
# The interface the group manager names: one end of a veth pair whose other
# end is up, so that the host can tell that its link is up.
ip link add eth0 type veth peer name eth0-peer && ip link set eth0-peer up && ip link set eth0 up
# The daemons, under their own names (run-demo does the same).
ln -sf "$build/tools/kxs-simd/kxs-simd" "$work/kxauthd"
ln -sf "$build/tools/kxs-simd/kxs-simd" "$work/kxsessiond"
start_session_manager() {
  "$work/kxsessiond" --am-port 17010 --sm-port 7007 "$1" 2>>"$work/simd.log" & simd[1]=$!
}
start_daemons() {
  "$work/kxauthd" --am-port 7010 --sm-port 17007 --root "$root" "$1" 2>>"$work/simd.log" & simd=($!)
  start_session_manager "$1"
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
Interface 1 eth0|1|C0 A8 0A 05|FF FF FF 00|1|1
Dhcp 1 192.168.10.0|37
Failover 1 kxtest-host|3|2|1
Failover 2 kxmember2|4|2|1
Mon '0800208a0001' 1|C0 A8 14 01|1|300|100|2500|||kxtest-host|IEEE802|4.1|1
Mon '0800208a0002' 1|C0 A8 14 02|1|0|0|0|||kxmember2|IEEE802|4.2|1
Mon '080020ffee01' 0||2|0|0|0||||||1
Exc '0800208a0001' 1|C0 A8 14 01|1|300|100|2500|||kxtest-host|IEEE802|4.1
Exc '0800208a0003' 1|C0 A8 14 03|3|0|0|0|||kxtest-host|IEEE802|4.0
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

cp "$work/scenario" "$work/served"  # what kxs-simd serves, read again on SIGHUP
start_daemons "$work/served"
wait_until test -x "$root/opt/ZARNkx/lib/kxsdhcpsum"; chmod -R go-w "$root"
sleep 1  # a started daemon is at least a second old
start_master
start_subagent
wait_until eval '[ -n "$(walk KXSMON-MIB::kxsDaemonName 2>/dev/null | grep kxauthd)" ]' ||
  fail "the subagent never answered: $(cat "$work/agentx.log")"

# --- the walk against the library's own answers (kxsmon --json)
"$build/tools/kxsmon/kxsmon" -R "$root" --json report >"$work/report.json"
python3 - "$work/report.json" >>"$work/expected" <<'PY'
import json, sys, time
r = json.load(open(sys.argv[1]))
def shown(t, offset=0):  # a DateAndTime as snmpwalk shows it
    if not t: return "0-0-0,0:0:0.0"
    g, off = time.gmtime(t + offset), abs(offset) // 60
    return f"{g.tm_year}-{g.tm_mon}-{g.tm_mday},{g.tm_hour}:{g.tm_min}:{g.tm_sec}.0,{'-' if offset < 0 else '+'}{off // 60}:{off % 60}"
installed = time.mktime(time.strptime(r['version']['installDate'], "%b %d %Y %H:%M"))
offset = time.localtime(installed).tm_gmtoff
print(f"kxsVersion.0 {r['version']['version']}\nkxsInstallDate.0 {shown(installed, offset)}")
print(f"kxsInstallDateText.0 {r['version']['installDate']}")
print(f"kxsPatches.0 {', '.join(r['patches'])}\nkxsContact.0 {r['contact']}\nkxsUnownedLimit.0 60")
for i, d in enumerate(r["daemons"], 1):
    print("Daemon", i, "|".join((d["name"], str(d["status"]), shown(d["stime"]), str(d["instances"]), d["description"] or "")))
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
python3 - "$work/report.json" "$work/walk" <<'PY' || fail "change times differ by more than the time between the two looks"
import calendar, json, re, sys
daemons = json.load(open(sys.argv[1]))["daemons"]
for line in open(sys.argv[2]):
    m = re.match(r"kxsDaemonChangeTime\.(\d+) (\d+)-(\d+)-(\d+),(\d+):(\d+):(\d+)", line)
    if m:
        when = calendar.timegm(tuple(int(n) for n in m.groups()[1:]) + (0, 0, 0)) if m[2] != "0" else 0
        was = daemons[int(m[1]) - 1]["changetm"]
        if abs(when - was) > 30 or (when == 0) != (was == 0):
            sys.exit(f"{line.strip()}: kxsmon said {was}")
PY
agent_up=$(awk '/^kxsUpTime/ { print $2 }' "$work/walk")
cli_up=$(python3 -c 'import json, sys; print(json.load(sys.stdin)["uptime"]["hundredths"])' <"$work/report.json")
apart=$((($(date +%s) - $(stat -c %Y "$work/report.json") + 2) * 100))  # the walk came after the report
[ "${agent_up:-0}" -gt 0 ] && [ $((agent_up - cli_up)) -le "$apart" ] && [ $((cli_up - agent_up)) -le 200 ] ||
  fail "up time $agent_up, kxsmon said $cli_up (hundredths)"
# When each source answered: this minute, in UTC.
gathered=$(grep -c "^kxsSourceGathered\.[a-zA-Z]* $(date -u +%Y-%-m-%-d)," "$work/walk")
[ "$gathered" = 13 ] || fail "gathering times: $(grep SourceGathered "$work/walk")"

# An SNMPv3 station (the user of the master's createUser).
v3=$(snmpget -v3 -u kxops -l authPriv -a SHA -A 'kxops auth pass' -x AES -X 'kxops priv pass' \
       -t 1 -r 0 "${mibs[@]}" -Oqv 127.0.0.1:16161 KXSMON-MIB::kxsVersion.0 2>&1)
[ "$v3" = "$version" ] || fail "SNMPv3 get: $v3"
# An object without the instance asked for, and one the MIB does not have.
while IFS='|' read -r what oid answer; do
  [ "$(get "$oid")" = "$answer" ] || fail "get of $what: $(get "$oid")"
done <<TABLE
a scalar's row 1|KXSMON-MIB::kxsVersion.1|kxsVersion.1 No Such Instance currently exists at this OID
a terminal not monitored|KXSMON-MIB::kxsMonState.'0800208a0003'|kxsMonState.'0800208a0003' No Such Instance currently exists at this OID
a daemon row past the last|KXSMON-MIB::kxsDaemonName.99|kxsDaemonName.99 No Such Instance currently exists at this OID
a scalar past the last|KXSMON-MIB::kxsSystem.13.0|kxsSystem.13.0 No Such Object available on this agent at this OID
a column past the last|KXSMON-MIB::kxsDaemonEntry.8.1|kxsDaemonEntry.8.1 No Such Object available on this agent at this OID
a not-accessible index|KXSMON-MIB::kxsExcTerminalId.'0800208a0001'|kxsExcTerminalId.'0800208a0001' No Such Object available on this agent at this OID
a table of no such number|KXSMON-MIB::kxsObjects.9.1.2.1|kxsObjects.9.1.2.1 No Such Object available on this agent at this OID
TABLE

# snmptable renders every table, each row under the same index in two
# gatherings; the terminals' rows are their IDs.
tables() {
  for table in Daemon Interface Dhcp Failover Monitored Exception Source; do
    snmptable -v2c -c public -t 1 -r 0 "${mibs[@]}" -Ci -Cf '|' -CH 127.0.0.1:16161 "KXSMON-MIB::kxs${table}Table" 2>&1 |
      awk -F'|' -v t="$table" 'NF > 1 { print t, $1, $2 } NF <= 1 { print t, "ERROR", $0 }'
  done
}
tables >"$work/tables.1"; sleep 1.2; tables >"$work/tables.2"
grep ERROR "$work/tables.1" && fail "snmptable: $(grep ERROR "$work/tables.1")"
diff "$work/tables.1" "$work/tables.2" >/dev/null || fail "rows moved between two gatherings: $(diff "$work/tables.1" "$work/tables.2")"
[ "$(awk '{ print $1 }' "$work/tables.1" | uniq | wc -l)" = 7 ] || fail "a table without rows: $(cat "$work/tables.1")"
[ "$(grep '^Exception' "$work/tables.1" | cut -d' ' -f2)" = "$(printf "'%s'\n" 0800208a0001 0800208a0003)" ] ||
  fail "the terminals' rows: $(grep '^Exception' "$work/tables.1")"
# None of the module's notifications for what the agent found at its start.
[ -z "$(notifications_from 1)" ] || fail "notified at start-up: $(notifications_from 1)"
grep -q 'coldStart' "$work/traps" || fail "snmptrapd received nothing from snmpd: $(cat "$work/traps")"

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

# --- the server changes, and changes back: each change notified once, with
# its objects. The session manager killed (its daemon down, and the up time,
# which asks it, failed), kxmember2 no longer heard from, this server marked
# offline, terminal 0001 gone, 0002 moved to this server and idle for 900 s
# (past the limit of 120 set above), and the LAN interface's carrier lost.
serve() { cp "$1" "$work/serving" && mv "$work/serving" "$work/served"; kill -HUP "${simd[0]}"; }
sed -e '/^host kxtest-host/s/ trusted/ trusted offline/' -e '/^host kxmember2/s/lastseen 5/lastseen 999/' \
    -e '/0800208a0001/d' -e '/0800208a0002/s/^terminal kxmember2 \(.*\)terminalConnectTime=30/terminal kxtest-host \1terminalConnectTime=900/' \
    "$work/scenario" >"$work/changed"
daemon='kxsDaemonName.2 kxsessiond\|kxsDaemonStatus.2' member='kxsFailoverName.2 kxmember2\|kxsFailoverStatus.2'
role='kxsFailoverName.1 kxtest-host\|kxsFailoverRole.1 3\|kxsFailoverOffline.1' link='kxsInterfaceName.1 eth0\|kxsInterfaceStatus.1'
uptime='kxsSourceName.upTime up time\|kxsSourceStatus.upTime' mon=kxsMonState.\'0800208a000 at=kxsMonAddress.\'0800208a000
from=$(traps_now) start=$(now_ms)
kill "${simd[1]}"; wait "${simd[1]}" 2>/dev/null
serve "$work/changed"
ip link set eth0-peer down
notified "$from" 25 "the changes" <<EXPECTED
TRAP2, SNMP v2c\|kxsDaemonDown\|$daemon 2\|kxsDaemonInstances.2 [0-9]+\|kxsDaemonChangeTime.2 $when
TRAP2, SNMP v2c\|kxsSourceFailed\|$uptime 4\|kxsSourceReason.upTime .*7007.*\|kxsSourceGathered.upTime $when
TRAP2, SNMP v2c\|kxsMemberDown\|$member 2\|kxsFailoverRole.2 4\|kxsFailoverOffline.2 2
TRAP2, SNMP v2c\|kxsMemberRoleChange\|$role 1\|kxsFailoverStatus.1 1
TRAP2, SNMP v2c\|kxsTerminalAbsent\|${mon}1' 2\|kxsMonAddressType.'0800208a0001' 0\|${at}1'\|kxsMonServer.'0800208a0001'\|kxsMonLocation.'0800208a0001'
TRAP2, SNMP v2c\|kxsTerminalUnowned\|${mon}2' 3\|kxsMonAddressType.'0800208a0002' 1\|${at}2' C0 A8 14 02\|kxsMonServer.'0800208a0002' kxtest-host\|kxsMonLocation.'0800208a0002'
TRAP2, SNMP v2c\|kxsLinkDown\|$link 2\|kxsInterfaceAddressType.1 1\|kxsInterfaceAddress.1 C0 A8 0A 05
EXPECTED
echo "agent: the changes notified within $(($(now_ms) - start)) ms"
from=$(traps_now) start=$(now_ms)
serve "$work/scenario"
start_session_manager "$work/served"
ip link set eth0-peer up
notified "$from" 25 "the changes undone" <<EXPECTED
TRAP2, SNMP v2c\|kxsDaemonUp\|$daemon 1\|kxsDaemonInstances.2 [1-9][0-9]*\|kxsDaemonChangeTime.2 $when
TRAP2, SNMP v2c\|kxsSourceAnswered\|$uptime 1\|kxsSourceReason.upTime\|kxsSourceGathered.upTime $when
TRAP2, SNMP v2c\|kxsMemberUp\|$member 1\|kxsFailoverRole.2 4\|kxsFailoverOffline.2 2
TRAP2, SNMP v2c\|kxsMemberRoleChange\|$role 2\|kxsFailoverStatus.1 1
TRAP2, SNMP v2c\|kxsTerminalOwned\|${mon}1' 1\|kxsMonAddressType.'0800208a0001' 1\|${at}1' C0 A8 14 01\|kxsMonServer.'0800208a0001' kxtest-host\|kxsMonLocation.'0800208a0001'
TRAP2, SNMP v2c\|kxsTerminalOwned\|${mon}2' 1\|kxsMonAddressType.'0800208a0002' 1\|${at}2' C0 A8 14 02\|kxsMonServer.'0800208a0002' kxmember2\|kxsMonLocation.'0800208a0002'
TRAP2, SNMP v2c\|kxsLinkUp\|$link 1\|kxsInterfaceAddressType.1 1\|kxsInterfaceAddress.1 C0 A8 0A 05
EXPECTED
echo "agent: the changes undone notified within $(($(now_ms) - start)) ms"

# --- daemons that accept and never answer
from=$(traps_now)
kill -STOP "${simd[@]}"
printf '#!/bin/ksh\nexit 3\n' >"$root/opt/ZARNkx/lib/kxspatches"  # and a patch lister that fails
# Every source of a stopped daemon failed at once: a gathering under way
# may have had some of them before the stop, so wait for all, not the last.
all_failed() {
  [ "$(walk KXSMON-MIB::kxsSourceStatus | grep -cE '^kxsSourceStatus\.(upTime|usersAndDesktops|interfaces|failoverGroup|monitoredTerminals|terminalExceptions) 4$')" = 6 ]
}
# One wait per dead daemon (two here, 5 s each), not one per figure: the
# rest of the gathering under way and one whole gathering after it.
took=$(ms_until 60000 all_failed)
[ "$took" -le 24000 ] || fail "the gathering with both daemons stopped took $took ms"
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
# One notification for each source that failed or went stale, and nothing
# about the figures they could not have.
sed -nE 's/^kxsSourceStatus\.([a-zA-Z]+) ([34])$/TRAP2, SNMP v2c\\|kxsSourceFailed\\|kxsSourceName.\1 .*\\|kxsSourceStatus.\1 \2\\|.*/p' \
  "$work/walk" | notified "$from" 1 "the daemons stopped"

# Sets while the worker waits for a daemon: each answered at once with the
# truth (the file holds what the answer said, and so does a get), and no
# other request waits.
probe_gets() {  # PORT: a get of snmpd's own sysUpTime and of a figure, 5 a second
  while :; do
    start=$(now_ms)
    snmpget -v2c -c public -t "$slack" -r 0 -On "127.0.0.1:$1" .1.3.6.1.2.1.1.3.0 .1.3.6.1.4.1.8072.9999.9999.1.1.1.1.0 \
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
    [ "$took" -lt $((1000 * slack)) ] || fail "port $1: $what answered after $took ms"
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
  awk -v bound=$((1000 * slack)) '/no answer/ || $1 >= bound { bad = bad " " $0 } END { if (bad) { print bad; exit 1 } }' \
    "$work/probe.$1" >"$work/slow" || fail "port $1: gets without an answer within $slack s:$(cat "$work/slow")"
}
sets_while_hung 16161
kill -0 "$subagent" 2>/dev/null || fail "the subagent died: $(tail -n 5 "$work/agentx.log")"

# --- the master restarted: the subagent is served again within 2 s
term_ms "$master" 5000 >/dev/null
start_master
took=$(ms_until 20000 serves_version)
[ "$took" -le $((2000 * slack)) ] || fail "the subagent was served again $took ms after the master restarted"
echo "agent: served again $took ms after the master restarted"

# --- SIGTERM while the worker waits for a daemon (a fresh subagent's first
# gathering waits for the stopped session manager from its first second on)
took=$(term_ms "$subagent" 5000)
[ "$took" -le $((3000 * slack)) ] || fail "the subagent took $took ms to end on SIGTERM"
start_subagent
wait_until serves_version ||
  fail "the new subagent does not answer"
# While its first gathering waits, the sources after the one waiting say
# that they were not asked yet, and their figures are not made up.
while IFS='|' read -r oid answer; do
  [ "$(get "$oid")" = "$answer" ] || fail "a fresh subagent with the daemons stopped: $(get "$oid"), want $answer"
done <<TABLE
KXSMON-MIB::kxsSourceStatus.version|kxsSourceStatus.version 1
KXSMON-MIB::kxsSourceStatus.dhcp|kxsSourceStatus.dhcp 5
KXSMON-MIB::kxsSourceGathered.dhcp|kxsSourceGathered.dhcp 0-0-0,0:0:0.0
KXSMON-MIB::kxsSourceStatus.terminalExceptions|kxsSourceStatus.terminalExceptions 5
KXSMON-MIB::kxsDhcpName.1|kxsDhcpName.1 No Such Instance currently exists at this OID
TABLE
sleep 1.5
took=$(term_ms "$subagent" 5000)
[ "$took" -le $((2000 * slack)) ] || fail "the subagent took $took ms to end on SIGTERM in the middle of a query"
echo "agent: SIGTERM in the middle of a query: $took ms"

# --- the same module loaded into snmpd itself (a sanitizer build loads the
# sanitizer's runtime first)
preload=$(ldd "$build/agent/kxsmon.so" | awk '/lib(a|t|ub)san/ { printf "%s:", $3 }')
# Every child of that snmpd inherits the preload, and procps' ps hangs under
# a preloaded sanitizer runtime until the library's bound stops it: inside
# the sandbox, /bin/ps drops the preload first.
if [ -n "$preload" ]; then
  cp /bin/ps "$work/ps.real"
  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$work/ps.real" >"$work/ps"
  chmod 755 "$work/ps" && mount --bind "$work/ps" /bin/ps || fail "no /bin/ps without the preload"
fi
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

# --- and in snmpd run as a daemon, which forks after reading its configuration,
# notifying by SNMPv3 informs, with the link notifications turned off
kill -CONT "${simd[@]}"
{ sed 's/16162/16163/' "$work/dlmod.conf"
  echo 'trapsess -Ci -v3 -u kxtrap -l authPriv -a SHA -A "kxtrap auth pass" -x AES -X "kxtrap priv pass" 127.0.0.1:16200'
  printf '%s\n' 'kxsmonWatchInterval 1' 'kxsmonLinkNotifications no'
} >"$work/daemon.conf"
mkdir "$work/persist-daemon"
daemonized=1
LD_PRELOAD=$preload SNMP_PERSISTENT_DIR=$work/persist-daemon SNMPCONFPATH=$work MIBS= \
  /usr/sbin/snmpd -C -c "$work/daemon.conf" -Lf "$work/daemon.log" -p "$work/daemon.pid" >>"$work/daemon.log" 2>&1
wait_until serves_version 16163 ||
  fail "daemon: $(PORT=16163 get KXSMON-MIB::kxsVersion.0) $(cat "$work/daemon.log")"
out=$(PORT=16163 set_it KXSMON-MIB::kxsContact.0 s 'Night desk')
[ "$(PORT=16163 get KXSMON-MIB::kxsContact.0)" = 'kxsContact.0 Night desk' ] ||
  fail "daemon: contact not set ($out) or not read back: $(PORT=16163 get KXSMON-MIB::kxsContact.0)"
owned() { [ "$(PORT=16163 get "${mon}1'")" = "${mon}1' 1" ]; }
wait_until owned || fail "daemon: terminal 0001 not served: $(PORT=16163 get "${mon}1'")"
from=$(traps_now)
sed '/0800208a0001/d' "$work/scenario" >"$work/dropped"
serve "$work/dropped"
ip link set eth0-peer down
notified "$from" 10 "the module in snmpd" <<EXPECTED
INFORM, SNMP v3\|kxsTerminalAbsent\|${mon}1' 2\|.*
EXPECTED
serve "$work/scenario"
ip link set eth0-peer up
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
last=$(sed -n 's/^terminal .*terminalId=P1\.\([^ ]*\).*/\1/p' "$work/big.scenario" | sort | tail -n 1)
last_row() { get "kxsExcState.'$last'" | grep -Eq "^kxsExcState.'$last' [13]$"; }
for _ in $(seq 120); do last_row && break; sleep 0.5; done
last_row || fail "the terminals are not served: $(get KXSMON-MIB::kxsSourceStatus.terminalExceptions KXSMON-MIB::kxsSourceReason.terminalExceptions "kxsExcState.'$last'")"
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
awk -v bound=$((1000 * slack)) '/no answer/ || $1 >= bound { bad = bad " " $0 } END { if (bad) { print bad; exit 1 } }' \
  "$work/probe.16161" >"$work/slow" || fail "gets without an answer within $slack s:$(cat "$work/slow")"

# What valgrind (KXS_AGENT_WRAP) or a sanitizer found in a subagent.
grep -q '^==[0-9]*==' "$work/agentx.log" && fail "the subagent: $(grep '^==[0-9]*==' "$work/agentx.log" | head -n 20)"

echo "agent: $failures failed ($SECONDS s)"
[ "$failures" = 0 ]
