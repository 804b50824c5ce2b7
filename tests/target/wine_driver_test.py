#!/usr/bin/env python3
"""Runs the built zerlo.sys under Wine's NT I/O manager and drives
\\\\.\\ZerloDev with the built zerloctl.exe, as a Win32 caller does: the
driver installed, started, stopped and removed by zerloctl.exe's own service
commands, then the fan loop's service with no driver to open.

Wine's driver host runs kernel drivers in user mode, where port instructions
fault: no request here may reach the fan, temperature or Super-I/O hardware,
so those codes are sent only with sizes or arguments the driver refuses.
"""
import argparse
import filecmp
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time

ERROR_ACCESS_DENIED = 5
ERROR_INVALID_PARAMETER = 87
ERROR_INSUFFICIENT_BUFFER = 122

# Every code of the driver's table: the name the checks print, the code, an
# input with valid arguments (none where the code takes none) and the length of
# its reply. The size refusals and the read-only handle's requests are made from it.
CODES = [
    ("set fan state", 0x9C40A400, "00000000", 4),
    ("fan state", 0x9C40A404, "00000000", 4),
    ("fan speed", 0x9C40A408, "01000000", 4),
    ("CPU speed", 0x9C40A410, "", 8),
    ("Super-I/O detection", 0x9C40A414, "", 4),
    ("set Super-I/O level", 0x9C40A418, "00003F00", 4),
    ("Super-I/O level", 0x9C40A41C, "01000000", 4),
    ("temperature", 0x9C40A440, "FF000000", 4),
    ("version", 0x9C40A444, "", 8),
    ("SMBIOS report", 0x9C40A448, "", 16384),
    ("ACPI report", 0x9C40A44C, "", 32768),
]
CODE = {name: code for name, code, _, _ in CODES}
# The text replies, each asked for with exactly its reply's length.
FIRMWARE = [("SMBIOS report", 16384), ("CPU speed", 8), ("ACPI report", 32768)]

ZERLOCTL = r"C:\zerlo\zerloctl.exe"
DRIVER_IMAGE = r"\SystemRoot\system32\drivers\zerlo.sys"
AUTO_FOLDER = r"C:\windows\system32\zerlo"
AUTO_COMMAND = '"%s\\zerloctl.exe" auto-service --config "%s\\auto.json"' % (AUTO_FOLDER, AUTO_FOLDER)
# A drive Wine reports as a network drive (DRIVE_REMOTE).
NETWORK_DRIVE = "n:"
MORE_HANDLES = 3
VERSION_REPLY = "0100000005000000"


def code_of(device_type, access, function, method):
    return device_type << 16 | access << 14 | function << 2 | method


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = []
        self.group = ""

    def expect(self, condition, name, detail=""):
        label = "%s: %s" % (self.group, name)
        if condition:
            self.passed += 1
            print("ok   " + label)
        else:
            self.failed.append(label)
            print("FAIL " + label + (" -- " + detail if detail else ""))

    def finish(self):
        print("\n%d passed, %d failed" % (self.passed, len(self.failed)))
        return 0 if not self.failed and self.passed else 1


class Wine:
    """One fresh Wine prefix and the processes run in it."""

    def __init__(self, prefix, log_path):
        self.prefix = prefix
        self.log_path = log_path
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)
        self.env.update({
            "WINEPREFIX": prefix,
            "WINEARCH": "win32",
            # No Mono or Gecko installers, no desktop.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            # DbgPrint reaches the debugstr channel as a warning; nothing else is wanted.
            "WINEDEBUG": "-all,warn+debugstr",
        })

    def run(self, args, timeout, with_stderr=False):
        started = time.monotonic()
        with open(self.log_path, "ab") as log:
            log.write((">>> wine %s\n" % " ".join(args)).encode())
            log.flush()
            result = subprocess.run(["wine"] + args, env=self.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT if with_stderr else log,
                                    stdin=subprocess.DEVNULL, timeout=timeout)
        print("  (%s: exit %d, %.0f s)" % (" ".join(args[:2]), result.returncode, time.monotonic() - started))
        return result.returncode, result.stdout.decode(errors="replace")

    def hold(self):
        """Wine ends its driver host when the last Win32 program exits, so a
        program that waits for its input keeps the service alive between the
        runs of zerloctl; closing its input ends it. It must start the
        session: the wineserver keeps the stderr of the program that started
        it, and a pipe held so never ends."""
        with open(self.log_path, "ab") as stderr:
            holder = subprocess.Popen(["wine", "cmd"], env=self.env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=stderr)
        holder.stdin.write(b"echo holding\r\n")
        holder.stdin.flush()
        select.select([holder.stdout], [], [], 300)  # any output: cmd runs
        return holder

    def server(self, *flags, timeout=300):
        subprocess.run(["wineserver"] + list(flags), env=self.env, timeout=timeout, check=False)

    def windows_path(self, relative):
        return os.path.join(self.prefix, "drive_c", relative)

    def fresh(self, checks):
        """Makes the prefix anew with wineboot, its log emptied; an interrupted
        run leaves its wineserver, which would keep the old prefix's state."""
        if os.path.isdir(self.prefix):
            self.server("-k")
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        open(self.log_path, "wb").close()
        debug, self.env["WINEDEBUG"] = self.env["WINEDEBUG"], "-all"
        status, _ = self.run(["wineboot", "-i"], timeout=300)
        self.server("-w")
        self.env["WINEDEBUG"] = debug
        checks.group = "prefix"
        checks.expect(status == 0, "wineboot -i makes a fresh prefix")
        return status == 0


