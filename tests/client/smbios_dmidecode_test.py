#!/usr/bin/python3
"""Zerlo's SMBIOS report against dmidecode, reading the same machine.

For the default notebook and every profile with an "smbios" section in the
profile directory, the simulated machine's memory is written to an image
(zerloctl dump-phys) and decoded by dmidecode; the lines Zerlo must print are
derived from dmidecode's fields and compared with Zerlo's report line by line.

Where the two print differently, the rule applied is stated at the place it
is applied (RULE: ...).
"""
import json
import os
import re
import sys
import tempfile

from firmware_tools import outcome, read, run, write

TYPES = "0,1,3,4,7,10,17,22"
NOT_SPECIFIED = "Not Specified"


class Rest:
    """Matches every remaining report line against a pattern."""

    def __init__(self, pattern):
        self.pattern = re.compile(pattern)


def zerlo_report(zerloctl, machine_args):
    text = run([zerloctl, *machine_args, "smbios"]).decode("latin-1")
    # zerloctl adds one "\n" after a text that does not end in one (an
    # error text, or the empty report).
    if text.endswith("\n") and not text.endswith("\r\n"):
        text = text[:-1]
    lines = text.split("\r\n")
    return lines[:-1] if lines[-1] == "" else lines


def dmidecode_records(image):
    return dmidecode_records_from(["--no-sysfs", "--dev-mem", image])


def dmidecode_records_from(source):
    """dmidecode's records read from SOURCE (its --dev-mem or --from-dump options)."""
    out = run(["dmidecode", *source, "-t", TYPES]).decode("latin-1")
    if "No SMBIOS nor DMI entry point found" in out:
        return None, out
    records, record = [], None
    for line in out.splitlines():
        header = re.match(r"Handle 0x[0-9A-F]+, DMI type (\d+), (\d+) bytes", line)
        if header:
            record = {"type": int(header.group(1)), "length": int(header.group(2)), "fields": {},
                      "truncated": False}
            records.append(record)
        elif record is not None and line.startswith("\t") and not line.startswith("\t\t"):
            item = line.strip()
            if item == "<TRUNCATED>":
                record["truncated"] = True
            elif ": " in item:
                key, value = item.split(": ", 1)
                record["fields"].setdefault(key, value)  # the first on-board device only
    return records, out


def string(value):
    # RULE: a string number of 0 is "Not Specified" in dmidecode and "--" in
    # Zerlo; a number beyond the last string is "<BAD INDEX>" there and
    # "<missing string>" here.
    if value is None or value == NOT_SPECIFIED:
        return "--"
    if value == "<BAD INDEX>":
        return "<missing string>"
    return value


def speed(value):
    # RULE: dmidecode prints a speed word of 0 as "Unknown".
    return 0 if value in (None, "Unknown") else int(value.split()[0])


def size_kb(value):
    number, unit = value.split()
    return int(number) * {"kB": 1, "MB": 1024, "GB": 1024 * 1024}[unit]


def memory_size_word(value):
    # RULE: Zerlo prints the Memory Device's Size word as stored; dmidecode
    # interprets it. The word is recovered from dmidecode's text: "No Module
    # Installed" is 0, "Unknown" 0xFFFF, a size in kB has bit 15 set (the
    # profiles keep such sizes below 1024 kB so dmidecode prints them in kB),
    # and a size in MB or GB is the word in MB.
    if value == "No Module Installed":
        return 0
    if value == "Unknown":
        return 0xFFFF
    number, unit = value.split()
    if unit == "kB":
        return 0x8000 | int(number)
    return int(number) * (1024 if unit == "GB" else 1)


