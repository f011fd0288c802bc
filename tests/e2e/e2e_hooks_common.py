"""Shared set-up of the hook and SITE end-to-end tests."""
import argparse
import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_e2e  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--server", required=True)
    p.add_argument("--examples", required=True)
    p.add_argument("--spy", default=None)  # the tests' spy hook library
    args = p.parse_args()
    ftp_e2e.ARGS = args
    return args


ARGS = parse_args()


def lib(name):
    return os.path.join(ARGS.examples, "libvantor_%s.so" % name)


def drive_form(posix):
    """A POSIX path in the drive form of the default drive table (C: = /)."""
    return "C:" + posix.replace("/", "\\")


def pasv(c):
    """Sends PASV and returns a connected data socket."""
    r = c.cmd("PASV")
    ftp_e2e.expect(r[-1][:3], "227", "PASV")
    nums = r[-1][r[-1].index("(") + 1:r[-1].index(")")].split(",")
    port = int(nums[4]) * 256 + int(nums[5])
    return socket.create_connection(("127.0.0.1", port), timeout=10)


def recv_all(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    sock.close()
    return data


def run(tests):
    ftp_e2e.run(tests, args_parsed=True)
