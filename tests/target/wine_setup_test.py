#!/usr/bin/env python3
"""zerlo-1.5-setup.exe under Wine, as an owner and an administrator of many
notebooks run it: a silent install, whose notebook check finds no BIOS (Wine
runs the driver in user mode, where its port instructions never reach one),
so no fan loop; a silent run again with the test-only /SKIPCHECK, which
installs the fan loop all the same; a third run over an edited
configuration, which keeps it; the silent uninstall, after which the
prefix's files and registry are as they were before; and the installer's
pages on an X server without a screen (Xvfb), whose components and finish
pages become the screenshots in docs/.

Wine runs the driver in user mode: the check's first port instruction
faults and ends Wine's driver host. Wine's service manager may go on showing
the driver running, or show it stopped once another start of it finds the
host gone; the test takes either, and restarts Wine before the next setup
run, as an owner would restart Windows, so that each run meets a driver
that can be stopped.

Not shown here: the refusal of a user who is not an administrator (Wine
gives every user administrator rights), of 64-bit Windows and of Windows
before XP (the prefix is 32-bit Windows 7)."""
import argparse
import os
import shutil
import subprocess
import sys
import time

from PIL import ImageGrab

from wine_driver_test import Checks, Wine, require_32bit_exec
from wine_monitor_test import start_xvfb

