"""Shared helpers of the engine's end-to-end tests.

A Server runs vantor-e2e-server on an INI text in a temporary directory
(removed afterwards) on a free loopback port; a Client talks raw FTP to it
and reads replies line by line, so every reply is checked byte for byte.
"""
import argparse
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

ARGS = None


def parse_args():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--server", required=True)
    ARGS = p.parse_args()
    return ARGS


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The engine on `ini` (a str; "{home}" and "{dir}" are filled in)."""

    def __init__(self, ini, files=None, port=None, expect_online=True):
        self.dir = tempfile.mkdtemp(prefix="vantor-e2e-")
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home)
        self.port = port or free_port()
        for name, text in (files or {}).items():
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        text = ini.replace("{home}", self.home).replace("{dir}", self.dir)
        text = text.replace("{port}", str(self.port))
        if "PortNr" not in text:
            text = text.replace("[GLOBAL]\n", "[GLOBAL]\nPortNr=%d\n" % self.port, 1)
        self.ini = os.path.join(self.dir, "VANTOR.INI")
        with open(self.ini, "w") as f:
            f.write(text)
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen([ARGS.server, self.ini], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()
        first = self.wait_line(lambda l: l.startswith("PORT ") or l == "OFFLINE", 15)
        self.online = first.startswith("PORT ")
        if expect_online:
            assert self.online, "server did not come on-line: %r" % self.lines

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def wait_line(self, pred, timeout=10):
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for l in self.lines:
                    if pred(l):
                        return l
                left = deadline - time.time()
                if left <= 0:
                    raise AssertionError("no matching line in %r" % self.lines[-20:])
                self.cond.wait(left)

    def wait_log(self, text, timeout=10):
        return self.wait_line(lambda l: l.startswith("LOG ") and text in l, timeout)

    def log(self):
        with self.cond:
            return [l for l in self.lines if l.startswith("LOG ")]

    def signal(self, sig):
        self.proc.send_signal(sig)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        rc = self.proc.poll()
        self.stop()
        assert rc is None, "server died with %r" % rc


class Client:
    def __init__(self, port, host="127.0.0.1", timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed; pending %r" % self.buf)
            self.buf += data
        l, self.buf = self.buf.split(b"\r\n", 1)
        return l.decode("latin-1")

    def reply(self):
        """All lines of one reply (multi-line replies end with "ddd ")."""
        lines = [self.line()]
        first = lines[0]
        if len(first) >= 4 and first[3] == "-":
            code = first[:3]
            while not (lines[-1].startswith(code + " ") and len(lines) > 1):
                lines.append(self.line())
        return lines

    def send(self, text):
        if isinstance(text, str):
            text = text.encode("latin-1")
        self.sock.sendall(text + b"\r\n")

    def cmd(self, text):
        self.send(text)
        return self.reply()

    def closed(self, timeout=15):
        """True when the server closes the connection within `timeout`."""
        self.sock.settimeout(timeout)
        try:
            while True:
                data = self.sock.recv(65536)
                if not data:
                    return True
                self.buf += data
        except (socket.timeout, TimeoutError):
            return False
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


BANNER = "220 Vantor FTP-Server v2.5k for WinSock ready..."


def login(port, user, password):
    c = Client(port)
    c.reply()
    c.cmd("USER " + user)
    r = c.cmd("PASS " + password)
    assert r[-1] == "230 User logged in, proceed.", r
    return c


def expect(got, want, what=""):
    if got != want:
        raise AssertionError("%s\n  got:  %r\n  want: %r" % (what, got, want))


def run(tests, args_parsed=False):
    """Runs test functions; prints each result; exits 1 on any failure."""
    if not args_parsed:
        parse_args()
    failed = 0
    for t in tests:
        try:
            t()
            print("PASS", t.__name__)
        except Exception:
            failed += 1
            print("FAIL", t.__name__)
            traceback.print_exc()
        sys.stdout.flush()
    sys.exit(1 if failed else 0)
