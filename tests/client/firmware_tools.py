"""What the tests that set zerloctl beside dmidecode and ACPICA's tools share:
running them, reading and writing a physical-memory image, and reporting."""
import os
import subprocess

# acpidump reads physical memory only through /dev/mem: in a private mount
# namespace the image ($0) is bound over it, and the EFI directory, whose
# system table acpidump would take the RSDP from, is hidden. "-c off" takes
# every table from memory rather than from sysfs.
ACPIDUMP_IN_NAMESPACE = (
    'mount -t tmpfs none /dev && touch /dev/mem && mount --bind "$0" /dev/mem && '
    "{ [ ! -d /sys/firmware/efi ] || mount -t tmpfs none /sys/firmware/efi; } && "
    'exec acpidump -c off "$@"'
)
# acpidump is a 64-bit program and follows XSDT entries just above 4 GiB.
IMAGE_SIZE = 8 << 30


def run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, **kwargs).stdout


def have(tool):
    return any(os.access(os.path.join(d, tool), os.X_OK) for d in os.environ.get("PATH", "").split(":") + ["/usr/sbin"])


def read(image, address, length):
    """LENGTH bytes at ADDRESS, zeros beyond the image's end."""
    with open(image, "rb") as f:
        f.seek(address)
        return f.read(length).ljust(length, b"\0")


def write(image, address, data):
    with open(image, "r+b") as f:
        f.seek(address)
        f.write(data)


def can_bind_over_dev_mem():
    """Binding the image over /dev/mem needs root and a private mount namespace."""
    return os.geteuid() == 0 and subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode == 0


def acpidump(image, *args):
    """acpidump ARGS reading IMAGE as /dev/mem, which is first grown (sparse) to IMAGE_SIZE."""
    os.truncate(image, max(IMAGE_SIZE, os.path.getsize(image)))
    return subprocess.run(["unshare", "-m", "sh", "-c", ACPIDUMP_IN_NAMESPACE, image, *args],
                          capture_output=True, text=True)


def checksummed(data, at):
    """DATA with the byte at AT set so that all of it adds up to 0."""
    data = bytearray(data)
    data[at] = 0
    data[at] = (-sum(data)) & 0xFF
    return bytes(data)


def acpidump_text(blocks, layout):
    """(signature, address, bytes) blocks as acpidump prints them: "current" is
    ACPICA's "SIG @ 0x%016X" layout, "older" the earlier tool's, which names an
    address it could not find "(nil)". The RSDP is "RSD " or "RSDP" in BLOCKS."""
    out = []
    for signature, address, data in blocks:
        rsdp = signature in ("RSD ", "RSDP")
        if layout == "current":
            out.append("%s @ 0x%016X" % ("RSD " if rsdp else signature, address))
        else:
            out.append("%s @ %s" % ("RSD PTR" if rsdp else signature, "0x%x" % address if address else "(nil)"))
        for offset in range(0, len(data), 16):
            chunk = data[offset:offset + 16]
            shown = "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
            if layout == "current":
                out.append("    %04X: %-47s  %s" % (offset, " ".join("%02X" % b for b in chunk), shown))
            else:
                out.append("  %04x: %-47s  %s" % (offset, " ".join("%02x" % b for b in chunk), shown))
        out.append("")
    return "\n".join(out) + "\n"


def outcome(name, problems):
    """Prints "ok   NAME", or "FAIL NAME" and each problem indented below it; true if it failed."""
    print(("FAIL " if problems else "ok   ") + name)
    for problem in problems:
        print("  " + problem.replace("\n", "\n  "))
    return bool(problems)
