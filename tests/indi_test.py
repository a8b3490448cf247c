#!/usr/bin/python3
"""The INDI driver under Debian's indiserver, driven by the real INDI
clients, its serial line on the device shim (tests/indi_harness.py).

    indi_test.py INDI_VANTREL_CCD DEVICE_SHIM [CAMERA_SHIM STAR_FIELD]
"""
import base64
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from indi_harness import Server, rts  # noqa: E402

DRIVER, SHIM = sys.argv[1], sys.argv[2]
CAMERA_SHIM = sys.argv[3] if len(sys.argv) > 3 else None
STAR_FIELD = sys.argv[4] if len(sys.argv) > 4 else None

passed = failed = 0


def check(name, condition, detail):
    global passed, failed
    print(("ok    " if condition else "FAIL  ") + name + ("" if condition else ": " + repr(detail)))
    passed, failed = passed + bool(condition), failed + (not condition)


def stop_mid_exposure(assignment, name):
    """A 10 s exposure, then the switch ASSIGNMENT half a second into it:
    the shutter released within the second."""
    start = len(server.edges())
    server.expose(10)
    time.sleep(0.5)
    server.set("-s", assignment)
    server.wait(lambda: len(rts(server.edges()[start:])) >= 2, "the release: " + name, 3)
    lines = rts(server.edges()[start:])
    check(name, lines[1][0] - lines[0][0] < 1500, lines)


def expose_again(name):
    """A 1 s exposure that runs to its end."""
    start = len(server.edges())
    server.expose(1)
    server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Ok", "the end of: " + name, 10)
    check(name, [w for _, w in rts(server.edges()[start:])] == ["RTS 1", "RTS 0"], server.edges()[start:])


