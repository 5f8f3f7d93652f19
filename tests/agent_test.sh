#!/usr/bin/env bash
# The agent module through a real snmpd: the subagent on a private AgentX
# socket, kxs-simd as the product's daemons, all inside the network sandbox.
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
pids=() groups=()
daemonized=
cleanup() {
  for g in "${groups[@]}"; do kill -- "-$g"; done  # the listeners and the connections they hold
  [ -z "$daemonized" ] || stop_daemon
  kill "${pids[@]}"; wait; rm -rf "$work"
} 2>/dev/null
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
wait_until() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
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
set_it() { ASK_FLAGS=-Ir ask snmpset private 16161 "$@"; }

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
WALK

# The daemons, under their own names (run-demo does the same).
ln -s "$build/tools/kxs-simd/kxs-simd" "$work/kxauthd"
ln -s "$build/tools/kxs-simd/kxs-simd" "$work/kxsessiond"
"$work/kxauthd" --am-port 7010 --sm-port 17007 --root "$root" "$work/scenario" 2>"$work/simd.log" & pids+=($!)
"$work/kxsessiond" --am-port 17010 --sm-port 7007 "$work/scenario" 2>>"$work/simd.log" & pids+=($!)
wait_until test -x "$root/opt/ZARNkx/lib/kxsdhcpsum"; chmod -R go-w "$root"
sleep 1  # a started daemon is at least a second old
KXS_AGENT_OPTIONS="-t 1" "$top/tools/demo/run-snmp" "$build" "$root" 16161 >"$work/run.log" 2>&1 & pids+=($!)
wait_until eval '[ -n "$(walk KXSMON-MIB::kxsDaemonName 2>/dev/null | grep kxauthd)" ]' ||
  fail "the subagent never answered: $(cat "$work/run.log")"

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
# Scalars as they are, table cells joined into rows; figures that move with time are checked apart.
walk_rows() {
  awk '{ name = $1; sub(/\..*/, "", name); index_ = substr($1, length(name) + 2); value = substr($0, length($1) + 2) }
       name ~ /^kxs(UpTime|DaemonChangeTime|InterfaceLastPacket)$/ { next } index_ == "0" { print; next }
       { match(name, /^kxs(Daemon|Interface|Dhcp|Failover|Mon|Exc)/); key = substr(name, 4, RLENGTH - 3) " " index_
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

long=$(printf 'a%.0s' {1..256})
while IFS='|' read -r what want oid type value; do
  before=$(cat "$snmp"/*.data | md5sum)
  out=$(set_it "$oid" "$type" "$value")
  grep -q "Reason: $want" <<<"$out" || fail "$what: want $want, got: $out"
  [ "$(cat "$snmp"/*.data | md5sum)" = "$before" ] || fail "$what changed a stored file"
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

set_it KXSMON-MIB::kxsMonRowStatus.\'ieee802.0800\' i 6 >/dev/null
grep -qix IEEE802.0800 "$snmp/kxsmonitoreddtus.data" && fail "destroyed row still stored"
walk KXSMON-MIB::kxsMonRowStatus | grep -qi "0800'" && fail "destroyed row still served"

# --- daemons that accept and never answer: answers stay quick, figures stale
kill "${pids[0]}" "${pids[1]}"; wait "${pids[0]}" "${pids[1]}" 2>/dev/null
for p in 7010 7007; do
  setsid socat -d -d "TCP-LISTEN:$p,bind=127.0.0.1,reuseaddr,fork" SYSTEM:"sleep 30" \
    2>>"$work/silent.log" & groups+=($!)
done
sleep 1.1; walk KXSMON-MIB::kxsSystem >/dev/null  # the worker now hangs on a daemon
# Numeric OIDs, so that the time is the agent's and not the MIB parser's:
# the system group (sysUpTime) and the module's scalars (kxsContact). Every round must answer
# (a second per request); the quickest within a second: a stalled agent never is.
while read -r subtree expect; do
  best=99999
  for round in 1 2 3; do
    sleep 0.6
    start=$(now_ms)
    out=$(snmpwalk -v2c -c public -t 1 -r 0 -m '' -On 127.0.0.1:16161 "$subtree" 2>&1)
    took=$(($(now_ms) - start)); [ "$took" -lt "$best" ] && best=$took
    grep -q "^$expect" <<<"$out" || fail "walk of $subtree (round $round): $out"
  done
  [ "$best" -lt 1000 ] || fail "walk of $subtree took at best $best ms"
done <<TABLE
.1.3.6.1.2.1.1 .1.3.6.1.2.1.1.3.0 =
.1.3.6.1.4.1.8072.9999.9999.1.1.1 .1.3.6.1.4.1.8072.9999.9999.1.1.1.9.0 = STRING: \"Ops desk
TABLE
grep -q 'accepting connection' "$work/silent.log" || fail "the agent never asked the silent daemons"

# --- the same module loaded into snmpd itself (not when built with a
# sanitizer, whose runtime snmpd does not load first)
if ldd "$build/agent/kxsmon.so" | grep -qE 'lib(a|t|ub)san'; then
  echo "agent: dlmod check skipped in a sanitizer build"
  echo "agent: $failures failed ($SECONDS s)"; [ "$failures" = 0 ]; exit
fi
# No daemon now: a query fails at once, and a set, carried out between two, waits for none.
for g in "${groups[@]}"; do kill -- "-$g"; done; groups=()
cat >"$work/dlmod.conf" <<CONF
agentaddress udp:127.0.0.1:16162
rocommunity public 127.0.0.1
dlmod kxsmon $build/agent/kxsmon.so
kxsmonRoot $root
CONF
mkdir "$work/persist"
SNMP_PERSISTENT_DIR=$work/persist SNMPCONFPATH=$work MIBS= \
  /usr/sbin/snmpd -f -C -c "$work/dlmod.conf" -Lf "$work/dlmod.log" & pids+=($!)
version=$(sed -n 's/.*"version": "\([^"]*\)".*/\1/p' "$work/report.json")
wait_until eval '[ "$(ask snmpget public 16162 KXSMON-MIB::kxsVersion.0)" = "KXSMON-MIB::kxsVersion.0 $version" ]' ||
  fail "dlmod: $(ask snmpget public 16162 KXSMON-MIB::kxsVersion.0) $(cat "$work/dlmod.log")"

# --- and in snmpd run as a daemon, which forks after reading its configuration
sed 's/16162/16163/' "$work/dlmod.conf" >"$work/daemon.conf"
echo 'rwcommunity private 127.0.0.1' >>"$work/daemon.conf"
mkdir "$work/persist-daemon"
daemonized=1
SNMP_PERSISTENT_DIR=$work/persist-daemon SNMPCONFPATH=$work MIBS= \
  /usr/sbin/snmpd -C -c "$work/daemon.conf" -Lf "$work/daemon.log" -p "$work/daemon.pid"
wait_until eval '[ "$(ask snmpget public 16163 KXSMON-MIB::kxsVersion.0)" = "KXSMON-MIB::kxsVersion.0 $version" ]' ||
  fail "daemon: $(ask snmpget public 16163 KXSMON-MIB::kxsVersion.0) $(cat "$work/daemon.log")"
out=$(ASK_FLAGS=-Ir ask snmpset private 16163 KXSMON-MIB::kxsContact.0 s 'Night desk')
[ "$(ask snmpget public 16163 KXSMON-MIB::kxsContact.0)" = 'KXSMON-MIB::kxsContact.0 Night desk' ] ||
  fail "daemon: contact not set ($out) or not read back: $(ask snmpget public 16163 KXSMON-MIB::kxsContact.0)"
stop_daemon || fail "daemon: still running a while after SIGTERM"

echo "agent: $failures failed ($SECONDS s)"
[ "$failures" = 0 ]
