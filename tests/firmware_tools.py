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


def outcome(name, problems):
    """Prints "ok   NAME", or "FAIL NAME" and each problem indented below it; true if it failed."""
    print(("FAIL " if problems else "ok   ") + name)
    for problem in problems:
        print("  " + problem.replace("\n", "\n  "))
    return bool(problems)
