#!/bin/sh
# `zerloctl watch` and `zerloctl auto` as a user runs them.
set -u
ZERLOCTL=$1 PROFILE=$2
. "$(dirname "$0")/cli_check.sh"

"$ZERLOCTL" watch --count 3 --interval 0.5 --time-scale 0 >"$work/out" 2>&1
check_lines watch-three-lines 0 $? "$work/out" '^sim 00:00:00 \| fan 0: low, 2700 rpm \| fan 1: off, 0 rpm \| sensor 0: 62 C'
same watch-three-lines-count 3 "$(grep -c '' "$work/out")"
"$ZERLOCTL" --machine "$PROFILE" --json watch --count 2 --interval 1200 --time-scale 0 --sensors 1 >"$work/out" 2>&1
check_lines watch-json-lines-heat 0 $? "$work/out" '^\{"fans":.*\],"monotonic":0\.0,"sensors":\[\{"celsius":40,"sensor":0\}\],"time":"sim 00:00:00"\}$' \
    '"monotonic":1200\.0,"sensors":\[\{"celsius":9[0-9],"sensor":0\}\],"time":"sim 00:20:00"'
check watch-interval-floor 2 "--interval: 0.4 is outside 0.5 to 86400
Run with --help for more information." -- watch --interval 0.4
# Every floating option takes a finite number in its range: NaN compares
# false both ways, so a range check alone would let it through.
for option in "watch --interval" "watch --time-scale" "auto --time-scale"; do
    case $option in
    *--interval) range="0.5 to 86400" ;;
    *) range="0 to 1000000" ;;
    esac
    for value in nan inf -inf 1e400 -1e400 -1 1e300 0x 12abc; do
        case $value in
        nan | inf | -inf | 1e400 | -1e400) problem="$value is not a finite number" ;;
        -1 | 1e300) problem="$value is outside $range" ;;
        *) problem="$value is not a number" ;;
        esac
        check "$option=$value" 2 "${option#* }: $problem
