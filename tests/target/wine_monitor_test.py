#!/usr/bin/env python3
"""Runs zerlomon.exe under Wine on an X server without a screen (Xvfb), in
Wine's virtual desktop, where explorer provides the notification area:
first the replay of the heat-step recording, whose window, controls and
tray tooltip the program's --self-check reports through Win32 and whose
screenshot is checked coarsely; then a recording of sixteen sensors, then
three, with failed readings; then a malformed replay; then live mode,
where no driver is installed (a fan request would fault in Wine's driver
host), to see how a missing device is shown."""
import argparse
import os
import shutil
import subprocess
import sys
import time

from PIL import ImageGrab

from wine_driver_test import Checks, Wine, require_32bit_exec

DESKTOP = (1024, 768)
GRAPH = (0, 90, 200)  # the readings' line, kGraphColour
GAP = (220, 0, 0)  # the marks of failed readings, kGapColour
CLOCK = (110, 110, 110)  # a wall-clock jump, kClockColour
ZERLO = r"C:\zerlo"
NO_DEVICE = r"cannot open \\.\ZerloDev: error 2 (is the zerlo service started?)"


def start_xvfb():
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "%dx%dx24" % DESKTOP, "-nolisten",
                               "tcp"], pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as display:
        return server, ":" + display.readline().strip()


def read_report(path, timeout=240):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not os.path.exists(path):
        time.sleep(1)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as report:
        return report.read()


def controls(report):
    """Control id -> (class, text, rect, flags), and the list items in order."""
    found, items = {}, []
    for line in report.splitlines():
        if line.startswith("control "):
            head, text, tail = line.split('"', 2)
            _, number, kind = head.split()
            fields = tail.split()
            found[int(number)] = (kind, text, tuple(map(int, fields[:4])), set(fields[4:]))
        elif line.startswith("  item "):
            items.append(line[len('  item "'):-1])
    return found, items


def scrolling(control):
    """A control's scroll bar as the self-check reports it: (position, page,
    height), or None when none is shown."""
    for flag in control[3]:
        if flag.startswith("scroll="):
            return tuple(map(int, flag[len("scroll="):].split(",")))
    return None


def monitor(wine, name, args):
    """zerlomon.exe in the virtual desktop with its self-check, as an owner
    starts it; the report once written, or None."""
    report = wine.windows_path("zerlo/%s.txt" % name)
    if os.path.exists(report):
        os.remove(report)
    with open(wine.log_path, "ab") as log:
        subprocess.Popen(["wine", "explorer", "/desktop=zerlo,%dx%d" % DESKTOP, ZERLO + r"\zerlomon.exe"] + args +
                         ["--self-check", ZERLO + "\\%s.txt" % name], env=wine.env, stdout=log, stderr=log,
                         stdin=subprocess.DEVNULL)
    return read_report(report)


