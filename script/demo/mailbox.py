#!/usr/bin/python3
"""The demo mailbox: a few encrypted data archives served over FTP on 127.0.0.1.

    mailbox.py --folder DIR --user U --password P --zip-password Z

Makes DIR/mailbox with the archives, made by the real tools (zip -P for the
traditional encryption, 7-Zip for AES), and DIR/expected with exactly the
files that Download then Unzip leave in the local folder. Then serves
DIR/mailbox read-only to user U, prints "PORT <n>" once it listens, and runs
until it is stopped or the process that started it ends.

Runs under Debian's Python (/usr/bin/python3) with python3-pyftpdlib.
"""

import argparse
import logging
import os
import random
import shutil
import subprocess
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

# The tests' servers run the same way.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "tools"))
from serving import serve_until_orphaned  # noqa: E402

CODES = ["ORV%04d" % n for n in (101, 114, 127, 203, 215, 342, 356, 408, 419, 520)]


def price_file(day, seed):
    """One day's closing figures: a header line and one record per code."""
    rng = random.Random(seed)
    lines = ["DATE,CODE,OPEN,HIGH,LOW,CLOSE,VOLUME"]
    for code in CODES:
        open_ = rng.uniform(20, 400)
        high = open_ * rng.uniform(1.0, 1.04)
        low = open_ * rng.uniform(0.96, 1.0)
        close = rng.uniform(low, high)
        volume = rng.randrange(1000, 90000, 100)
        lines.append("2026%s,%s,%.2f,%.2f,%.2f,%.2f,%d" % (day, code, open_, high, low, close, volume))
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def code_list():
    names = ["North Valley Co-op", "Riverside Mills", "Eastfield Grain", "Harbor Freight Lines",
             "Oakridge Timber", "Summit Dairy", "Westgate Steel", "Lakeshore Energy",
             "Prairie Seed Supply", "Granite Works"]
    lines = ["%s  %s" % (code, name) for code, name in zip(CODES, names)]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


BULLETIN = (b"ORV Mail subscriber bulletin\r\n"
            b"\r\n"
            b"The closing figures for each trading day arrive as QLM<mmdd>.ZIP.\r\n"
            b"The code list is refreshed on the first day of each month.\r\n")

CONTACTS = (b"Subscriber support\r\n"
            b"Mon-Fri 8:00-18:00\r\n"
            b"support@orv-mail.invalid\r\n")


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as handle:
        handle.write(data)


def run(command, cwd):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def make_mailbox(folder, zip_password):
    mailbox = os.path.join(folder, "mailbox")
    expected = os.path.join(folder, "expected")
    staging = os.path.join(folder, "staging")
    for path in (mailbox, expected, staging):
        os.makedirs(path)

    # (archive, tool, {member: bytes})
    archives = [
        ("QLM1204.ZIP", "zip", {"ORV1204.DAT": price_file("1204", 1204), "ORVCODES.TXT": code_list()}),
        ("QLM1207.ZIP", "7zz", {"ORV1207.DAT": price_file("1207", 1207)}),
        ("QLMNEWS.ZIP", "zip", {"BULLETIN.TXT": BULLETIN}),
    ]
    for archive, tool, members in archives:
        for name, data in members.items():
            write(staging, name, data)
            write(expected, name, data)
        target = os.path.join(mailbox, archive)
        if tool == "zip":
            run(["zip", "-q", "-X", "-P", zip_password, target] + sorted(members), staging)
        else:
            run(["7zz", "a", "-tzip", "-mem=AES256", "-p" + zip_password, "-bso0", "-bsp0",
                 target] + sorted(members), staging)
        for name in members:
            os.remove(os.path.join(staging, name))

    # Downloaded with the rest, but not a QLM archive: it stays as it came.
    write(staging, "CONTACTS.TXT", CONTACTS)
    run(["zip", "-q", "-X", os.path.join(mailbox, "SUPPORT.ZIP"), "CONTACTS.TXT"], staging)
    shutil.copyfile(os.path.join(mailbox, "SUPPORT.ZIP"), os.path.join(expected, "SUPPORT.ZIP"))
    shutil.rmtree(staging)
    return mailbox


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--zip-password", required=True)
    args = parser.parse_args()

    mailbox = make_mailbox(args.folder, args.zip_password)

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, mailbox, perm="elr")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0
    handler.banner = "ORV Mail demo mailbox ready."
    # A thread per connection: the download opens several at once.
    server = ThreadedFTPServer(("127.0.0.1", 0), handler)
    serve_until_orphaned(server)


if __name__ == "__main__":
    main()
