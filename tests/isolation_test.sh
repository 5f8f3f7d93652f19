#!/usr/bin/env bash
# Nothing that runs on the host changes what the demo or a test finds:
# decoys named like the product's daemons (kxauthd, kxsessiond, dtlogin)
# run outside while the demo reports and while the daemons test, which
# counts a dtlogin of its own, runs in its sandbox.
#   isolation_test.sh KXSMON DAEMONS-TEST NETSANDBOX
set -u
kxsmon=$1 daemonsTest=$2 sandbox=$3
work=$(mktemp -d /tmp/kxsmon-isolation.XXXXXX)
decoys=()
trap '[ ${#decoys[@]} = 0 ] || kill "${decoys[@]}"; wait; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for name in kxauthd kxsessiond dtlogin; do
  ln -s "$(command -v sleep)" "$work/$name"
  "$work/$name" 300 & decoys+=($!)
done
for pid in "${decoys[@]}"; do
  for _ in $(seq 50); do [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "$(command -v sleep)")" ] && break; sleep 0.1; done
done

"$kxsmon" demo --json >"$work/report.json" 2>"$work/err"
status=$?
[ "$status" != 77 ] || { echo "no sandbox here: test skipped"; exit 77; }
[ "$status" = 0 ] || fail "demo: status $status: $(cat "$work/err")"
python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
counts = {x["name"]: x["instances"] for x in d["daemons"]}
sys.exit(0 if all(counts[n] == 1 for n in ("kxauthd", "kxsessiond", "dtlogin")) else 1)' "$work/report.json" ||
  fail "demo counts the host's processes: $(grep -A3 '"name"' "$work/report.json" | tr -d '\n ')"

"$sandbox" "$daemonsTest" --gtest_filter=Daemons.VerdictsOfTheServiceRules >"$work/test.log" 2>&1 ||
  fail "the daemons test beside the decoys: $(grep -E 'Failure|Expected|Which is' "$work/test.log" | head -6)"

echo "isolation: $failures failed"
[ "$failures" = 0 ]
