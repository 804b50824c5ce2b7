#!/bin/sh
# `zerloctl check`, the notebook check, as an owner and the installer run it:
# whole texts for each verdict, its JSON, and that it moves no fan.
set -u
ZERLOCTL=$1 PROFILES=$2 DUMPS=$3
. "$(dirname "$0")/cli_check.sh"

# report FANS PLAUSIBLE NOT_PLAUSIBLE FIRMWARE VERDICT: the check's whole
# text, FANS and FIRMWARE each a block of lines.
report() {
    printf 'driver version: 1.5\nBIOS fan calls:\n%s\nBIOS temperature calls, sensors 0 to 15:\n' "$1"
    printf '  plausible: %s\n  not plausible: %s\n%s\nverdict: the fan loop %s' "$2" "$3" "$4" "$5"
}
fans_found="  fan 0: low, 2700 rpm
  fan 1: off, 0 rpm" fans_off="  fan 0: off, 0 rpm
  fan 1: off, 0 rpm" fans_silent="  fan 0: no answer
  fan 1: no answer"
four="0 (62 C), 1 (55 C), 2 (40 C), 3 (33 C)" usable="can be used, with fans 0 and 1 and sensors 0, 1, 2 and 3"
nothing="Super-I/O chip: not found at 0x2E or 0x4E
CPU speed: not known
SMBIOS product name: not found
ACPI tables: none found"

check default-notebook 0 "$(report "$fans_found" "$four" "4 to 15 (failed)" "Super-I/O chip: found
CPU speed: 1800 MHz
SMBIOS product name: Voyager 4200
ACPI tables: 9 found" "$usable")" -- check

failed=$(for sensor in 4 5 6 7 8 9 10 11 12 13 14 15; do printf ',{"plausible":false,"sensor":%d}' $sensor; done)
check default-notebook-json 0 '{"acpi_tables":9,"command":"check","cpu_mhz":1800,"driver_version":"1.5","fans":[{"fan":0,"found":true,"rpm":2700,"state":1},{"fan":1,"found":true,"rpm":0,"state":0}],"fans_found":[0,1],"product_name":"Voyager 4200","sensors":[{"celsius":62,"plausible":true,"sensor":0},{"celsius":55,"plausible":true,"sensor":1},{"celsius":40,"plausible":true,"sensor":2},{"celsius":33,"plausible":true,"sensor":3}'"$failed"'],"sensors_found":[0,1,2,3],"superio_found":true,"usable":true}' -- --json check

# Nothing answers: no handler, no chip, no tables; the same text whether the handler is missing or silent.
silent=$(report "$fans_silent" none "0 to 15 (failed)" "$nothing" \
    "cannot be used: the BIOS does not answer its fan and temperature calls")
check bare 1 "$silent" -- --bare check
check bare-json 1 '{"acpi_tables":0,"command":"check","cpu_mhz":null,"driver_version":"1.5","fans":[{"fan":0,"found":false},{"fan":1,"found":false}],"fans_found":[],"product_name":null,"reason":"the BIOS does not answer its fan and temperature calls","sensors":['"$(for sensor in $(seq 0 15); do printf '{"plausible":false,"sensor":%d}' $sensor; [ $sensor -lt 15 ] && printf ,; done)"'],"sensors_found":[],"superio_found":false,"usable":false}' -- --bare --json check

# A handler that is there but leaves every call as it came (what a notebook
# without these calls, or Wine, gives).
check firmware-silent 1 "$silent" -- --machine "$PROFILES/check/firmware_silent.json" check

# Every call "succeeds" with 0: the fans look found, but 0 C is no reading.
check firmware-answers-zero 1 "$(report "$fans_off" none "0 to 15 (0 C)" "$nothing" \
    "cannot be used: no sensor of 0 to 15 gives a plausible reading")" -- \
    --machine "$PROFILES/check/firmware_answers_zero.json" check

check no-fans 1 "$(report "$fans_silent" "0 (48 C)" "1 (0 C), 2 to 15 (failed)" "$nothing" \
    "cannot be used: no fan answers the BIOS's fan-state call")" -- --machine "$PROFILES/check/no_fans.json" check

# Sensors reading 255 (a missing sensor's register) are not plausible; the
# one sensor left is enough for the loop.
sed 's/"schedule": \[/"schedule": [{"at_s": 0, "sensor_fault": "garbage"}, /' "$PROFILES/thermal_heat_step.json" \
    >"$work/garbage.json"
