#!/usr/bin/env python3
"""The gate reads a user would write with pyserial: the row qelbench sets beside the driver.

Each transaction writes "NAME\r", then reads up to the data block's ETX and on to the
trailer's ETX, as a plain pyserial client does it. Prints one line "T <ns>" per measured
transaction, then "CPU <us>" (user + system time of the measured loop) and "FAIL <count>".
"""
import argparse
import resource
import sys
import time

import serial

ETX = b"\x03"


def cpu_us():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return (r.ru_utime + r.ru_stime) * 1e6


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", required=True)
    ap.add_argument("--baud", type=int, default=9600)
    ap.add_argument("--name", default="$TEMP1")
    ap.add_argument("-n", type=int, default=1000)
    ap.add_argument("--warmup", type=int, default=50)
    a = ap.parse_args()

    port = serial.Serial(a.port, baudrate=a.baud, timeout=2.0)
    request = (a.name + "\r").encode()
    echo = request

    def transaction():
        port.write(request)
        block = port.read_until(ETX)
        trailer = port.read_until(ETX)
        return block.startswith(echo) and block.endswith(ETX) and trailer.endswith(ETX)

    for _ in range(a.warmup):
        transaction()
    times = []
    failures = 0
    c0 = cpu_us()
    for _ in range(a.n):
        t = time.perf_counter_ns()
        ok = transaction()
        times.append(time.perf_counter_ns() - t)
        if not ok:
            failures += 1
    c1 = cpu_us()
    port.close()
    out = sys.stdout
    out.write("".join("T %d\n" % t for t in times))
    out.write("CPU %.1f\nFAIL %d\n" % (c1 - c0, failures))


if __name__ == "__main__":
    main()
