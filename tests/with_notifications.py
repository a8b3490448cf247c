#!/usr/bin/python3
"""Runs a command with a private session bus on which python-dbusmock's
notification daemon answers (VANTREL_NOTIFY_MOCK tells the tests that it
does), then checks that it was asked to show "Sequence Done: 20 frames"."""
import os
import subprocess
import sys

from dbusmock import DBusTestCase

DBusTestCase.start_session_bus()
server, mock = DBusTestCase.spawn_server_template("notification_daemon", {}, stdout=subprocess.DEVNULL)
try:
    code = subprocess.call(sys.argv[1:], env=dict(os.environ, VANTREL_NOTIFY_MOCK="1"))
    calls = mock.GetMethodCalls("Notify", dbus_interface="org.freedesktop.DBus.Mock")
    summaries = [str(arguments[3]) for _, arguments in calls]
    shown = "Sequence Done: 20 frames" in summaries
    print("ok    the notification server was asked" if shown else "FAIL  not asked: %r" % summaries)
finally:
    server.terminate()
    server.wait()
    DBusTestCase.stop_dbus(DBusTestCase.session_bus_pid)
sys.exit(code or (0 if shown else 1))
