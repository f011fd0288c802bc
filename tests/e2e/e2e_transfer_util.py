"""Shared pieces of the transfer end-to-end tests: a temporary server tree
with its configuration, the server process, and a raw FTP control client
that returns every reply line exactly as sent."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HOST = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Server:
    """A vantor-e2e-server on a fresh temporary tree.

    The tree has root/ (drive C:) with pub/ inside; `users` maps user names
    to (password, home, access rule letters, extra INI lines)."""

    def __init__(self, binary, global_lines=(), users=None, preexec=None):
        self.tmp = tempfile.mkdtemp(prefix="vantor-xfer-")
        self.root = os.path.join(self.tmp, "root")
        os.makedirs(os.path.join(self.root, "pub"))
        self.port = free_port()
        users = users or {"joe": ("secret", "C:\\", "C:\\,RWAMDCLP", [])}
        lines = ["[GLOBAL]", "PortNr=%d" % self.port, "EncryptPasswords=no"]
        lines += list(global_lines)
        lines += ["[DRIVES]", "C=" + self.root]
        for name, (password, home, access, extra) in users.items():
            lines += ["[USER=%s]" % name, "Password=" + password, "HomeDir=" + home]
            for i, rule in enumerate(access.split(";"), 1):
                lines.append("Access%d=%s" % (i, rule))
            lines += list(extra)
        self.ini = os.path.join(self.tmp, "vantor.ini")
        with open(self.ini, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log = open(os.path.join(self.tmp, "server.log"), "w+")
        self.proc = subprocess.Popen([binary, self.ini], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, preexec_fn=preexec)
        first = ""
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("server did not start: " + first)
            first += line
            if line.startswith("PORT "):
                break
        # Keep draining the log so the server never blocks on a full pipe.
        import threading
        self.lines = []
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def has_line(self, pred, timeout=5.0):
        """Whether the server printed a line matching `pred`, waiting for the
        reader thread to catch up (a reply can overtake the log line)."""
        deadline = time.time() + timeout
        while True:
            if any(pred(l) for l in list(self.lines)):
                return True
            if time.time() >= deadline:
                return False
            time.sleep(0.02)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Ftp:
    """A raw control connection: `cmd` sends one line and returns the reply
    lines of one complete reply (multi-line replies included)."""

    def __init__(self, port, user="joe", password="secret"):
        self.sock = socket.create_connection((HOST, port), timeout=20)
        self.buf = b""
        self.reply()  # greeting
        if user is not None:
            self.cmd("USER " + user)
            r = self.cmd("PASS " + password)
            assert r[-1].startswith("230"), r

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("control connection closed")
            self.buf += data
        text, self.buf = self.buf.split(b"\r\n", 1)
        return text.decode("latin-1")

    def reply(self):
        lines = [self.line()]
        if len(lines[0]) > 3 and lines[0][3] == "-":
            code = lines[0][:3]
            while not (lines[-1].startswith(code + " ")):
                lines.append(self.line())
        return lines

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def cmd(self, text):
        self.send(text)
        return self.reply()

    def last(self, text):
        return self.cmd(text)[-1]

    def pasv(self):
        r = self.last("PASV")
        m = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", r)
        assert r.startswith("227 Entering Passive Mode ("), r
        n = [int(x) for x in m.groups()]
        return "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5]

    def pasv_connect(self):
        host, port = self.pasv()
        return socket.create_connection((host, port), timeout=20)

    def port_listen(self):
        """PORT to a fresh listener; returns the listening socket."""
        ls = socket.socket()
        ls.bind((HOST, 0))
        ls.listen(1)
        ls.settimeout(20)
        p = ls.getsockname()[1]
        r = self.last("PORT 127,0,0,1,%d,%d" % (p // 256, p % 256))
        assert r == "200 PORT Command successful.", r
        return ls

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def wait_until(pred, timeout=10.0):
    """Whether `pred()` became true within `timeout` seconds (polled)."""
    deadline = time.time() + timeout
    while not pred():
        if time.time() >= deadline:
            return False
        time.sleep(0.02)
    return True


def recv_all(sock):
    chunks = []
    while True:
        data = sock.recv(1 << 20)
        if not data:
            break
        chunks.append(data)
    sock.close()
    return b"".join(chunks)


class Checker:
    """Collects failures so one run reports every broken case."""

    def __init__(self):
        self.failures = []
        self.count = 0

    def eq(self, got, want, what):
        self.count += 1
        if got != want:
            self.failures.append("%s:\n   got  %r\n   want %r" % (what, got, want))

    def true(self, cond, what):
        self.count += 1
        if not cond:
            self.failures.append(what)

    def finish(self):
        for f in self.failures:
            print("FAIL " + f)
        print("%d checks, %d failed" % (self.count, len(self.failures)))
        sys.exit(1 if self.failures else 0)


def server_binary():
    args = sys.argv[1:]
    if len(args) >= 2 and args[0] == "--server":
        return args[1]
    if args:
        return args[0]
    raise SystemExit("usage: %s --server path/to/vantor-e2e-server" % sys.argv[0])