# A 2 s exposure: Busy, then Ok, the line held 2 s, no image sent.
server = Server(DRIVER, SHIM)
try:
    server.connect()
    start = len(server.edges())
    check("a nominal frame, not 0x0", server.get("CCD_INFO.CCD_MAX_X") not in (None, "0"),
          server.get("CCD_INFO.CCD_MAX_X"))
    server.expose(2)
    check("2 s exposure: Busy, then Ok", server.eval_true('"Vantrel.CCD_EXPOSURE._STATE"==1', 10),
          server.get("CCD_EXPOSURE._STATE"))
    lines = rts(server.edges()[start:])
    held = lines[-1][0] - lines[0][0] if len(lines) >= 2 else None
    check("2 s exposure: RTS 1 then RTS 0", [w for _, w in lines] == ["RTS 1", "RTS 0"], lines)
    # Never short; late by what a loaded machine or an emulator makes of a
    # wake-up (the benchmarks measure how late).
    check("2 s exposure: held 2 s", held is not None and -2 < held - 2000 < 50, held)
    check("2 s exposure: no image", server.get("CCD1.CCD1") in (None, ""), server.get("CCD1.CCD1"))
    logged = open(os.path.join(server.home, "data", "vantrel", "exposures.csv")).read().splitlines()
    check("2 s exposure: logged with source indi", len(logged) == 2 and logged[1].split(",")[10:] == ["indi"] + [""] * 7 + ["Light", ""], logged)
    check("2 s exposure: logged as 2 s", len(logged) == 2 and logged[1].split(",")[5] == "2", logged)

    # Abort releases at once; a second exposure works, a dark as Ekos's
    # frame type says, and logged so.
    stop_mid_exposure("CCD_ABORT_EXPOSURE.ABORT=On", "Abort: released within the half second")
    server.set("-s", "CCD_FRAME_TYPE.FRAME_DARK=On")
    expose_again("a second exposure")
    logged = open(os.path.join(server.home, "data", "vantrel", "exposures.csv")).read().splitlines()
    check("a dark: logged as a dark", logged[-1].split(",")[-2] == "Dark", logged[-1])
    server.set("-s", "CCD_FRAME_TYPE.FRAME_LIGHT=On")

    # A time that is not a number: Alert, and the line untouched.
    start = len(server.edges())
    server.set("-n", "CCD_EXPOSURE.CCD_EXPOSURE_VALUE=nan")
    server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Alert", "the refusal of nan", 5)
    time.sleep(0.2)
    check("nan seconds: refused, the line untouched", rts(server.edges()[start:]) == [], server.edges()[start:])

    # Disconnected mid-exposure: released at once; connected again, the
    # next exposure is taken.
    stop_mid_exposure("CONNECTION.DISCONNECT=On", "Disconnect mid-exposure: released within the second")
    server.connect()
    expose_again("connected again: an exposure")

    # What a client such as Ekos meets: each property defined once for one
    # getProperties, a capture format with its member.
    server.listen()
    time.sleep(1)
    for kind, name in (("Text", "DEVICE_PORT"), ("Switch", "VANTREL_AF"), ("Number", "VANTREL_SENSOR"),
                       ("Text", "ACTIVE_DEVICES")):
        count = len(re.findall(r'<def%sVector\s+device="Vantrel"\s+name="%s"' % (kind, name), server.heard))
        check("%s defined once" % name, count == 1, count)
    check("a capture format with a member", server.get("CCD_CAPTURE_FORMAT.CARD") == "On",
          server.get("CCD_CAPTURE_FORMAT.CARD"))

    # Saved settings come back once, at the start: a client attaching later
    # (each get here is one) finds what was set since, and the port in use
    # sent again is no change.
    server.set("-s", "VANTREL_AF.AF_HELD_DURING=On")
    server.set("-s", "CONFIG_PROCESS.CONFIG_SAVE=On")
    server.set("-s", "VANTREL_AF.AF_NONE=On")
    server.set("-x", "DEVICE_PORT.PORT=COM7")
    server.get("CONNECTION.CONNECT")  # one more client: what it may have brought back shows to the next
    time.sleep(0.3)
    check("a client attaching: the AF mode set since stays", server.get("VANTREL_AF.AF_NONE") == "On",
          server.get("VANTREL_AF.AF_NONE"))
    check("a client attaching: the port not Alert", server.get("DEVICE_PORT._STATE") == "Ok",
          server.get("DEVICE_PORT._STATE"))

    # No exposure after Disconnect (sent as a client that kept the property
    # would send it): refused, nothing reaches the line.
    server.set("-s", "CONNECTION.DISCONNECT=On")
    server.wait(lambda: server.get("CONNECTION._STATE") == "Idle", "the disconnection", 5)
    server.listen()
    start = len(server.edges())
    server.listener.sendall(b"<newNumberVector device='Vantrel' name='CCD_EXPOSURE'>"
                            b"<oneNumber name='CCD_EXPOSURE_VALUE'>1</oneNumber></newNumberVector>\n")
    server.wait(lambda: "Not connected: connect to a port first." in server.heard, "the refusal after Disconnect", 5)
    time.sleep(1.2)
    check("after Disconnect: refused, the line untouched", rts(server.edges()[start:]) == [], server.edges()[start:])
    server.connect()

    # Client upload is refused, Local stays.
    server.set("-s", "UPLOAD_MODE.UPLOAD_CLIENT=On")
    server.wait(lambda: server.get("UPLOAD_MODE._STATE") == "Alert", "the refusal", 5)
    check("Client upload refused", server.get("UPLOAD_MODE.UPLOAD_LOCAL") == "On", server.get("UPLOAD_MODE.UPLOAD_LOCAL"))

    # The device lost mid-exposure: Alert within the second (the port is
    # looked at during the exposure), with the message and its cause.
    server.listen()
    server.expose(5)
    open(os.path.join(server.home, "gone"), "w").close()
    server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Alert", "the Alert", 10)
    held = open(os.path.join(server.home, "data", "vantrel", "exposures.csv")).read().splitlines()[-1].split(",")[2]
    check("device lost: the exposure ended before its time, the log says when", int(held) < 4800, held)
    lost = "Lost the connection to COM7 (%s): line check: Input/output error" % server.pty
    server.wait(lambda: lost in server.heard, "the message", 5)
    check("device lost: Alert, with the message", True, None)
    time.sleep(1.5)  # the progress has stopped: no Busy again
    check("device lost: still Alert", server.get("CCD_EXPOSURE._STATE") == "Alert", server.get("CCD_EXPOSURE._STATE"))
    # Still gone at the next exposure: refused again, not left Busy.
    heard = len(server.heard)
    server.set("-n", "CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1")
    server.wait(lambda: "Lost the connection to COM7" in server.heard[heard:], "the message again", 5)
    time.sleep(1.5)
    check("device still gone: the next exposure refused", server.get("CCD_EXPOSURE._STATE") == "Alert",
          server.get("CCD_EXPOSURE._STATE"))
