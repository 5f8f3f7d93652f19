#!/usr/bin/env bash
# The textfile workflow as an operator sets it up, inside the sandbox: the
# shipped service's command writes kxsmon's metrics into the directory that
# Debian's prometheus-node-exporter reads (--collector.textfile.directory);
# its /metrics, scraped on loopback, holds our series with their types,
# promtool finds nothing to say of what it serves, and neither a failover
# nor a terminal going absent makes a series that was not there before.
#   textfile_test.sh KXSMON KXS-SIMD SERVICE-FILE DEMO-ROOT
set -u
export LC_ALL=C
kxsmon=$1 simd=$2 service=$3 demoRoot=$4
exporter=$(command -v prometheus-node-exporter) || { echo "no prometheus-node-exporter: test skipped"; exit 77; }
work=$(mktemp -d /tmp/kxsmon-textfile.XXXXXX)
root=$work/root textfiles=$work/textfiles
pids=() simd_pids=()
trap 'kill "${simd_pids[@]}" "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The product root of the demo, in administration mode (its directory is
# not there: the roles come from the replica tool), with three monitored
# terminals, one on each member.
cp -R "$demoRoot" "$root" && mkdir -p "$root/var/opt/ZARNkx/snmp" "$root/var/dt" "$textfiles" && chmod -R go-w "$root"
printf 'admin.server.name=127.0.0.1\nadmin.server.port=1\nadmin.subtree=o=none\n' >"$root/etc/opt/ZARNkx/kxadmin.conf"
printf '0800208a0001\n0800208a0002\n0800208a0003\n' >"$root/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data"
ln -s "$simd" "$work/kxauthd"; ln -s "$simd" "$work/kxsessiond"; ln -s "$(command -v sleep)" "$work/dtlogin"
"$work/dtlogin" 600 & pids+=($!); echo "$!" >"$root/var/dt/Xpid"
# The interface the group manager names, with its link up.
ip link add eth0 type veth peer name eth0-peer && ip link set eth0-peer up && ip link set eth0 up