check sensors-read-255 0 "$(report "$fans_off" "3 (34 C)" "0 to 2 (255 C), 4 to 15 (failed)" "$nothing" \
    "can be used, with fans 0 and 1 and sensor 3")" -- --machine "$work/garbage.json" check

# A real notebook's firmware dumps replayed: its product, CPU and tables.
check replayed-dumps 0 "$(report "$fans_found" "$four" "4 to 15 (failed)" "Super-I/O chip: found
CPU speed: 2000 MHz
SMBIOS product name: Latitude D630
ACPI tables: 4 found" "$usable")" -- \
    --smbios-dump "$DUMPS/entry_length_0x20.bin" --acpidump "$DUMPS/rsdt_xsdt_differ.txt" check

# A product name is firmware bytes: escaped on a terminal, Latin-1 in JSON.
"$ZERLOCTL" --machine "$PROFILES/firmware_bytes/oem_strings.json" check >"$work/out" 2>&1
same product-name-escaped 'SMBIOS product name: X\x1b[2JY' "$(grep '^SMBIOS' "$work/out")"
"$ZERLOCTL" --machine "$PROFILES/firmware_bytes/oem_strings.json" --json check >"$work/out" 2>&1
same product-name-json '"product_name":"X\u001b[2JY"' "$(grep -o '"product_name":"[^"]*"' "$work/out")"

# The check only reads: every SMI it makes is a read (fan state 0x00A3, fan
# speed 0x02A3, temperature 0x10A3), one per fan and per sensor, and the fans
# are as they were.
"$ZERLOCTL" --port-trace check fan-state 0 fan-state 1 >"$work/out" 2>&1
same only-reads-smi "$(printf 'smi ax=0x00a3\nsmi ax=0x02a3\nsmi ax=0x00a3\nsmi ax=0x02a3\n16 smi ax=0x10a3\n2 smi ax=0x00a3')" \
    "$(grep -o '^smi ax=0x[0-9a-f]*' "$work/out" | uniq -c | sed 's/^ *1 //; s/^ *//')"
same fans-unmoved "fan 0: state 1 (low)
fan 1: state 0 (off)" "$(grep '^fan [01]: state' "$work/out")"

# The presets, made for the fans and sensors the check finds.
check preset-printed 0 '{
  "// preset": "balanced: the fans follow the heat at a middle pace",
  "poll_seconds": 2,
  "on_exit": "high",
  "// critical": "at or above this on any sensor, every fan goes high at once; 60 to 95",
  "critical": 90,
  "fans": [
    {
      "fan": 0,
      "sensors": [0, 1, 2, 3],
      "idle_state": "off",
      "min_change_seconds": 30,
      "steps": [
        {"state": "low", "up": 52, "down": 46},
        {"state": "high", "up": 68, "down": 60}
      ]
    },
    {
      "fan": 1,
      "sensors": [0, 1, 2, 3],
      "idle_state": "off",
      "min_change_seconds": 30,
      "steps": [
        {"state": "low", "up": 56, "down": 50},
        {"state": "high", "up": 72, "down": 64}
      ]
    }
  ]
}' -- auto --print-example-config --preset balanced
"$ZERLOCTL" --machine "$work/garbage.json" auto --print-example-config --preset cool >"$work/out" 2>&1
same preset-follows-only-plausible-sensors '"sensors": [3],' "$(grep -o '"sensors": \[[0-9, ]*\],' "$work/out" | sort -u)"
check preset-one-poll 0 "sim 00:00:00 fan 0: low -> high (sensor 0: 62, sensor 1: 55, sensor 2: 40, sensor 3: 33)
sim 00:00:00 fan 1: off -> low (sensor 0: 62, sensor 1: 55, sensor 2: 40, sensor 3: 33)
fan 0: state 2 (high)
fan 1: state 1 (low)" -- auto --once --preset cool fan-state 0 fan-state 1
check preset-not-usable 1 "zerloctl: preset quiet: the fan loop cannot be used: the BIOS does not answer its fan and temperature calls" -- \
    --bare auto --preset quiet --once
check preset-unknown 2 "--preset: loud not in {quiet,balanced,cool}
Run with --help for more information." -- auto --preset loud
check preset-and-config 2 "--config excludes --preset
Run with --help for more information." -- auto --preset cool --config x.json
check auto-needs-a-configuration 2 "auto --config or --preset is required
Run with --help for more information." -- auto

check_match no-driver 3 '^zerloctl: .*/check_cli_test.sh did not start: STATUS_OBJECT_NAME_NOT_FOUND \(0xC0000034\)$' -- \
    --sys "$0" check

finish
