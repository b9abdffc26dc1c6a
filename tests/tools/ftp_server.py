#!/usr/bin/python3
"""A small FTP server on 127.0.0.1 for tests: one user with a read-only home.

Prints "PORT <n>" on stdout once it listens (port 0 lets the kernel choose)
and runs until killed. Switches put faults into it:

  --refuse-active        PORT and EPRT are refused (502)
  --no-connect-back      PORT and EPRT are accepted, but the server never connects
  --reverse-listing      NLST lists the names in reverse order
  --vanish NAME          NAME is deleted from the home right after a listing:
  --vanish-after N       ... the Nth one (default 1)
  --die-after BYTES      the process ends after sending BYTES of file data (all RETRs)
  --short-transfer BYTES SIZE is refused, and each RETR announces the file's size
                         in its 150/125 reply but sends BYTES fewer and ends normally
  --throttle BPS         file data is sent at about BPS bytes per second
  --throttle-connection N  with --throttle: only the Nth control connection's
                         file data is slowed; the others' go at full speed
  --silent-on CMD        from the command CMD on (USER, NLST, RETR...; CONNECT: from
                         the start, no greeting) the server reads but never answers
  --reset-after BYTES    each RETR's data connection is reset (RST) after BYTES of
                         file data; the control connection stays
  --stall-after BYTES    each RETR's data connection stops sending after BYTES of
                         file data and stays open
  --short-keeps-size     with --short-transfer: SIZE still tells the file's size
  --listing FILE         NLST answers with the bytes of FILE as they are
  --refuse-listing       NLST and MLSD are refused (550)
  --reset-listing        the listing's data connection is reset (RST) before its first byte
  --no-mlsd              MLSD is not understood (500), as on servers without it;
                         so too with --listing and --reverse-listing
  --mlsd FILE            MLSD answers with the bytes of FILE as they are
  --list FILE            LIST answers with the bytes of FILE as they are
  --long-transfer BYTES  each RETR announces the file's size in its 150/125 reply
                         but sends BYTES more; SIZE tells the file's size
  --connect-back-delay MS  PORT and EPRT connect back MS milliseconds late
  --max-connections N    a further connection from the same address is refused (421)
  --stall-connection N   the Nth control connection's RETRs stop sending after 1000
                         bytes, as with --stall-after; the others' are served
  --refuse-rest          REST is refused (502): a file is only ever sent whole
  --rest MODE            REST is answered 350, but a RETR after it sends, by MODE:
                         "ignore" the file from its start, "extra" the rest of the
                         file and 7 bytes more
  --busy                 every connection is greeted with 421 and closed
  --busy-listing         NLST, MLSD and LIST are refused for now (450)
  --busy-on CMD          CMD (RETR, NLST...) is answered 421 and the connection closed
  --list-twice           with --reverse-listing: NLST names every file twice
  --command-log FILE     every command line received is appended to FILE, and a
                         line for each connection accepted to FILE.connects
  --tls PEM              AUTH TLS is accepted, with the certificate and key in PEM
  --tls-required         with --tls: USER and data connections are refused until
                         the control and data connections are encrypted
  --refuse-prot          with --tls: PROT is refused (534), so data would go in clear
  --tls-old              with --tls: TLS 1.0 only, which clients no longer speak

Runs under Debian's Python (/usr/bin/python3) with python3-pyftpdlib.
"""

import argparse
import logging
import os
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import ThreadedFTPServer

from serving import add_account_arguments, serve_until_orphaned


class SortedFS(AbstractedFS):
    """Every listing in name order, as NLST already is: the tests' server
    order does not depend on the file system's."""

    def listdir(self, path):
        return sorted(super().listdir(path))


