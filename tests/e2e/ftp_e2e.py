"""The one harness of the end-to-end tests.

A Server runs the driver (vantor-e2e-server) on an INI text in a temporary
directory (removed afterwards) on a free loopback port; `tree_server`
builds that INI from users over a fresh drive C:. A
Client talks raw FTP and returns every reply line exactly as sent. Checks
either raise (`expect`, run by `run`) or collect (`Checker`), so a script of
independent cases can report every broken one in a single run.
"""
import argparse
import ftplib
import os
import queue
import random
import re
import shutil
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import unittest

HOST = "127.0.0.1"
BANNER = "220 Vantor FTP-Server v2.5k for WinSock ready..."
ARGS = None


def parse_args():
    """The scripts' common command line (what tests/e2e/CMakeLists.txt passes)."""
    global ARGS
    if ARGS is None:
        p = argparse.ArgumentParser()
        p.add_argument("--server")
        p.add_argument("--vantor")
        p.add_argument("--examples")  # the built example hook libraries
        p.add_argument("--spy")  # the tests' spy hook library
        # The data lane's width for every server the script starts (the
        # same suite runs with one thread and with several).
        p.add_argument("--data-threads", type=int)
        ARGS = p.parse_args()
    return ARGS


def server_binary():
    binary = parse_args().server
    if not binary:
        raise SystemExit("usage: %s --server path/to/vantor-e2e-server" % sys.argv[0])
    return binary


def lib(name):
    """The built example hook library `name` (from --examples)."""
    return os.path.join(parse_args().examples, "libvantor_%s.so" % name)


def drive_form(posix):
    """A POSIX path in the drive form of the default drive table (C: = /)."""
    return "C:" + posix.replace("/", "\\")


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


_PORTS = random.Random()


