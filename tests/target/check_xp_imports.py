#!/usr/bin/env python3
"""Checks that Windows XP SP3 can start each given .exe: every function it
imports, by name, from a DLL of XP's, is one that DLL exports there.

    check_xp_imports.py --exports DIR EXE...

DIR holds one list per DLL (`kernel32.dll.txt`: one exported name a line).
A DLL without a list and an import by ordinal cannot be checked, so they
fail too. Prints one line per fault, naming the .exe, the DLL and the
function, and exits 1 if there was one."""
import argparse
import os
import sys

import pefile


def exported(exports_dir, dll, cache):
    key = dll.lower()
    if key not in cache:
        path = os.path.join(exports_dir, key + ".txt")
        cache[key] = set(open(path).read().split()) if os.path.exists(path) else None
    return cache[key]


def faults(exe, exports_dir, cache):
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
    ])
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    checked = 0
    for entry in entries:
        dll = entry.dll.decode()
        names = exported(exports_dir, dll, cache)
        for imp in entry.imports:
            checked += 1
            if imp.name is None:
                yield "%s ordinal %d: imported by number, which no list can check" % (dll, imp.ordinal)
            elif names is None:
                yield "%s %s: no list of what Windows XP's %s exports" % (dll, imp.name.decode(), dll)
            elif imp.name.decode() not in names:
                yield "%s %s: not exported by Windows XP" % (dll, imp.name.decode())
    if checked == 0:
        yield "imports nothing: not an .exe of this build"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exports", required=True, help="directory of the export lists")
    parser.add_argument("exe", nargs="+")
    args = parser.parse_args()
    cache = {}
    failed = False
    for exe in args.exe:
        found = list(faults(exe, args.exports, cache))
        for fault in found:
            print("FAIL %s: %s" % (os.path.basename(exe), fault))
        if not found:
            print("ok   %s: every import is exported by Windows XP" % os.path.basename(exe))
        failed = failed or bool(found)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