def main():
    parser = argparse.ArgumentParser()
    add_account_arguments(parser)
    parser.add_argument("--refuse-active", action="store_true")
    parser.add_argument("--no-connect-back", action="store_true")
    parser.add_argument("--reverse-listing", action="store_true")
    parser.add_argument("--no-mlsd", action="store_true")
    parser.add_argument("--mlsd")
    parser.add_argument("--list")
    parser.add_argument("--vanish")
    parser.add_argument("--vanish-after", type=int, default=1)
    parser.add_argument("--die-after", type=int)
    parser.add_argument("--short-transfer", type=int)
    parser.add_argument("--throttle", type=int)
    parser.add_argument("--silent-on")
    parser.add_argument("--reset-after", type=int)
    parser.add_argument("--stall-after", type=int)
    parser.add_argument("--short-keeps-size", action="store_true")
    parser.add_argument("--listing")
    parser.add_argument("--refuse-listing", action="store_true")
    parser.add_argument("--reset-listing", action="store_true")
    parser.add_argument("--long-transfer", type=int)
    parser.add_argument("--connect-back-delay", type=int)
    parser.add_argument("--refuse-rest", action="store_true")
    parser.add_argument("--rest", choices=["ignore", "extra"])
    parser.add_argument("--busy", action="store_true")
    parser.add_argument("--busy-listing", action="store_true")
    parser.add_argument("--busy-on")
    parser.add_argument("--list-twice", action="store_true")
    parser.add_argument("--command-log")
    parser.add_argument("--max-connections", type=int, default=0)
    parser.add_argument("--stall-connection", type=int, default=0)
    parser.add_argument("--throttle-connection", type=int, default=0)
    parser.add_argument("--tls")
    parser.add_argument("--tls-required", action="store_true")
    parser.add_argument("--refuse-prot", action="store_true")
    parser.add_argument("--tls-old", action="store_true")
    args = parser.parse_args()
    handler_base = FTPHandler
    if args.tls:
        # Only then: python3-openssl is needed for nothing else.
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
        handler_base = TLS_FTPHandler

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elr")

    dtp_base = ThrottledDTPHandler if args.throttle else DTPHandler
    if args.tls:
        dtp_base = TLS_DTPHandler

    class Dtp(dtp_base):
        sent_file_bytes = 0
        hostile_sent = 0

        def __init__(self, sock, cmd_channel):
            if args.throttle_connection and not getattr(cmd_channel, "throttled", False):
                self.read_limit = self.write_limit = 0
            super().__init__(sock, cmd_channel)

        def send(self, data):
            # The first block of a RETR goes out before cmd is set; its file
            # is already known.
            retr = self.cmd == "RETR" or (self.file_obj is not None and not self.receive)
            stalling = getattr(self.cmd_channel, "stall_data", False)
            if retr and (args.reset_after is not None or args.stall_after is not None
                         or stalling):
                return self._hostile_send(data)
            if args.die_after is not None and self.cmd == "RETR":
                left = args.die_after - Dtp.sent_file_bytes
                if left <= 0:
                    os._exit(3)
                data = data[:left]
            sent = super().send(data)
            if self.cmd == "RETR":
                Dtp.sent_file_bytes += sent
                if args.die_after is not None and Dtp.sent_file_bytes >= args.die_after:
                    os._exit(3)
            return sent

        stalled = False

        def modify_ioloop_events(self, events, logdebug=False):
            if not self.stalled:
                super().modify_ioloop_events(events, logdebug)

        def add_channel(self, map=None, events=None):
            if not self.stalled:
                super().add_channel(map, events)

        def _hostile_send(self, data):
            # Counted per data connection: each file meets the fault.
            limit = args.reset_after if args.reset_after is not None else args.stall_after
            if limit is None:
                limit = 1000
            left = limit - self.hostile_sent
            if left <= 0:
                if args.reset_after is not None:
                    # A reset, not an orderly close: no FIN, and no reply on the
                    # control connection.
                    self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
                    self.socket.close()
                    self.del_channel()
                else:
                    # Open but never served again.
                    self.stalled = True
                    self.del_channel()
                return 0
            sent = super().send(data[:left])
            self.hostile_sent += sent
            return sent

    if args.throttle:
        Dtp.read_limit = args.throttle
        Dtp.write_limit = args.throttle

    class Handler(handler_base):
        listings = 0
        silent = False

        accepted = 0

        def handle(self):
            Handler.accepted += 1
            self.stall_data = Handler.accepted == args.stall_connection
            self.throttled = Handler.accepted == args.throttle_connection
            if args.command_log:
                with open(args.command_log + ".connects", "a", encoding="utf8") as log:
                    log.write("CONNECT\n")
            if args.silent_on == "CONNECT":
                self.silent = True
            elif args.busy:
                self.respond("421 Too many users, try again later.")
                self.close_when_done()
            else:
                super().handle()

        def pre_process_command(self, line, cmd, arg):
            if args.command_log:
                with open(args.command_log, "a", encoding="utf8", errors="replace") as log:
                    log.write(line + "\n")
            if cmd == args.silent_on:
                self.silent = True
            if self.silent:
                return None
            if cmd == "REST" and args.refuse_rest:
                self.respond("502 Command \"REST\" not implemented.")
                return None
            if cmd == args.busy_on:
                self.respond("421 Shutting down, try again later.")
                self.close_when_done()
                return None
            if cmd in ("NLST", "MLSD", "LIST") and args.busy_listing:
                self.respond("450 Mailbox busy, try again later.")
                return None
            if cmd == "PROT" and args.refuse_prot:
                self.respond("534 Protection level not supported.")
                return None
            return super().pre_process_command(line, cmd, arg)

        def ftp_PORT(self, line):
            self._active(line, super().ftp_PORT)

        def ftp_EPRT(self, line):
            self._active(line, super().ftp_EPRT)

        def _active(self, line, base):
            if args.refuse_active:
                self.respond("502 Active mode is not available here.")
            elif args.no_connect_back:
                self.respond("200 Active data connection established.")
            elif args.connect_back_delay:
                self.ioloop.call_later(args.connect_back_delay / 1000,
                                       lambda: self._closed or base(line))
            else:
                base(line)

        def ftp_NLST(self, path):
            return self._listing(path, super().ftp_NLST, "NLST")

        def ftp_MLSD(self, path):
            # Hostile NLST bytes and a reversed order are NLST's own: the
            # client is sent there as to a server without MLSD.
            if args.no_mlsd or args.listing or args.reverse_listing:
                self.respond("500 Command \"MLSD\" not understood.")
                return None
            if args.mlsd:
                with open(args.mlsd, "rb") as handle:
                    self.push_dtp_data(handle.read(), cmd="MLSD")
                return path
            return self._listing(path, super().ftp_MLSD, "MLSD")

        def ftp_LIST(self, path):
            if not args.list:
                return super().ftp_LIST(path)
            with open(args.list, "rb") as handle:
                self.push_dtp_data(handle.read(), cmd="LIST")
            return path

        def _listing(self, path, base, cmd):
            if args.refuse_listing:
                self.respond("550 Listing not allowed here.")
                return None
            if args.reset_listing:
                channel = self.data_channel
                if channel is None:
                    self.respond("425 Can't open data connection.")
                    return None
                self.respond("125 Data connection already open. Transfer starting.")
                channel.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                          struct.pack("ii", 1, 0))
                channel.close()
                self.respond("426 Connection closed; transfer aborted.")
                return None
            if args.listing:
                with open(args.listing, "rb") as handle:
                    self.push_dtp_data(handle.read(), cmd=cmd)
                return path
            if args.reverse_listing and self.fs.isdir(path):
                names = sorted(self.fs.listdir(path), reverse=True)
                if args.list_twice:
                    names += names
                data = "".join(name + "\r\n" for name in names)
                self.push_dtp_data(data.encode("utf8", self.unicode_errors), cmd=cmd)
                result = path
            else:
                result = base(path)
            Handler.listings += 1
            if args.vanish and Handler.listings == args.vanish_after:
                os.remove(os.path.join(args.home, args.vanish))
            return result

        def ftp_SIZE(self, path):
            if args.short_transfer is not None and not args.short_keeps_size:
                self.respond("550 SIZE not allowed here.")
                return None
            return super().ftp_SIZE(path)

        def ftp_REST(self, line):
            super().ftp_REST(line)
            if args.rest == "ignore":
                self._restart_position = 0

        def ftp_RETR(self, file):
            restart = self._restart_position
            if args.rest == "extra" and restart:
                self._restart_position = 0
            elif args.short_transfer is None and args.long_transfer is None:
                return super().ftp_RETR(file)
            try:
                with open(file, "rb") as handle:
                    data = handle.read()
            except OSError as err:
                self.respond("550 %s." % err.strerror)
                return None
            text = "Opening BINARY mode data connection (%d bytes)." % len(data)
            if args.rest == "extra" and restart:
                data = data[restart:] + b"+" * 7
            elif args.long_transfer is not None:
                data += b"+" * args.long_transfer
            else:
                data = data[: max(0, len(data) - args.short_transfer)]
            if self.data_channel is not None:
                self.respond("125 " + text)
                self.data_channel.push(data)
                self.data_channel.cmd = "RETR"
                self.data_channel.close_when_done()
            else:
                self.respond("150 " + text)
                self._out_dtp_queue = (data, False, None, "RETR")
            return file

    if args.tls:
        Handler.certfile = args.tls
        Handler.tls_control_required = args.tls_required
        Handler.tls_data_required = args.tls_required
        if args.tls_old:
            from OpenSSL import SSL
            Handler.ssl_protocol = SSL.TLSv1_METHOD
    Handler.authorizer = authorizer
    Handler.abstracted_fs = SortedFS
    Handler.dtp_handler = Dtp
    Handler.auth_failed_timeout = 0
    Handler.use_sendfile = False
    Handler.banner = "test server ready."

    server = ThreadedFTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons_per_ip = args.max_connections
    serve_until_orphaned(server)


if __name__ == "__main__":
    main()
