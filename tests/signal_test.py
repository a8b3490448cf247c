#!/usr/bin/python3
"""The real vantrel under Xvfb, its ports on the device shim: a run is
started from the keyboard (Alt+S, Start Sequence's mnemonic), and during the exposure the program
gets SIGTERM, SIGINT or SIGHUP, also with the About box open. Each must
release the shutter (the closing pulse on "-IR", a whole press with a whole
release before it), release the port, log the exposure as closed, save the
AF mode and exit with status 0. An exposure log that is a FIFO nobody reads
must not hold the exit. Last, the X server goes away during an exposure (a
logout): the toolkit ends the program with status 1, and the lines must be
released, the exposure logged and the AF mode saved first. The same when
the program is a Wayland client (of a Weston on the X server, whose window
takes the keys) and the compositor is killed or stopped.

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


# Every wait ends when its thing happens; its limit is this many times
# what an idle machine needs, so that a loaded one (CI, the packaging
# build beside it) never fails it.
PATIENCE = 3


def wait_for(predicate, seconds, what, program=None):
    deadline = time.monotonic() + seconds * PATIENCE
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


def stamped(log):
    """(milliseconds, what) for each line the device shim recorded."""
    try:
        with open(log) as lines:
            return [(float(line.split(" ", 1)[0]), line.split(" ", 1)[1].strip()) for line in lines]
    except FileNotFoundError:
        return []


def reached(log):
    return [what for _, what in stamped(log)]


def presses_apart(edges):
    """On "-IR": every press and every release between two presses lasts
    at least the pulse length (200 ms), or the remote reads two as one."""
    rts = [(ms, what) for ms, what in edges if what.startswith("RTS")]
    changes = [rts[0]] + [b for a, b in zip(rts, rts[1:]) if a[1] != b[1]]
    return all(b[0] - a[0] >= 199.5 for a, b in zip(changes, changes[1:]))


# How a run is started from the keyboard: Start's mnemonic, or Tab through
# every control to Start (six fields and the check box before it).
START_KEYS = {"alt+s": ["alt+s"], "tab": ["Tab"] * 6 + ["space"]}


def start_weston():
    """A Weston on the X server: its window is a screen for Wayland clients,
    and keys sent to it reach the focused one."""
    runtime = tempfile.mkdtemp(prefix="vantrel-weston-")
    os.chmod(runtime, 0o700)
    # A Weston just ended may still have its window on a loaded X server;
    # keys sent there would go nowhere.
    def windows():
        return xdotool("search", "--class", "weston", capture_output=True, text=True).stdout.split()
    wait_for(lambda: not windows(), 20, "the last Weston's window gone")
    weston = subprocess.Popen(["weston", "--backend=x11-backend.so", "--use-pixman", "--socket=wayland-signal",
                               "--width=1280", "--height=1024", "--idle-time=0"],
                              env=dict(os.environ, XDG_RUNTIME_DIR=runtime), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists(os.path.join(runtime, "wayland-signal")), 20, "Weston")
    screen = wait_for(windows, 20, "Weston's window")[0]
    return weston, screen, {"XDG_RUNTIME_DIR": runtime, "WAYLAND_DISPLAY": "wayland-signal", "GDK_BACKEND": "wayland"}


def keys_until(screen, keys, done, what, program):
    """On Wayland no window of the program can be found from outside: the
    keys go to Weston's window until they have done their work."""
    def attempt():
        xdotool("windowfocus", screen, stderr=subprocess.DEVNULL)
        xdotool("key", *keys)
        deadline = time.monotonic() + 1
        while time.monotonic() < deadline and not done():
            time.sleep(0.05)
        return done()
    wait_for(attempt, 20, what, program)