def free_port(host=HOST):
    """A port nothing listens on, from below the kernel's ephemeral range:
    every outgoing connection and every passive listener of the servers
    under test draws from that range, and could take a port found free there
    before the server that is to listen on it binds it."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    high = max(_ephemeral_low() - 1, 2048)
    for _ in range(100):
        port = _PORTS.randint(max(1024, high - 12000), high)
        with socket.socket(family) as s:
            try:
                s.bind((host, port))
            except OSError:
                continue
            return port
    with socket.socket(family) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Server:
    """The server on `ini` (a str; "{home}", "{dir}" and "{port}" are filled in).

    `home` is an empty directory, `root` the drive tree of `tree_server`;
    `preexec` runs in the child before exec (resource limits)."""

    def __init__(self, ini, files=None, port=None, expect_online=True, preexec=None,
                 make_dirs=()):
        self.dir = tempfile.mkdtemp(prefix="vantor-e2e-")
        self.home = os.path.join(self.dir, "home")
        self.root = os.path.join(self.dir, "root")
        os.mkdir(self.home)
        for d in make_dirs:
            os.makedirs(os.path.join(self.dir, d))
        for name, text in (files or {}).items():
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        # A port found free may be taken by another program's connect before
        # the server binds it: a port this picked is then picked again.
        for attempt in range(5):
            self._start(ini, port or free_port(), preexec)
            taken = "Port number %d is already in use!" % self.port
            if self.online or port or attempt == 4 or not any(taken in l for l in self.lines):
                break
            self._end()
        if expect_online and not self.online:
            self.stop()
            raise AssertionError("server did not come on-line: %r" % self.lines)

    def _start(self, ini, port, preexec):
        self.port = port
        text = ini.replace("{home}", self.home).replace("{dir}", self.dir)
        text = text.replace("{port}", str(self.port))
        if "PortNr" not in text:
            text = text.replace("[GLOBAL]\n", "[GLOBAL]\nPortNr=%d\n" % self.port, 1)
        lane = parse_args().data_threads
        if lane and "DataThreads=" not in text:
            text = text.replace("[GLOBAL]\n", "[GLOBAL]\nDataThreads=%d\n" % lane, 1)
        self.ini = os.path.join(self.dir, "VANTOR.INI")
        with open(self.ini, "w") as f:
            f.write(text)
        self.lines = []
        self.eof = False
        self.cond = threading.Condition()
        self.proc = subprocess.Popen([server_binary(), self.ini], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, preexec_fn=preexec)
        # Keep draining the output so the server never blocks on a full pipe.
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        try:
            first = self.wait_line(lambda l: l.startswith("PORT ") or l == "OFFLINE", 15)
        except AssertionError:
            self.stop()
            raise
        self.online = first.startswith("PORT ")

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()

    def wait_line(self, pred, timeout=10):
        """The first output line matching `pred`; raises when none comes in time
        (a reply can overtake the log line, so this waits for the reader)."""
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for l in self.lines:
                    if pred(l):
                        return l
                left = deadline - time.time()
                if left <= 0 or self.eof:
                    raise AssertionError("no matching line in %r" % self.lines[-20:])
                self.cond.wait(left)

    def has_line(self, pred, timeout=5.0):
        try:
            self.wait_line(pred, timeout)
            return True
        except AssertionError:
            return False

    def wait_log(self, text, timeout=10):
        return self.wait_line(lambda l: l.startswith("LOG ") and text in l, timeout)

    def log(self):
        with self.cond:
            return [l for l in self.lines if l.startswith("LOG ")]

    def send_seen(self, client, line, timeout=10):
        """Sends the command `line` on `client` and waits until the server
        has logged it (read and started it), however often it came before."""
        seen = lambda: sum(1 for l in self.log() if l.endswith(") " + line))
        before = seen()
        client.send(line)
        if not wait_until(lambda: seen() > before, timeout):
            raise AssertionError("%r never logged: %r" % (line, self.log()[-10:]))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        self._end()
        shutil.rmtree(self.dir, ignore_errors=True)

    def _end(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        rc = self.proc.poll()
        self.stop()
        assert rc is None, "server died with %r" % rc


class Program:
    """One run of the vantor program (`binary` with `args`), its output read
    line by line. `wait_for` takes lines in order, so each wait sees only
    what came after the line the previous one matched."""

    def __init__(self, binary, *args, env=None, stderr=subprocess.PIPE):
        self.proc = subprocess.Popen([binary, *args], stdout=subprocess.PIPE, stderr=stderr,
                                     text=True,
                                     env=dict(os.environ, LANG="C", LC_ALL="C", **(env or {})))
        self.lines = []
        self.q = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.q.put(line.rstrip("\n"))
        self.q.put(None)

    def wait_for(self, text, timeout=10):
        """The first line from now on that contains `text`; fails after `timeout`."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.q.get(timeout=max(0.05, end - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.lines.append(line)
            if text in line:
                return line
        raise AssertionError("no line with %r; saw %r" % (text, self.lines[-20:]))

    def count(self, text):
        return sum(1 for l in self.lines if text in l)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def finish(self, timeout=10):
        """The exit code, once the program ends; every line read."""
        rc = self.proc.wait(timeout=timeout)
        while True:
            line = self.q.get(timeout=5)
            if line is None:
                break
            self.lines.append(line)
        return rc

    def stop(self, timeout=5):
        """SIGTERM, and SIGKILL when the program is not gone within `timeout`
        (a coverage build writes its counts only at a normal exit)."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        self.kill()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        if self.proc.stderr:
            self.proc.stderr.close()


def user_ini(name, password="secret", home="{home}", access="RWAMDCLP", extra=()):
    """One [USER=name] section: the password (none when None), the home (none
    when None), one access rule over the home (none when `access` is empty)
    and the `extra` lines."""
    lines = ["[USER=%s]" % name]
    lines += ["Password=" + password] if password is not None else []
    lines += ["HomeDir=" + home] if home is not None else []
    lines += ["Access1=%s,%s" % (home, access)] if access else []
    return "\n".join(lines + list(extra)) + "\n"


def tree_server(global_lines=(), users=None, preexec=None, port=None):
    """A Server (on `port` if given) whose drive C: is a fresh tree root/ with
    pub/ inside; `users` maps user names to (password, home, access rules
    joined by ";", extra INI lines)."""
    users = users or {"joe": ("secret", "C:\\", "C:\\,RWAMDCLP", [])}
    lines = ["[GLOBAL]", "PortNr={port}", "EncryptPasswords=no"]
    lines += list(global_lines)
    lines += ["[DRIVES]", "C={dir}/root"]
    for name, (password, home, access, extra) in users.items():
        lines += ["[USER=%s]" % name, "Password=" + password, "HomeDir=" + home]
        for i, rule in enumerate(access.split(";"), 1):
            lines.append("Access%d=%s" % (i, rule))
        lines += list(extra)
    return Server("\n".join(lines) + "\n", port=port, preexec=preexec, make_dirs=["root/pub"])


class Client:
    """A raw control connection: `cmd` sends one line and returns the lines of
    one complete reply (multi-line replies end with "ddd ")."""

    def __init__(self, port=None, host=HOST, timeout=10, sock=None):
        self.sock = sock or socket.create_connection((host, port), timeout=timeout)
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

    def last(self, text):
        """The last line of the reply to `text`."""
        return self.cmd(text)[-1]

    def last_reply(self):
        """The last line of the next reply (a transfer's end)."""
        return self.reply()[-1]

    def user(self, name="joe", password="secret"):
        """USER and PASS; the reply to PASS."""
        self.cmd("USER " + name)
        return self.cmd("PASS " + password)

    def retr(self, name):
        """A passive RETR: (first reply line, data, closing reply lines); data
        and closing reply are None when the first reply is not 150."""
        return self.transfer("RETR " + name)

    def transfer(self, command, conn=None):
        """A command that sends data (RETR, LIST, NLST, MLSD) over `conn`: a
        connected socket (PASV, EPSV) or one listening for the server (PORT,
        EPRT); a fresh passive connection when None. Returns as `retr`."""
        conn = conn or self.pasv_connect()
        first = self.last(command)
        if not first.startswith("150"):
            conn.close()
            return first, None, None
        if conn.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN):
            d, _ = conn.accept()
            conn.close()
            conn = d
        return first, recv_all(conn), self.reply()

    def stor(self, verb, data, reset=False):
        """A passive upload by `verb` ("STOR x", "APPE x", "STOU"): (first reply
        line, closing reply lines or None). `reset` ends the data connection
        with a reset instead of a close."""
        d = self.pasv_connect()
        first = self.last(verb)
        if not first.startswith("150"):
            d.close()
            return first, None
        try:
            d.sendall(data)
        except OSError:
            pass  # the server stopped reading (a refused quota)
        if reset:
            d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        d.close()
        return first, self.reply()

    def pasv(self):
        r = self.last("PASV")
        m = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", r)
        assert r.startswith("227 Entering Passive Mode (") and m, r
        n = [int(x) for x in m.groups()]
        return "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5]

    def pasv_connect(self, timeout=20):
        """PASV and a data connection to the address the reply names."""
        host, port = self.pasv()
        return socket.create_connection((host, port), timeout=timeout)

    def port_listen(self):
        """PORT to a fresh loopback listener; returns the listening socket."""
        ls = listener()
        p = ls.getsockname()[1]
        r = self.last("PORT 127,0,0,1,%d,%d" % (p // 256, p % 256))
        assert r == "200 PORT Command successful.", r
        return ls

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
        try:
            self.sock.close()
        except OSError:
            pass


def listener(host=HOST):
    """A socket listening on a free port of `host` (accepts time out after 20 s)."""
    ls = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    ls.bind((host, 0))
    ls.listen(1)
    ls.settimeout(20)
    return ls


def greeted(port, host=HOST, timeout=20):
    """A Client whose greeting has been read."""
    c = Client(port, host, timeout)
    c.greeting = c.reply()
    return c


def login(port, user="joe", password="secret", host=HOST, timeout=20, binary=False):
    """A Client logged in as `user` (in TYPE I with `binary`); fails unless
    the login is accepted."""
    c = greeted(port, host, timeout)
    r = c.user(user, password)
    assert r[-1] == "230 User logged in, proceed.", r
    if binary:
        expect(c.cmd("TYPE I"), ["200 Type set to I."])
    return c


def ftp_client(port, user=None, password=None, host=HOST, timeout=10, cls=ftplib.FTP, **kw):
    """An ftplib client (`cls`, made with `kw`) connected to `port`; logged
    in when `user` is given."""
    f = cls(**kw)
    f.connect(host, port, timeout=timeout)
    if user is not None:
        f.login(user, password)
    return f


def sent(name, data, mode="ASCII"):
    """What `Client.transfer` returns for a whole download of `data` as `name`."""
    return ("150 Opening %s mode data connection for %s (%d bytes)." % (mode, name, len(data)),
            data, ["226 Transfer complete."])


def write_file(path, data):
    """Writes `data` (bytes, or str as UTF-8) to `path`, making its folders."""
    if os.path.dirname(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def file_size_limit(nbytes, ignore_sigxfsz=True):
    """A preexec for Server: files stop growing at `nbytes`, so a write past
    it fails as on a full disk. With `ignore_sigxfsz` false the server must
    survive SIGXFSZ on its own."""
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (nbytes, nbytes))
        if ignore_sigxfsz:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return limit


def recv_all(sock):
    """Everything until the peer closes; closes `sock`."""
    chunks = []
    while True:
        data = sock.recv(1 << 20)
        if not data:
            break
        chunks.append(data)
    sock.close()
    return b"".join(chunks)


def make_cert(d, name="cert", days=30, cn="vantor-a", ip=False):
    """A self-signed P-256 certificate `name`.pem and its key (key.pem for
    cert.pem) in `d`; `days` < 0 expired yesterday; `ip` names 127.0.0.1
    as its subject's address. Returns (certificate, key) paths."""
    cert = os.path.join(d, name + ".pem")
    key = os.path.join(d, name.replace("cert", "key") + ".pem")
    req = ["openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-subj", "/CN=" + cn, "-keyout", key]
    if ip:
        req += ["-addext", "subjectAltName=IP:127.0.0.1"]
    if days < 0:
        # Expired yesterday: a request signed with its own key for -1 days.
        subprocess.run(req + ["-new", "-out", cert + ".csr"], capture_output=True, check=True)
        subprocess.run(["openssl", "x509", "-req", "-in", cert + ".csr", "-signkey", key,
                        "-days", "-1", "-out", cert], capture_output=True, check=True)
        os.remove(cert + ".csr")
    else:
        subprocess.run(req + ["-x509", "-out", cert, "-days", str(days)], capture_output=True,
                       check=True)
    return cert, key


class ReuseFTP(ftplib.FTP_TLS):
    """ftplib's FTP_TLS passes no session to its data connections; this one
    resumes the control connection's, as curl and lftp do by themselves (and
    as the server asks by default)."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


def wait_until(pred, timeout=10.0):
    """Whether `pred()` became true within `timeout` seconds (polled). The
    one wait of the tests: every wait names the condition it waits for."""
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


def sh(args, timeout=120, **kw):
    """A program run to its end, its output captured as text."""
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)


def closed_silently(port):
    """True when the server closes (or resets) a new connection without a byte."""
    try:
        c = Client(port)
    except ConnectionResetError:
        return True
    return c.closed(5) and c.buf == b""


class Notify:
    """The service manager's end of $NOTIFY_SOCKET: a datagram socket in
    `folder` (made reachable for a server that dropped its privileges)."""

    def __init__(self, folder):
        os.chmod(folder, 0o755)
        self.path = os.path.join(folder, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.chmod(self.path, 0o666)

    def next(self, timeout=10):
        self.sock.settimeout(timeout)
        return self.sock.recv(4096).decode()

    def wait_for(self, field, timeout=10):
        """The messages up to the first that holds `field` as a line."""
        seen = []
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                m = self.next(max(0.1, end - time.monotonic()))
            except socket.timeout:
                break
            seen.append(m)
            if field in m.split("\n"):
                return seen
        raise AssertionError("no %r; saw %r" % (field, seen))

    def has(self, field, timeout=20):
        try:
            return bool(self.wait_for(field, timeout))
        except AssertionError as e:
            print(e)
            return False

    def close(self):
        self.sock.close()


def mismatch(got, want, what):
    return "%s\n  got:  %r\n  want: %r" % (what, got, want)


def expect(got, want, what=""):
    if got != want:
        raise AssertionError(mismatch(got, want, what))


def expect_replies(client, table):
    """Sends the line of each (line, reply) pair of `table` in turn; raises
    unless the whole reply is that line (or that list of lines)."""
    for line, want in table:
        expect(client.cmd(line), want if isinstance(want, list) else [want], line)


class Checker:
    """Collects failures so one run reports every broken case."""

    def __init__(self):
        self.failures = []
        self.count = 0

    def eq(self, got, want, what):
        self.count += 1
        if got != want:
            self.failures.append(mismatch(got, want, what))

    def true(self, cond, what):
        self.count += 1
        if not cond:
            self.failures.append(what)

    def replies(self, client, table, what=""):
        """Sends the line of each (line, want) pair in `table`; checks the
        last line of its reply."""
        for line, want in table:
            self.eq(client.last(line), want, what + line)

    def cases(self, funcs, *args):
        """Runs every case function with `args`; one that raises is a failure
        and does not hide the others. Prints PASS or FAIL per case."""
        for f in funcs:
            before = len(self.failures)
            try:
                f(*args)
            except Exception as e:
                traceback.print_exc()
                self.true(False, "%s raised %r" % (f.__name__, e))
            print("%s %s" % ("PASS" if len(self.failures) == before else "FAIL", f.__name__),
                  flush=True)

    def finish(self):
        for f in self.failures:
            print("FAIL " + f)
        print("%d checks, %d failed" % (self.count, len(self.failures)))
        sys.exit(1 if self.failures else 0)


def run(tests):
    """Runs test functions that raise on failure; exits 1 on any failure."""
    parse_args()
    c = Checker()
    c.cases(tests)
    c.finish()


VANTOR = None  # the vantor program of a unittest script (from --vantor)


class ProgramCase(unittest.TestCase):
    """Runs of the vantor program in a scratch folder `dir`; every run still
    going is killed at the end of its test."""
    prefix = "vantor-app-"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args, env=None):
        p = Program(VANTOR, *args, env=env)
        self.procs.append(p)
        return p

    def stop(self, p):
        """SIGTERM; the program must end with exit code 0."""
        p.signal(signal.SIGTERM)
        self.assertEqual(p.finish(), 0)

    def ini(self, text, name="VANTOR.INI"):
        path = os.path.join(self.dir, name)
        write_file(path, text)
        return path


def unittest_main(script_globals):
    """Runs a script's unittest cases with its VANTOR set from --vantor."""
    global VANTOR
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor", required=True)
    opts, rest = ap.parse_known_args()
    VANTOR = script_globals["VANTOR"] = os.path.abspath(opts.vantor)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


# --- metrics ---------------------------------------------------------------

def scrape(srv):
    """The metrics text printed after one SIGUSR2."""
    ends = sum(1 for l in list(srv.lines) if l == "METRICS-END")
    srv.signal(signal.SIGUSR2)
    srv.wait_line(lambda l: sum(1 for x in srv.lines if x == "METRICS-END") > ends, 10)
    block, seen = [], 0
    for l in list(srv.lines):
        if l == "METRICS-END":
            seen += 1
            if seen > ends:
                break
        elif l.startswith("METRIC ") and seen == ends:
            block.append(l[len("METRIC "):])
    return "\n".join(block) + "\n"


def samples(text):
    """{'name{labels}': 'value'} of every sample line."""
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            out[key] = value
    return out
