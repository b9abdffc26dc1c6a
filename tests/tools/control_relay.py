#!/usr/bin/python3
"""Relays TCP connections from 127.0.0.1 to a server on 127.0.0.1 and records
what the client sends, to show what crossed the network in clear.

  control_relay.py --to PORT --record PREFIX [--strip-tls-from N]

Prints "PORT <n>" once it listens. The bytes the client sends on the Nth
connection (from 0) are appended to PREFIX.N as they pass. With
--strip-tls-from, from the Nth connection on the relay answers each AUTH
command itself with a refusal, as a man in the middle would to keep the
connection in clear. Runs until killed.
"""

import argparse
import os
import socket
import threading


def pump(source, sink, record, strip=False):
    try:
        pending = b""
        while True:
            data = source.recv(65536)
            if not data:
                break
            if record is not None:
                record.write(data)
                record.flush()
            if strip:
                # Line by line: the client waits for each reply.
                pending += data
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    if line.upper().startswith(b"AUTH"):
                        source.sendall(b"502 AUTH not available.\r\n")
                    else:
                        sink.sendall(line + b"\n")
                continue
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--to", type=int, required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--strip-tls-from", type=int)
    args = parser.parse_args()

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    parent = os.getppid()
    listener.settimeout(0.5)
    serial = 0
    while os.getppid() == parent:
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        server = socket.create_connection(("127.0.0.1", args.to))
        record = open("%s.%d" % (args.record, serial), "wb")
        serial += 1
        strip = args.strip_tls_from is not None and serial - 1 >= args.strip_tls_from
        threading.Thread(target=pump, args=(client, server, record, strip),
                         daemon=True).start()
        threading.Thread(target=pump, args=(server, client, None), daemon=True).start()


if __name__ == "__main__":
    main()