def run(kind, ending, start=True, about=False, settle=0.4, fifo_log=False, keys="alt+s", wayland=None):
    home = tempfile.mkdtemp(prefix="vantrel-signal-")
    log = os.path.join(home, "log")
    env = dict(os.environ, HOME=home, LD_PRELOAD=SHIM, VANTREL_SHIM_LOG=log, VANTREL_SHIM_STAMP="1",
               NO_AT_BRIDGE="1", GDK_BACKEND="x11", XDG_DATA_HOME=os.path.join(home, "data"))
    if wayland:
        env.update(wayland[2])
        del env["DISPLAY"]
    exposures = os.path.join(home, "data", "vantrel", "exposures.csv")
    os.makedirs(os.path.dirname(exposures))
    if fifo_log:
        os.mkfifo(exposures)
    # As the toolkit writes it (a space in a key escaped); out of range: it
    # reads as 0, and the way out writes 0.
    settings = "AF\\ Mode=7\n"
    if about:  # time to open the About box through the menu
        settings += "Duration=30\n"
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
    shutter = {"DSUSB": "usb 31 to 01 within 100 ms", "0x378-LPT1": "data 01"}.get(kind, "RTS 1")
    try:
        if wayland:
            screen = wayland[1]
            if kind in CHOOSER_INDEX:  # opened: lines set idle
                keys_until(screen, ["Home", *(["Down"] * CHOOSER_INDEX[kind]), "Return"], lambda: reached(log),
                           "the port chooser", program)
            keys_until(screen, ["alt+s"], lambda: shutter in reached(log), "the exposure", program)
            time.sleep(settle)
        elif kind in CHOOSER_INDEX:
            chooser = wait_for(lambda: window("COM/LPT port"), 20, "the port chooser", program)
            time.sleep(0.3)
            xdotool("mousemove", "--window", chooser, "20", "20", "click", "1")
            xdotool("windowfocus", chooser, stderr=subprocess.DEVNULL)
            xdotool("key", "Home", *(["Down"] * CHOOSER_INDEX[kind]), "Return")
        if not wayland:
            frame = wait_for(lambda: window("Vantrel"), 20, "the main window", program)
            time.sleep(0.3)
        if start and not wayland:
            xdotool("windowfocus", frame, stderr=subprocess.DEVNULL)
            xdotool("key", *START_KEYS[keys])
            wait_for(lambda: shutter in reached(log), 10, "the exposure (%s)" % shutter)
            # 0.4 s: past the infra-red opening pulse, well before the end at 1 s.
            signal_at = time.monotonic() + settle
            if about:  # a modal box: the run goes on under it
                # Help > About; the menu asked again while it has not opened.
                for _ in range(10):
                    xdotool("key", "--delay", "400", "alt+h", "a")
                    try:
                        wait_for(lambda: window("About Vantrel"), 2, "the About box", program)
                        break
                    except AssertionError:
                        xdotool("key", "Escape")
                wait_for(lambda: window("About Vantrel"), 1, "the About box", program)
            time.sleep(max(0.0, signal_at - time.monotonic()))
        before = len(reached(log))
        ending(program)
        code = program.wait(timeout=10 * PATIENCE)
    except AssertionError:
        errors.seek(0)
        sys.stderr.write(errors.read())
        raise
    finally:
        if program.poll() is None:
            program.kill()
    edges = stamped(log)
    after = [what for _, what in edges[before:]]
    with open(os.path.join(home, ".Vantrel")) as store:
        saved = store.read()
    logged = []
    if not fifo_log and os.path.exists(exposures):
        with open(exposures) as lines:
            logged = [line.rstrip("\n") for line in lines][1:]
    return code, after, saved, edges, logged


def af_modes(saved):
    """The AF Mode entries of the settings file, as the toolkit reads keys."""
    values = []
    for line in saved.splitlines():
        if line.strip().startswith("["):
            break
        key, _, value = line.partition("=")
        if key.replace("\\", "").strip() == "AF Mode":
            values.append(value.strip())
    return values


def check(name, condition, detail):
    print(("ok    " if condition else "FAIL  ") + name + ("" if condition else ": " + repr(detail)))
    return condition


RELEASED = {
    "DSUSB": ["usb 30 to 01 within 100 ms", "usb 10 to 01 within 100 ms", "usb 00 to 01 within 100 ms", "usb close"],
    "0x378-LPT1": ["data 00", "data 00", "parport release"],
    "COM7": ["RTS 0", "RTS 0", "DTR 0"],
    "COM7-IR": ["RTS 1", "RTS 0", "RTS 0", "DTR 0"],
}

# Without the toolkit (its display gone) the box's light is not set back
# first.
BOX_RELEASED_AT_EXIT = ["usb 30 to 01 within 100 ms", "usb 00 to 01 within 100 ms", "usb close"]

IDLE_RELEASED = ["RTS 0", "DTR 0"]