hosts=(kxtest-host kxmember2 kxmember3)
scenario() {  # scenario PRIMARY TERMINALS...: the group with PRIMARY as its primary
  local primary=$1 now n h; shift; now=$(date +%s)
  for n in 1 2 3; do
    echo "host ${hosts[n-1]} 127.0.0.$n trusted lan_ok lastseen 2 period 20 starttime $((now - 9000))"
  done
  for n in 1 2 3; do
    echo "authmanager ${hosts[n-1]} starttime=$((now - 3600)) desktops=3"
    echo "sessionmanager ${hosts[n-1]} stime=$((now - 3600)) sessions=2 connected=2 auth=1"
  done
  echo "interface kxtest-host eth0 192.168.10.5 255.255.255.0 192.168.10.255 lastpkt 2 lan"
  echo "session :2 T.2 uid=1002"
  for n in "$@"; do
    printf 'terminal %s terminalId=IEEE802.0800208a000%d terminalIPA=192.168.20.%d firmware=4.%d' \
      "${hosts[n-1]}" "$n" "$n" "$n"
    printf ' terminalConnectTime=600 terminalPackets=%d terminalLostPackets=%d tokenName=T.%d\n' $((n * 1000)) "$n" "$n"
  done
  for h in "${hosts[@]}"; do
    echo "replica $h primary $primary"
    for n in "${hosts[@]}"; do [ "$n" = "$primary" ] || echo "replica $h secondary $n"; done
  done
}
serve() {  # serve SCENARIO: the simulated server (re)started as both daemons
  [ ${#simd_pids[@]} = 0 ] || { kill "${simd_pids[@]}"; wait "${simd_pids[@]}" 2>/dev/null; }
  "$work/kxauthd" --sm-port 17007 --root "$root" "$1" 2>/dev/null & simd_pids=($!)
  "$work/kxsessiond" --am-port 17010 "$1" 2>/dev/null & simd_pids+=($!)
  for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/7007 && exec 3<>/dev/tcp/127.0.0.3/7010) 2>/dev/null && break; sleep 0.1; done
  sleep 1
}

# The command the service runs, with this build's kxsmon, the test root and
# the test's directory in place of the installed program and node_exporter's.
read -ra command <<<"$(sed -n 's/^ExecStart=//p' "$service")"
[ "${#command[@]}" -gt 2 ] && [ -x "${command[0]%/*}" ] || [ "${#command[@]}" -gt 2 ] || fail "no ExecStart in $service"
command[0]=$kxsmon
for i in "${!command[@]}"; do
  [ "${command[i]}" != --output ] || { textfile=$textfiles/${command[i + 1]##*/}; command[i + 1]=$textfile; }
done
[ "${textfile:-}" = "$textfiles/kxsmon.prom" ] || fail "the service writes no kxsmon.prom: ${command[*]}"
write_metrics() { "${command[@]}" -R "$root" || fail "the service's command: status $?"; }

"$exporter" --web.listen-address=127.0.0.1:9100 --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$textfiles" 2>"$work/exporter.log" & pids+=($!)
scrape() {
  python3 -c 'import sys, urllib.request
sys.stdout.write(urllib.request.urlopen("http://127.0.0.1:9100/metrics", timeout=10).read().decode())'
}
for _ in $(seq 50); do scrape >/dev/null 2>&1 && break; sleep 0.1; done
series() { grep '^kxsmon_' <<<"$1" | sed 's/ [^ ]*$//' | sort; }

scenario kxtest-host 1 2 3 >"$work/before.scn"
serve "$work/before.scn"
write_metrics
before=$(scrape)
series=$(series "$before")
for line in 'kxsmon_up 1' 'node_textfile_scrape_error 0' \
  'kxsmon_group_member_role{member="kxtest-host",role="primary"} 1' \
  'kxsmon_monitored_terminal_state{state="owned",terminal="0800208a0003"} 1' \
  'kxsmon_monitored_terminal_packets_total{terminal="0800208a0003"} 3000' \
  '# TYPE kxsmon_monitored_terminal_packets_total counter' '# TYPE kxsmon_product_up gauge'; do
  grep -qxF "$line" <<<"$before" || fail "not served: $line"
done
grep -qE '^kxsmon_build_info\{library_version="[0-9.]+",version="[0-9.]+"\} 1$' <<<"$before" || fail "no build info"
grep -qE '^kxsmon_scrape_duration_seconds [0-9.e-]+$' <<<"$before" || fail "no scrape duration"
! grep -qE '^kxsmon_query_(ok\{.*\} 0|partial\{.*\} 1)$' <<<"$before" || fail "a query not ok: $(grep '^kxsmon_query' <<<"$before")"
lint=$(promtool check metrics <<<"$before" 2>&1) || fail "promtool check metrics: $lint"
[ "$(grep -c '^kxsmon_' <<<"$before")" -gt 80 ] || fail "few series served: $(grep -c '^kxsmon_' <<<"$before")"

# A failover (kxmember2 the primary now) and a terminal that no member
# reports any longer: only what is not known any more may go (the absent
# terminal's info, packets and loss); nothing new may come.
scenario kxmember2 1 2 >"$work/after.scn"
serve "$work/after.scn"
write_metrics
after=$(scrape)
grep -qxF 'kxsmon_group_member_role{member="kxmember2",role="primary"} 1' <<<"$after" || fail "no failover seen"
grep -qxF 'kxsmon_monitored_terminal_state{state="absent",terminal="0800208a0003"} 1' <<<"$after" ||
  fail "the terminal did not go absent"
new=$(comm -13 <(echo "$series") <(series "$after"))
[ -z "$new" ] || fail "new series after the failover: $new"
gone=$(comm -23 <(echo "$series") <(series "$after") | grep -v 'terminal="0800208a0003"')
[ -z "$gone" ] || fail "series gone after the failover: $gone"
lint=$(promtool check metrics <<<"$after" 2>&1) || fail "promtool check metrics, after: $lint"

echo "textfile: $failures failed"
[ "$failures" = 0 ]
