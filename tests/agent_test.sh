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
cleanup() {
  for g in "${groups[@]}"; do kill -- "-$g"; done  # the listeners and the connections they hold
  kill "${pids[@]}"; wait; rm -rf "$work"
} 2>/dev/null
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
wait_until() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }

mibs=(-M "$top/mibs/ietf:$top/mibs:/usr/share/snmp/mibs" -m KXSMON-MIB:SNMPv2-MIB)
ask() { local tool=$1 community=$2 port=$3; shift 3
        "$tool" -v2c -c "$community" -t 1 -r 0 "${mibs[@]}" -OqetU ${ASK_FLAGS:-} "127.0.0.1:$port" "$@" 2>&1; }
walk() { ask snmpwalk public 16161 "$@" | sed 's/^KXSMON-MIB:://; s/ "\(.*\)"$/ \1/'; }
set_it() { ASK_FLAGS=-Ir ask snmpset private 16161 "$@"; }

# The daemons, under their own names (run-demo does the same).
ln -s "$build/tools/kxs-simd/kxs-simd" "$work/kxauthd"
ln -s "$build/tools/kxs-simd/kxs-simd" "$work/kxsessiond"
"$work/kxauthd" --am-port 7010 --sm-port 17007 "$top/tools/demo/demo.scn" 2>/dev/null & pids+=($!)
"$work/kxsessiond" --am-port 17010 --sm-port 7007 "$top/tools/demo/demo.scn" 2>/dev/null & pids+=($!)
sleep 1  # a started daemon is at least a second old
KXS_AGENT_OPTIONS="-t 1" "$top/tools/demo/run-snmp" "$build" "$root" 16161 >"$work/run.log" 2>&1 & pids+=($!)
wait_until eval '[ -n "$(walk KXSMON-MIB::kxsDaemonName 2>/dev/null | grep kxauthd)" ]' ||
  fail "the subagent never answered: $(cat "$work/run.log")"

# --- the walk against the library's own answers (kxsmon --json)
"$build/tools/kxsmon/kxsmon" -R "$root" --json report >"$work/report.json"
sleep 1.1  # the agent's snapshot is refreshed after its cache time-out
walk KXSMON-MIB::kxsmon >"$work/walk"
awk -f - "$work/report.json" >"$work/expected" <<'AWK'
function field(key,   v) {
  if (!match($0, "\"" key "\": (\"[^\"]*\"|-?[0-9]+)")) return ""
  v = substr($0, RSTART + length(key) + 4, RLENGTH - length(key) - 4); gsub(/^"|"$/, "", v); return v
}
NR == 1 { printf "kxsVersion.0 %s\nkxsInstallDate.0 %s\nkxsPatches.0 %s\n", field("version"), field("installDate"), field("patches")
          printf "kxsContact.0 %s\nkxsUnownedLimit.0 60\n", field("contact") }
/"name":/ { d++; c[2, d] = field("name"); c[3, d] = field("status"); c[4, d] = field("stime")
            c[5, d] = field("changetm"); c[6, d] = field("instances"); c[7, d] = field("description") }
END { split("Name Status StartTime ChangeTime Instances Description", col)
      for (k = 2; k <= 7; k++) for (i = 1; i <= d; i++) printf "kxsDaemon%s.%d %s\n", col[k - 1], i, c[k, i] }
AWK
grep -vE '^kxsUpTime|^kxsDaemonChangeTime' "$work/walk" >"$work/walk.exact"
grep -vE '^kxsDaemonChangeTime' "$work/expected" | diff - "$work/walk.exact" >"$work/diff" ||
  fail "walk differs from kxsmon --json: $(cat "$work/diff")"
grep -q '^kxsDaemonStatus.1 1$' "$work/walk" || fail "the simulated daemon is not up: $(cat "$work/walk")"
paste <(grep '^kxsDaemonChangeTime' "$work/expected") <(grep '^kxsDaemonChangeTime' "$work/walk") |
  awk '{ d = $2 - $4; if (d < -30 || d > 30 || ($2 == 0) != ($4 == 0)) exit 1 }' ||
  fail "change times differ by more than the time between the two looks"
agent_up=$(awk '/^kxsUpTime/ { print $2 }' "$work/walk")
cli_up=$(sed -n 's/.*"uptime": \([0-9]*\).*/\1/p' "$work/report.json")
[ "$agent_up" -gt 0 ] && [ $((agent_up - cli_up)) -le 1500 ] && [ $((cli_up - agent_up)) -le 1500 ] ||
  fail "up time $agent_up, kxsmon says $cli_up"

# --- sets that change the stored files, and malformed ones that must not
set_it KXSMON-MIB::kxsContact.0 s 'Ops desk, x4242' >/dev/null
[ "$(walk KXSMON-MIB::kxsContact)" = "kxsContact.0 Ops desk, x4242" ] || fail "contact not read back"
[ "$(cat "$snmp/kxssyscontact.data")" = "Ops desk, x4242" ] || fail "contact file: $(cat "$snmp/kxssyscontact.data")"
set_it KXSMON-MIB::kxsMonRowStatus.\'IEEE802.0800\' i 4 >/dev/null
[ "$(cat "$snmp/kxsmonitoreddtus.data")" = IEEE802.0800 ] || fail "monitored row not stored"
[ "$(walk KXSMON-MIB::kxsMonRowStatus)" = "kxsMonRowStatus.'IEEE802.0800' 1" ] ||
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
[ -f "$snmp/kxsmonitoreddtus.data" ] && [ ! -s "$snmp/kxsmonitoreddtus.data" ] || fail "destroyed row still stored"

# --- daemons that accept and never answer: answers stay quick, figures stale
kill "${pids[0]}" "${pids[1]}"; wait "${pids[0]}" "${pids[1]}" 2>/dev/null
for p in 7010 7007; do
  setsid socat -d -d "TCP-LISTEN:$p,bind=127.0.0.1,reuseaddr,fork" SYSTEM:"sleep 30" \
    2>>"$work/silent.log" & groups+=($!)
done
sleep 1.1; walk KXSMON-MIB::kxsSystem >/dev/null  # the worker now hangs on a daemon
# Numeric OIDs, so that the time is the agent's and not the MIB parser's:
# the system group (sysUpTime) and the module's scalars (kxsContact).
while read -r subtree expect; do
  for round in 1 2 3; do
    sleep 0.6
    start=$(now_ms)
    out=$(snmpwalk -v2c -c public -t 1 -r 0 -m '' -On 127.0.0.1:16161 "$subtree" 2>&1)
    took=$(($(now_ms) - start))
    [ "$took" -lt 1000 ] || fail "walk of $subtree took $took ms (round $round)"
    grep -q "^$expect" <<<"$out" || fail "walk of $subtree: $out"
  done
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

echo "agent: $failures failed ($SECONDS s)"
[ "$failures" = 0 ]
