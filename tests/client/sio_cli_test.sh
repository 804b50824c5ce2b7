#!/bin/sh
# zerloctl's Super-I/O commands as a user runs them: on the default notebook
# (chip at 0x2E, fan 1 at level 12) and on a bare machine without a chip.
set -u
ZERLOCTL=$1
. "$(dirname "$0")/cli_check.sh"

# Every run boots a fresh notebook at fan 1's level 12 (read in the port
# trace below), so the 10 can only be the level set.
check "a level set is read back in the same run" 0 "fan 1: level set to 10
10" -- set-sio-level 1 10 sio-level 1

check "level 64 is refused by the driver" 1 "fan 0, level 64: refused by the driver: STATUS_INVALID_PARAMETER (0xC000000D); levels are 0 to 63" -- set-sio-level 0 64

check "status reads the levels only when asked" 0 "fan 0: low, 2700 rpm
fan 1: off, 0 rpm
sio fan 0: level 20
sio fan 1: level 12" -- status --sensors 0 --sio

check "status without --sio" 0 "fan 0: low, 2700 rpm
fan 1: off, 0 rpm" -- status --sensors 0

check "the port trace shows the probe, the base and the level read, in order" 0 "out 0x2e <- 0xaa
in 0x2e -> 0xff
in 0x2f -> 0xff
out 0x2e <- 0x55
out 0x2e <- 0x55
in 0x2e -> 0x55
out 0x2e <- 0x20
in 0x2e -> 0x20
in 0x2f -> 0x0e
out 0x2e <- 0x21
in 0x2e -> 0x21
in 0x2f -> 0x03
out 0x2e <- 0x07
out 0x2f <- 0x09
out 0x2e <- 0x60
in 0x2f -> 0x0a
out 0x2e <- 0x61
in 0x2f -> 0x00
out 0xa00 <- 0x93
in 0xa01 -> 0x98
12
smi ax=0x02a3 bx=0x0000 cx=0x0000 dx=0x0000 -> ax=0x005a bx=0x0000 cx=0x0000 dx=0x0000
fan 0: 2700 rpm" -- --port-trace sio-level 1 fan-speed 0

check "no chip on a bare machine" 1 "no Super-I/O chip found at 0x2E or 0x4E" -- --bare sio-detect

check "no level without a chip" 1 "fan 1 level (no Super-I/O chip): firmware call failed" -- --bare sio-level 1

check "the failure value itself" 0 "code: 0x9C40A41C
status: STATUS_SUCCESS (0x00000000)
information: 4
reply: ffffffff" -- --bare ioctl 0x9C40A41C --in 01000000 --out-len 4

check "setting a level without a chip" 1 "fan 0: level not accepted by the chip" -- --bare set-sio-level 0 5

finish
