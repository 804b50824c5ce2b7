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
# A refusal names what was asked and the range the driver takes.
expect fan-out-of-range 1 '^fan 2: refused by the driver: STATUS_INVALID_PARAMETER \(0xC000000D\); fans are 0 and 1$' -- \
    "$ZERLOCTL" fan-speed 2
expect state-out-of-range 1 '^fan 1, state 3: refused by the driver: .*; states are 0 to 2$' -- "$ZERLOCTL" set-fan-state 1 3
expect sensor-out-of-range 1 '^sensor 256: refused by the driver: .*; sensors are 0 to 255$' -- "$ZERLOCTL" temperature 256
expect chained-set-then-read 0 'fan 1: state 2 \(high\)' -- "$ZERLOCTL" set-fan-state 1 2 fan-state 1
expect bare-firmware-failure 1 'fan 0 speed: firmware call failed' -- "$ZERLOCTL" --bare fan-speed 0
expect read-only-handle 1 '^version: refused by the I/O manager: STATUS_ACCESS_DENIED' -- "$ZERLOCTL" --read-only version
expect status 0 'sensor 3: [0-9]+' -- "$ZERLOCTL" status
expect kernel-log 0 'Zerlo: End of unload' -- "$ZERLOCTL" --kernel-log version
expect driver-image 0 '^1\.5$' -- "$ZERLOCTL" --sys "$(dirname "$ZERLOCTL")/zerlo_driver.so" version
expect driver-image-missing 3 'did not start' -- "$ZERLOCTL" --sys /nonexistent.sys version
expect no-command-lists-commands 2 '^  set-fan-state FAN STATE +set a fan' -- "$ZERLOCTL"
expect no-command-points-at-tour 2 'zerloctl tour' -- "$ZERLOCTL" --json
expect bad-command 2 '' -- "$ZERLOCTL" spin-fans
expect bad-argument 2 '' -- "$ZERLOCTL" fan-speed 70000
expect bad-hex 2 '' -- "$ZERLOCTL" ioctl 0x9C40A444 --in 0g
expect missing-machine 2 '' -- "$ZERLOCTL" --machine /nonexistent.json version

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
