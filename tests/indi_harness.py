"""The INDI driver under Debian's indiserver on a loopback port, driven by
the real INDI clients (indi_setprop, indi_getprop), its serial line a
pseudo-terminal behind the device shim, which stamps each line change with
the monotonic time. Shared by the test and the benchmark."""
import os
import pty
import signal
import socket
import subprocess
import tempfile
import threading
import time

DEVICE = "Vantrel"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """indiserver with the driver, in a throw-away home."""

    def __init__(self, driver, shim, extra_settings="", env=None, saved_port=None, home=True):
        self.home = tempfile.mkdtemp(prefix="vantrel-indi-")
        self.log = os.path.join(self.home, "shim.log")
        self.master, slave = pty.openpty()
        self.pty = os.ttyname(slave)
        os.close(slave)
        with open(os.path.join(self.home, ".Vantrel"), "w") as store:
            store.write("[Ports]\nCOM7=%s\n%s" % (self.pty, extra_settings))
        self.port = free_port()
        env = dict(os.environ, HOME=self.home, LD_PRELOAD=shim, VANTREL_SHIM_LOG=self.log, VANTREL_SHIM_STAMP="1",
                   VANTREL_SHIM_GONE=os.path.join(self.home, "gone"), XDG_DATA_HOME=os.path.join(self.home, "data"),
                   ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0", **(env or {}))
        if not home:  # as a service starts it: the home only in the (shimmed) password database
            del env["HOME"]
            env["VANTREL_SHIM_PASSWD_HOME"] = self.home
        if saved_port:  # as the driver saves its configuration
            os.makedirs(os.path.join(self.home, ".indi"))
            with open(os.path.join(self.home, ".indi", DEVICE + "_config.xml"), "w") as config:
                config.write("<INDIDriver>\n<newTextVector device='%s' name='DEVICE_PORT'>\n  <oneText name='PORT'>\n"
                             "      %s\n  </oneText>\n</newTextVector>\n</INDIDriver>\n" % (DEVICE, saved_port))
        self.errors = open(os.path.join(self.home, "stderr"), "w+")
        self.process = subprocess.Popen(
            ["indiserver", "-p", str(self.port), "-u", os.path.join(self.home, "socket"), "-r", "0", os.path.abspath(driver)],
            env=env, stdout=subprocess.DEVNULL, stderr=self.errors, start_new_session=True)
        self.wait(lambda: self.get("CONNECTION.CONNECT") is not None, "the driver's properties")

    def listen(self):
        """Everything the server sends a client from now on (its messages
        included), gathered in self.heard."""
        self.heard = ""
        self.listener = socket.create_connection(("127.0.0.1", self.port))
        self.listener.sendall(b"<getProperties version='1.7'/>\n")

        def gather():
            while True:
                try:
                    data = self.listener.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                self.heard += data.decode("utf-8", "replace")

        threading.Thread(target=gather, daemon=True).start()

    def client(self, tool, *arguments):
        return subprocess.run([tool, "-p", str(self.port), "-t", "3", *arguments], capture_output=True, text=True)

    def set(self, kind, assignment):
        self.client("indi_setprop", kind, "%s.%s" % (DEVICE, assignment))

    def get(self, element):
        """The value of DEVICE.property.element, or the property's state for
        an element named _STATE."""
        out = self.client("indi_getprop", "%s.%s" % (DEVICE, element)).stdout.strip()
        return out.split("=", 1)[1] if "=" in out else None

    def eval_true(self, expression, seconds):
        """indi_eval's own wait for an expression over the properties."""
        return self.client_wait("indi_eval", seconds, "-w", expression).returncode == 0

    def client_wait(self, tool, seconds, *arguments):
        return subprocess.run([tool, "-p", str(self.port), "-t", str(seconds), *arguments], capture_output=True,
                              text=True)

    def wait(self, predicate, what, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate():
                return
            time.sleep(0.05)
        # The driver's own last words, not the server's.
        self.errors.seek(0)
        said = [line for line in self.errors.read().splitlines() if "vantrel" in line.lower()][-12:]
        raise AssertionError("timed out waiting for %s\n%s" % (what, "\n".join(said)))

    def edges(self):
        try:
            with open(self.log) as lines:
                return [(float(line.split(" ", 1)[0]), line.split(" ", 1)[1].strip()) for line in lines]
        except FileNotFoundError:
            return []

    def connect(self, port="COM7"):
        self.set("-x", "DEVICE_PORT.PORT=%s" % port)
        self.set("-s", "CONNECTION.CONNECT=On")
        self.wait(lambda: self.get("CONNECTION._STATE") == "Ok", "the connection")

    def expose(self, seconds):
        self.set("-n", "CCD_EXPOSURE.CCD_EXPOSURE_VALUE=%g" % seconds)
        # indi_setprop returns before the driver acts: Busy first, then Ok.
        self.wait(lambda: self.get("CCD_EXPOSURE._STATE") == "Busy", "the exposure to start")

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=10)


def rts(edges):
    return [(ms, what) for ms, what in edges if what.startswith("RTS")]
