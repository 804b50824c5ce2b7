#!/bin/sh
# Dump files as a user hands them to zerloctl: a good pair replays, and every
# kind of malformed file is refused with its file and line or offset, exit 2,
# before the driver is loaded (the version command never prints).
set -u
ZERLOCTL=$1
DUMPS=$2
. "$(dirname "$0")/cli_check.sh"

# patch FILE OFFSET HEX... [fix]: overwrite bytes of a dump; with "fix" the
# entry point's two checksums are made to add up again.
patch() {
    /usr/bin/python3 - "$@" <<'PY'
import sys
path, offset, *rest = sys.argv[1:]
fix = rest[-1:] == ["fix"]
data = bytearray(open(path, "rb").read())
for i, h in enumerate(rest[:-1] if fix else rest):
    data[int(offset) + i] = int(h, 16)
if fix:
    data[0x15] = 0
    data[0x15] = -sum(data[0x10:0x1F]) & 0xFF
    data[4] = 0
    data[4] = -sum(data[:data[5]]) & 0xFF
open(path, "wb").write(data)
PY
}

# refused NAME OPTION FILE MESSAGE: `zerloctl OPTION FILE version` exits 2 with
# "zerloctl: FILE: MESSAGE" alone.
refused() {
    check "$1" 2 "zerloctl: $3: $4" -- "$2" "$3" version
}

BIN=$DUMPS/entry_length_0x20.bin
ACPI=$DUMPS/table_missing.txt

check "a good pair replays" 0 "2000" -- --bare --smbios-dump "$BIN" --acpidump "$ACPI" cpu-speed

# SMBIOS dumps
printf 'not an smbios dump at all, just text\n' > "$work/text.bin"
refused "no anchor" --smbios-dump "$work/text.bin" \
    "offset 0x0: no SMBIOS entry point anchor (\"_SM_\", \"_SM3_\" or \"_DMI_\")"

head -c 20 "$BIN" > "$work/short.bin"
refused "file ends in the entry point" --smbios-dump "$work/short.bin" \
    "offset 0x14: file ends inside the SMBIOS 2 entry point of 32 bytes"

cp "$BIN" "$work/sum.bin" && patch "$work/sum.bin" 8 01
refused "entry point checksum" --smbios-dump "$work/sum.bin" "offset 0x4: entry point checksum does not add up to 0"

cp "$BIN" "$work/len.bin" && patch "$work/len.bin" 5 40
refused "entry point length" --smbios-dump "$work/len.bin" "offset 0x5: entry point length 0x40 outside 0x1E to 0x20"

cp "$BIN" "$work/addr.bin" && patch "$work/addr.bin" 24 00 10 0F 00 fix
refused "table address not 0x20" --smbios-dump "$work/addr.bin" \
    "offset 0x18: table address 0xF1000, where a dmidecode --dump-bin file has 0x20"

head -c 100 "$BIN" > "$work/cut.bin"
refused "table cut short" --smbios-dump "$work/cut.bin" \
    "offset 0x64: file ends inside the structure table (171 bytes from 0x20)"

cp "$BIN" "$work/dmi.bin" && patch "$work/dmi.bin" 16 5F 44 4D 58 5F fix
refused "no intermediate anchor" --smbios-dump "$work/dmi.bin" "offset 0x10: no \"_DMI_\" intermediate anchor"

# One more in the intermediate checksum (0x75 in the dump) and one less in the
# entry point's (0x52), which covers it: only the intermediate sum is off.
cp "$BIN" "$work/mid.bin" && patch "$work/mid.bin" 4 51 && patch "$work/mid.bin" 21 76
refused "intermediate checksum" --smbios-dump "$work/mid.bin" "offset 0x15: intermediate checksum does not add up to 0"

# acpidump texts
echo "    0000: 52 53 44 54 24 00 00 00 01 00 41 42 43 44 45 46  RSDT\$.....ABCDEF" > "$work/orphan.txt"
refused "hex line before any header" --acpidump "$work/orphan.txt" "line 1: hex line outside a table block"

{ sed -n 1,3p "$ACPI"; echo "Firmware Warning: table checksum mismatch"; } > "$work/noise.txt"
refused "a line that is neither" --acpidump "$work/noise.txt" "line 4: neither a table header nor a hex line"

sed '7d' "$ACPI" > "$work/gap.txt"
refused "a missing hex line" --acpidump "$work/gap.txt" \
    "line 7: offset 0x20 in RSDT (line 5), expected 0x10: lines are missing or out of order"

sed '/^APIC/,/^$/{/0030:/d}' "$ACPI" > "$work/cut.txt"
refused "a table cut short" --acpidump "$work/cut.txt" "line 15: APIC block holds 48 bytes, its length says 60: truncated"

sed 's/^APIC @ 0x1ffec0c0/APIC @ 0x1ffec0a0/' "$ACPI" > "$work/overlap.txt"
refused "overlapping tables that differ" --acpidump "$work/overlap.txt" \
    "line 15: APIC at 0x1FFEC0A0 overlaps FACP at 0x1FFEC080 (line 10) and differs at 0x1FFEC0A0"

sed 's/^DSDT @ 0x1ffec800/DSDT @ 0x1ffecZ00/' "$ACPI" > "$work/address.txt"
refused "a bad address" --acpidump "$work/address.txt" "line 21: \"0x1ffecZ00\" is not a hexadecimal address"

sed 's/^  0010: 41 37/  0010: 41 3Z/' "$ACPI" > "$work/hex.txt"
refused "a bad hex byte" --acpidump "$work/hex.txt" "line 7: malformed hex bytes"

printf '\n\n' > "$work/empty.txt"
refused "no table at all" --acpidump "$work/empty.txt" "line 1: no table block (\"SIG @ 0x...\" header) in the file"

# Raw images
printf 'X' | dd of="$work/big.img" bs=1 seek=$((0x100000010)) status=none
refused "an image beyond 4 GiB" --phys-image "$work/big.img" \
    "offset 0x100000010: data beyond 4 GiB, which a 32-bit notebook's physical memory does not reach"

finish