passed = failed = 0
# (kind, signal, during a run, under the About box, seconds after the shutter
# line was set, the exposure log a FIFO); the last: no run in progress.
cases = [("0x378-LPT1", signal.SIGINT, True, False, 0.4, False), ("COM7", signal.SIGHUP, True, False, 0.4, False),
         ("COM7-IR", signal.SIGTERM, True, False, 0.4, False), ("DSUSB", signal.SIGTERM, True, False, 0.4, False),
         ("COM7-IR", signal.SIGTERM, True, False, 0.0, False), ("COM7-IR", signal.SIGTERM, True, True, 0.4, False),
         ("COM7", signal.SIGTERM, True, False, 0.4, True), ("COM7", signal.SIGTERM, False, False, 0.4, False)]
for kind, number, during, about, settle, fifo_log in cases:
    code, after, saved, edges, logged = run(kind, lambda program: program.send_signal(number), during, about, settle,
                                            fifo_log)
    name = "%s on %s%s%s%s%s" % (signal.Signals(number).name, kind, "" if during else ", no run",
                                 ", About box open" if about else "", ", in the opening pulse" if settle == 0 else "",
                                 ", the log a FIFO" if fifo_log else "")
    # In the opening pulse, its own end comes first.
    released = (["RTS 0"] if settle == 0 else []) + RELEASED[kind] if during else IDLE_RELEASED
    ok = check(name + ": lines released", after == released, after)
    ok = check(name + ": exit status 0", code == 0, code) and ok
    ok = check(name + ": AF mode saved", af_modes(saved) == ["0"], saved) and ok
    if during and not fifo_log:
        ok = check(name + ": exposure logged as closed", len(logged) == 1 and ",closed," in logged[0], logged) and ok
    if kind.endswith("-IR"):
        ok = check(name + ": presses apart", presses_apart(edges), edges) and ok
    passed, failed = passed + ok, failed + (not ok)

# Tab reaches Start.
for keys in ("tab",):
    code, after, saved, edges, logged = run("COM7", lambda program: program.send_signal(signal.SIGTERM), keys=keys)
    ok = check("started with %s: ran and was released" % keys, after == RELEASED["COM7"], after)
    passed, failed = passed + ok, failed + (not ok)

# The display goes away: a server of its own, killed during the exposure.
read_end, write_end = os.pipe()
server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0", "1280x1024x24"],
                          pass_fds=[write_end], stderr=subprocess.DEVNULL)
os.close(write_end)
with os.fdopen(read_end) as number:
    shared_display, os.environ["DISPLAY"] = os.environ["DISPLAY"], ":" + number.readline().strip()
try:
    code, after, saved, edges, logged = run("COM7-IR", lambda program: (server.kill(), server.wait()))
finally:
    server.kill()
    os.environ["DISPLAY"] = shared_display
ok = check("display lost on COM7-IR: lines released", after == RELEASED["COM7-IR"], after)
ok = check("display lost on COM7-IR: the toolkit's exit status 1", code == 1, code) and ok
ok = check("display lost on COM7-IR: AF mode saved", af_modes(saved) == ["0"], saved) and ok
ok = check("display lost on COM7-IR: exposure logged as closed", len(logged) == 1 and ",closed," in logged[0],
           logged) and ok
ok = check("display lost on COM7-IR: presses apart", presses_apart(edges), edges) and ok
passed, failed = passed + ok, failed + (not ok)

# The Wayland compositor goes away: killed, or stopped as at logout. GDK
# ends the program with status 1 straight after its message.
for kind, number in (("DSUSB", signal.SIGKILL), ("0x378-LPT1", signal.SIGTERM), ("COM7", signal.SIGKILL)):
    weston = start_weston()
    try:
        code, after, saved, edges, logged = run(kind, lambda program: (weston[0].send_signal(number), weston[0].wait()),
                                                wayland=weston)
    finally:
        weston[0].kill()
        weston[0].wait()
    name = "Wayland compositor %s on %s" % (signal.Signals(number).name, kind)
    ok = check(name + ": lines released", after == (BOX_RELEASED_AT_EXIT if kind == "DSUSB" else RELEASED[kind]),
               after)
    ok = check(name + ": exit status 1", code == 1, code) and ok
    ok = check(name + ": AF mode saved", af_modes(saved) == ["0"], saved) and ok
    ok = check(name + ": exposure logged as closed", len(logged) == 1 and ",closed," in logged[0], logged) and ok
    passed, failed = passed + ok, failed + (not ok)

print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
