#!/bin/sh
# `zerloctl watch` and `zerloctl auto` as a user runs them.
set -u
ZERLOCTL=$1 PROFILE=$2
failures=0
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

check() { # check NAME EXPECTED-EXIT GOT-EXIT OUTPUT-FILE PATTERN...
    name=$1 want=$2 got=$3 file=$4
    shift 4
    for pattern in "$@"; do
        if [ "$got" -ne "$want" ] || ! grep -Eq -- "$pattern" "$file"; then
            echo "FAIL $name: exit $got (want $want), /$pattern/ in:"; cat "$file"
            failures=$((failures + 1)); return
        fi
    done
    echo "ok   $name"
}

"$ZERLOCTL" watch --count 3 --interval 0 >"$dir/out" 2>&1
check watch-three-lines 0 $? "$dir/out" '^sim 00:00:00 \| fan 0: low, 2700 rpm \| fan 1: off, 0 rpm \| sensor 0: 62 C'
[ "$(wc -l <"$dir/out")" -eq 3 ] || { echo "FAIL watch-three-lines: not 3 lines"; failures=$((failures + 1)); }
"$ZERLOCTL" --machine "$PROFILE" --json watch --count 2 --interval 1200 --time-scale 0 --sensors 1 >"$dir/out" 2>&1
check watch-json-lines-heat 0 $? "$dir/out" '^\{"fans":.*"sensors":\[\{"celsius":40,"sensor":0\}\],"time":"sim 00:00:00"\}$' \
    '"sensors":\[\{"celsius":9[0-9],"sensor":0\}\],"time":"sim 00:20:00"'
"$ZERLOCTL" --bare watch --count 1 --sensors 1 --sio >"$dir/out" 2>&1
check watch-failures-per-item 0 $? "$dir/out" 'fan 0: failed .* sensor 0: failed \| sio fan 0: failed'

"$ZERLOCTL" auto --print-example-config >"$dir/example.json" 2>&1
check example-config 0 $? "$dir/example.json" '"on_exit": "high"'
"$ZERLOCTL" --machine "$PROFILE" auto --config "$dir/example.json" --once fan-state 0 >"$dir/out" 2>&1
check once-light-load-sets-nothing 0 $? "$dir/out" '^fan 0: state 0 \(off\)$'
sed 's/"down": 60/"down": 70/' "$dir/example.json" >"$dir/bad.json"
"$ZERLOCTL" auto --config "$dir/bad.json" >"$dir/out" 2>&1
check bad-config 2 $? "$dir/out" 'fans\[0\]\.steps\[1\]\.down: 70 is not below up \(68\)'

# A running loop stopped by a signal leaves every fan high.
sed 's/"load": 1.0/"load": 0.2/' "$PROFILE" >"$dir/light.json"
for signal in TERM INT; do
    "$ZERLOCTL" --machine "$dir/light.json" auto --config "$dir/example.json" --time-scale 2000 >"$dir/out" 2>&1 &
    pid=$!
    sleep 2
    kill -$signal $pid
    wait $pid
    check "stop-on-SIG$signal" 0 $? "$dir/out" "stopping: SIG$signal.*every controlled fan to high" \
        "fan 0: off -> high \\[SIG$signal" "fan 1: off -> high \\[SIG$signal"
done

"$ZERLOCTL" --machine "$PROFILE" --json auto --config "$dir/example.json" --dry-run --time-scale 3000 >"$dir/out" 2>&1 &
pid=$!
sleep 2
kill -TERM $pid
wait $pid
check dry-run-json 0 $? "$dir/out" '^\{"dry_run":true,"event":"change","fan":0,"from":"off","temperatures":\{"0":5[5-9],"1":[0-9]+\},"time":"sim [0-9:]+","to":"low"\}$'

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