finally:
    server.stop()

# Started without HOME, as a service: the home from the password database,
# and Connect (which saves the configuration) does not crash.
server = Server(DRIVER, SHIM, home=False)
try:
    server.connect()
    expose_again("without HOME: connected, and an exposure")
    server.set("-s", "CONFIG_PROCESS.CONFIG_SAVE=On")
    server.wait(lambda: os.path.exists(os.path.join(server.home, ".indi", "Vantrel_config.xml")),
                "the configuration saved in the home", 5)
    check("without HOME: the configuration saved in the password database's home", True, None)
finally:
    server.stop()

# AF held and mirror lock-up: the window's timeline (mirror pulse with focus,
# settle, exposure with focus, both released).
server = Server(DRIVER, SHIM)
try:
    server.connect()
    server.set("-s", "VANTREL_AF.AF_HELD_DURING=On")
    server.set("-s", "VANTREL_MIRROR.MIRROR_ON=On")
    server.set("-n", "VANTREL_MIRROR_SETTLE.SECONDS=1")
    # A settle time that is not a number, or out of range: Alert, and 1 s
    # kept (the timeline below).
    for bad in ("nan", "0.1"):
        server.set("-n", "VANTREL_MIRROR_SETTLE.SECONDS=" + bad)
        server.wait(lambda: server.get("VANTREL_MIRROR_SETTLE._STATE") == "Alert", "the refusal of " + bad, 5)
        check("settle time %s: refused" % bad, True, None)
        server.set("-n", "VANTREL_MIRROR_SETTLE.SECONDS=1")
        server.wait(lambda: server.get("VANTREL_MIRROR_SETTLE._STATE") == "Ok", "the settle time taken", 5)
    time.sleep(0.3)
    start = len(server.edges())
    server.expose(1)
    server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Ok", "the exposure's end", 10)
    edges = server.edges()[start:]
    whats = [w for _, w in edges]
    check("AF held, mirror lock-up: the window's line changes",
          whats == ["RTS 1", "DTR 1", "RTS 0", "DTR 0", "RTS 1", "DTR 1", "RTS 0", "DTR 0"], whats)
    if len(edges) == 8:
        def lasted(first, last, ms):
            return -2 < edges[last][0] - edges[first][0] - ms < 50
        check("mirror pulse 200 ms, exposure 800 ms after it, held 1 s",
              lasted(0, 2, 200) and lasted(0, 4, 1000) and lasted(4, 6, 1000), edges)

    # SIGTERM to the driver mid-exposure: released.
    server.set("-s", "VANTREL_MIRROR.MIRROR_OFF=On")
    server.set("-s", "VANTREL_AF.AF_NONE=On")
    time.sleep(0.3)
    start = len(server.edges())
    server.expose(10)
    time.sleep(0.3)
    driver = subprocess.run(["pgrep", "-P", str(server.process.pid)], capture_output=True, text=True).stdout.split()
    for pid in driver:
        os.kill(int(pid), signal.SIGTERM)
    server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release on SIGTERM", 5)
    check("SIGTERM: released", True, None)
