#!/usr/bin/python3
"""An FTP server on 127.0.0.1 that behaves like one far away on a slower line:
each reply on the control connection leaves DELAY milliseconds late, each data
connection is opened (active mode) or taken (passive mode) DELAY milliseconds
late, and file data flows at RATE bits per second, shared by every data
connection as on one line. The loopback has no latency
of its own to put there (and this kernel has no netem).

  slow_link.py --home DIR --user U --password P [--delay MS] [--rate BITS]
               [--port N] [--command-log FILE]

Prints "PORT <n>" once it listens and runs until killed or orphaned. With
--command-log, every command line received is appended to FILE, so a caller
can count the round trips a client spent per file.

Runs under Debian's Python (/usr/bin/python3) with python3-pyftpdlib.
"""

import argparse
import logging
import threading
import time
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)  # pyftpdlib still uses it
    import asynchat

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import (ActiveDTP, DTPHandler, FTPHandler, PassiveDTP,
                                ThrottledDTPHandler)
from pyftpdlib.servers import ThreadedFTPServer

from serving import add_account_arguments, serve_until_orphaned


def main():
    parser = argparse.ArgumentParser()
    add_account_arguments(parser)
    parser.add_argument("--delay", type=float, default=25.0, help="milliseconds")
    parser.add_argument("--rate", type=float, default=50e6, help="bits per second")
    parser.add_argument("--command-log")
    args = parser.parse_args()
    delay = args.delay / 1000.0
    logging.basicConfig(level=logging.ERROR)

    class Line:
        """The one line every data connection shares, as on a real link: a
        token bucket filled at the line's rate, holding at most 16 KiB."""
        rate = args.rate / 8  # bytes per second
        burst = 16384
        lock = threading.Lock()
        tokens = 16384.0
        last = time.monotonic()

        @classmethod
        def take(cls, wanted):
            """Bytes that may leave now, or 0 and the seconds to wait."""
            with cls.lock:
                now = time.monotonic()
                cls.tokens = min(cls.burst, cls.tokens + (now - cls.last) * cls.rate)
                cls.last = now
                allowed = min(wanted, int(cls.tokens))
                if allowed <= 0:
                    return 0, (min(wanted, 4096) - cls.tokens) / cls.rate
                cls.tokens -= allowed
                return allowed, 0

        @classmethod
        def give_back(cls, unsent):
            with cls.lock:
                cls.tokens += unsent

    class Dtp(ThrottledDTPHandler):
        # pyftpdlib's own throttle lets a second's worth through at once and
        # then sleeps; the line spreads it evenly over every connection.
        ac_out_buffer_size = 16384
        write_limit = 0

        def send(self, data):
            allowed, wait = Line.take(len(data))
            if allowed <= 0:
                self.del_channel()
                self._cancel_throttler()
                self._throttler = self.ioloop.call_later(
                    wait + 0.001,
                    lambda: self.add_channel(events=self.ioloop.WRITE),
                    _errback=self.handle_error)
                return 0
            sent = DTPHandler.send(self, data[:allowed])
            if sent < allowed:
                Line.give_back(allowed - sent)
            return sent

    class LateActive(ActiveDTP):
        def __init__(self, ip, port, cmd_channel):
            # The connect-back leaves as late as a reply would.
            cmd_channel.ioloop.call_later(
                delay, lambda: ActiveDTP.__init__(self, ip, port, cmd_channel),
                _errback=cmd_channel.handle_error)

    class LatePassive(PassiveDTP):
        def handle_accepted(self, sock, addr):
            self.ioloop.call_later(delay, lambda: PassiveDTP.handle_accepted(self, sock, addr),
                                   _errback=self.handle_error)

    class Handler(FTPHandler):
        dtp_handler = Dtp
        active_dtp = LateActive
        passive_dtp = LatePassive
        auth_failed_timeout = 0
        use_sendfile = False  # sendfile would bypass the rate

        def push(self, s):
            data = s.encode("utf8")
            if delay <= 0:
                asynchat.async_chat.push(self, data)
                return
            self.ioloop.call_later(delay, lambda: self.connected and
                                   asynchat.async_chat.push(self, data),
                                   _errback=self.handle_error)

        def close_when_done(self):
            # After the last reply, which is itself late.
            self.ioloop.call_later(delay, lambda: self.connected and
                                   FTPHandler.close_when_done(self),
                                   _errback=self.handle_error)

        def pre_process_command(self, line, cmd, arg):
            if args.command_log:
                with open(args.command_log, "a", encoding="utf8", errors="replace") as log:
                    log.write(cmd + "\n")
            return FTPHandler.pre_process_command(self, line, cmd, arg)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elr")
    Handler.authorizer = authorizer
    server = ThreadedFTPServer(("127.0.0.1", args.port), Handler)
    serve_until_orphaned(server)


if __name__ == "__main__":
    main()
