#!/usr/bin/python3
"""Firmware dumps replayed through zerloctl --smbios-dump and --acpidump.

1. Round trip: each simulated notebook's memory is written out (zerloctl
   dump-phys), its SMBIOS as `dmidecode --dump-bin` writes it and its ACPI
   tables as acpidump text in both header layouts (ACPICA's "SIG @ 0x%016X"
   and the older "RSD PTR @ 0x%x"), and, as root, as acpidump itself prints
   them from the image. The same profile with the dumps in place of its own
   tables must give the same smbios and acpi texts as the original.
2. The readers of the standard tools agree with the importers on the same
   files: dmidecode --from-dump decodes the dump as dmidecode --dev-mem
   decodes the replayed machine's memory, and Zerlo's report on the replay
   holds the lines dmidecode's values give; every table that acpixtract -l
   lists is, with the same header, at its recorded address in the replayed
   memory, except those recorded at address 0, which are not placed.

Usage: dump_replay_test.py ZERLOCTL PROFILE_DIR
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

import smbios_dmidecode_test as smbios_check
from firmware_tools import acpidump, acpidump_text, can_bind_over_dev_mem, have, outcome, read, run

# Machines whose dumps carry everything the driver reads, so that a replay
# must give the very same texts. Left out, and why:
#   rsdp_above_1mib, xsdt_highpart, rsdp_at_range_ends, v1_rsdt_quirks,
#   v2_xsdt_quirks: RSDPs with bad checksums, wrong revisions or cut off at a
#   range's end, which the driver reports and acpidump does not dump;
#   short_table: acpidump refuses a table shorter than its header;
#   smbios_no_dmi_anchor, smbios_broken_firmware: dmidecode writes no dump
#   of an entry point it rejects, nor of one off the 16-byte boundaries it
#   searches (smbios_unaligned_entry).
ROUND_TRIP = ["default", "acpi/rsdt_length_36.json", "acpi/rsdt_length_46.json", "acpi/xsdt_length_48.json",
              "smbios_empty_table.json", "smbios_low_table.json", "smbios_sm3_only.json"]

# ---- the machine's ACPI tables as acpidump text ----------------------------

def find_rsdp(image):
    ebda = struct.unpack("<H", read(image, 0x40E, 2))[0] * 16
    areas = ([(ebda, 1024)] if 0x400 <= ebda < 0xA0000 else []) + [(0xE0000, 0x20000)]
    for start, length in areas:
        data = read(image, start, length)
        for offset in range(0, length - 20 + 1, 16):
            if data[offset:offset + 8] == b"RSD PTR " and sum(data[offset:offset + 20]) % 256 == 0:
                return start + offset
    return None


def acpi_blocks(image):
    """(signature, address, bytes) in acpidump's order: RSDP, RSDT, XSDT, then
    FACP's DSDT and FACS, then the listed tables."""
    rsdp = find_rsdp(image)
    if rsdp is None:
        return []
    revision = read(image, rsdp + 15, 1)[0]
    rsdp_bytes = read(image, rsdp, 36 if revision >= 2 else 20)
    blocks, seen = [("RSD ", rsdp, rsdp_bytes)], set()

    def table(address):
        if address == 0 or address >= 1 << 32 or address in seen:
            return None
        seen.add(address)
        length = struct.unpack("<I", read(image, address + 4, 4))[0]
        data = read(image, address, max(length, 36))
        blocks.append((data[:4].decode("latin-1"), address, data))
        return data

    roots = [(struct.unpack_from("<I", rsdp_bytes, 16)[0], 4)]
    if revision >= 2:
        roots.append((struct.unpack_from("<Q", rsdp_bytes, 24)[0], 8))
    entries = []
    for address, size in roots:
        data = table(address)
        if data:
            count = (len(data) - 36) // size
            entries += [struct.unpack_from("<I" if size == 4 else "<Q", data, 36 + i * size)[0] for i in range(count)]
    listed = []
    for address in entries:
        data = table(address)
        if data:
            listed.append(blocks.pop())
            if data[:4] == b"FACP":
                table(struct.unpack_from("<I", data, 40)[0])  # DSDT
                table(struct.unpack_from("<I", data, 36)[0])  # FACS
    return blocks + listed


# ---- the checks -------------------------------------------------------------

def texts(zerloctl, args):
    # One run each: where the replay puts the SMBIOS table (the dump does not
    # say where it was) decides whether it takes a mapping of its own, which
    # would move the survey's virtual addresses in a shared run.
    return run([zerloctl, *args, "smbios"]).decode("latin-1") + run([zerloctl, *args, "acpi"]).decode("latin-1")


def machine_args(profile_dir, profile):
    return [] if profile == "default" else ["--machine", os.path.join(profile_dir, profile)]


def round_trip(zerloctl, profile_dir, profile, workdir):
    problems = []
    args = machine_args(profile_dir, profile)
    image = os.path.join(workdir, "phys.img")
    run([zerloctl, *args, "dump-phys", image])
    original = texts(zerloctl, args)

    smbios = os.path.join(workdir, "smbios.bin")
    done = subprocess.run(["dmidecode", "--no-sysfs", "--dev-mem", image, "--dump-bin", smbios], capture_output=True)
    dump_args = ["--smbios-dump", smbios] if done.returncode == 0 and os.path.exists(smbios) else []

    blocks = acpi_blocks(image)
    variants = {}
    if blocks:
        for layout in ("current", "older"):
            variants[layout] = acpidump_text(blocks, layout)
        done = acpidump(image) if have("acpidump") and can_bind_over_dev_mem() else None
        if done and done.returncode == 0 and done.stdout:
            variants["acpidump"] = done.stdout
    for layout, text in sorted(variants.items()) or [("no ACPI", None)]:
        extra = []
        if text is not None:
            path = os.path.join(workdir, "acpi-%s.txt" % layout)
            with open(path, "w") as f:
                f.write(text)
            extra = ["--acpidump", path]
        replay = texts(zerloctl, args + dump_args + extra)
        if replay != original:
            problems.append("replay with %s ACPI text differs:\n--- original\n%s\n--- replay\n%s" % (
                layout, original, replay))
    if not dump_args and profile != "default":
        problems += [] if "No SMBIOS found" in original or "Pointer to DMI" in original else \
            ["dmidecode wrote no dump, yet Zerlo found SMBIOS"]
    return problems