PROGRAM = r"C:\Program Files\Zerlo"
SETUP = r"C:\setup\zerlo-1.5-setup.exe"
AUTO_FOLDER = r"C:\windows\system32\zerlo"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zerlo"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
START_MENU = "ProgramData/Microsoft/Windows/Start Menu/Programs/Zerlo"
INSTALLED = ["README.txt", "uninstall.exe", "zerlo.sys", "zerloctl.exe", "zerlomon.exe"]
SHORTCUTS = ["Uninstall Zerlo.lnk", "Zerlo Monitor.lnk", "Zerlo documentation.lnk", "Zerlo notebook check.lnk"]
# The registry trees an install may touch, as `regedit /E` writes them.
TREES = [r"HKEY_LOCAL_MACHINE\Software", r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services",
         r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"]
# Files Wine itself changes while programs run, whatever they do, and the
# users' temporary folders, where the uninstaller runs a copy of itself from
# (setup installs for all users: nothing of it belongs under users/).
WINE_OWN = ("windows/temp/", "users/", "windows/Installer/", "windows/system32/wbem/")


def files(wine):
    root = wine.windows_path("")
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.relpath(os.path.join(folder, name), root)
            if not path.startswith(WINE_OWN):
                found.add(path)
    return found


def registry(wine):
    """Every key and value of TREES, one line each, from a live export."""
    lines = set()
    for number, tree in enumerate(TREES):
        out = wine.windows_path("registry%d.reg" % number)
        wine.run(["regedit", "/E", r"C:\registry%d.reg" % number, tree], timeout=120)
        with open(out, "rb") as export:
            data = export.read()
        text = data.decode("utf-16" if data.startswith(b"\xff\xfe") else "latin-1", errors="replace")
        os.remove(out)
        key = ""
        for line in text.replace("\\\r\n  ", "").splitlines():
            if line.startswith("["):
                key = line
                lines.add(key)
            elif line and not line.startswith("Windows Registry Editor"):
                lines.add(key + " " + line)
    return lines


def reg_values(wine, key):
    """`reg query` of one key: its values, one "name type data" a line."""
    _, out = wine.run(["reg", "query", key], timeout=120)
    return sorted(" ".join(line.split()) for line in out.splitlines() if line.startswith("    "))


def zerloctl(wine, *args):
    status, out = wine.run([PROGRAM + r"\zerloctl.exe"] + list(args), timeout=300, with_stderr=True)
    return status, out.replace("\r\n", "\n")


def same_bytes(path, want):
    with open(path, "rb") as got_file, open(want, "rb") as want_file:
        return got_file.read() == want_file.read()


def check_installed(checks, wine, build, auto):
    """The files, the services, the registry values and the shortcuts of an
    install, each whole."""
    program = wine.windows_path("Program Files/Zerlo")
    checks.expect(sorted(os.listdir(program)) == INSTALLED, "the program's folder holds exactly its files",
                  repr(sorted(os.listdir(program))))
    for name, built in [("zerlo.sys", "zerlo.sys"), ("zerloctl.exe", "zerloctl.exe"), ("zerlomon.exe", "zerlomon.exe"),
                        ("README.txt", "zerlo-1.5/README.txt")]:
        checks.expect(same_bytes(os.path.join(program, name), os.path.join(build, built)),
                      "%s is the built one" % name)
    with open(os.path.join(program, "README.txt"), "rb") as readme:
        text = readme.read()
    checks.expect(text.count(b"\r\n") == text.count(b"\n") > 0, "README.txt ends every line with CR LF")
    checks.expect(same_bytes(wine.windows_path("windows/system32/drivers/zerlo.sys"), os.path.join(build, "zerlo.sys")),
                  "the driver is installed in system32\\drivers")
    status, out = zerloctl(wine, "service-status")
    want_auto = ('ZerloAuto: running ("%s\\zerloctl.exe" auto-service --config "%s\\auto.json")\n' %
                 (AUTO_FOLDER, AUTO_FOLDER)) if auto else "ZerloAuto: not installed\n"
    checks.expect(status == 0 and out in ["zerlo: %s (\\SystemRoot\\system32\\drivers\\zerlo.sys)\n%s" % (state, want_auto)
                                          for state in ("running", "stopped")],
                  "service-status: the driver installed (its host ended by the check), ZerloAuto %s" %
                  ("running" if auto else "not installed"), out)
    size = sum(os.path.getsize(os.path.join(program, name)) for name in INSTALLED) // 1024
    values = reg_values(wine, UNINSTALL_KEY)
    want = sorted([
        "DisplayIcon REG_SZ %s\\zerlomon.exe" % PROGRAM, "DisplayName REG_SZ Zerlo 1.5",
        "DisplayVersion REG_SZ 1.5", "EstimatedSize REG_DWORD 0x%x" % size,
        "InstallLocation REG_SZ %s" % PROGRAM, "NoModify REG_DWORD 0x1", "NoRepair REG_DWORD 0x1",
        'QuietUninstallString REG_SZ "%s\\uninstall.exe" /S' % PROGRAM,
        'UninstallString REG_SZ "%s\\uninstall.exe"' % PROGRAM])
    checks.expect(values == want, "Add or Remove Programs: name, version, size, uninstall strings, no modify or repair",
                  "\n".join(values))
    run = [value for value in reg_values(wine, RUN_KEY) if "Zerlo" in value]
    checks.expect(run == ['Zerlo Monitor REG_SZ "%s\\zerlomon.exe"' % PROGRAM],
                  "Zerlo Monitor starts at every logon, for all users", repr(run))
    menu = wine.windows_path(START_MENU)
    shortcuts = sorted(os.listdir(menu)) if os.path.isdir(menu) else []
    checks.expect(shortcuts == SHORTCUTS, "the Start menu's shortcuts", repr(shortcuts))
    targets = {name: open(os.path.join(menu, name), "rb").read() for name in shortcuts}
    for name, target in [("Zerlo Monitor.lnk", "zerlomon.exe"), ("Zerlo notebook check.lnk", "cmd.exe"),
                         ("Zerlo documentation.lnk", "README.txt"), ("Uninstall Zerlo.lnk", "uninstall.exe")]:
        checks.expect(target.encode() in targets.get(name, b"") or target.encode("utf-16-le") in targets.get(name, b""),
                      "%s points at %s" % (name, target))
    if SHORTCUTS[3] in targets:
        check_args = '/k ""%s\\zerloctl.exe" check"' % PROGRAM
        checks.expect(check_args.encode("utf-16-le") in targets[SHORTCUTS[3]] or check_args.encode() in targets[SHORTCUTS[3]],
                      "the notebook check's shortcut runs zerloctl.exe check in a console that stays open")


def settled(wine):
    """service-status once Wine's service manager shows the driver stopped,
    or after 20 s, with CR LF as LF."""
    deadline = time.monotonic() + 20
    while True:
        status, out = zerloctl(wine, "service-status")
        if out.startswith("zerlo: stopped") or time.monotonic() > deadline:
            return status, out
        time.sleep(2)


def restart(wine, holder):
    """Wine ends and starts again; the new session's holder. ZerloAuto, when
    installed, starts again with it and its first poll ends the new driver
    host: the next setup finds both as a restarted notebook would."""
    holder.stdin.close()
    wine.server("-k")
    holder = wine.hold()
    settled(wine)
    return holder


def setup(wine, *args):
    status, _ = wine.run([SETUP] + list(args), timeout=600)
    return status


def uninstall(wine):
    """The uninstaller copies itself away and returns at once; its copy
    removes the folder it came from."""
    status, _ = wine.run([PROGRAM + r"\uninstall.exe", "/S"], timeout=300)
    deadline = time.monotonic() + 180
    while os.path.exists(wine.windows_path("Program Files/Zerlo")) and time.monotonic() < deadline:
        time.sleep(1)
    time.sleep(3)  # the services' last writes
    return status


def window(display, name, timeout=180):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", name], env={"DISPLAY": display},
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.split()
        if found:
            return found[-1].decode()
        time.sleep(1)
    return None


def screenshot(display, window_id, path):
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window_id], env={"DISPLAY": display},
                              stdout=subprocess.PIPE).stdout.decode()
    g = dict(line.split("=") for line in geometry.split())
    x, y, w, h = int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])
    image = ImageGrab.grab(xdisplay=display).crop((x, y, x + w, y + h))
    image.save(path)
    return image