finally:
    server.stop()

# indiserver killed mid-exposure: the driver sees its input end and releases.
server = Server(DRIVER, SHIM)
try:
    server.connect()
    start = len(server.edges())
    server.expose(10)
    time.sleep(0.3)
    os.kill(server.process.pid, signal.SIGKILL)
    server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release after indiserver went", 5)
    check("indiserver killed: released", True, None)
finally:
    server.stop()

# The box or the parallel port, left set by a driver that was killed: the
# next driver sets its saved port idle as it starts, before any client, and
# lets it go.
for port, env, released in (("DSUSB", {"VANTREL_SHIM_USB": "present"}, ["usb 00 to 01 within 100 ms", "usb close"]),
                            ("0x378-LPT1", {"VANTREL_SHIM_PARPORT": "present"}, ["data 00", "parport release"])):
    server = Server(DRIVER, SHIM, env=env, saved_port=port)
    try:
        whats = [w for _, w in server.edges()]
        check("a driver starting with %s saved: released and let go" % port, whats[-2:] == released, whats)
    finally:
        server.stop()

# With the camera's files on, each exposure's file is its image: a client
# receives it as the CCD1 BLOB (Client upload, as Ekos asks for a preview),
# and the log names it.
if CAMERA_SHIM:
    card = tempfile.mkdtemp(prefix="vantrel-card-")
    server = Server(DRIVER, SHIM + " " + CAMERA_SHIM,
                    env={"VANTREL_CAMERA": "Directory Browse@disk:" + card, "VANTREL_FAKE_CARD": card})
    try:
        server.connect()
        server.set("-s", "VANTREL_CAMERA_FILES.FILES_ON=On")
        server.set("-s", "UPLOAD_MODE.UPLOAD_CLIENT=On")
        server.wait(lambda: server.get("UPLOAD_MODE.UPLOAD_CLIENT") == "On", "Client upload taken")
        server.listen()
        server.listener.sendall(b"<enableBLOB device='Vantrel'>Also</enableBLOB>\n")
        images, received = [], []
        # The client's object (Ekos's target) names them.
        server.set("-x", "FITS_HEADER.FITS_OBJECT=M42")
        # Ten frames of one size (libindi seals a sent frame's buffer), and an
        # eleventh whose file closes the tenth's line; each file as the camera
        # writes it, after the release.
        for frame in range(1, 12):
            start = len(server.edges())
            server.expose(0.2)
            server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release", 5)
            images.append(os.urandom(100000))
            with open(os.path.join(card, ".writing"), "wb") as written:
                written.write(images[-1])
            os.rename(os.path.join(card, ".writing"), os.path.join(card, "IMG_%04d.CR2" % frame))
            server.wait(lambda: server.heard.count("</setBLOBVector>") == frame, "image %d" % frame, 10)
            server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Ok", "exposure %d Ok" % frame, 5)
        images.pop()
        for blob in re.findall(r"<oneBLOB[^>]*format=.\.cr2.[^>]*>\s*([^<]*)</oneBLOB>", server.heard)[:10]:
            received.append(base64.b64decode(blob))
        check("ten frames: each received as a .cr2 BLOB, byte for byte", received == images, len(received))
        frames = os.path.join(server.home, "data", "vantrel", "frames")
        on_disk = [open(os.path.join(frames, "M42_Light_%04d.cr2" % n), "rb").read() for n in range(1, 11)]
        check("ten frames: each on the disk under its frame's name", on_disk == images, sorted(os.listdir(frames)))
        server.wait(lambda: len(open(os.path.join(server.home, "data", "vantrel", "exposures.csv")).read().splitlines())
                    > 10, "the tenth frame's line", 10)
        logged = open(os.path.join(server.home, "data", "vantrel", "exposures.csv")).read().splitlines()[1:11]
        check("ten frames: each in its log line, with the client's object", [
            (line.split(",")[15], line.split(",")[19]) for line in logged] ==
            [("M42_Light_%04d.cr2" % n, "M42") for n in range(1, 11)], logged)
        server.set("-x", "FITS_HEADER.FITS_OBJECT=")

        # Local upload (Ekos's "Save: Remotely"): INDI writes the file on the driver's side.
        uploads = tempfile.mkdtemp(prefix="vantrel-uploads-")
        server.set("-x", "UPLOAD_SETTINGS.UPLOAD_DIR=%s" % uploads)
        server.set("-s", "UPLOAD_MODE.UPLOAD_LOCAL=On")
        server.wait(lambda: server.get("UPLOAD_MODE.UPLOAD_LOCAL") == "On", "Local upload taken")
        start = len(server.edges())
        server.expose(0.2)
        server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release", 5)
        image = os.urandom(5000)
        with open(os.path.join(card, ".writing"), "wb") as written:
            written.write(image)
        os.rename(os.path.join(card, ".writing"), os.path.join(card, "IMG_0012.CR2"))
        server.wait(lambda: os.listdir(uploads), "the file saved locally", 10)
        server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Ok", "the Local exposure Ok", 5)
        saved = [os.path.join(uploads, name) for name in os.listdir(uploads)]
        check("Local upload: the camera's file saved as .cr2, byte for byte",
              len(saved) == 1 and saved[0].endswith(".cr2") and open(saved[0], "rb").read() == image, saved)

        # An exposure aborted and a new one at once: the new one's image is
        # its own file, not the aborted one's, which comes first.
        server.set("-s", "UPLOAD_MODE.UPLOAD_CLIENT=On")
        blobs = server.heard.count("</setBLOBVector>")
        start = len(server.edges())
        server.expose(10)
        # Pressed once the line has been released 200 ms since the last frame.
        server.wait(lambda: "RTS 1" in [w for _, w in server.edges()[start:]], "the press", 5)
        server.set("-s", "CCD_ABORT_EXPOSURE.ABORT=On")
        server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the abort's release", 5)
        start = len(server.edges())
        server.expose(2)
        shots = [os.urandom(100000) for _ in range(2)]
        for number, shot in zip((13, 14), shots):
            with open(os.path.join(card, ".writing"), "wb") as written:
                written.write(shot)
            os.rename(os.path.join(card, ".writing"), os.path.join(card, "IMG_%04d.CR2" % number))
            server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release", 5)
            time.sleep(0.3)
        server.wait(lambda: server.heard.count("</setBLOBVector>") > blobs, "the new exposure's image", 10)
        time.sleep(1)
        sent = [base64.b64decode(blob) for blob in
                re.findall(r"<oneBLOB[^>]*>\s*([^<]*)</oneBLOB>", server.heard)][blobs:]
        check("abort, then a new exposure: its own file only, as .cr2", sent == shots[1:], len(sent))
        check("the driver alive", server.process.poll() is None and server.get("CCD_EXPOSURE._STATE") == "Ok",
              server.get("CCD_EXPOSURE._STATE"))

        # FITS asked for (Ekos's Focus): a FITS made of the RAW's mosaic,
        # which fitsverify reads, the sensor's figures from it.
        server.set("-s", "CCD_TRANSFER_FORMAT.FORMAT_FITS=On")
        server.wait(lambda: server.get("CCD_TRANSFER_FORMAT.FORMAT_FITS") == "On", "FITS taken", 5)
        # Frame after frame, each FITS with the frame's own keys (libindi
        # asks for them on a thread of its own, after the frame is handed over).
        instruments = []
        for number in range(16, 21):
            blobs = server.heard.count("</setBLOBVector>")
            start = len(server.edges())
            server.expose(0.2)
            server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release", 5)
            subprocess.run([STAR_FIELD, os.path.join(card, ".writing.dng")], check=True)
            os.rename(os.path.join(card, ".writing.dng"), os.path.join(card, "IMG_%04d.DNG" % number))
            server.wait(lambda: server.heard.count("</setBLOBVector>") > blobs, "the FITS image", 20)
            fits = [base64.b64decode(blob) for blob in
                    re.findall(r"<oneBLOB[^>]*format=.\.fits.[^>]*>\s*([^<]*)</oneBLOB>", server.heard)]
            header = fits[-1][:fits[-1].find(b"END     ") + 80] if fits else b""
            cards = {c[:8].strip(): c[10:].split("/")[0].strip().strip("'").strip()
                     for c in (header[i:i + 80].decode("ascii") for i in range(0, len(header), 80))}
            instruments.append((cards.get("INSTRUME"), cards.get("DATAMAX")))
        check("FITS: five frames in a row, each with its camera and saturation",
              instruments == [("Vantrel Test Field", "16383")] * 5, instruments)
        with tempfile.NamedTemporaryFile(suffix=".fits") as written:
            written.write(fits[-1] if fits else b"")
            written.flush()
            verified = subprocess.run(["fitsverify", "-q", "-e", written.name], capture_output=True, text=True)
        check("FITS: the mosaic, 600 x 400, RGGB, as fitsverify reads it",
              [cards.get(k) for k in ("NAXIS1", "NAXIS2", "BAYERPAT")] == ["600", "400", "RGGB"] and
              verified.returncode == 0, (cards, verified.stdout))
        check("FITS: the sensor's figures from the frame",
              (server.get("VANTREL_SENSOR.WIDTH"), server.get("VANTREL_SENSOR.HEIGHT")) == ("600", "400"),
              server.get("VANTREL_SENSOR.WIDTH"))
        config = open(os.path.join(server.home, ".indi", "Vantrel_config.xml")).read()
        check("the sensor's figures kept for the next start",
              re.search(r"name='VANTREL_SENSOR'.*?name='WIDTH'>\s*600", config, re.S) is not None, config[-600:])
        # The format is the exposure's: Native chosen while a FITS frame's
        # file is on its way applies to the next frame.
        blobs = server.heard.count("</setBLOBVector>")
        start = len(server.edges())
        server.expose(0.2)
        server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release", 5)
        server.set("-s", "CCD_TRANSFER_FORMAT.FORMAT_NATIVE=On")
        subprocess.run([STAR_FIELD, os.path.join(card, ".writing.dng")], check=True)
        os.rename(os.path.join(card, ".writing.dng"), os.path.join(card, "IMG_0021.DNG"))
        server.wait(lambda: server.heard.count("</setBLOBVector>") > blobs, "the image", 20)
        time.sleep(0.5)
        format_, data = re.findall(r"<oneBLOB[^>]*format=.([^'\"]*).[^>]*>\s*([^<]*)</oneBLOB>", server.heard)[-1]
        check("a format chosen during a frame: the frame's own (a FITS)",
              format_ == ".fits" and base64.b64decode(data).startswith(b"SIMPLE"), format_)

        # The camera unplugged, and back: looked for again, and its files are
        # the images again.
        os.rename(card, card + ".away")
        server.wait(lambda: "the camera is gone" in server.heard, "the camera gone", 10)
        linked = server.heard.count("files: Directory Browse")
        os.rename(card + ".away", card)
        server.wait(lambda: server.heard.count("files: Directory Browse") > linked, "the camera again", 15)
        blobs = server.heard.count("</setBLOBVector>")
        start = len(server.edges())
        server.expose(0.2)
        server.wait(lambda: "RTS 0" in [w for _, w in server.edges()[start:]], "the release", 5)
        with open(os.path.join(card, ".writing"), "wb") as written:
            written.write(b"back")
        os.rename(os.path.join(card, ".writing"), os.path.join(card, "IMG_0015.CR2"))
        server.wait(lambda: server.heard.count("</setBLOBVector>") > blobs, "an image from the camera back", 10)
        check("the camera back: its file is the image", True, None)
    finally:
        server.stop()

print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
