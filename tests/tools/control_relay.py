#!/usr/bin/python3
"""Relays TCP connections from 127.0.0.1 to a server on 127.0.0.1 and records
what the client sends, to show what crossed the network in clear.

  control_relay.py --to PORT --record PREFIX

Prints "PORT <n>" once it listens. The bytes the client sends on the Nth
connection (from 0) are appended to PREFIX.N as they pass. Runs until killed.
"""

import argparse
import os
import socket
import threading


def pump(source, sink, record):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            if record is not None:
                record.write(data)
                record.flush()
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
        threading.Thread(target=pump, args=(client, server, record), daemon=True).start()
        threading.Thread(target=pump, args=(server, client, None), daemon=True).start()


if __name__ == "__main__":
    main()
