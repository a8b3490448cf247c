#!/usr/bin/python3
"""What a screen reader finds: the real program, read through AT-SPI on a
private session bus (with its accessibility bus). Every control that a user
can reach has a name, and the fields are named after their labels.

    xvfb-run -a dbus-run-session -- tests/accessibility_test.py build/vantrel
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

NAMED_ROLES = {Atspi.Role.PUSH_BUTTON, Atspi.Role.SPIN_BUTTON, Atspi.Role.CHECK_BOX, Atspi.Role.TEXT,
               Atspi.Role.PROGRESS_BAR, Atspi.Role.MENU_ITEM, Atspi.Role.CHECK_MENU_ITEM,
               Atspi.Role.RADIO_MENU_ITEM, Atspi.Role.MENU}
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    for i in range(node.get_child_count()):
        yield from walk(node.get_child_at_index(i), depth + 1)


def wait_for(find, what, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = find()
        if found is not None:
            return found
        time.sleep(0.2)
    raise SystemExit("timed out waiting for " + what)


def application():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == "vantrel":
            return app
    return None


def find(root, role, name):
    for node in walk(root):
        if node.get_role() == role and node.get_name() == name and node.get_state_set().contains(
                Atspi.StateType.SHOWING):
            return node
    return None


def window(app, name):
    return next((w for w in walk(app) if w.get_role() in (Atspi.Role.FRAME, Atspi.Role.DIALOG)
                 and w.get_name() == name), None)


def press(node):
    node.do_action(0)


def expect_names(root, where, expected):
    """Every reachable control is named; the expected ones are there."""
    found = set()
    for node in walk(root):
        role = node.get_role()
        if not node.get_state_set().contains(Atspi.StateType.SHOWING):
            continue
        if role in NAMED_ROLES:
            check(node.get_name() != "", "%s: a %s without a name" % (where, node.get_role_name()))
        found.add((role, node.get_name()))
    if os.environ.get("A11Y_DEBUG"):
        print(sorted((r.value_nick, n) for r, n in found))
    for role, name in expected:
        check((role, name) in found, "%s: no %s named %r" % (where, role.value_nick, name))


def main():
    program = sys.argv[1]
    home = tempfile.mkdtemp()
    env = dict(os.environ, HOME=home, GDK_BACKEND="x11")
    env.pop("NO_AT_BRIDGE", None)
    vantrel = subprocess.Popen([program], env=env)
    try:
        app = wait_for(application, "the program on the accessibility bus")
        # No port: the chooser is cancelled, and its message answered.
        cancel = wait_for(lambda: find(app, Atspi.Role.PUSH_BUTTON, "Cancel"), "the port chooser")
        press(cancel)
        press(wait_for(lambda: find(app, Atspi.Role.PUSH_BUTTON, "OK"), "the message"))
        frame = wait_for(lambda: window(app, "Vantrel"), "the main window")
        time.sleep(0.5)
        spin, button, check_box = Atspi.Role.SPIN_BUTTON, Atspi.Role.PUSH_BUTTON, Atspi.Role.CHECK_BOX
        expect_names(frame, "main window", [
            (spin, "# Exposures"), (spin, "Duration"), (check_box, "Enable Mirror-lockup"),
            (spin, "Sequence start"), (spin, "Before frame"), (spin, "After frame"),
            (button, "Start Sequence"), (button, "Abort Sequence"), (Atspi.Role.LABEL, "Total Remaining --:--:--")])
        # The status line's words, read by their bar's name.
        check(any(n.get_name() == "NOT CONNECTED" for n in walk(frame)), "main window: the status line unread")

        press(wait_for(lambda: next((n for n in walk(frame) if n.get_name() == "Large Display"), None), "the menu"))
        large = wait_for(lambda: window(app, "Vantrel - Large Display"), "the Large Display")
        time.sleep(0.5)
        expect_names(large, "Large Display", [(Atspi.Role.LABEL, "Ready"), (Atspi.Role.LABEL, "--:--:--"),
                                              (Atspi.Role.PROGRESS_BAR, "Progress")])

        # From the keyboard: a modal editor opened by an accessibility action
        # would hold up the answer to that action.
        main = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Vantrel$"], capture_output=True,
                              text=True).stdout.split()[0]
        subprocess.run(["xdotool", "windowfocus", main], stderr=subprocess.DEVNULL)
        subprocess.run(["xdotool", "key", "alt+f", "s"])
        editor = wait_for(lambda: window(app, "Script Editor"), "the script editor")
        time.sleep(0.5)
        expect_names(editor, "script editor", [
            (Atspi.Role.TEXT, "Script"), (button, "Run Script"), (button, "Abort Script"), (button, "Open\u2026"),
            (button, "Open Last Script"), (button, "Save\u2026"), (button, "Done")])
    finally:
        vantrel.send_signal(signal.SIGTERM)
        try:
            vantrel.wait(10)
        except subprocess.TimeoutExpired:
            vantrel.kill()
    if failures:
        raise SystemExit("%d problem(s) a screen reader would meet" % len(failures))
    print("every control is named")


main()