def dmidecode_body(args):
    out = subprocess.run(["dmidecode", *args], capture_output=True).stdout.decode("latin-1")
    # From the first structure on: what precedes names the entry point's place.
    return out[out.find("Handle 0x"):] if "Handle 0x" in out else out.splitlines()[-1]


def smbios_agreement(zerloctl, dump, workdir):
    image = os.path.join(workdir, "replayed.img")
    run([zerloctl, "--bare", "--smbios-dump", dump, "dump-phys", image])
    problems = []
    if os.path.getsize(dump) < 0x20:
        # RULE: dmidecode writes a table of zero bytes as a file that ends
        # with the entry point, and then cannot read that file back.
        return [] if smbios_check.zerlo_report(zerloctl, ["--bare", "--smbios-dump", dump]) == [] else \
            ["an empty table gives a report"]
    from_dump = dmidecode_body(["--from-dump", dump])
    from_memory = dmidecode_body(["--no-sysfs", "--dev-mem", image])
    if from_dump != from_memory:
        problems.append("dmidecode reads the replay otherwise than the dump:\n%s\n---\n%s" % (from_dump, from_memory))
    records, raw = smbios_check.dmidecode_records_from(["--from-dump", dump])
    report = smbios_check.zerlo_report(zerloctl, ["--bare", "--smbios-dump", dump])
    if records is None or "SMBIOS 3." in raw:
        if report != ["*** Error: No SMBIOS found ***"]:
            problems.append("no 2.x entry point, Zerlo reported %r" % report)
        return problems
    return problems + smbios_check.compare(smbios_check.expected_lines(records), report)


def acpixtract_agreement(zerloctl, text_path, workdir):
    if not have("acpixtract"):
        return []
    listing = subprocess.run(["acpixtract", "-l", text_path], capture_output=True, text=True).stdout
    rows = re.findall(r"^ \d+\)  (.{4})  0x([0-9A-F]{8})  0x([0-9A-F]{2})(?:  \"(.{6})\")?(?:  \"(.{8})\")?", listing,
                      re.M)
    with open(text_path) as f:
        headers = [line.split(" @ ") for line in f if " @ " in line and not line.startswith(" ")]
    image = os.path.join(workdir, "replayed.img")
    run([zerloctl, "--bare", "--acpidump", text_path, "dump-phys", image])
    problems = []
    for name, address_text in headers:
        sig = "RSDP" if name.startswith("RSD ") or name == "RSD PTR" else name
        if not rows or rows[0][0] != sig:
            # RULE: acpixtract reads three full lines of every block as its
            # header, so it leaves out a revision-0 RSDP of 20 bytes.
            if sig == "RSDP":
                continue
            return ["acpixtract does not list %s at %s:\n%s" % (sig, address_text.strip(), listing)]
        _, length, revision, oem_id, oem_table_id = rows.pop(0)
        address = 0 if address_text.strip() == "(nil)" else int(address_text, 16)
        if address == 0 or address >= 1 << 32:
            continue  # not placed
        placed = read(image, address, 36)

        def shown(start, end):
            # acpixtract shows the header's text fields with blanks for NULs.
            return "".join(chr(b) if 32 <= b < 127 else " " for b in placed[start:end])

        if sig == "RSDP":
            ok = placed[:8] == b"RSD PTR " and placed[15] == int(revision, 16) and shown(9, 15) == oem_id
        else:
            ok = shown(0, 4) == sig and struct.unpack_from("<I", placed, 4)[0] == int(length, 16)
            if sig != "FACS":
                ok = ok and placed[8] == int(revision, 16) and shown(10, 16) == oem_id and \
                    shown(16, 24) == oem_table_id
        if not ok:
            problems.append("%s at 0x%x: acpixtract reads %r, the replay holds %r" % (
                sig, address, (sig, length, revision, oem_id, oem_table_id), placed))
    if rows:
        problems.append("acpixtract lists tables the text has no header for: %r" % rows)
    return problems


def main():
    zerloctl, profile_dir = sys.argv[1], sys.argv[2]
    quirk_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dumps")
    failed = False
    with tempfile.TemporaryDirectory() as workdir:
        for profile in ROUND_TRIP:
            problems = round_trip(zerloctl, profile_dir, profile, workdir)
            for name in sorted(os.listdir(workdir)):
                path = os.path.join(workdir, name)
                if name == "smbios.bin":
                    problems += smbios_agreement(zerloctl, path, workdir)
                elif name.startswith("acpi-"):
                    problems += acpixtract_agreement(zerloctl, path, workdir)
                os.unlink(path)
            failed |= outcome(profile, problems)
        for name in sorted(n for n in os.listdir(quirk_dir) if n.endswith((".bin", ".txt"))):
            path = os.path.join(quirk_dir, name)
            agreement = smbios_agreement if name.endswith(".bin") else acpixtract_agreement
            failed |= outcome(name, agreement(zerloctl, path, workdir))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