def check_replay(checks, wine, screenshot):
    checks.group = "replay"
    report = monitor(wine, "replay", ["--replay", ZERLO + r"\heat_step.jsonl", "--config", ZERLO + r"\cool.json"])
    checks.expect(report is not None, "the self-check reports")
    if report is None:
        return
    time.sleep(2)  # the desktop's last repaint
    image = ImageGrab.grab(xdisplay=wine.env["DISPLAY"])
    image.save(screenshot)
    lines = report.splitlines()
    checks.expect(lines[0].startswith('window "Zerlo Monitor - replay of heat_step.jsonl" ') and
                  lines[0].endswith(" visible"), "the window is shown with the recording's name", lines[0])
    checks.expect(lines[1:4] == ["notification area found", "tray icon added",
                                 'tip "Zerlo: hottest 62 C | sensors: 62, 52, 38, 22 C | fan 0: high, 4500 rpm | '
                                 'fan 1: high, 3900 rpm | automatic: in the recording"'],
                  "the icon is in the notification area with every reading in its tooltip", repr(lines[1:4]))
    found, items = controls(report)
    texts = {number: found[number][1] for number in found}
    checks.expect(texts.get(110) == "fan 0: high, 4500 rpm" and texts.get(111) == "fan 1: high, 3900 rpm",
                  "each fan's last state and rpm", repr((texts.get(110), texts.get(111))))
    buttons = [found.get(number) for number in range(200, 206)]
    checks.expect([b and (b[1], "disabled" in b[3]) for b in buttons] == [(s, True) for s in ["Off", "Low", "High"] * 2],
                  "off, low and high for each fan, disabled in a replay", repr(buttons))
    checks.expect(texts.get(122) == "no Super-I/O chip", "the Super-I/O panel says the recording found no chip",
                  repr(texts.get(122)))
    checks.expect(items == ["1 min", "5 min", "10 min", "30 min", "60 min", "sim 00:10:15 fan 1: off -> low",
                            "sim 00:10:30 fan 0: off -> low", "sim 00:10:45 fan 1: low -> high",
                            "sim 00:11:30 fan 0: low -> high"] and texts.get(100) == "10 min",
                  "the spans (ten minutes chosen) and the fan loop's recorded events", repr((items, texts.get(100))))

    graph = found.get(102)
    checks.expect(graph is not None and graph[0] == "ZerloGraphs" and scrolling(graph) is None,
                  "the graphs' area holds the four sensors' graphs without scrolling", repr(graph))
    if graph is None:
        return
    left, top, right, bottom = graph[2]
    band = (bottom - top) // 4  # sensor 0's graph
    pixels = image.load()
    line = [(x, y) for x in range(left, right) for y in range(top, top + band) if pixels[x, y][:3] == GRAPH]
    checks.expect(len(line) > 200, "sensor 0's line is drawn in the graph colour", "%d pixels" % len(line))
    third = (right - left) // 3
    early = [y for x, y in line if x < left + third]
    late = [y for x, y in line if x > right - third]
    checks.expect(early and late and min(late) < min(early) - band // 5,
                  "it rises: the last third is drawn well above the first",
                  "first third top %s, last third top %s" % (early and min(early), late and min(late)))
    for number, name in [(120, "fans"), (121, "Super-I/O"), (123, "service")]:
        l, t, r, b = found[number][2]
        background = pixels[r - 3, b - 3]
        ink = sum(1 for x in range(l + 4, r - 4) for y in range(t + 16, b - 4) if pixels[x, y] != background)
        checks.expect(ink > 100, "the %s panel shows something" % name, "%d pixels" % ink)


def replay_shot(checks, wine, recording, screenshot):
    """A recording replayed and shot: the graph panel's control, and
    count(colour, y0, y1) of that colour's pixels across it; None, None
    without a report."""
    name = os.path.splitext(recording)[0]
    report = monitor(wine, name, ["--replay", ZERLO + "\\" + recording, "--config", ZERLO + r"\cool.json"])
    checks.expect(report is not None, "the self-check reports: the recording replays")
    if report is None:
        return None, None
    time.sleep(2)  # the desktop's last repaint
    image = ImageGrab.grab(xdisplay=wine.env["DISPLAY"])
    image.save(screenshot)
    pixels = image.load()
    panel = controls(report)[0][102]
    left, _, right, _ = panel[2]

    def count(colour, y0, y1):
        return sum(1 for x in range(left, right) for y in range(y0, y1) if pixels[x, y][:3] == colour)

    return panel, count


def check_sensors(checks, wine, screenshot):
    """Sixteen sensors, then three, as a notebook with more sensors than the
    panel holds shows them: none left blank, the rest a scroll away; sensor
    0's failed readings (0, 255, an error) as marked gaps."""
    checks.group = "sixteen sensors, then three"
    panel, count = replay_shot(checks, wine, "sixteen_then_three.jsonl", screenshot)
    if panel is None:
        return
    _, top, _, bottom = panel[2]
    half = (top + bottom) // 2
    upper, lower = count(GRAPH, top, half), count(GRAPH, half, bottom)
    checks.expect(upper > 200 and lower > 200, "graphs are drawn down the whole panel",
                  "%d pixels of line above its middle, %d below" % (upper, lower))
    gaps = count(GAP, top, top + (bottom - top) // 4)
    checks.expect(gaps > 50, "sensor 0's failed readings are marked", "%d pixels" % gaps)
    scroll = scrolling(panel)
    checks.expect(scroll is not None and scroll[0] == 0 and scroll[2] > 2 * scroll[1],
                  "a scroll bar reaches the graphs that do not fit", repr(scroll))


def check_clock_back(checks, wine, screenshot):
    """The end of summer time in a recording: the wall clock goes back an
    hour between two samples, which replay in order on the monotonic clock
    with the jump marked where it happened."""
    checks.group = "a clock set back"
    panel, count = replay_shot(checks, wine, "clock_back.jsonl", screenshot)
    if panel is None:
        return
    marks = count(CLOCK, panel[2][1], panel[2][3])
    checks.expect(marks > 40, "the jump is marked on the graph", "%d pixels" % marks)


def check_malformed(checks, wine):
    checks.group = "malformed replay"
    with open(wine.windows_path("zerlo/bad.jsonl"), "w") as bad:
        bad.write('{"time":"sim 00:00:00","fans":[],"sensors":[]}\nfan 0: high\n')
    status, _ = wine.run([ZERLO + r"\zerlomon.exe", "--replay", ZERLO + r"\bad.jsonl", "--self-check",
                          ZERLO + r"\bad.txt"], timeout=300)
    report = read_report(wine.windows_path("zerlo/bad.txt"), timeout=5)
    checks.expect(status == 2 and report == "zerlomon: C:\\zerlo\\bad.jsonl:2: line 1, column 3: syntax error while "
                  "parsing value - invalid literal; last read: 'fan'\n", "exit 2 and the error names the line",
                  "exit %d: %r" % (status, report))


def wait_lines(path, count, timeout=180):
    """The first `count` lines of a file another program appends to."""
    deadline = time.monotonic() + timeout
    lines = []
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, encoding="utf-8") as text:
                lines = text.read().splitlines()
            if len(lines) >= count:
                break
        time.sleep(0.2)
    return lines


