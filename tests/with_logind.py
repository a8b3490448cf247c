#!/usr/bin/python3
"""Runs a command with a private system bus (the real dbus-daemon) on which
python-dbusmock's logind template answers; VANTREL_LOGIND_MOCK tells the
tests that it does."""
import os
import subprocess
import sys

from dbusmock import DBusTestCase

DBusTestCase.start_system_bus()
server = DBusTestCase.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)[0]
try:
    code = subprocess.call(sys.argv[1:], env=dict(os.environ, VANTREL_LOGIND_MOCK="1"))
finally:
    server.terminate()
    server.wait()
    DBusTestCase.stop_dbus(DBusTestCase.system_bus_pid)
sys.exit(code)
