#!/usr/bin/python3
"""Zerlo's ACPI survey against acpidump (ACPICA) on the same physical memory.

zerloctl surveys a simulated machine and writes its physical memory to a
sparse image; acpidump then reads that image as /dev/mem, bound over it in a
private mount namespace. Every table that Zerlo describes must be listed by
acpidump at the same physical address with the same signature, length, OEM ID
and OEM table ID. Where acpidump lists more, Zerlo must have said why: an
RSDT or XSDT whose entry bytes are not whole entries (acpidump rounds them
down and walks the rest), or an XSDT entry above 4 GiB (acpidump is a 64-bit
program and reads it; the image gets a table there for it to find).

Usage: acpidump_agreement_test.py ZERLOCTL PROFILE... ("default" is the
built-in notebook). Needs root for unshare and mount; exits 77 (skipped)
without them.
"""
import json
import os
import re
import struct
import sys
import tempfile

from firmware_tools import acpidump, can_bind_over_dev_mem, checksummed, outcome, read, run, write

HIGH_TABLE_SIGNATURE = b"HIGH"

LINE = re.compile(
    r"^ACPI: (.{4}) 0x([0-9A-F]{16}) ([0-9A-F]{6})(?: \(v(\d\d) (.{6})(?: (.{8}) [0-9A-F]{8} .{4} [0-9A-F]{8})?\))?$"
)


def run_acpidump(image, args):
    done = acpidump(image, "-s", *args)
    tables = []
    for line in done.stdout.splitlines():
        m = LINE.match(line)
        if m:
            sig, address, length, _rev, oem_id, oem_table_id = m.groups()
            tables.append((int(address, 16), sig, int(length, 16), oem_id, oem_table_id))
    return done.returncode, tables, done.stdout + done.stderr


class Survey:
    """What Zerlo's text says: the RSDP, the tables it described, and why it
    left any listed table out."""

    def __init__(self, text, image):
        self.rsdp = None
        self.revision = None
        self.root = None
        self.tables = []  # (address, signature, length, oem id, oem table id)
        self.above_4g = []
        self.unaligned = False
        self.short = []
        area_va = area_pa = None
        candidate = None
        pending_pa = None
        describing = None
        ebda = struct.unpack("<H", read(image, 0x40E, 2))[0] * 16
        first_area = ebda if 0x400 <= ebda < 0xA0000 else 0
        for line in text.split("\r\n"):
            m = re.match(r"Searching VA 0x([0-9a-f]{8}), (\d+) Bytes", line)
            if m:
                area_va = int(m.group(1), 16)
                area_pa = 0xE0000 if m.group(2) == "131072" else first_area
            m = re.match(r"Sig found at VA 0x([0-9a-f]{8})$", line)
            if m:
                candidate = area_pa + int(m.group(1), 16) - area_va
            m = re.match(r"ACPI V([12]) BIOS detected$", line)
            if m:
                self.rsdp, self.revision = candidate, int(m.group(1))
            m = re.match(r"(RSDT|XSDT) @ VA 0x[0-9a-f]{8} \(PA 0x([0-9a-f]{8})\)$", line)
            if m:
                self.root = m.group(1)
                pending_pa = int(m.group(2), 16)
            m = re.match(r"Table found at PA 0x([0-9a-f]{8}) ?\.\.\.$", line)
            if m:
                pending_pa = int(m.group(1), 16)
            m = re.match(r"  Remapping '(.{0,4})', (\d+) Bytes from VA", line)
            if m:
                describing = [pending_pa, m.group(1), int(m.group(2))]
            m = re.match(r"  OEMID:'(.{0,6})'$", line)
            if m:
                describing.append(m.group(1).ljust(6))
            m = re.match(r"  OEM Table ID:'(.{0,8})'$", line)
            if m:
                describing.append(m.group(1).ljust(8))
                self.tables.append(tuple(describing))
            m = re.match(r"\*\*\* ERROR: Table at PA 0x([0-9a-f]{16}) is above 4 GB", line)
            if m:
                self.above_4g.append(int(m.group(1), 16))
            m = re.match(r"\*\*\* ERROR: Length (\d+) is shorter than the 36-byte header", line)
            if m:
                self.short.append(self.tables[-1][0])
            if re.match(r"(RSDT|XSDT) size not DWORD aligned$", line):
                self.unaligned = True


