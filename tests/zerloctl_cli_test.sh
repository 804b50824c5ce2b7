#!/bin/sh
# zerloctl as a user runs it: outputs, JSON and exit codes.
set -u
ZERLOCTL=$1
failures=0

expect() { # expect NAME EXPECTED-EXIT EXPECTED-OUTPUT-PATTERN -- COMMAND...
    name=$1 want_exit=$2 pattern=$3
    shift 4
    out=$("$@" 2>&1)
    got_exit=$?
    if [ "$got_exit" -ne "$want_exit" ]; then
        echo "FAIL $name: exit $got_exit, expected $want_exit; output:"; echo "$out"
        failures=$((failures + 1))
    elif ! printf '%s\n' "$out" | grep -Eq -- "$pattern"; then
        echo "FAIL $name: output does not match /$pattern/:"; echo "$out"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

expect version 0 '^1\.5$' -- "$ZERLOCTL" version
expect version-json 0 '^\{"command":"version","major":1,"minor":5\}$' -- "$ZERLOCTL" --json version
expect refused-code-json 1 '"information":0.*"reply":"".*"status":3221225485' -- \
    "$ZERLOCTL" --json ioctl 0x9C40A40C --out-len 4
expect raw-version 0 '^reply: 0100000005000000$' -- "$ZERLOCTL" ioctl 0x9C40A444 --out-len 8
expect raw-short-input 1 'STATUS_BUFFER_TOO_SMALL \(0xC0000023\)' -- "$ZERLOCTL" ioctl 0x9C40A404 --in 010000 --out-len 4
expect fan-speed 0 '^fan 1: [0-9]+ rpm$' -- "$ZERLOCTL" fan-speed 1
expect fan-out-of-range 1 'refused: STATUS_INVALID_PARAMETER' -- "$ZERLOCTL" fan-speed 2
expect sensor-out-of-range 1 'refused: STATUS_INVALID_PARAMETER' -- "$ZERLOCTL" temperature 256
expect chained-set-then-read 0 'fan 1: state 2 \(high\)' -- "$ZERLOCTL" set-fan-state 1 2 fan-state 1
expect bare-firmware-failure 1 'fan 0 speed: firmware call failed' -- "$ZERLOCTL" --bare fan-speed 0
expect read-only-handle 1 'STATUS_ACCESS_DENIED' -- "$ZERLOCTL" --read-only version
expect status 0 'sensor 3: [0-9]+' -- "$ZERLOCTL" status
expect kernel-log 0 'Zerlo: End of unload' -- "$ZERLOCTL" --kernel-log version
expect bad-command 2 '' -- "$ZERLOCTL" spin-fans
expect bad-argument 2 '' -- "$ZERLOCTL" fan-speed 70000
expect bad-hex 2 '' -- "$ZERLOCTL" ioctl 0x9C40A444 --in 0g
expect missing-machine 2 '' -- "$ZERLOCTL" --machine /nonexistent.json version

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
