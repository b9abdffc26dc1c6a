"""What every FTP server the tests and the demo start shares: the account it
serves, and how it runs (prints "PORT <n>" once it listens, then serves until
stopped or until the process that started it ends).

Runs under Debian's Python (/usr/bin/python3) with python3-pyftpdlib.
"""

import os


def add_account_arguments(parser):
    """The served folder, the one user and the port (0: any free one)."""
    parser.add_argument("--home", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=0)


def serve_until_orphaned(server):
    """Serves until stopped, and never outlives the process that started it,
    however that one ended."""
    parent = os.getppid()

    def stop_when_orphaned():
        if os.getppid() != parent:
            os._exit(0)

    server.ioloop.call_every(0.5, stop_when_orphaned)
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=False)
