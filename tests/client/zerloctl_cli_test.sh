#!/bin/sh
# zerloctl as a user runs it: outputs, JSON and exit codes.
set -u
ZERLOCTL=$1
. "$(dirname "$0")/cli_check.sh"

check_match version 0 '^1\.5$' -- version
check_match version-json 0 '^\{"command":"version","major":1,"minor":5\}$' -- --json version
check_match refused-code-json 1 '"information":0.*"reply":"".*"status":3221225485' -- --json ioctl 0x9C40A40C --out-len 4
check_match raw-version 0 '^reply: 0100000005000000$' -- ioctl 0x9C40A444 --out-len 8
check_match raw-short-input 1 'STATUS_BUFFER_TOO_SMALL \(0xC0000023\)' -- ioctl 0x9C40A404 --in 010000 --out-len 4
check_match fan-speed 0 '^fan 1: [0-9]+ rpm$' -- fan-speed 1
# A refusal names what was asked and the range the driver takes.
check_match state-out-of-range 1 '^fan 1, state 3: refused by the driver: .*; states are 0 to 2$' -- set-fan-state 1 3
check_match chained-set-then-read 0 'fan 1: state 2 \(high\)' -- set-fan-state 1 2 fan-state 1
check_match bare-firmware-failure 1 'fan 0 speed: firmware call failed' -- --bare fan-speed 0
check_match read-only-handle 1 '^version: refused by the I/O manager: STATUS_ACCESS_DENIED' -- --read-only version
check_match status 0 'sensor 3: [0-9]+' -- status
check_match kernel-log 0 'Zerlo: End of unload' -- --kernel-log version
check_match driver-image 0 '^1\.5$' -- --sys "$(dirname "$ZERLOCTL")/zerlo_driver.so" version
# Every option that names a file to read takes a regular file only, named
# in the refusal before anything is loaded: a FIFO would block its reader.
mkdir "$work/folder"
mkfifo "$work/fifo"
for option in --sys --machine --phys-image --acpidump --smbios-dump --phys; do
    value_of() { if [ "$option" = --phys ]; then echo "0x1000=$1"; else echo "$1"; fi; }
    for file in folder fifo missing; do
        case $file in
        folder) problem="a folder, not a file" ;;
        fifo) problem="a FIFO, not a regular file" ;;
        missing) problem="cannot open: No such file or directory" ;;
        esac
        check "file-option$option-$file" 2 "$option: $work/$file: $problem
Run with --help for more information." -- "$option" "$(value_of "$work/$file")" version
    done
done
check_match no-command-lists-commands 2 '^  set-fan-state FAN STATE +set a fan' --
check_match no-command-points-at-tour 2 'zerloctl tour' -- --json
check_match bad-command 2 '' -- spin-fans
check_match bad-argument 2 '' -- fan-speed 70000
check_match bad-hex 2 '' -- ioctl 0x9C40A444 --in 0g
echo '{"name": 1e400}' >"$work/overflow.json"
check machine-number-overflow 2 "zerloctl: [json.exception.out_of_range.406] number overflow parsing '1e400'" -- \
    --machine "$work/overflow.json" version
# A file name need not be UTF-8: the file is written and named in JSON all the same.
check dump-phys-name-not-utf8 0 "$(printf '{"command":"dump-phys","file":"%s/\357\277\275.bin"}' "$work")" -- \
    --json dump-phys "$(printf '%s/\256.bin' "$work")"

# A file placed in memory is judged by its size before it is read: an 8 GiB
# sparse file is refused at once, not read into memory first.
truncate -s 8G "$work/huge.bin"
check phys-huge 2 "zerloctl: $work/huge.bin: does not fit below 4 GiB at that address" -- \
    --phys "0=$work/huge.bin" version
truncate -s 8K "$work/two-pages.bin"
check phys-past-4-gib 2 "zerloctl: $work/two-pages.bin: does not fit below 4 GiB at that address" -- \
    --phys "0xFFFFF000=$work/two-pages.bin" version

# A file that cannot be written is the command's failure (exit 1), named,
# not a missing driver; a FIFO in its place is refused before the driver loads.
check dump-phys-no-folder 1 "zerloctl: dump-phys: $work/none/memory.bin: cannot write: No such file or directory" -- \
    dump-phys "$work/none/memory.bin"
check dump-phys-under-a-file 1 "zerloctl: dump-phys: $0/memory.bin: cannot write: Not a directory" -- \
    dump-phys "$0/memory.bin"
check dump-phys-fifo 2 "dump-phys OUT: $work/fifo: a FIFO, not a regular file
Run with --help for more information." -- dump-phys "$work/fifo"

