#!/usr/bin/python3
"""An FTP server of pyftpdlib (Debian's python3-pyftpdlib) for the client's tests.

It listens on ADDRESS at a port the system picks, prints "ready PORT" once it listens, writes every
command line it receives to the journal (one per line, as received), and ends when its standard input
closes, so that it never outlives the test that started it.

    /usr/bin/python3 pyftpdlib_server.py --address 127.0.0.1 --root DIR --user ftp --password PW --journal FILE
"""

import argparse
import ipaddress
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--journal", required=True)
    args = parser.parse_args()

    # Tests talk to it over loopback only.
    if not ipaddress.ip_address(args.address).is_loopback:
        sys.exit("pyftpdlib_server: --address must be a loopback address")

    logging.basicConfig(level=logging.WARNING)
    journal = open(args.journal, "a", buffering=1, encoding="utf-8", errors="replace")

    class JournalHandler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            journal.write(line + "\n")
            super().pre_process_command(line, cmd, arg)

    authorizer = DummyAuthorizer()
    # e: change directory, l: list, r: read, a: append, d: delete, f: rename, m: make directory, w: store
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmw")
    JournalHandler.authorizer = authorizer
    JournalHandler.timeout = 60

    server = FTPServer((args.address, 0), JournalHandler)
    server.max_cons = 8
    print("ready", server.address[1], flush=True)

    def end_with_parent():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=end_with_parent, daemon=True).start()
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