def require_32bit_exec(register_script):
    """Wine's 32-bit loader must run; where the kernel refuses i386 programs
    the qemu user emulation is registered first. Never a skip."""
    def runs():
        try:
            return subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=60).returncode == 0
        except OSError as error:
            print("  /usr/lib/wine/wine: %s" % error)
            return False
    if runs():
        return True
    if os.geteuid() == 0 and os.path.exists(register_script):
        subprocess.run([register_script], check=False)
        if runs():
            return True
    print("FATAL: this machine cannot run Wine's 32-bit loader (/usr/lib/wine/wine). "
          "Run scripts/install-deps as root (wine, wine32:i386, qemu-user-static and the i386 binfmt entry).")
    return False


def zerloctl_json(output):
    return [json.loads(line) for line in map(str.strip, output.splitlines()) if line.startswith("{")]


def ioctl_args(code, hex_in, out_len):
    args = ["ioctl", "0x%08X" % code, "--out-len", str(out_len)]
    if hex_in:
        args += ["--in", hex_in]
    return args


def refusals():
    """Each request the dispatcher (or the table's neighbours) must refuse,
    with the Win32 error the caller sees: the boundary values of the sizes
    and ranges, and codes next to the table."""
    cases = []
    unknown = [(0x903, "function 0x903 between fan speed and CPU speed")]
    unknown += [(f, "function 0x%03X in the gap before temperature" % f) for f in range(0x908, 0x910)]
    unknown += [(0x914, "function 0x914 after the ACPI report")]
    for function, name in unknown:
        cases.append((name, code_of(0x9C40, 2, function, 0), "", 32768, ERROR_INVALID_PARAMETER))
    cases += [
        ("version code of another device type", code_of(0x9C41, 2, 0x911, 0), "", 8, ERROR_INVALID_PARAMETER),
        ("version code of device type 0x22", code_of(0x22, 2, 0x911, 0), "", 8, ERROR_INVALID_PARAMETER),
        ("version code with FILE_ANY_ACCESS", code_of(0x9C40, 0, 0x911, 0), "", 8, ERROR_INVALID_PARAMETER),
        ("version code with FILE_READ_ACCESS", code_of(0x9C40, 1, 0x911, 0), "", 8, ERROR_INVALID_PARAMETER),
        ("version code with read and write access", code_of(0x9C40, 3, 0x911, 0), "", 8, ERROR_INVALID_PARAMETER),
        ("version code with METHOD_IN_DIRECT", code_of(0x9C40, 2, 0x911, 1), "", 8, ERROR_INVALID_PARAMETER),
        ("version code with METHOD_OUT_DIRECT", code_of(0x9C40, 2, 0x911, 2), "", 8, ERROR_INVALID_PARAMETER),
        ("SMBIOS code with METHOD_NEITHER", code_of(0x9C40, 2, 0x912, 3), "", 16384, ERROR_INVALID_PARAMETER),
    ]
    # Short input: the first word is valid, the size alone is refused.
    cases += [("%s with 3 input bytes" % name, code, valid_in[:6], size, ERROR_INSUFFICIENT_BUFFER)
              for name, code, valid_in, size in CODES if valid_in]
    cases.append(("temperature with no input", CODE["temperature"], "", 4, ERROR_INSUFFICIENT_BUFFER))
    # Short output: valid arguments, one byte too few for the reply.
    cases += [("%s with %d output bytes" % (name, size - 1), code, valid_in, size - 1, ERROR_INSUFFICIENT_BUFFER)
              for name, code, valid_in, size in CODES]
    cases += [
        ("version with no output", CODE["version"], "", 0, ERROR_INSUFFICIENT_BUFFER),
        # Sizes are checked before arguments: a bad fan and a short output is a size refusal.
        ("fan 2 with 3 output bytes is refused for its size", CODE["fan state"], "02000000", 3,
         ERROR_INSUFFICIENT_BUFFER),
    ]
    # Arguments one past their range, each with an output as long as its input: the
    # longer input shows that a size above the minimum still has its argument checked.
    for name, what, hex_in in [
            ("set fan state", "for fan 2", "02000000"), ("set fan state", "to state 3", "00000300"),
            ("fan state", "of fan 2", "02000000"), ("fan state", "of fan 0xFFFF", "FFFF0000"),
            ("fan speed", "of fan 2", "02000000"),
            ("set Super-I/O level", "64", "01004000"), ("set Super-I/O level", "for fan 2", "02000000"),
            ("Super-I/O level", "of fan 2", "02000000"),
            ("temperature", "of sensor 256", "00010000"),
            ("temperature", "of sensor 0xFFFF with a longer input", "FFFF000000000000")]:
        cases.append(("%s %s" % (name, what), CODE[name], hex_in, len(hex_in) // 2, ERROR_INVALID_PARAMETER))
    return cases


def check_firmware_texts(checks, replies):
    """The texts that need no physical memory: Wine's MmMapIoSpace returns
    null, so the driver runs with no BIOS window. Every byte of a text reply
    is the driver's: the text, its NUL, then zeros up to the returned length.
    The system buffer comes from Wine's pool, which holds whatever it held
    before."""
    texts = {}
    for (name, length), reply in zip(FIRMWARE, replies):
        checks.expect(reply.get("status") == 0 and reply.get("information") == length,
                      "%s succeeds with returned length %d" % (name, length), str(reply)[:200])
        data = bytes.fromhex(reply.get("reply", ""))
        end = data.find(b"\0")
        stale = len(data) - end - data[end:].count(0) if end >= 0 else len(data)
        checks.expect(len(data) == length and end >= 0 and stale == 0,
                      "%s is zero after its NUL up to byte %d" % (name, length),
                      "%d bytes, NUL at %d, %d nonzero after it" % (len(data), end, stale))
        texts[name] = data[:end] if end >= 0 else None
    checks.expect(texts["SMBIOS report"] == b"*** Error: BIOS segment mapping failed ***",
                  "SMBIOS report is the BIOS-window mapping error alone", repr(texts["SMBIOS report"]))


def debug_lines(log_path):
    """The driver's DbgPrint lines as Wine's debugstr channel shows them, each
    with its own line end (a missing one swallows what follows, a doubled one
    shows)."""
    with open(log_path, "rb") as log:
        text = log.read().decode(errors="replace")
    pattern = re.compile(r"warn:debugstr:\w+ [0-9a-f]+:[0-9a-f]+: (Zerlo: [^\n]*\n)(\n?)")
    return [match.group(1) + match.group(2) for match in pattern.finditer(text)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sys", required=True)
    parser.add_argument("--zerloctl", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--register-i386", required=True)
    options = parser.parse_args()
    options.prefix = os.path.abspath(options.prefix)

    checks = Checks()
    if not require_32bit_exec(options.register_i386):
        return 1

    started = time.monotonic()
    wine = Wine(options.prefix, os.path.join(os.path.dirname(options.prefix), "wine-driver.log"))
    if not wine.fresh(checks):
        return checks.finish()

    # As a user unpacks them: zerlo.sys beside zerloctl.exe, which installs
    # it, read-only as a copy from a CD is.
    tools = wine.windows_path("zerlo")
    os.makedirs(tools, exist_ok=True)
    for path in (options.zerloctl, options.sys):
        shutil.copyfile(path, os.path.join(tools, os.path.basename(path)))
    os.chmod(os.path.join(tools, "zerlo.sys"), 0o444)
    # The same folder again as a network drive; its type is read when the
    # next session starts.
    os.symlink("../drive_c/zerlo", os.path.join(options.prefix, "dosdevices", NETWORK_DRIVE))
    wine.run(["reg", "add", r"HKLM\Software\Wine\Drives", "/v", NETWORK_DRIVE, "/d", "network", "/f"], timeout=300)
    wine.server("-w")
    holder = wine.hold()
    opens = None
    try:
        opens = run_driver(wine, checks, options)
        run_auto_service(wine, checks, options)
    finally:
        holder.stdin.close()
        try:
            holder.wait(timeout=120)
        except subprocess.TimeoutExpired:
            holder.kill()
        wine.server("-w")
    # Read only now: the driver host has written its last line when it exited.
    if opens is not None:
        check_debug_lines(checks, wine.log_path, opens)
    print("(%.0f s in Wine; its log: %s)" % (time.monotonic() - started, wine.log_path))
    return checks.finish()


def command(wine, checks, args, want_status, want_output, name):
    """One service command of zerloctl.exe: its whole output, both streams,
    and its exit status."""
    status, out = wine.run([ZERLOCTL] + args, timeout=300, with_stderr=True)
    out = without_times(out.replace("\r\n", "\n"))
    ok = status == want_status and out == want_output
    checks.expect(ok, name, "exit %d (want %d): %r" % (status, want_status, out))
    return ok


def service_status(zerlo, auto="not installed"):
    return "zerlo: %s\nZerloAuto: %s\n" % (zerlo, auto)


def run_driver(wine, checks, options):
    installed = wine.windows_path("windows/system32/drivers/zerlo.sys")
    checks.group = "install"
    command(wine, checks, ["service-status"], 0, service_status("not installed"), "service-status: neither service")
    command(wine, checks, ["start"], 1, "zerloctl: zerlo is not installed\n", "start before install is refused")
    command(wine, checks, ["uninstall"], 1, "zerloctl: zerlo is not installed\n", "uninstall before install is refused")
    if not command(wine, checks, ["install"], 0,
                   "zerlo: installed (C:\\windows\\system32\\drivers\\zerlo.sys, demand start)\n",
                   "install takes zerlo.sys from beside zerloctl.exe"):
        return None
    checks.expect(filecmp.cmp(installed, options.sys, shallow=False), "the installed file is the built zerlo.sys")
    checks.expect(os.stat(installed).st_mode & 0o200, "the installed copy of a read-only zerlo.sys is not read-only")
    command(wine, checks, ["install", "--sys", r"C:\zerlo\zerlo.sys"], 1,
            "zerloctl: zerlo is already installed (%s)\n" % DRIVER_IMAGE, "a second install is refused")
    command(wine, checks, ["stop"], 1, "zerloctl: zerlo is not running\n", "stop before start is refused")
    stopped = service_status("stopped (%s)" % DRIVER_IMAGE)
    command(wine, checks, ["service-status"], 0, stopped, "service-status: zerlo installed and stopped")

    checks.group = "service start"
    if not command(wine, checks, ["start"], 0, "zerlo: running\n", "the kernel-driver service starts"):
        return None
    command(wine, checks, ["start"], 1, "zerloctl: zerlo is already running\n", "a second start is refused")
    command(wine, checks, ["service-status"], 0, service_status("running (%s)" % DRIVER_IMAGE),
            "service-status: zerlo running")
    opens = 0

    # The read-only handle first: the driver must still answer everything after it.
    # The I/O manager must refuse every code of the table on it before the driver
    # sees it. Each goes one output byte short, so that no port is touched even if
    # the access check were missing (the driver's size refusal then fails the check).
    checks.group = "read-only handle"
    args = ["--json", "--read-only"]
    for _, code, valid_in, size in CODES:
        args += ioctl_args(code, valid_in, size - 1)
    status, out = wine.run([ZERLOCTL] + args, timeout=300)
    replies = zerloctl_json(out)
    opens += 1
    checks.expect(len(replies) == len(CODES), "every request gets an answer", out[-300:])
    for (name, _, _, _), reply in zip(CODES, replies):
        checks.expect(reply.get("win32_error") == ERROR_ACCESS_DENIED and reply.get("information") == 0,
                      "%s is ERROR_ACCESS_DENIED" % name, str(reply)[:200])

    # One run of zerloctl on one handle (plus the extra ones of `handles`).
    cases = refusals()
    args = ["--json"]
    args += ioctl_args(CODE["version"], "", 8)
    args += ioctl_args(CODE["version"], "", 64)
    args += ioctl_args(CODE["version"], "AABBCCDDEEFF0011", 8)
    for _, code, hex_in, out_len, _ in cases:
        args += ioctl_args(code, hex_in, out_len)
    args += ["handles", str(MORE_HANDLES)]
    for name, out_len in FIRMWARE:
        args += ioctl_args(CODE[name], "", out_len)
    args += ioctl_args(CODE["version"], "", 8)
    status, out = wine.run([ZERLOCTL] + args, timeout=300)
    replies = zerloctl_json(out)
    opens += 1 + MORE_HANDLES
    checks.group = "requests"
    expected = 3 + len(cases) + 1 + len(FIRMWARE) + 1
    checks.expect(len(replies) == expected, "every request gets an answer (%d)" % expected,
                  "%d answers: %s" % (len(replies), out[-300:]))
    replies += [{}] * (expected - len(replies))

    checks.group = "version"
    for reply, name in zip(replies[:3], ["an 8-byte output", "a 64-byte output", "an 8-byte input to ignore"]):
        checks.expect(reply.get("status") == 0 and "win32_error" not in reply,
                      "succeeds with " + name, str(reply))
        checks.expect(reply.get("information") == 8 and reply.get("reply") == VERSION_REPLY,
                      "returns 01 00 00 00 05 00 00 00 and length 8 with " + name, str(reply))

    checks.group = "refusals"
    for (name, _, _, _, error), reply in zip(cases, replies[3:3 + len(cases)]):
        checks.expect(reply.get("win32_error") == error and reply.get("information") == 0,
                      "%s gives Win32 error %d" % (name, error), str(reply)[:200])

    checks.group = "several handles"
    handles = replies[3 + len(cases)]
    each = handles.get("replies", [])
    checks.expect(len(each) == MORE_HANDLES, "%d more handles open beside the first" % MORE_HANDLES, str(handles))
    checks.expect(all(r.get("status") == 0 and r.get("reply") == VERSION_REPLY for r in each),
                  "each of them answers the version request", str(handles))

    checks.group = "firmware reports"
    texts = replies[4 + len(cases):4 + len(cases) + len(FIRMWARE)]
    check_firmware_texts(checks, texts)

    checks.group = "after all of it"
    last = replies[-1]
    checks.expect(last.get("status") == 0 and last.get("reply") == VERSION_REPLY,
                  "the driver still answers the version request", str(last))

    checks.group = "service stop"
    command(wine, checks, ["stop"], 0, "zerlo: stopped\n", "the service stops")
    command(wine, checks, ["service-status"], 0, stopped, "service-status: zerlo stopped")
    command(wine, checks, ["uninstall"], 0, "zerlo: removed\n", "uninstall deletes the service")
    checks.expect(not os.path.exists(installed), "uninstall deletes system32\\drivers\\zerlo.sys")
    # Read-only as an older zerloctl.exe left it: a new install replaces it.
    open(installed, "wb").close()
    os.chmod(installed, 0o444)
    return opens


def run_auto_service(wine, checks, options):
    """The fan loop's service with no driver installed: under Wine a fan
    request faults in the driver host (port instructions in user mode) and
    takes it down. Wine's service manager starts no dependency, so the
    service runs; it must log each failed open, folded, keep trying and stop
    cleanly. Then the driver is installed and started under the running
    service, which waits an hour between two opens, so that it opens
    nothing."""
    checks.group = "auto service"
    config = wine.windows_path("zerlo/cool.json")
    folder = wine.windows_path("windows/system32/zerlo")
    installed_config, log = os.path.join(folder, "auto.json"), os.path.join(folder, "auto.log")
    write_config(config, 0.5)
    command(wine, checks, ["install-auto", "--config", NETWORK_DRIVE + r"\cool.json"], 1,
            "zerloctl: n:\\cool.json is on a network drive: copy it to a local disk first\n",
            "install-auto refuses a configuration on a network drive")
    # A folder made first by the account that installs is reused. Wine names
    # one account (the Unix user) as the owner of every file, whatever the
    # descriptor, so the refusal of another account's folder, which a Power
    # User may make first on XP, cannot be seen here.
    os.mkdir(folder)
    if not command(wine, checks, ["install-auto", "--config", r"C:\zerlo\cool.json"], 0,
                   "ZerloAuto: installed in %s (auto start; log: %s\\auto.log)\nZerloAuto: running\n"
                   % (AUTO_FOLDER, AUTO_FOLDER),
                   "install-auto copies zerloctl.exe and the configuration to system32\\zerlo and starts it"):
        return
    checks.expect(filecmp.cmp(os.path.join(folder, "zerloctl.exe"), options.zerloctl, shallow=False)
                  and filecmp.cmp(installed_config, config, shallow=False),
                  "system32\\zerlo holds the built zerloctl.exe and the configuration")
    command(wine, checks, ["service-status"], 0, service_status("not installed", "running (%s)" % AUTO_COMMAND),
            "service-status: ZerloAuto runs the copies")
    time.sleep(2)
    command(wine, checks, ["stop-auto"], 0, "ZerloAuto: stopped\n", "stop-auto stops it")
    retry = "cannot open \\\\.\\ZerloDev: error 2 (is the zerlo service started?); trying again"
    lines = log_lines(log)
    checks.expect(lines == ["TIME " + retry, "TIME again N times: " + retry,
                            "TIME stopping: service stopped before the device opened"],
                  "the failed opens of every poll are one line and a count, the stop last", repr(lines))

    checks.group = "bad configuration"
    write_config(installed_config, 0)
    reason = ("its log ends: TIME stopped: bad configuration: %s\\auto.json: poll_seconds: 0 is outside 0.5 to 3600"
              % AUTO_FOLDER)
    command(wine, checks, ["start-auto"], 1, "zerloctl: ZerloAuto stopped at its start; %s\n" % reason,
            "start-auto reports the stop and its reason")
    command(wine, checks, ["service-status"], 0,
            service_status("not installed", "stopped (%s)\n  stopped after a failure; %s" % (AUTO_COMMAND, reason)),
            "service-status shows the reason")

    checks.group = "zerlo under ZerloAuto"
    write_config(installed_config, 3600)
    command(wine, checks, ["start-auto"], 0, "ZerloAuto: running\n", "ZerloAuto starts again")
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and log_lines(log)[-1:] != ["TIME " + retry]:
        time.sleep(0.2)
    command(wine, checks, ["install"], 0,
            "zerlo: installed (C:\\windows\\system32\\drivers\\zerlo.sys, demand start)\n",
            "install replaces a read-only zerlo.sys")
    command(wine, checks, ["start"], 0, "zerlo: running\n", "zerlo starts")
    command(wine, checks, ["stop"], 1, "zerloctl: ZerloAuto depends on zerlo and runs: stop it first "
            "(zerloctl stop-auto)\n", "stop is refused at once while ZerloAuto runs")
    command(wine, checks, ["uninstall"], 1, "zerloctl: ZerloAuto depends on zerlo: remove it first "
            "(zerloctl uninstall-auto)\n", "uninstall is refused while ZerloAuto is installed")
    command(wine, checks, ["uninstall-auto"], 0, "ZerloAuto: removed\n", "uninstall-auto stops and deletes it")
    checks.expect(sorted(os.listdir(folder)) == ["auto.log"], "only the log stays in system32\\zerlo",
                  repr(os.listdir(folder)))
    command(wine, checks, ["uninstall"], 0, "zerlo: removed\n", "then uninstall stops and removes zerlo")


def write_config(path, poll_seconds):
    with open(path, "w") as out:
        json.dump({"poll_seconds": poll_seconds, "fans": [{"fan": 0, "sensors": [0],
                                                           "steps": [{"state": "high", "up": 60, "down": 50}]}]}, out)


def log_lines(path):
    """The service's log with each line's time as TIME."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as log:
        text = log.read().decode(errors="replace").replace("\r\n", "\n")
    return [without_times(line) for line in text.splitlines()]


def without_times(text):
    """Each log line's time as TIME, a fold's count as N."""
    text = re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", "TIME ", text)
    return re.sub(r"^TIME again \d+ times: ", "TIME again N times: ", text)


def check_debug_lines(checks, log_path, opens):
    checks.group = "debug lines"
    lines = debug_lines(log_path)
    unload = ["Zerlo: Entering unload function\n", "Zerlo: Link removed\n", "Zerlo: End of unload\n"]
    # The second load is the one under ZerloAuto, which opens nothing.
    wanted = (["Zerlo: DriverEntry successful\n"] + ["Zerlo: Open / Close\n"] * (2 * opens) + unload +
              ["Zerlo: DriverEntry successful\n"] + unload)
    checks.expect(lines == wanted, "DriverEntry's success, an open/close line for each of %d opens and closes, "
                  "the three unload lines, then a load and unload with no open, in order and nothing else"
                  % (2 * opens),
                  "%d lines (want %d): %r" % (len(lines), len(wanted), lines))


if __name__ == "__main__":
    sys.exit(main())