# Firmware strings hold any byte but NUL: JSON reads each byte as the
# Latin-1 character of that number; a terminal gets control bytes escaped.
FIRMWARE=$(dirname "$0")/../profiles/firmware_bytes/oem_strings.json R=$(printf '\302\256')
check firmware-bytes-smbios 0 "$(printf 'System manufacturer: Acme\256\r\nProduct name: X\\x1b[2JY\r\nService tag: A\\x0dB\r')" -- \
    --machine "$FIRMWARE" smbios
check firmware-bytes-smbios-json 0 "$(cat <<EOF
{"command":"smbios","information":16384,"text":"System manufacturer: Acme$R\r\nProduct name: X\u001b[2JY\r\nService tag: A\rB\r\n"}
EOF
)" -- --machine "$FIRMWARE" --json smbios
check firmware-bytes-acpi-json 0 "$(cat <<EOF
{"command":"acpi","information":32768,"text":"Searching EBDA for signature...\r\nSearching VA 0x20024000, 1024 Bytes...\r\nSearching BIOS area for signature...\r\nSearching VA 0x20001000, 131072 Bytes...\r\nSig found at VA 0x20001000\r\nACPI V1 BIOS detected\r\nRSDT @ VA 0x20026000 (PA 0x07fe0000)\r\nAnalyzing RSDT...\r\n  Remapping 'RSDT', 36 Bytes from VA 0x20026000\r\n  OEMID:'$R\u001bRLO '\r\n  OEM Table ID:'ALVISO  '\r\n  Table remapped to VA 0x20028000 (PA 0x07fe0000)\r\n\r\nPA->VA Mappings:\r\nPA 0x000e0000 -> VA 0x20001000 (131072 Bytes)\r\nPA 0x07fe0000 -> VA 0x20028000 (36 Bytes)\r\n"}
EOF
)" -- --machine "$FIRMWARE" --json acpi

# The tour, whole: every capability on the default notebook, the loop on it heating.
check tour 0 "$(cat <<'EOF'
== the driver's version, and the processor's speed in MHz ==
1.5
1800
== fans and sensors, as a fan-control utility polls them ==
fan 0: low, 2700 rpm
fan 1: off, 0 rpm
sensor 0: 62
sensor 1: 55
sensor 2: 40
sensor 3: 33
== fan 1 set high through the BIOS, then read back ==
fan 1: state set to 2 (high)
fan 1: state 2 (high)
fan 1: 3900 rpm
== the Super-I/O chip: found, fan 1 set to level 10, read back ==
Super-I/O chip found
fan 1: level set to 10
10
== requests the driver refuses ==
fan 2: refused by the driver: STATUS_INVALID_PARAMETER (0xC000000D); fans are 0 and 1
sensor 256: refused by the driver: STATUS_INVALID_PARAMETER (0xC000000D); sensors are 0 to 255
== the SMBIOS inventory's first lines (all of it: zerloctl smbios) ==
BIOS vendor: Kestrel Firmware Ltd.
BIOS version: A07
BIOS date: 07/15/2004
System manufacturer: Aldane Computer Corp.
Product name: Voyager 4200
== the ACPI survey's first lines (all of it: zerloctl acpi) ==
Searching EBDA for signature...
Searching VA 0x20024c00, 1024 Bytes...
Searching BIOS area for signature...
Searching VA 0x20001000, 131072 Bytes...
Sig found at VA 0x20017a10
ACPI V2 BIOS detected
== the fan loop (zerloctl auto), 4 simulated minutes with the example configuration ==
The tour makes this notebook heat: sensors 0 to 2 now follow a simulated load,
light, then full from the first minute. Each line is a change the loop made.
sim 00:00:10 fan 0: low -> off (sensor 0: 25, sensor 1: 25)
sim 00:00:10 fan 1: high -> off (sensor 0: 25, sensor 1: 25, sensor 2: 25)
sim 00:01:18 fan 1: off -> low (sensor 0: 50, sensor 1: 39, sensor 2: 27)
sim 00:01:26 fan 0: off -> low (sensor 0: 55, sensor 1: 42)
sim 00:01:52 fan 1: low -> high (sensor 0: 64, sensor 1: 48, sensor 2: 29)
sim 00:02:36 fan 0: low -> high (sensor 0: 68, sensor 1: 52)
== where next ==
zerloctl watch --time-scale 60     fans and sensors, live
zerloctl auto --config FILE        the fan loop (--print-example-config for a start)
zerloctl --sys build/target/zerlo.sys tour   this tour on the built zerlo.sys (emulated i386)
zerloctl --smbios-dump FILE --acpidump FILE smbios acpi   a real notebook's firmware
EOF
)" -- tour

finish