def click(wine, control):
    left, top, right, bottom = control[2]
    subprocess.run(["xdotool", "mousemove", str((left + right) // 2), str((top + bottom) // 2), "click", "1"],
                   env={"DISPLAY": wine.env["DISPLAY"]}, check=False)


def check_live(checks, wine, fan_control_screenshot):
    """Live mode with no driver but with ZerloAuto, which keeps trying to
    open the device: the monitor's elevated half gives it the cool preset,
    the window shows it chosen, and Off and Quiet are clicked in it."""
    checks.group = "live, no driver"
    holder = wine.hold()  # keeps Wine's service manager between the runs
    try:
        status, _ = wine.run([ZERLO + r"\zerloctl.exe", "install-auto", "--config", ZERLO + r"\cool.json"], timeout=300)
        checks.expect(status == 0, "zerloctl installs ZerloAuto with an edited configuration")
        status, _ = wine.run([ZERLO + r"\zerlomon.exe", "--service-action", "cool"], timeout=300)
        installed = wine.windows_path("windows/system32/zerlo/auto.json")
        with open(installed, encoding="utf-8") as config:
            text = config.read()
        checks.expect(status == 0 and '"// preset": "cool: ' in text and '"sensors": [0, 1, 2]' in text,
                      "the monitor's elevated half gives ZerloAuto the cool preset for its fans and sensors",
                      "exit %d" % status)
        report = monitor(wine, "live", [])
        checks.expect(report is not None, "the self-check reports")
        if report is None:
            return
        lines = report.splitlines()
        checks.expect(lines[3] == 'tip "Zerlo: %s | automatic: running"' % NO_DEVICE,
                      "the tooltip says the device is missing and ZerloAuto runs", lines[3])
        found, _ = controls(report)
        texts = {number: found[number][1] for number in found}
        checks.expect([texts.get(n) for n in (110, 111, 122)] == ["fan 0: " + NO_DEVICE, "fan 1: " + NO_DEVICE,
                                                                 NO_DEVICE],
                      "each fan and the Super-I/O panel show why", repr([texts.get(n) for n in (110, 111, 122)]))
        checks.expect(texts.get(103, "").endswith(": " + NO_DEVICE) and "disabled" not in found[200][3],
                      "the status line too, and the fan buttons stay usable", repr(texts.get(103)))
        choices = [found.get(n) and (found[n][1], sorted(found[n][3])) for n in range(310, 315)]
        checks.expect(choices == [("Quiet", []), ("Balanced", []), ("Cool", ["checked"]), ("Custom", ["disabled", "hidden"]),
                                  ("Off", [])], "the fan control: Cool is in force, no configuration of the owner's",
                      repr(choices))
        time.sleep(1)
        window = ImageGrab.grab(xdisplay=wine.env["DISPLAY"])
        window.save(fan_control_screenshot)
        # The icon's menu: the icon is the last in the taskbar's right end.
        subprocess.run(["xdotool", "mousemove", str(DESKTOP[0] - 12), str(DESKTOP[1] - 10), "click", "3"],
                       env={"DISPLAY": wine.env["DISPLAY"]}, check=False)
        time.sleep(1)
        menu = ImageGrab.grab(xdisplay=wine.env["DISPLAY"])
        menu.save(fan_control_screenshot.replace(".png", "-menu.png"))
        subprocess.run(["xdotool", "key", "Escape"], env={"DISPLAY": wine.env["DISPLAY"]}, check=False)
        below = window.load()[DESKTOP[0] - 60, DESKTOP[1] - 60]
        covered = sum(1 for x in range(DESKTOP[0] - 100, DESKTOP[0] - 20) for y in range(DESKTOP[1] - 100,
                      DESKTOP[1] - 40) if menu.load()[x, y] != below)
        checks.expect(covered > 2000, "a right click on the icon opens its menu over the desktop",
                      "%d pixels" % covered)

        log = "ZerloAuto: running | log: C:\\windows\\system32\\zerlo\\auto.log"
        panel = wine.windows_path("zerlo/live.txt.service")
        log = " | log: C:\\windows\\system32\\zerlo\\auto.log | chosen: "
        click(wine, found[314])
        wait_lines(panel, 3)
        click(wine, found[310])
        shown = wait_lines(panel, 5)
        checks.expect(shown == ["ZerloAuto: running" + log + "Cool", "ZerloAuto: stopping\u2026 | chosen: Cool",
                                "ZerloAuto: stopped" + log + "Off", "ZerloAuto: starting\u2026 | chosen: Off",
                                "ZerloAuto: running" + log + "Quiet"],
                      "Off, then Quiet: the window shows stopping\u2026 and starting\u2026 while the service "
                      "manager works, then the state it reached", repr(shown))
        with open(installed, encoding="utf-8") as config:
            quiet = config.read()
        checks.expect('"// preset": "quiet: ' in quiet, "ZerloAuto has the quiet preset now")

        # The owner edits it: Custom, and a preset replaces it only after a Yes.
        with open(installed, "w", encoding="utf-8") as config:
            config.write(quiet.replace('"min_change_seconds": 60', '"min_change_seconds": 90'))
        shown = wait_lines(panel, 6)
        checks.expect(shown[5:] == ["ZerloAuto: running" + log + "Custom"], "the edited file is Custom",
                      repr(shown[5:]))
        for answer in ("n", "y"):
            click(wine, found[312])
            time.sleep(1)
            if answer == "n":
                ImageGrab.grab(xdisplay=wine.env["DISPLAY"]).save(fan_control_screenshot.replace(".png",
                                                                                                 "-question.png"))
            subprocess.run(["xdotool", "key", answer], env={"DISPLAY": wine.env["DISPLAY"]}, check=False)
            if answer == "n":
                time.sleep(1)  # an action would show its first line at once
                with open(installed, encoding="utf-8") as config:
                    checks.expect(wait_lines(panel, 6) == shown and '"min_change_seconds": 90' in config.read(),
                                  "Cool over it asks first; No leaves the file and the service alone")
        shown = wait_lines(panel, 8)
        with open(installed, encoding="utf-8") as config:
            text = config.read()
        checks.expect(shown[6:] == ["ZerloAuto: starting\u2026 | chosen: Custom", "ZerloAuto: running" + log + "Cool"]
                      and '"// preset": "cool: ' in text, "Yes replaces it with the cool preset", repr(shown[6:]))
    finally:
        holder.stdin.close()
        holder.wait(timeout=120)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zerlomon", required=True)
    parser.add_argument("--zerloctl", required=True)
    parser.add_argument("--replay", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--sensors-replay", required=True)
    parser.add_argument("--clock-replay", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--fan-control-screenshot", required=True)
    parser.add_argument("--register-i386", required=True)
    options = parser.parse_args()
    checks = Checks()
    if not require_32bit_exec(options.register_i386):
        return 1
    prefix = os.path.abspath(options.prefix)
    wine = Wine(prefix, os.path.join(os.path.dirname(prefix), "wine-monitor.log"))
    server, display = start_xvfb()
    wine.env.update({"DISPLAY": display, "WINEDEBUG": "-all"})
    try:
        wine.fresh(checks)
        os.makedirs(wine.windows_path("zerlo"), exist_ok=True)
        for path in (options.zerlomon, options.zerloctl, options.replay, options.config, options.sensors_replay,
                     options.clock_replay):
            shutil.copyfile(path, wine.windows_path("zerlo/" + os.path.basename(path)))
        check_replay(checks, wine, options.screenshot)
        wine.server("-k")
        check_sensors(checks, wine, os.path.join(os.path.dirname(options.screenshot), "monitor-sensors.png"))
        wine.server("-k")
        check_clock_back(checks, wine, os.path.join(os.path.dirname(options.screenshot), "monitor-clock-back.png"))
        wine.server("-k")
        check_malformed(checks, wine)
        check_live(checks, wine, options.fan_control_screenshot)
    finally:
        wine.server("-k")
        server.terminate()
        server.wait()
    print("(screenshot: %s; Wine's log: %s)" % (options.screenshot, wine.log_path))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
