#!/usr/bin/env python3
"""Writes the PE image checksum (the algorithm of imagehlp's CheckSumMappedFile)
into the optional header of the file given."""
import struct
import sys


def checksum_offset(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    return pe + 4 + 20 + 64


def pe_checksum(data):
    offset = checksum_offset(data)
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for i in range(0, len(padded), 2):
        if offset <= i < offset + 4:
            continue
        total += padded[i] | padded[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    struct.pack_into("<I", data, checksum_offset(data), pe_checksum(bytes(data)))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