def expected_lines(records):
    lines = []
    for r in records:
        f, t = r["fields"], r["type"]
        if r["truncated"]:
            # RULE: a structure whose string-set runs into the table's end is
            # "<TRUNCATED>" in dmidecode; Zerlo reports it with the strings
            # that end inside the table. It is the table's last structure.
            assert t == 22, "only a battery is expected to be cut in these profiles"
            lines.append(Rest(r"^Battery (manufacturer|device name|location|manufacturing date|serial no): "))
            continue
        if t == 0:
            lines += ["BIOS vendor: " + string(f.get("Vendor")), "BIOS version: " + string(f.get("Version")),
                      "BIOS date: " + string(f.get("Release Date"))]
        elif t == 1:
            lines += ["System manufacturer: " + string(f.get("Manufacturer")),
                      "Product name: " + string(f.get("Product Name")),
                      "Service tag: " + string(f.get("Serial Number"))]
        elif t == 3:
            lines.append("Asset tag: " + string(f.get("Asset Tag")))
        elif t == 4:
            lines += ["CPU manufacturer: " + string(f.get("Manufacturer")),
                      "Current CPU speed: %d MHz" % speed(f.get("Current Speed")),
                      "External clock: %d MHz" % speed(f.get("External Clock")),
                      "Max. CPU speed supported by board: %d MHz" % speed(f.get("Max Speed"))]
        elif t == 7:
            level = int(re.search(r"Level (\d+)", f["Configuration"]).group(1))
            lines.append("L%d cache size: %d KB (%s)" % (level, size_kb(f["Installed Size"]),
                                                          f["Location"].lower()))
        elif t == 10:
            # RULE: Zerlo names only video, Ethernet and sound devices, and
            # only the structure's first device.
            names = {"Video": "Video card", "Ethernet": "Ethernet card", "Sound": "Sound card"}
            if f.get("Type") in names:
                lines.append("%s: %s" % (names[f["Type"]], string(f.get("Description"))))
        elif t == 17:
            line = "SODIMM Socket '%s': %d MB" % (string(f.get("Locator")), memory_size_word(f["Size"]))
            # Both leave the speed out below formatted length 0x17; Zerlo
            # also leaves out a speed of 0, which dmidecode shows "Unknown".
            if speed(f.get("Speed")):
                line += " (%d MHz)" % speed(f["Speed"])
            lines.append(line)
        elif t == 22:
            lines += ["Battery manufacturer: " + string(f.get("Manufacturer")),
                      "Battery device name: " + string(f.get("Name")),
                      "Battery location: " + string(f.get("Location"))]
            date, serial = f.get("Manufacture Date"), f.get("Serial Number")
            if date not in (None, NOT_SPECIFIED):
                lines.append("Battery manufacturing date: " + date)
            elif "SBDS Manufacture Date" in f:
                y, m, d = (int(x) for x in f["SBDS Manufacture Date"].split("-"))
                lines.append("Battery manufacturing date: %d/%d/%d (SBDS)" % (m, d, y))
            elif r["length"] >= 19:
                # RULE: dmidecode reads the SBDS words only from formatted
                # length 0x1A; Zerlo reads the date from 19 on.
                lines.append(re.compile(r"^Battery manufacturing date: \d+/\d+/\d+ \(SBDS\)$"))
            if serial not in (None, NOT_SPECIFIED):
                lines.append("Battery serial no: " + serial)
            elif "SBDS Serial Number" in f:
                # RULE: dmidecode prints the SBDS serial in hex, Zerlo in decimal.
                lines.append("Battery serial no: %d (SBDS)" % int(f["SBDS Serial Number"], 16))
            elif r["length"] >= 17:
                # RULE: and the serial from 17 on.
                lines.append(re.compile(r"^Battery serial no: \d+ \(SBDS\)$"))
    return lines


def compare(expected, actual):
    problems = []
    for i, want in enumerate(expected):
        if isinstance(want, Rest):
            rest = actual[i:]
            if not rest or not all(want.pattern.match(line) for line in rest):
                problems.append("lines from %d: %r do not all match %s" % (i, rest, want.pattern.pattern))
            return problems
        got = actual[i] if i < len(actual) else None
        ok = want.match(got or "") if isinstance(want, re.Pattern) else got == want
        if not ok:
            problems.append("line %d: expected %r, got %r" % (i, getattr(want, "pattern", want), got))
    if len(actual) > len(expected):
        problems.append("extra lines: %r" % actual[len(expected):])
    return problems


def find_entry_point(image):
    """The first "_SM_" in 0xF0000..0xFFFFF on a 4-byte step with a valid checksum."""
    area = read(image, 0xF0000, 0x10000)
    for offset in range(0, len(area) - 0x1F, 4):
        if area[offset:offset + 4] == b"_SM_":
            length = area[offset + 5]
            if sum(area[offset:offset + length]) % 256 == 0:
                return 0xF0000 + offset, area[offset:offset + max(length, 0x1F)]
    return None, None


def check_machine(zerloctl, machine_args, workdir):
    image = os.path.join(workdir, "phys.img")
    run([zerloctl, *machine_args, "dump-phys", image])
    report = zerlo_report(zerloctl, machine_args)
    records, raw = dmidecode_records(image)

    if records is None:
        address, entry = find_entry_point(image)
        if address is None:
            # No 2.x entry point for either reader.
            return [] if report in (["*** Error: No SMBIOS found ***"],
                                    ["*** Error: Pointer to DMI structures not found ***"]) else \
                ["dmidecode found no entry point, Zerlo reported %r" % report]
        if entry[0x10:0x15] != b"_DMI_":
            # RULE: without "_DMI_" dmidecode finds no entry point and Zerlo
            # names the missing pointer.
            return [] if report == ["*** Error: Pointer to DMI structures not found ***"] else \
                ["no _DMI_ anchor, Zerlo reported %r" % report]
        # RULE: dmidecode searches 16-byte boundaries, as the standard lays
        # down; Zerlo searches every 4 bytes. dmidecode is shown the same
        # entry point copied to the 16-byte boundary below it.
        write(image, address & ~0xF, entry)
        records, raw = dmidecode_records(image)
        if records is None:
            return ["dmidecode found no entry point even on a 16-byte boundary"]

    if "SMBIOS 3." in raw:
        # RULE: Zerlo reads only the 2.x entry point; an "_SM3_" alone is no
        # SMBIOS to it.
        return [] if report == ["*** Error: No SMBIOS found ***"] else \
            ["SMBIOS 3 only, Zerlo reported %r" % report]

    return compare(expected_lines(records), report)


def main():
    zerloctl, profile_dir = sys.argv[1], sys.argv[2]
    machines = [("default notebook", [])]
    for entry in sorted(os.listdir(profile_dir)):
        path = os.path.join(profile_dir, entry)
        if entry.endswith(".json"):
            with open(path) as f:
                if "smbios" in json.load(f):
                    machines.append((entry, ["--machine", path]))
    with tempfile.TemporaryDirectory() as workdir:
        failed = [outcome(name, check_machine(zerloctl, args, workdir)) for name, args in machines]
    return 1 if any(failed) else 0


if __name__ == "__main__":
    sys.exit(main())
