#!/bin/sh
# zerloctl on one line: a command used twice is two requests, each with only
# its own options, and `handles` holds more handles open beside the first.
set -u
ZERLOCTL=$1
passed=0
failed=0

expect() { # NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    fi
}

out=$("$ZERLOCTL" --json ioctl 0x9C40A440 --in 00010000 --out-len 4 ioctl 0x9C40A440 --out-len 4 \
    ioctl 0x9C40A444 --out-len 8 ioctl 0x9C40A444)
expect "an ioctl's input and output length do not carry over to the next" \
'{"code":2621482048,"command":"ioctl","information":0,"reply":"","status":3221225485,"status_name":"STATUS_INVALID_PARAMETER"}
{"code":2621482048,"command":"ioctl","information":0,"reply":"","status":3221225507,"status_name":"STATUS_BUFFER_TOO_SMALL"}
{"code":2621482052,"command":"ioctl","information":8,"reply":"0100000005000000","status":0,"status_name":"STATUS_SUCCESS"}
{"code":2621482052,"command":"ioctl","information":0,"reply":"","status":3221225507,"status_name":"STATUS_BUFFER_TOO_SMALL"}' "$out"

out=$("$ZERLOCTL" --json status --sensors 0 status | sed 's/.*"sensors":\[\(.*\)\]}$/\1/; t; s/.*/none/')
expect "status --sensors does not carry over to the next status" "none
$("$ZERLOCTL" --json status | sed 's/.*"sensors":\[\(.*\)\]}$/\1/')" "$out"

out=$("$ZERLOCTL" --kernel-log handles 3)
expect "three more handles answer the version and every open and close reaches the driver" \
"3 more handles open at once, 3 answered the version request
Zerlo: DriverEntry successful
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Open / Close
Zerlo: Entering unload function
Zerlo: Link removed
Zerlo: End of unload" "$out"

out=$("$ZERLOCTL" --json --read-only handles 2)
code=$?
expect "handles opened for reading only are refused the version, each" \
'{"command":"handles","handles":2,"replies":[{"information":0,"reply":"","status":3221225506},{"information":0,"reply":"","status":3221225506}]}
1' "$out
$code"

"$ZERLOCTL" handles 65 >/dev/null 2>&1
expect "more than 64 handles is a usage error" 2 $?

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
