#!/usr/bin/python3
"""Checks that slow_link.py delays and throttles as configured: every reply
and the data connection come no sooner than the delay, and a file takes no
less than its size at the rate, and two at once share that rate. Lower bounds only: a busy machine may be
slower, never faster."""

import ftplib
import os
import subprocess
import sys
import tempfile
import threading
import time

DELAY = 0.1          # seconds
RATE = 4_000_000     # bits per second
SIZE = 500_000       # bytes

with tempfile.TemporaryDirectory() as home:
    with open(os.path.join(home, "A.ZIP"), "wb") as f:
        f.write(os.urandom(SIZE))
    log = os.path.join(home, "commands")
    server = subprocess.Popen(
        [sys.executable, os.path.join(os.path.dirname(__file__), "slow_link.py"), "--home", home,
         "--user", "u", "--password", "p", "--delay", str(DELAY * 1000), "--rate", str(RATE),
         "--command-log", log], stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1])
        failures = []

        def at_least(what, start, seconds):
            took = time.monotonic() - start
            if took < seconds:
                failures.append(f"{what}: {took:.3f} s, expected at least {seconds:.3f} s")

        start = time.monotonic()
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port)
        at_least("greeting", start, DELAY)
        start = time.monotonic()
        ftp.login("u", "p")  # USER and PASS: two replies
        at_least("log-in", start, 2 * DELAY)
        for passive in (True, False):
            ftp.set_pasv(passive)
            received = bytearray()
            start = time.monotonic()
            ftp.retrbinary("RETR A.ZIP", received.extend)
            # TYPE, PASV/PORT, RETR's two replies, and the data at the rate;
            # the first 16 KiB may go at once.
            at_least(f"RETR ({'passive' if passive else 'active'})", start,
                     (SIZE - 16384) * 8 / RATE + 3 * DELAY)
            if len(received) != SIZE:
                failures.append(f"received {len(received)} bytes of {SIZE}")
        ftp.quit()

        # Two connections at once share the one line: together no faster.
        def fetch(sizes):
            other = ftplib.FTP()
            other.connect("127.0.0.1", port)
            other.login("u", "p")
            got = bytearray()
            other.retrbinary("RETR A.ZIP", got.extend)
            sizes.append(len(got))
            other.quit()

        sizes = []
        threads = [threading.Thread(target=fetch, args=(sizes,)) for _ in range(2)]
        start = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        at_least("two RETRs at once", start, (2 * SIZE - 16384) * 8 / RATE)
        if sizes != [SIZE, SIZE]:
            failures.append(f"received {sizes} bytes at once, {SIZE} each expected")
        with open(log) as f:
            commands = f.read().split()
        if commands[:2] != ["USER", "PASS"] or "RETR" not in commands:
            failures.append("command log: " + " ".join(commands))
    finally:
        server.kill()
        server.wait()

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
