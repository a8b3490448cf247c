#!/usr/bin/python3
"""Hold error of exposures taken through Debian's indiserver: the INDI
driver on the device shim, 20 exposures of 2 s asked for with indi_setprop,
each hold measured at the shim on the monotonic clock.

    bench/indi_bench.py BUILD_DIR     (a build with tests: the shim is there)
"""
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from indi_harness import Server, rts  # noqa: E402

build = sys.argv[1]
server = Server(os.path.join(build, "indi_vantrel_ccd"), os.path.join(build, "tests", "libdevice_shim.so"))
errors = []
try:
    server.connect()
    for _ in range(20):
        start = len(server.edges())
        server.expose(2)
        server.wait(lambda: server.get("CCD_EXPOSURE._STATE") == "Ok", "the exposure's end")
        lines = rts(server.edges()[start:])
        errors.append(lines[-1][0] - lines[0][0] - 2000)
finally:
    server.stop()
print("hold beyond 2000 ms through indiserver: median %.3f ms, max %.3f ms (%d exposures)"
      % (statistics.median(errors), max(errors), len(errors)))
