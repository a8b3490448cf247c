#!/usr/bin/python3
"""The real vantrel under Xvfb, its ports on the device shim: a run is
started with a click on Start Sequence, and during the exposure the program
gets SIGTERM, SIGINT or SIGHUP. Each must release the shutter (the closing
pulse on "-IR"), release the port, save the AF mode and exit with status 0.
Last, the X server goes away during an exposure (a logout): the toolkit ends
the program with status 1, and the lines must be released first.

    signal_test.py VANTREL DEVICE_SHIM     (with DISPLAY set: xvfb-run)
"""
import os
import pty
import signal
import subprocess
import sys
import tempfile
import time

VANTREL, SHIM = sys.argv[1], sys.argv[2]
CHOOSER_INDEX = {"0x378-LPT1": 4, "COM7": 9, "COM7-IR": 17}
START_BUTTON = ("130", "416")  # in the main window, at this machine's theme and fonts


def wait_for(predicate, seconds, what, program=None):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if program is not None and program.poll() is not None:
            raise AssertionError("vantrel ended with status %d before %s" % (program.returncode, what))
        result = predicate()
        if result:
            return result
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def xdotool(*arguments, **options):
    return subprocess.run(["xdotool", *arguments], **options)


def window(title):
    found = xdotool("search", "--onlyvisible", "--name", "^%s$" % title, capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def reached(log):
    try:
        with open(log) as lines:
            return [line.strip() for line in lines]
    except FileNotFoundError:
        return []


def run(kind, ending, start=True):
    home = tempfile.mkdtemp(prefix="vantrel-signal-")
    log = os.path.join(home, "log")
    env = dict(os.environ, HOME=home, LD_PRELOAD=SHIM, VANTREL_SHIM_LOG=log, NO_AT_BRIDGE="1",
               GDK_BACKEND="x11")
    settings = "AF Mode=7\n"  # out of range: it reads as 0, and the close writes 0
    if kind == "DSUSB":
        env["VANTREL_SHIM_USB"] = "present"
    elif kind.startswith("0x"):
        env["VANTREL_SHIM_PARPORT"] = "present"
    else:
        master, slave = pty.openpty()
        settings += "[Ports]\nCOM7=%s\n" % os.ttyname(slave)
        os.close(slave)
    with open(os.path.join(home, ".Vantrel"), "w") as store:
        store.write(settings)
    errors = open(os.path.join(home, "stderr"), "w+")
    program = subprocess.Popen([VANTREL], env=env, stderr=errors)
    try:
        if kind in CHOOSER_INDEX:
            chooser = wait_for(lambda: window("COM/LPT port"), 20, "the port chooser", program)
            time.sleep(0.3)
            xdotool("mousemove", "--window", chooser, "20", "20", "click", "1")
            xdotool("windowfocus", chooser, stderr=subprocess.DEVNULL)
            xdotool("key", "Home", *(["Down"] * CHOOSER_INDEX[kind]), "Return")
        frame = wait_for(lambda: window("Vantrel"), 20, "the main window", program)
        time.sleep(0.3)
        if start:
            xdotool("mousemove", "--window", frame, *START_BUTTON, "click", "1")
            shutter = {"DSUSB": "usb 31 to 01 within 100 ms", "0x378-LPT1": "data 01"}.get(kind, "RTS 1")
            wait_for(lambda: shutter in reached(log), 10, "the exposure (%s)" % shutter)
            time.sleep(0.4)  # past the infra-red opening pulse, well before the end at 1 s
        before = len(reached(log))
        ending(program)
        code = program.wait(timeout=10)
    except AssertionError:
        errors.seek(0)
        sys.stderr.write(errors.read())
        raise
    finally:
        if program.poll() is None:
            program.kill()
    after = reached(log)[before:]
    with open(os.path.join(home, ".Vantrel")) as store:
        saved = store.read()
    return code, after, saved


def check(name, condition, detail):
    print(("ok    " if condition else "FAIL  ") + name + ("" if condition else ": " + repr(detail)))
    return condition


RELEASED = {
    "DSUSB": ["usb 30 to 01 within 100 ms", "usb 10 to 01 within 100 ms", "usb 00 to 01 within 100 ms", "usb close"],
    "0x378-LPT1": ["data 00", "data 00", "parport release"],
    "COM7": ["RTS 0", "RTS 0", "DTR 0"],
    "COM7-IR": ["RTS 1", "RTS 0", "RTS 0", "DTR 0"],
}

IDLE_RELEASED = ["RTS 0", "DTR 0"]

passed = failed = 0
# The last: a signal while no run is in progress.
cases = [("0x378-LPT1", signal.SIGINT, True), ("COM7", signal.SIGHUP, True), ("COM7-IR", signal.SIGTERM, True),
         ("DSUSB", signal.SIGTERM, True), ("COM7", signal.SIGTERM, False)]
for kind, number, during in cases:
    code, after, saved = run(kind, lambda program: program.send_signal(number), during)
    name = "%s on %s%s" % (signal.Signals(number).name, kind, "" if during else ", no run")
    ok = check(name + ": lines released", after == (RELEASED[kind] if during else IDLE_RELEASED), after)
    ok = check(name + ": exit status 0", code == 0, code) and ok
    ok = check(name + ": AF mode saved", "Mode=0" in saved, saved) and ok
    passed, failed = passed + ok, failed + (not ok)

# The display goes away: a server of its own, killed during the exposure.
read_end, write_end = os.pipe()
server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0", "1280x1024x24"],
                          pass_fds=[write_end], stderr=subprocess.DEVNULL)
os.close(write_end)
with os.fdopen(read_end) as number:
    shared_display, os.environ["DISPLAY"] = os.environ["DISPLAY"], ":" + number.readline().strip()
try:
    code, after, saved = run("COM7-IR", lambda program: (server.kill(), server.wait()))
finally:
    server.kill()
    os.environ["DISPLAY"] = shared_display
ok = check("display lost on COM7-IR: lines released", after == RELEASED["COM7-IR"], after)
ok = check("display lost on COM7-IR: the toolkit's exit status 1", code == 1, code) and ok
passed, failed = passed + ok, failed + (not ok)

print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
