#!/usr/bin/python3
"""Writes the dumps in this directory: firmware as acpidump and dmidecode
--dump-bin show it on notebooks with quirks seen in the field. Run it from
anywhere; it rewrites the files next to itself."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "client"))
from firmware_tools import acpidump_text, checksummed  # noqa: E402


def table(sig, body=b"", oem=b"INSYDE", table_id=b"CALPELLA", revision=1):
    header = sig + struct.pack("<IBB", 36 + len(body), revision, 0) + oem + table_id + \
        struct.pack("<I4sI", 0x1, b"ACPI", 0x40000)
    return checksummed(header + body, 9)


def rsdp(oem, rsdt, xsdt=None):
    if xsdt is None:
        return checksummed(b"RSD PTR " + b"\0" + oem + b"\0" + struct.pack("<I", rsdt), 8)
    first = checksummed(b"RSD PTR " + b"\0" + oem + b"\2" + struct.pack("<I", rsdt), 8)
    return checksummed(first + struct.pack("<IQB3x", 36, xsdt, 0), 32)


def write(name, content):
    mode = "wb" if isinstance(content, bytes) else "w"
    with open(os.path.join(HERE, name), mode) as f:
        f.write(content)


def facp(dsdt, facs):
    return table(b"FACP", struct.pack("<II", facs, dsdt) + bytes(208), revision=4)


# An ACPI 2.0 notebook whose RSDT and XSDT list different tables: the RSDT
# still names the SLIC of the preinstalled system, the XSDT names HPET and
# MCFG instead.
base = 0xBF6E0000
t = {name: base + 0x200 + i * 0x100 for i, name in enumerate(["FACP", "APIC", "SLIC", "HPET", "MCFG"])}
blocks = [
    ("RSDP", 0xF6B30, rsdp(b"INSYDE", base, base + 0x100)),
    ("RSDT", base, table(b"RSDT", struct.pack("<3I", t["FACP"], t["APIC"], t["SLIC"]))),
    ("XSDT", base + 0x100, table(b"XSDT", struct.pack("<4Q", t["FACP"], t["APIC"], t["HPET"], t["MCFG"]))),
    ("DSDT", base + 0x1000, table(b"DSDT", bytes(64), revision=2)),
    ("FACS", base + 0x2000, b"FACS" + struct.pack("<I", 64) + bytes(56)),
    ("FACP", t["FACP"], facp(base + 0x1000, base + 0x2000)),
    ("APIC", t["APIC"], table(b"APIC", bytes(32))),
    ("SLIC", t["SLIC"], table(b"SLIC", bytes(16), oem=b"ACRSYS", table_id=b"ACRPRDCT")),
    ("HPET", t["HPET"], table(b"HPET", bytes(20))),
    ("MCFG", t["MCFG"], table(b"MCFG", bytes(24))),
]
write("rsdt_xsdt_differ.txt", acpidump_text(blocks, "current"))

# Processor power states loaded at run time: Linux shows their SSDTs at
# address 0, next to the firmware's own SSDT.
base = 0x7F6F0000
blocks = [
    ("RSDP", 0xFE020, rsdp(b"LENOVO", base, base + 0x80)),
    ("RSDT", base, table(b"RSDT", struct.pack("<2I", base + 0x200, base + 0x400), oem=b"LENOVO", table_id=b"TP-7L   ")),
    ("XSDT", base + 0x80, table(b"XSDT", struct.pack("<2Q", base + 0x200, base + 0x400), oem=b"LENOVO",
                                table_id=b"TP-7L   ")),
    ("FACP", base + 0x200, facp(base + 0x1000, base + 0x3000)),
    ("DSDT", base + 0x1000, table(b"DSDT", bytes(100), oem=b"LENOVO", table_id=b"TP-7L   ")),
    ("FACS", base + 0x3000, b"FACS" + struct.pack("<I", 64) + bytes(56)),
    ("SSDT", base + 0x400, table(b"SSDT", bytes(40), oem=b"LENOVO", table_id=b"CpuPm   ")),
    ("SSDT", 0, table(b"SSDT", bytes(80), oem=b"PmRef ", table_id=b"Cpu0Ist ")),
    ("SSDT", 0, table(b"SSDT", bytes(60), oem=b"PmRef ", table_id=b"ApIst   ")),
]
write("ssdts_at_address_0.txt", acpidump_text(blocks, "current"))

# An ACPI 1.0 notebook, dumped by the older acpidump, whose RSDT names a
# BOOT table that the dump does not hold (the tool skipped it).
base = 0x1FFEC000
blocks = [
    ("RSDP", 0xF6A80, rsdp(b"ASUS  ", base)),
    ("RSDT", base, table(b"RSDT", struct.pack("<3I", base + 0x80, base + 0xC0, base + 0x100), oem=b"ASUS  ",
                         table_id=b"A7V133-C")),
    ("FACP", base + 0x80, table(b"FACP", struct.pack("<II", base + 0x1000, base + 0x800) + bytes(4), oem=b"ASUS  ",
                                table_id=b"A7V133-C")),
    ("APIC", base + 0xC0, table(b"APIC", bytes(24), oem=b"ASUS  ", table_id=b"A7V133-C")),
    ("DSDT", base + 0x800, table(b"DSDT", bytes(48), oem=b"ASUS  ", table_id=b"A7V133-C")),
]
write("table_missing.txt", acpidump_text(blocks, "older"))

# Phoenix firmware of its day: an RSDT at an odd address, dumped by the
# older acpidump with an SSDT it could not locate ("(nil)").
rsdt_at = 0x3BEB2A49
blocks = [
    ("RSDP", 0xF7C70, rsdp(b"PTLTD ", rsdt_at)),
    ("RSDT", rsdt_at, table(b"RSDT", struct.pack("<2I", 0x3BEB6910, 0x3BEB6A78), oem=b"PTLTD ", table_id=b"  RSDT  ")),
    ("FACP", 0x3BEB6910, table(b"FACP", bytes(80), oem=b"DELL  ", table_id=b"CPi R   ")),
    ("SSDT", 0x3BEB6A78, table(b"SSDT", bytes(30), oem=b"PTLTD ", table_id=b"POWERNOW")),
    ("SSDT", 0, table(b"SSDT", bytes(30), oem=b"PTLTD ", table_id=b"  CST   ")),
]
write("unaligned_rsdt.txt", acpidump_text(blocks, "older"))


# dmidecode --dump-bin of firmware whose SMBIOS 2.4 entry point says it is
# 0x20 bytes long (one more than the standard's 0x1F).
def structure(kind, formatted, strings):
    body = bytes([kind, 4 + len(formatted)]) + struct.pack("<H", 0x100 + kind) + formatted
    return body + b"".join(s + b"\0" for s in strings) + (b"\0" if strings else b"\0\0")


structures = (
    structure(0, bytes([1, 2, 0, 0xE0, 3, 0x0F]) + bytes(8) + bytes([0x90, 0x0B]),
              [b"Phoenix Technologies LTD", b"A12", b"05/14/2007"]) +
    structure(1, bytes([1, 2, 0, 3]) + bytes(16) + bytes([6]), [b"Dell Inc.", b"Latitude D630", b"7XJ2R3J"]) +
    structure(4, bytes([1, 3, 1, 2]) + bytes(8) + bytes([0, 0x8C]) + struct.pack("<HHH", 200, 2600, 2000) +
              bytes([0x41, 0x1F]) + bytes(6) + bytes(3), [b"CPU", b"Intel"]) +
    structure(127, b"", [])
)
entry = bytearray(b"_SM_" + bytes([0, 0x20, 2, 4]) + struct.pack("<H", 0x80) + bytes([0]) + bytes(5) +
                  b"_DMI_" + bytes([0]) + struct.pack("<HIH", len(structures), 0x20, 4) + bytes([0x24, 0xAA]))
entry[0x15] = (-sum(entry[0x10:0x1F])) & 0xFF
entry[4] = (-sum(entry)) & 0xFF
write("entry_length_0x20.bin", bytes(entry) + structures)
