#!/usr/bin/env python3
"""Checks the built zerlo.sys for what NT (and Wine) need of a kernel driver
and for what a freestanding driver must not contain."""
import re
import subprocess
import sys

import pefile

ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll"}
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_NATIVE = 1


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def check_headers(pe, mapfile):
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_I386:
        fail("machine is 0x%x, not i386" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        fail("not PE32")
    if pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_NATIVE:
        fail("subsystem %d, not native" % pe.OPTIONAL_HEADER.Subsystem)
    if pe.OPTIONAL_HEADER.FileAlignment != 0x1000 or pe.OPTIONAL_HEADER.SectionAlignment != 0x1000:
        fail("file/section alignment is not 0x1000")
    if pe.OPTIONAL_HEADER.ImageBase != 0x10000:
        fail("image base 0x%x" % pe.OPTIONAL_HEADER.ImageBase)
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        fail("PE checksum 0x%x, expected 0x%x" % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    entry = re.search(r"0x([0-9a-f]+)\s+_?DriverEntry@8", mapfile)
    if not entry:
        fail("DriverEntry@8 not in the link map")
    if int(entry.group(1), 16) - pe.OPTIONAL_HEADER.ImageBase != pe.OPTIONAL_HEADER.AddressOfEntryPoint:
        fail("entry point is not DriverEntry")


def check_imports(pe):
    modules = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    if not modules or not modules <= ALLOWED_IMPORTS:
        fail("imports from %s" % sorted(modules - ALLOWED_IMPORTS))
    names = {imp.name.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT for imp in entry.imports if imp.name}
    for needed in ("IoCreateDevice", "MmMapIoSpace", "IofCompleteRequest", "DbgPrint"):
        if needed not in names:
            fail("%s not imported" % needed)


def check_freestanding(pe, mapfile):
    sections = {s.Name.rstrip(b"\0").decode() for s in pe.sections}
    for forbidden in (".ctors", ".dtors", ".init_array", ".eh_frame", ".tls", ".CRT"):
        if forbidden in sections:
            fail("section %s present" % forbidden)
    # Symbols that only a C++ runtime, exceptions or RTTI would bring.
    for pattern in (r"__ZTI", r"__ZTS", r"__gxx_personality", r"__Unwind_", r"___cxa_", r"__GLOBAL__sub_I"):
        if re.search(r"\s" + pattern, mapfile):
            fail("%s symbols present" % pattern)


def check_smm_trigger(path):
    text = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", path],
                          check=True, capture_output=True, text=True).stdout
    body = re.search(r"<_SmmTrigger>:\n(.*?)\n\n", text, re.S)
    if not body:
        fail("SmmTrigger not found in the disassembly")
    instructions = [line.split("\t")[-1].strip() for line in body.group(1).splitlines() if "\t" in line]
    outs = [i for i, ins in enumerate(instructions) if ins.startswith("out")]
    if len(outs) != 2:
        fail("SmmTrigger has %d port writes, expected 2" % len(outs))
    first, second = instructions[outs[0]], instructions[outs[1]]
    if not re.fullmatch(r"out\s+%al,\$0xb2", first) or not re.fullmatch(r"out\s+%al,\$0x84", second):
        fail("SmmTrigger writes %r then %r" % (first, second))
    if outs[1] != outs[0] + 1:
        fail("instructions between the two port writes: %r" % instructions[outs[0] + 1:outs[1]])
    if "pusha" not in instructions[:outs[0]] or "popa" not in instructions[outs[1]:]:
        fail("SmmTrigger does not save and restore every general register")


def main():
    path, mappath = sys.argv[1], sys.argv[2]
    pe = pefile.PE(path)
    mapfile = open(mappath).read()
    check_headers(pe, mapfile)
    check_imports(pe)
    check_freestanding(pe, mapfile)
    check_smm_trigger(path)
    print("zerlo.sys: PE32 i386 native driver, entry DriverEntry, imports only ntoskrnl.exe and hal.dll, "
          "checksum correct, freestanding, SmmTrigger writes 0xB2 then 0x84")


if __name__ == "__main__":
    main()