Run with --help for more information." -- "${option% *}" "${option#* }=$value"
    done
done
check_match watch-failures-per-item 0 'fan 0: failed .* sensor 0: failed \| sio fan 0: failed' -- --bare watch --count 1 --sensors 1 --sio

"$ZERLOCTL" auto --print-example-config >"$work/example.json" 2>&1
check_lines example-config 0 $? "$work/example.json" '"on_exit": "high"'
check_match once-light-load-sets-nothing 0 '^fan 0: state 0 \(off\)$' -- \
    --machine "$PROFILE" auto --config "$work/example.json" --once fan-state 0
# The first poll's step down waits the minimum interval like any other.
check_match once-holds-a-step-down 0 '^fan 0: state 2 \(high\)$' -- \
    --machine "$PROFILE" set-fan-state 0 2 auto --config "$work/example.json" --once fan-state 0
# A mistake in the configuration names its field or line, before the driver
# is opened. The checker's rules are tested one by one in AutoConfig's test;
# here, that its refusals reach the user, and the file's own faults. NAME|SED SCRIPT making it from the example|MESSAGE, then files
# made whole: a tower of brackets, a file over 1 MiB, and what is not a text
# file, refused by what it is before a byte is parsed (a FIFO would block the
# reader forever).
{ printf '{"fans": [{"fan": '; printf '%0200000d' 0 | tr 0 '['; } >"$work/tower.json"
head -c 1048577 /dev/zero | tr '\0' ' ' >"$work/huge.json"
mkdir "$work/folder.json"
mkfifo "$work/fifo.json"
printf '{"fans": []}\000{"garbage"' >"$work/nul.json"
printf '{"fans": []}\n}' >"$work/after.json"
printf '\377\376{\000}\000' >"$work/utf16le.json"
printf '\376\377\000{\000}' >"$work/utf16be.json"
while IFS='|' read -r name edit message; do
    [ -n "$edit" ] && sed "$edit" "$work/example.json" >"$work/$name.json"
    check "bad-config-$name" 2 "auto --config: $work/$name.json: $message
Run with --help for more information." -- auto --config "$work/$name.json"
done <<'EOF'
idle-high|0,/"idle_state": "off"/s//"idle_state": "high"/|fans[0].idle_state: high leaves no state for a step above it: use off or low
duplicate-key|s/"up": 68/"up": 68, "up": 69/|fans[0].steps[1].up: named twice
number-overflow|s/"poll_seconds": 2/"poll_seconds": 1e400/|line 3, column 23: number overflow parsing '1e400'
syntax|s/"on_exit": "high",/"on_exit": "high"/|line 8, column 11: syntax error while parsing object - unexpected string literal; expected '}'
tower||fans[0].fan: lists and objects nested more than 32 deep
huge||longer than 1048576 bytes
folder||a folder, not a file
fifo||a FIFO, not a regular file
missing||cannot open: No such file or directory
nul||line 1, column 13: a NUL byte, which no text file holds
after||line 2, column 1: syntax error while parsing value - unexpected '}'; expected end of input
utf16le||saved as UTF-16 (Notepad's "Unicode"): save it as UTF-8 or ANSI
utf16be||saved as UTF-16 (Notepad's "Unicode"): save it as UTF-8 or ANSI
EOF

# Waits (up to 30 s) until process $1 catches SIGTERM: the loop installs its
# handlers as it starts, and a signal sent before that, on a machine slow
# enough (zerlo.sys emulated under load), would kill it instead of stopping it.
handling() {
    for _ in $(seq 300); do
        mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null)
        [ -n "$mask" ] && [ $((0x$mask >> 14 & 1)) -eq 1 ] && return 0
        sleep 0.1
    done
}

# A running loop stopped by a signal leaves every fan high.
sed 's/"load": 1.0/"load": 0.2/' "$PROFILE" >"$work/light.json"
for signal in TERM INT HUP; do
    "$ZERLOCTL" --machine "$work/light.json" auto --config "$work/example.json" --time-scale 2000 >"$work/out" 2>&1 &
    pid=$!
    handling $pid
    sleep 1
    kill -$signal $pid
    wait $pid
    check_lines "stop-on-SIG$signal" 0 $? "$work/out" "stopping: SIG$signal.*every controlled fan to high" \
        "fan 0: off -> high \\[SIG$signal" "fan 1: off -> high \\[SIG$signal"
done

# A firmware that stops answering a minute in: the stop cannot set the fans
# high, and says so with exit 1.
sed 's/{"at_s": 600,/{"at_s": 60, "handler": "none"}, &/' "$PROFILE" >"$work/silent.json"
"$ZERLOCTL" --machine "$work/silent.json" auto --config "$work/example.json" --time-scale 2000 >"$work/out" 2>&1 &
pid=$!
handling $pid
for _ in $(seq 300); do
    grep -q 'fail-safe' "$work/out" && break
    sleep 0.1
done
kill -TERM $pid
wait $pid
check_lines stop-that-cannot-set-high 1 $? "$work/out" 'fail-safe: sensor 0: read failed' \
    'stopping: SIGTERM; every controlled fan to high' \
    'fan 0: cannot set high: firmware call failed; the loop is stopping, so not retried' \
    'fan 1: cannot set high: firmware call failed; the loop is stopping, so not retried' \
    '^zerloctl: the stop could not set every controlled fan high$'

"$ZERLOCTL" --machine "$PROFILE" --json auto --config "$work/example.json" --dry-run --time-scale 3000 >"$work/out" 2>&1 &
pid=$!
handling $pid
# Fan 1 turns low first, a few simulated seconds before fan 0: wait for
# fan 0's change itself, or a stop between the two misses it.
for _ in $(seq 300); do
    grep -q '"event":"change","fan":0,' "$work/out" && break
    sleep 0.1
done
kill -TERM $pid
wait $pid
check_lines dry-run-json 0 $? "$work/out" '^\{"dry_run":true,"event":"change","fan":0,"from":"off","temperatures":\{"0":5[5-9],"1":[0-9]+\},"time":"sim [0-9:]+","to":"low"\}$'

finish
