#!/bin/sh
# zerloctl on one line: a command used twice is two requests, each with only
# its own options, and `handles` holds more handles open beside the first.
set -u
ZERLOCTL=$1
. "$(dirname "$0")/cli_check.sh"

check "an ioctl's input and output length do not carry over to the next" 1 \
'{"code":2621482048,"command":"ioctl","information":0,"reply":"","status":3221225485,"status_name":"STATUS_INVALID_PARAMETER"}
{"code":2621482048,"command":"ioctl","information":0,"reply":"","status":3221225507,"status_name":"STATUS_BUFFER_TOO_SMALL"}
{"code":2621482052,"command":"ioctl","information":8,"reply":"0100000005000000","status":0,"status_name":"STATUS_SUCCESS"}
{"code":2621482052,"command":"ioctl","information":0,"reply":"","status":3221225507,"status_name":"STATUS_BUFFER_TOO_SMALL"}' -- \
    --json ioctl 0x9C40A440 --in 00010000 --out-len 4 ioctl 0x9C40A440 --out-len 4 ioctl 0x9C40A444 --out-len 8 ioctl 0x9C40A444

out=$("$ZERLOCTL" --json status --sensors 0 status | sed 's/.*"sensors":\[\(.*\)\]}$/\1/; t; s/.*/none/')
same "status --sensors does not carry over to the next status" "
$("$ZERLOCTL" --json status | sed 's/.*"sensors":\[\(.*\)\]}$/\1/')" "$out"

check "three more handles answer the version and every open and close reaches the driver" 0 \
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
Zerlo: End of unload" -- --kernel-log handles 3

check "handles opened for reading only are refused the version, each" 1 \
'{"command":"handles","handles":2,"replies":[{"information":0,"reply":"","status":3221225506},{"information":0,"reply":"","status":3221225506}]}' -- \
    --json --read-only handles 2

check_match "more than 64 handles is a usage error" 2 'not in range 1 to 64' -- handles 65

finish
