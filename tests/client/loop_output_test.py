#!/usr/bin/python3
"""`zerloctl auto` whose output nobody reads, judged on the machine's fan registers.

The loop runs on tests/profiles/thermal_heat_step.json (light load, then
full load from ten minutes on) at a time scale, with --port-trace on
stderr: every SMI the driver makes, with the registers sent and returned,
from which the test follows the firmware's own fan registers and the
sensors it read. Standard output is
1. a pipe of 4 KiB that is full before the loop starts and is never read:
   every write of a line would block;
2. a pipe whose reader leaves after two lines (`| head -n 2`): every
   write after them fails (SIGPIPE, were it not ignored).
Either way the fans must follow the heat poll by poll (a fan whose followed
sensor read at or above its top step is high by the next poll), SIGTERM
must leave both fans high, and the process must end soon after with exit 0.

Usage: loop_output_test.py ZERLOCTL PROFILE
"""
import fcntl
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

ZERLOCTL, PROFILE = sys.argv[1], sys.argv[2]
TIME_SCALE = "200"
F_SETPIPE_SZ = 1031
# The example configuration: fan 0 follows sensors 0 and 1 and is high from
# 68; fan 1 follows sensors 0 to 2 and is high from 64.
TOP = {0: ([0, 1], 68), 1: ([0, 1, 2], 64)}
SMI = re.compile(r"^smi ax=0x(\w{4}) bx=0x(\w{4}) cx=0x\w{4} dx=0x\w{4} -> ax=0x(\w{4})")

failures = 0


def check(name, ok, detail=""):
    global failures
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + detail))
    failures += 0 if ok else 1


def replay(trace):
    """The polls as the firmware saw them: for each, the readings and the fan
    registers after it, from the SMIs in order (a poll begins with sensor 0)."""
    fans, polls = [0, 0], []
    for line in trace.splitlines():
        match = SMI.match(line)
        if not match:
            continue
        function, argument, result = (int(group, 16) for group in match.groups())
        if function == 0x10A3 and argument == 0:
            polls.append({"readings": {}, "fans": fans})
        if function == 0x10A3 and polls:
            polls[-1]["readings"][argument] = result
        if function == 0x01A3 and result == 0:
            fans = fans[:]
            fans[argument & 0xFF] = argument >> 8
            if polls:
                polls[-1]["fans"] = fans
    return polls, fans


def follows_the_heat(polls):
    """The first poll after which a fan at its top step was not high."""
    for number, poll in enumerate(polls[:-1]):
        for fan, (sensors, top) in TOP.items():
            if any(poll["readings"].get(s, 0) >= top for s in sensors) and poll["fans"][fan] != 2:
                return "poll %d: fan %d is %d with readings %s" % (number, fan, poll["fans"][fan], poll["readings"])
    return None


def wait_for_heat(trace_path, process):
    """Waits until fan 0 was set high (the heat step answered) and a few
    polls more, or the loop gave up."""
    for _ in range(600):
        with open(trace_path) as trace:
            polls, fans = replay(trace.read())
        if fans[0] == 2 or process.poll() is not None:
            time.sleep(1)
            return True
        time.sleep(0.1)
    return False


def run_loop(name, work, example, stdout, after_start=lambda: None):
    trace_path = os.path.join(work, name + ".trace")
    with open(trace_path, "w") as trace:
        process = subprocess.Popen([ZERLOCTL, "--port-trace", "--machine", PROFILE, "auto", "--config", example,
                                    "--time-scale", TIME_SCALE], stdout=stdout, stderr=trace)
    after_start()
    heated = wait_for_heat(trace_path, process)
    process.send_signal(signal.SIGTERM)
    stopped = time.monotonic()
    try:
        status = process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        status = "still running 30 s after SIGTERM"
    waited = time.monotonic() - stopped
    with open(trace_path) as trace:
        polls, fans = replay(trace.read())
    print("     %s: %d polls, ended %.1f s after SIGTERM" % (name, len(polls), waited))
    check(name + ": fan 0 answered the heat step", heated and len(polls) > 300,
          "%d polls, fans %s" % (len(polls), fans))
    fault = follows_the_heat(polls)
    check(name + ": the fans followed the heat at every poll", fault is None, fault or "")
    check(name + ": both fans high after the stop", fans == [2, 2], str(fans))
    check(name + ": exit 0 within 10 s of SIGTERM", status == 0 and waited < 10,
          "exit %s after %.1f s" % (status, waited))
    return polls


def full_pipe():
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"x" * 512)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    return read_end, write_end


def main():
    with tempfile.TemporaryDirectory() as work:
        example = os.path.join(work, "example.json")
        with open(example, "w") as out:
            subprocess.run([ZERLOCTL, "auto", "--print-example-config"], stdout=out, check=True)

        read_end, write_end = full_pipe()
        run_loop("blocked", work, example, write_end)
        os.close(write_end)
        os.close(read_end)

        head = subprocess.Popen(["head", "-n", "2"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        run_loop("closed", work, example, head.stdin, after_start=head.stdin.close)
        kept = head.stdout.read()
        head.wait(timeout=30)
        check("closed: head kept the first two lines", kept.decode().splitlines() == [
            "sim 00:10:12 fan 1: off -> low (sensor 0: 50, sensor 1: 41, sensor 2: 31)",
            "sim 00:10:20 fan 0: off -> low (sensor 0: 55, sensor 1: 44)"], kept.decode())

    if failures:
        print("%d check(s) failed" % failures)
        sys.exit(1)
    print("all checks passed")


main()