def root_entries(image, address, extended):
    length = struct.unpack("<I", read(image, address + 4, 4))[0]
    size = 8 if extended else 4
    data = read(image, address + 36, ((length - 36) // size) * size)
    return [struct.unpack_from("<Q" if extended else "<I", data, i)[0] for i in range(0, len(data), size)]


def check(zerloctl, profile, workdir):
    image = os.path.join(workdir, "phys.img")
    args = [zerloctl, "--json"] + ([] if profile == "default" else ["--machine", profile])
    out = run(args + ["acpi", "dump-phys", image], text=True)
    text = json.loads(out.splitlines()[0])["text"]
    survey = Survey(text, image)
    problems = []

    if survey.rsdp is None:
        # acpidump's own search covers 0xE0000..0xFFFFF: it must come up empty too.
        rc, tables, output = run_acpidump(image, [])
        if rc == 0 or tables:
            problems.append("Zerlo found no RSDP, acpidump did:\n" + output)
        return problems

    if profile == "default":
        # Where nothing leads it astray, acpidump's own search finds the same RSDP.
        rc, tables, output = run_acpidump(image, [])
        if rc != 0 or not tables or tables[0][:2] != (survey.rsdp, "RSDP"):
            problems.append("acpidump's own search disagrees:\n" + output)

    for address in survey.above_4g:
        write(image, address, checksummed(HIGH_TABLE_SIGNATURE + struct.pack("<IB", 36, 1) + b"\0" * 27, 9))
    # acpidump refuses firmware with a table shorter than its header; a copy
    # with that Length set to 36 lets it list the rest.
    for address in survey.short:
        write(image, address + 4, struct.pack("<I", 36))

    rc, tables, output = run_acpidump(image, ["-r", hex(survey.rsdp)])
    if [t[1:3] for t in survey.tables] == [(survey.root, 36)]:
        # A root that lists nothing has no FADT, and acpidump, which needs
        # one, quietly lists nothing at all.
        if rc != 0 or tables:
            problems.append("acpidump listed tables of an empty %s:\n%s" % (survey.root, output))
        return problems
    if rc != 0 or not tables:
        return problems + ["acpidump failed on Zerlo's RSDP 0x%x:\n%s" % (survey.rsdp, output)]
    if tables[0][:2] != (survey.rsdp, "RSDP") or int(output.split("(v")[1][:2]) != (0 if survey.revision == 1 else 2):
        problems.append("RSDP differs:\n" + output)

    other_root = "XSDT" if survey.root == "RSDT" else "RSDT"
    listed = {t for t in tables if t[1] not in ("RSDP", "DSDT", "FACS", other_root)}
    described = set()
    for address, sig, length, oem_id, oem_table_id in survey.tables:
        if address in survey.short:
            length = 36
        described.add((address, sig, length, oem_id, oem_table_id))
    if not described:
        problems.append("Zerlo described no table")
    if described - listed:
        problems.append("described by Zerlo, not so by acpidump: %s\n%s" % (sorted(described - listed), output))

    expected_extra = {a for a in survey.above_4g}
    if survey.unaligned:
        root = [t for t in survey.tables if t[1] == survey.root][0]
        expected_extra |= set(root_entries(image, root[0], survey.root == "XSDT"))
    extra = {t[0] for t in listed - described}
    if extra != expected_extra:
        problems.append("acpidump lists %s beyond Zerlo, expected %s\n%s" % (
            sorted(hex(a) for a in extra), sorted(hex(a) for a in expected_extra), output))
    return problems


def main():
    zerloctl, profiles = sys.argv[1], sys.argv[2:]
    # Only what a user's machine may lack is a skip; a missing acpidump fails
    # the runs below, since scripts/install-deps installs it.
    if not can_bind_over_dev_mem():
        print("skipped: acpidump reads the image only as root in a private mount namespace")
        return 77
    failed = False
    for profile in profiles:
        with tempfile.TemporaryDirectory() as workdir:
            failed |= outcome(os.path.basename(profile), check(zerloctl, profile, workdir))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