def click_next(display, window_id):
    """The Next (or Install) button, where MUI puts it on every page."""
    subprocess.run(["xdotool", "mousemove", "--window", window_id, "350", "312", "click", "1"],
                   env={"DISPLAY": display}, stderr=subprocess.DEVNULL)


def blue_left(image):
    """How much of the left strip is the welcome and finish pages' dark panel."""
    pixels = image.convert("RGB").load()
    return sum(1 for x in range(0, 150, 5) for y in range(60, 280, 5) if pixels[x, y][2] > 90 > pixels[x, y][0])


def check_pages(checks, wine, screenshots):
    """The pages an owner sees, driven by the keyboard: Enter takes the
    default button."""
    checks.group = "pages"
    server, display = start_xvfb()
    try:
        wine.env["DISPLAY"] = display
        with open(wine.log_path, "ab") as log:
            subprocess.Popen(["wine", SETUP], env=wine.env, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        setup_window = window(display, "Zerlo 1.5 Setup")
        checks.expect(setup_window is not None, "the setup's window opens")
        if setup_window is None:
            return
        time.sleep(3)
        welcome = screenshot(display, setup_window, os.path.join(screenshots, "setup-welcome.png"))
        click_next(display, setup_window)  # welcome -> components
        time.sleep(3)
        image = screenshot(display, setup_window, os.path.join(screenshots, "setup-components.png"))
        checks.expect(blue_left(welcome) > 500 and blue_left(image) < 50,
                      "the components page follows the welcome page",
                      "panel %d, then %d" % (blue_left(welcome), blue_left(image)))
        click_next(display, setup_window)  # components -> folder
        time.sleep(3)
        click_next(display, setup_window)  # folder -> install
        finish = os.path.join(screenshots, "setup-finish.png")
        deadline = time.monotonic() + 240
        image = screenshot(display, setup_window, finish)
        while blue_left(image) < 500 and time.monotonic() < deadline:  # the install, the check, then the page
            time.sleep(2)
            image = screenshot(display, setup_window, finish)
        time.sleep(2)  # its last repaint
        image = screenshot(display, setup_window, finish)
        checks.expect(blue_left(image) > 500 and image.tobytes() != welcome.tobytes(),
                      "the finish page follows the install", "panel %d" % blue_left(image))
    finally:
        wine.server("-k")
        server.terminate()
        server.wait()
        wine.env.pop("DISPLAY", None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup", required=True)
    parser.add_argument("--build", required=True, help="the target build's folder (the built files to compare)")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--screenshots", required=True, help="folder for setup-components.png and setup-finish.png")
    parser.add_argument("--register-i386", required=True)
    options = parser.parse_args()
    checks = Checks()
    if not require_32bit_exec(options.register_i386):
        return 1
    prefix = os.path.abspath(options.prefix)
    wine = Wine(prefix, os.path.join(os.path.dirname(prefix), "wine-setup.log"))
    os.makedirs(options.screenshots, exist_ok=True)
    wine.env["WINEDEBUG"] = "-all"
    # A fault in the driver host ends it instead of waiting for a debugger.
    wine.env["WINEDLLOVERRIDES"] += ";winedbg.exe=d"
    wine.fresh(checks)
    os.makedirs(wine.windows_path("setup"))
    shutil.copyfile(options.setup, wine.windows_path("setup/zerlo-1.5-setup.exe"))
    holder = wine.hold()
    try:
        before_files, before_registry = files(wine), registry(wine)

        checks.group = "silent install, no BIOS to answer"
        status = setup(wine, "/S")
        checks.expect(status == 4, "exit 4: installed without the fan loop, which the check finds unusable",
                      "exit %d" % status)
        check_installed(checks, wine, options.build, auto=False)
        checks.expect(not os.path.exists(wine.windows_path("windows/system32/zerlo/auto.json")),
                      "no fan loop configuration")

        holder = restart(wine, holder)
        checks.group = "again with /SKIPCHECK (tests only)"
        status = setup(wine, "/S", "/SKIPCHECK")
        checks.expect(status == 0, "exit 0: the fan loop installed all the same", "exit %d" % status)
        check_installed(checks, wine, options.build, auto=True)
        config = wine.windows_path("windows/system32/zerlo/auto.json")
        status, example = zerloctl(wine, "auto", "--print-example-config")
        with open(config, "rb") as installed:
            checks.expect(installed.read().decode().replace("\r\n", "\n") == example,
                          "ZerloAuto's configuration is the example")

        checks.group = "upgrade over an edited configuration"
        edited = example.replace('"poll_seconds": 2,', '"poll_seconds": 3,')
        with open(config, "w") as file:
            file.write(edited)
        holder = restart(wine, holder)
        status = setup(wine, "/S", "/PRESET=cool")
        checks.expect(status == 0, "exit 0", "exit %d" % status)
        check_installed(checks, wine, options.build, auto=True)
        with open(config) as kept:
            checks.expect(kept.read() == edited, "the owner's configuration is kept, not replaced by the preset")

        holder = restart(wine, holder)
        checks.group = "silent uninstall"
        status = uninstall(wine)
        checks.expect(status == 0, "exit 0", "exit %d" % status)
        after_files, after_registry = files(wine), registry(wine)
        print("  (compared: %d files and %d registry lines before, %d and %d after)" %
              (len(before_files), len(before_registry), len(after_files), len(after_registry)))
        left = sorted(after_files - before_files)
        checks.expect(left == ["windows/system32/zerlo/auto.log"],
                      "every file setup made is gone but the fan loop's log, which it names", repr(left))
        checks.expect(sorted(before_files - after_files) == [], "no file of the prefix is gone",
                      repr(sorted(before_files - after_files)))
        added = sorted(after_registry - before_registry)
        removed = sorted(before_registry - after_registry)
        checks.expect(added == [] and removed == [],
                      "HKLM\\Software, the services and the Run keys are as before the install",
                      "added:\n%s\nremoved:\n%s" % ("\n".join(added[:40]), "\n".join(removed[:40])))
    finally:
        holder.stdin.close()
        wine.server("-k")

    check_pages(checks, wine, options.screenshots)
    print("(screenshots: %s; Wine's log: %s)" % (options.screenshots, wine.log_path))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
