#!/usr/bin/env python3
"""End-to-end tests of the administration endpoint of the vantor program and
of vantorctl: curl on the Unix socket and over TLS with a token, every
resource and its errors, the answers checked against docs/admin-api.yaml,
the bad-input cases (oversized requests, slow and idle clients, malformed
JSON, races, token guessing) while an FTP session keeps answering.

    app_admin_api.py --vantor path/to/vantor --vantorctl path/to/vantorctl
"""
import argparse
import faulthandler
import ftplib
import json
import os
import resource
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import jsonschema
import yaml

from ftp_e2e import Program, free_port, ftp_client, make_cert, wait_until, write_file

VANTOR = VANTORCTL = None
HERE = os.path.dirname(os.path.abspath(__file__))
API = yaml.safe_load(open(os.path.join(HERE, "..", "..", "docs", "admin-api.yaml")))
TOKEN = "tok-3f9c1e"
SECRET_PASSWORD = "pw-very-secret"


def resolve(node):
    """The schema with every local $ref replaced by what it names."""
    if isinstance(node, dict):
        if "$ref" in node:
            target = API
            for part in node["$ref"].lstrip("#/").split("/"):
                target = target[part]
            return resolve(target)
        return {k: resolve(v) for k, v in node.items()}
    if isinstance(node, list):
        return [resolve(v) for v in node]
    return node


def api_schema(path, method, status):
    """The documented JSON schema of an answer, or None when undocumented."""
    op = API["paths"].get(path, {}).get(method.lower())
    if op is None:
        return None
    resp = op["responses"].get(str(status))
    if resp is None:
        return None
    resp = resolve(resp)
    return resp["content"]


def hash_token(token):
    out = subprocess.run([VANTOR, "--hash-password"], input=token + "\n", capture_output=True,
                         text=True, check=True)
    return out.stdout.strip()


class Endpoint:
    """One vantor program with the endpoint on a Unix socket and on TCP."""

    def __init__(self, extra=(), tcp=True):
        self.dir = tempfile.mkdtemp(prefix="vantor-adm-")
        os.makedirs(os.path.join(self.dir, "root"))
        self.port = free_port()
        self.admin_port = free_port()
        self.cert, self.key = make_cert(self.dir, cn="vantor-admin", days=2, ip=True)
        self.sock = os.path.join(self.dir, "admin.sock")
        lines = ["[GLOBAL]", "Version=2.5.11.3", "PortNr=%d" % self.port, "EncryptPasswords=no",
                 "AdminSocket=" + self.sock, "TLSCertificateFile=" + self.cert,
                 "TLSPrivateKeyFile=" + self.key]
        if tcp:
            # Every address: not a loopback one, so TLS is required. The
            # tests reach it on 127.0.0.1.
            lines += ["AdminListen=:%d" % self.admin_port, "AdminTokenHash=" + hash_token(TOKEN)]
        lines += list(extra)
        lines += ["[DRIVES]", "C=%s/root" % self.dir,
                  "[USER=joe]", "Password=" + SECRET_PASSWORD, "HomeDir=C:\\", "Access1=C:\\,RWL"]
        self.ini = os.path.join(self.dir, "VANTOR.INI")
        write_file(self.ini, "\n".join(lines) + "\n")
        self.prog = Program(VANTOR, "-u", self.ini)
        self.prog.wait_for("Administration endpoint on " + self.sock)
        if tcp:
            self.prog.wait_for("Administration endpoint on https://:%d" % self.admin_port)
        self.tokfile = os.path.join(self.dir, "token")
        write_file(self.tokfile, TOKEN + "\n")

    def close(self):
        self.prog.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def curl(self, method, path, body=None, tls=False, token=TOKEN, headers=(), timeout=20):
        """(status, body text) of one request made by curl."""
        cmd = ["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "-X", method,
               "--max-time", str(timeout)]
        if tls:
            cmd += ["--cacert", self.cert, "https://127.0.0.1:%d%s" % (self.admin_port, path)]
            if token is not None:
                cmd += ["-H", "Authorization: Bearer " + token]
        else:
            cmd += ["--unix-socket", self.sock, "http://localhost" + path]
        for h in headers:
            cmd += ["-H", h]
        if body is not None:
            cmd += ["-H", "Content-Type: application/json", "--data-binary", body]
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout + 5)
        text, _, code = out.stdout.rpartition("\n")
        return int(code), text

    def ctl(self, *args, tls=False):
        cmd = [VANTORCTL]
        if tls:
            cmd += ["--url", "https://127.0.0.1:%d" % self.admin_port, "--token-file",
                    self.tokfile, "--cacert", self.cert]
        else:
            cmd += ["--socket", self.sock]
        return subprocess.run(cmd + list(args), capture_output=True, text=True, timeout=30)


class Ftp:
    """A logged-in FTP session that answers NOOP all along, in a thread."""

    def __init__(self, port):
        self.ftp = ftp_client(port, "joe", SECRET_PASSWORD)
        self.errors = []
        self.rounds = 0
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop:
            try:
                self.ftp.voidcmd("NOOP")
                self.rounds += 1
            except Exception as e:  # noqa: BLE001
                self.errors.append(repr(e))
                return
            time.sleep(0.05)

    def finish(self):
        self.stop = True
        self.thread.join(15)
        try:
            self.ftp.quit()
        except Exception:  # noqa: BLE001
            pass
        return self.errors


def http(port, path, token=None, code_only=False):
    """What curl gets from a plain HTTP GET of `path` on 127.0.0.1:`port`:
    the body, or only the status code."""
    cmd = ["curl", "-s", "--max-time", "10", "http://127.0.0.1:%d%s" % (port, path)]
    if token is not None:
        cmd += ["-H", "Authorization: Bearer " + token]
    if code_only:
        cmd += ["-o", "/dev/null", "-w", "%{http_code}"]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=20).stdout


def session_numbers(ep):
    code, text = ep.curl("GET", "/v1/sessions")
    return [s["number"] for s in json.loads(text)]


def saw_all(prog, texts, timeout=10):
    """Waits until a line containing each of `texts` was printed, in any order."""
    end = time.monotonic() + timeout
    missing = list(texts)
    while True:
        missing = [t for t in missing if not any(t in l for l in prog.lines)]
        if not missing or time.monotonic() >= end:
            return missing
        try:
            prog.wait_for("", timeout=max(0.1, end - time.monotonic()))
        except AssertionError:  # no line before the deadline
            pass


def session_of(ep, n):
    code, text = ep.curl("GET", "/v1/sessions/%d" % n)
    return json.loads(text) if code == 200 else None


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ep = Endpoint(["LogFTPCommands=YES", "LogFTPReplies=YES"])

    @classmethod
    def tearDownClass(cls):
        cls.ep.close()

    def check(self, path_template, method, status, text):
        content = api_schema(path_template, method, status)
        self.assertIsNotNone(content, "undocumented answer %s %s %d" % (method, path_template, status))
        if "application/json" in content:
            jsonschema.validate(json.loads(text), content["application/json"]["schema"])

    def test_socket_mode_and_log_lines(self):
        """The socket is a socket with mode 0660; a changing request is logged with the peer's uid."""
        st = os.stat(self.ep.sock)
        self.assertTrue(stat.S_ISSOCK(st.st_mode))
        self.assertEqual(st.st_mode & 0o777, 0o660)
        self.assertEqual(self.ep.curl("POST", "/v1/online")[0], 200)
        self.ep.prog.wait_for("Administration: POST /v1/online by uid %d" % os.getuid())

    def test_resources_and_errors(self):
        """Every resource and its errors, on the socket and over TLS with a token; every
        answer is the documented one."""
        ftp = Ftp(self.ep.port)
        try:
            n = session_numbers(self.ep)[-1]
            cases = [
                # (method, path, documented path, body, status)
                ("GET", "/v1/status", "/v1/status", None, 200),
                ("GET", "/v1/sessions", "/v1/sessions", None, 200),
                ("GET", "/v1/sessions/%d" % n, "/v1/sessions/{n}", None, 200),
                ("GET", "/v1/sessions/999999", "/v1/sessions/{n}", None, 404),
                ("DELETE", "/v1/sessions/999999", "/v1/sessions/{n}", None, 404),
                ("GET", "/v1/sessions/999999/trace", "/v1/sessions/{n}/trace", None, 404),
                ("POST", "/v1/blocks", "/v1/blocks", '{"address": "192.0.2.44", "minutes": 2}', 201),
                ("GET", "/v1/blocks", "/v1/blocks", None, 200),
                ("DELETE", "/v1/blocks/192.0.2.44", "/v1/blocks/{address}", None, 200),
                ("DELETE", "/v1/blocks/192.0.2.44", "/v1/blocks/{address}", None, 404),
                ("POST", "/v1/blocks", "/v1/blocks", '{"address": "not-an-ip"}', 400),
                ("POST", "/v1/blocks", "/v1/blocks", '{"address": "192.0.2.1", "minutes": 0}', 400),
                ("POST", "/v1/blocks", "/v1/blocks", '{"address": ', 400),
                ("GET", "/v1/config", "/v1/config", None, 200),
                ("PATCH", "/v1/config", "/v1/config", '{"GLOBAL": {"MaxNrUsers": "40"}}', 200),
                ("PATCH", "/v1/config", "/v1/config", '{"GLOBAL": {"MaxNrUsers": "many"}}', 422),
                ("PATCH", "/v1/config", "/v1/config", '{"GLOBAL": {"NoSuchKey": "1"}}', 422),
                ("PATCH", "/v1/config", "/v1/config", '{"NOSUCH": {"A": "1"}}', 422),
                ("PATCH", "/v1/config", "/v1/config", '{"GLOBAL": {"PortNr": 21}}', 400),
                ("PATCH", "/v1/config", "/v1/config", '{"GLOBAL": {"A\\nB": "1"}}', 400),
                ("PATCH", "/v1/config", "/v1/config", '[1, 2', 400),
                ("POST", "/v1/reload", "/v1/reload", None, 200),
                ("POST", "/v1/offline", "/v1/offline", None, 200),
                ("POST", "/v1/online", "/v1/online", None, 200),
            ]
            for tls in (False, True):
                for method, path, doc, body, status in cases:
                    with self.subTest(tls=tls, method=method, path=path, body=body):
                        code, text = self.ep.curl(method, path, body, tls=tls)
                        self.assertEqual(code, status, text)
                        self.check(doc, method, code, text)
            # The answers carry what the window shows.
            code, text = self.ep.curl("GET", "/v1/sessions/%d" % n)
            s = json.loads(text)
            self.assertEqual((s["user"], s["client"], s["state"], s["dataProtection"]),
                             ("JOE", "127.0.0.1", "logged-in", "C"))
            status = json.loads(self.ep.curl("GET", "/v1/status")[1])
            self.assertGreaterEqual(status["connections"]["now"], 1)
            self.assertTrue(status["tls"])
            self.assertEqual(status["listeners"][0]["port"], self.ep.port)
            # The status bar's fields: the FTP session's socket and the
            # listeners are open, and the limit is the one just written.
            self.assertGreaterEqual(status["sockets"]["now"], 2)
            self.assertGreaterEqual(status["sockets"]["max"], status["sockets"]["now"])
            self.assertTrue(wait_until(lambda: json.loads(
                self.ep.curl("GET", "/v1/status")[1])["maxUsers"] == 40))
            self.assertGreaterEqual(status["throughput"], 0)
            # The change went through the INI writer and the reload applied it.
            with open(self.ep.ini) as f:
                self.assertIn("MaxNrUsers=40\n", f.read())
            refused = json.loads(self.ep.curl("PATCH", "/v1/config",
                                              '{"GLOBAL": {"MaxNrUsers": "many"}}')[1])
            check = subprocess.run([VANTOR, "--check-config", self.ep.ini], capture_output=True,
                                   text=True)
            self.assertEqual(refused["problems"], ["MaxNrUsers=many is not a number"])
            self.assertNotIn("many", check.stdout)  # nothing was written
            if os.geteuid() == 0:
                # The account to run as could not reach the INI in its private folder:
                # judged on the edited text, refused, nothing written.
                code, text = self.ep.curl("PATCH", "/v1/config", '{"GLOBAL": {"RunAsUser": "nobody"}}')
                self.assertEqual(code, 422, text)
                self.assertIn("INI: %s cannot be read by nobody" % self.ep.ini,
                              json.loads(text)["problems"])
                with open(self.ep.ini) as f:
                    self.assertNotIn("RunAsUser", f.read())
        finally:
            self.assertEqual(ftp.finish(), [])

    def test_current_command(self):
        """A session's current command is shown while it runs (a RETR waiting for its data
        connection) and is null once its final reply went out; the list, the session and
        vantorctl agree."""
        write_file(os.path.join(self.ep.dir, "root", "pub.bin"), b"x" * 70000)
        ftp = ftp_client(self.ep.port, "joe", SECRET_PASSWORD)
        n = session_numbers(self.ep)[-1]
        try:
            ftp.voidcmd("TYPE I")
            host, port = ftplib.parse227(ftp.sendcmd("PASV"))
            ftp.putcmd("RETR pub.bin")
            self.assertTrue(wait_until(
                lambda: (session_of(self.ep, n) or {}).get("command") == "RETR pub.bin"),
                session_of(self.ep, n))
            s = session_of(self.ep, n)
            self.check("/v1/sessions/{n}", "GET", 200, json.dumps(s))
            listed = [x for x in json.loads(self.ep.curl("GET", "/v1/sessions")[1])
                      if x["number"] == n]
            self.assertEqual(listed[0]["command"], "RETR pub.bin")
            out = self.ep.ctl("sessions")
            self.assertRegex(out.stdout, r"(?m)^NUM +USER .* +COMMAND$")
            self.assertRegex(out.stdout, r"(?m)^%d +JOE +127\.0\.0\.1 .* RETR pub\.bin$" % n)
            data = socket.create_connection((host, port), timeout=10)
            got = b""
            while True:
                chunk = data.recv(65536)
                if not chunk:
                    break
                got += chunk
            data.close()
            self.assertEqual(len(got), 70000)
            self.assertTrue(ftp.getresp().startswith("150"))
            self.assertTrue(ftp.voidresp().startswith("226"))
            # The 226 is out: the session runs nothing now.
            self.assertIsNone(session_of(self.ep, n)["command"])
            ftp.voidcmd("NOOP")
            self.assertIsNone(session_of(self.ep, n)["command"])
            self.assertRegex(self.ep.ctl("sessions").stdout, r"(?m)^%d +JOE .* -$" % n)
        finally:
            ftp.close()

    def test_unknown_and_not_allowed(self):
        """Unknown resources are 404, wrong methods 405, both as JSON errors."""
        for method, path, status in [("GET", "/", 404), ("GET", "/v1/", 404), ("GET", "/v2/status", 404),
                                     ("GET", "/v1/nothing", 404), ("GET", "/v1/sessions/abc", 404),
                                     ("GET", "/v1/sessions//trace", 404), ("GET", "/v1/status/x", 404),
                                     ("POST", "/v1/status", 405), ("GET", "/v1/reload", 405),
                                     ("DELETE", "/v1/config", 405), ("PUT", "/v1/blocks", 405),
                                     ("POST", "/metrics", 405)]:
            with self.subTest(method=method, path=path):
                code, text = self.ep.curl(method, path)
                self.assertEqual(code, status, text)
                self.assertIn("error", json.loads(text))

    def test_secrets_masked(self):
        """Passwords and the token hash are masked in every answer and never logged."""
        code, text = self.ep.curl("GET", "/v1/config")
        cfg = json.loads(text)
        self.assertEqual(cfg["USER=joe"]["Password"], "********")
        self.assertEqual(cfg["GLOBAL"]["AdminTokenHash"], "********")
        self.assertNotIn(SECRET_PASSWORD, text)
        # Writing the mask back would destroy the secret: refused.
        code, text = self.ep.curl("PATCH", "/v1/config", '{"USER=joe": {"Password": "********"}}')
        self.assertEqual(code, 400, text)
        self.assertEqual(self.ep.curl("POST", "/v1/reload")[0], 200)
        self.ep.prog.wait_for("Administration: POST /v1/reload")
        self.assertFalse([l for l in self.ep.prog.lines if SECRET_PASSWORD in l or TOKEN in l])

    def test_metrics(self):
        """/metrics serves the server's metrics text, which promtool accepts."""
        code, text = self.ep.curl("GET", "/metrics")
        self.assertEqual(code, 200)
        self.assertIn('vantor_build_info{version="2.5.11.3"} 1\n', text)
        self.assertIn("\nvantor_sessions ", text)
        self.assertIn('\nvantor_logins_total{result="failure"} ', text)
        self.assertIn("\nvantor_loop_pass_seconds_bucket{", text)
        out = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                             text=True)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def test_tls_token_required(self):
        """Without a token, with a wrong one or in the clear: nothing but 401 (or no HTTP at all)."""
        for token, path in [(None, "/v1/status"), ("wrong", "/v1/status"), (None, "/v1/nothing"),
                            ("", "/v1/config"), (None, "/metrics")]:
            with self.subTest(token=token, path=path):
                code, text = self.ep.curl("GET", path, tls=True, token=token)
                self.assertEqual(code, 401, text)
                self.assertNotIn("version", text)
        # Plain HTTP on the TLS port gets no answer.
        self.assertNotEqual(http(self.ep.admin_port, "/v1/status", code_only=True), "200")

    def test_streams(self):
        """The log and a session's trace stream their lines; the trace ends with the session."""
        ftp = ftp_client(self.ep.port)
        n = session_numbers(self.ep)[-1]
        trace = subprocess.Popen(["curl", "-sN", "--unix-socket", self.ep.sock,
                                  "http://localhost/v1/sessions/%d/trace" % n],
                                 stdout=subprocess.PIPE, text=True)
        log = subprocess.Popen(["curl", "-sN", "--unix-socket", self.ep.sock, "http://localhost/v1/log"],
                               stdout=subprocess.PIPE, text=True)
        try:
            # The first event of each says it is live.
            self.assertEqual(trace.stdout.readline(), ": trace %d\n" % n)
            self.assertEqual(log.stdout.readline(), ": log\n")
            ftp.login("joe", SECRET_PASSWORD)
            ftp.voidcmd("NOOP")
            lines = []
            while "200 Command okay." not in "".join(lines):
                lines.append(trace.stdout.readline())
                self.assertTrue(lines[-1], "the trace ended early: %r" % lines)
            self.assertIn("data: (%06d) USER joe\n" % n, lines)
            self.assertIn("data: (%06d) PASS xxxxx\n" % n, lines)
            ftp.quit()
            rest = trace.stdout.read()
            self.assertTrue(rest.endswith("event: end\ndata: %d\n\n" % n), rest[-200:])
            self.assertEqual(trace.wait(10), 0)
            got = []
            while not any("(%06d) Closing connection" % n in l for l in got):
                got.append(log.stdout.readline())
                self.assertTrue(got[-1], "the log ended early: %r" % got[-20:])
            self.assertTrue(any("User JOE logged in" in l or "logged in" in l for l in got), got)
        finally:
            trace.kill()
            log.kill()
            trace.wait()
            log.wait()

    def test_slow_reader_loses_lines(self):
        """A log reader that does not read loses lines, counted in the stream; the server
        goes on and its memory stays bounded."""
        s = socket.socket(socket.AF_UNIX)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(self.ep.sock)
        s.sendall(b"GET /v1/log HTTP/1.1\r\nHost: x\r\n\r\n")
        # Each command and reply is a log line (LogFTPCommands, LogFTPReplies);
        # unread they pile up past the stream's bound and the socket buffers.
        ftp = ftp_client(self.ep.port)
        for _ in range(8000):
            ftp.voidcmd("NOOP")
        ftp.quit()
        data = b""
        s.settimeout(5)
        while b"event: lost\ndata: " not in data:
            chunk = s.recv(65536)
            self.assertTrue(chunk, "the stream ended without reporting lost lines")
            data += chunk
        s.close()


class Safety(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ep = Endpoint()

    @classmethod
    def tearDownClass(cls):
        cls.ep.close()

    def raw(self, data, read=True, timeout=10):
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(timeout)
        s.connect(self.ep.sock)
        s.sendall(data)
        out = b""
        if read:
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    out += chunk
                    if b"\r\n\r\n" in out and b"Content-Length" not in out:
                        break
            except (socket.timeout, ConnectionResetError):
                pass
        s.close()
        return out

    def test_bad_requests(self):
        """Oversized headers and bodies, garbage and malformed JSON get clear errors; FTP answers."""
        ftp = Ftp(self.ep.port)
        big_header = b"GET /v1/status HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 100000 + b"\r\n\r\n"
        self.assertIn(self.raw(big_header)[:12], (b"HTTP/1.1 431", b"HTTP/1.1 413", b""))
        code, text = self.ep.curl("PATCH", "/v1/config", '{"GLOBAL": {"X": "' + "y" * 70000 + '"}}')
        self.assertEqual(code, 413, text)
        # Garbage: 400 or the connection closed (the HTTP library's choice);
        # a request line with a NUL byte is held until the idle timeout.
        for garbage in [b"GARBAGE\r\n\r\n", b"GET /v1/status HTTP/9\r\n\r\n",
                        b"\x00\xff garbage\r\n\r\n"]:
            with self.subTest(garbage=garbage):
                self.assertIn(self.raw(garbage, timeout=2)[:12], (b"", b"HTTP/1.1 400", b"HTTP/1.1 505"))
                self.assertEqual(self.ep.curl("GET", "/v1/status")[0], 200)
        for body in ['{', 'null', '"text"', '{"GLOBAL": 1}', '{"GLOBAL": {}}', '{}', '\xff']:
            with self.subTest(body=body):
                code, text = self.ep.curl("PATCH", "/v1/config", body)
                self.assertEqual(code, 400, text)
        self.assertEqual(ftp.finish(), [])

    def test_slow_and_idle_clients(self):
        """A client that sends half a request and 1,000 idle connections do not stop the
        endpoint nor FTP; the server's descriptors stay bounded."""
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        ftp = Ftp(self.ep.port)
        slow = socket.socket(socket.AF_UNIX)
        slow.connect(self.ep.sock)
        slow.sendall(b"GET /v1/status HTTP/1.1\r\nHo")
        idle = []
        try:
            for _ in range(1000):
                s = socket.socket(socket.AF_UNIX)
                s.setblocking(False)
                try:
                    s.connect(self.ep.sock)
                except (BlockingIOError, ConnectionRefusedError, OSError):
                    pass
                idle.append(s)
            fds = len(os.listdir("/proc/%d/fd" % self.ep.prog.proc.pid))
            self.assertLess(fds, 600)
            self.assertTrue(ftp.rounds >= 0 and not ftp.errors)
        finally:
            for s in idle:
                s.close()
            slow.close()
        self.assertTrue(wait_until(lambda: self.ep.curl("GET", "/v1/status")[0] == 200, 30))
        self.assertEqual(ftp.finish(), [])

    def test_flood_gone_at_once(self):
        """A flood past the connection limit that hangs up all at once leaves the endpoint
        answering: the server is held still while the clients close, so it sees every
        hang-up in one turn (it used to stop accepting for good then)."""
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        pid = self.ep.prog.proc.pid
        fds = lambda: len(os.listdir("/proc/%d/fd" % pid))
        for _ in range(4):
            idle = []

            def flood():
                # Connects until the server holds its limit's worth; a connect
                # the full backlog refuses is dropped and tried again later
                # (a slow build accepts far fewer per turn).
                for _ in range(50):
                    s = socket.socket(socket.AF_UNIX)
                    s.setblocking(False)
                    try:
                        s.connect(self.ep.sock)
                        idle.append(s)
                    except OSError:
                        s.close()
                return fds() >= 256
            self.assertTrue(wait_until(flood, 20))
            os.kill(pid, signal.SIGSTOP)
            try:
                for s in idle:
                    s.close()
            finally:
                os.kill(pid, signal.SIGCONT)
            self.assertTrue(wait_until(lambda: self.ep.curl("GET", "/v1/status", timeout=3)[0]
                                       == 200, 15))

    def test_kill_races(self):
        """A kill of a session that just ended is 404; two kills of one session: one 200."""
        for _ in range(5):
            ftp = ftp_client(self.ep.port)
            n = session_numbers(self.ep)[-1]
            ftp.quit()
            self.assertTrue(wait_until(lambda: n not in session_numbers(self.ep)))
            self.assertEqual(self.ep.curl("DELETE", "/v1/sessions/%d" % n)[0], 404)
        ftp = ftp_client(self.ep.port)
        n = session_numbers(self.ep)[-1]
        codes = []
        threads = [threading.Thread(target=lambda: codes.append(
            self.ep.curl("DELETE", "/v1/sessions/%d" % n)[0])) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertIn(200, codes)
        self.assertTrue(set(codes) <= {200, 404}, codes)
        self.ep.prog.wait_for("(%06d) Session killed by the administrator (by uid" % n)
        self.assertRaises((EOFError, ConnectionError, ftplib.Error), ftp.voidcmd, "NOOP")

    def test_patch_racing_reload(self):
        """PATCHes racing reloads: each answer is 200 or 409, and the file ends valid
        with the last value written."""
        results = []

        def patch(i):
            results.append((i, self.ep.curl("PATCH", "/v1/config",
                                            '{"GLOBAL": {"MaxNrUsers": "%d"}}' % (10 + i))[0]))

        def reload():
            results.append((None, self.ep.curl("POST", "/v1/reload")[0]))

        threads = []
        for i in range(10):
            threads += [threading.Thread(target=patch, args=(i,)), threading.Thread(target=reload)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertTrue({c for _, c in results} <= {200, 409}, results)
        check = subprocess.run([VANTOR, "--check-config", self.ep.ini], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout)
        with open(self.ep.ini) as f:
            text = f.read()
        self.assertEqual(text.count("MaxNrUsers="), 1)

    def test_bad_tokens_slowed(self):
        """Each bad token of one address in a row waits longer before its 401; the right
        token is answered at once and ends the run."""
        times = []
        for _ in range(5):
            t0 = time.monotonic()
            self.assertEqual(self.ep.curl("GET", "/v1/status", tls=True, token="guess")[0], 401)
            times.append(time.monotonic() - t0)
        self.assertGreater(times[4], 2.0, times)
        self.assertGreater(times[4], times[0] * 3, times)
        t0 = time.monotonic()
        self.assertEqual(self.ep.curl("GET", "/v1/status", tls=True)[0], 200)
        self.assertLess(time.monotonic() - t0, times[4])
        self.ep.prog.wait_for("Administration: bad token from 127.0.0.1 (5 in a row)")


class Programs(unittest.TestCase):
    def test_vantorctl_every_verb(self):
        """Every verb of vantorctl, on the socket and over HTTPS; refusals exit 1."""
        ep = Endpoint()
        try:
            ftp = ftp_client(ep.port, "joe", SECRET_PASSWORD)
            n = session_numbers(ep)[-1]
            for tls in (False, True):
                with self.subTest(tls=tls):
                    out = ep.ctl("status", tls=tls)
                    self.assertEqual(out.returncode, 0, out.stderr)
                    self.assertRegex(out.stdout, r"(?m)^version +2\.5\.11\.3$")
                    out = ep.ctl("sessions", tls=tls)
                    self.assertRegex(out.stdout, r"(?m)^NUM +USER +CLIENT +STATE")
                    self.assertRegex(out.stdout, r"(?m)^%d +JOE +127\.0\.0\.1 +logged-in " % n)
                    out = ep.ctl("--json", "sessions", tls=tls)
                    self.assertEqual(json.loads(out.stdout)[0]["user"], "JOE")
                    self.assertEqual(ep.ctl("get", "global", "portnr", tls=tls).stdout, "%d\n" % ep.port)
                    self.assertEqual(ep.ctl("set", "GLOBAL", "MaxNrUsers", "33", tls=tls).returncode, 0)
                    self.assertEqual(ep.ctl("get", "GLOBAL", "MaxNrUsers", tls=tls).stdout, "33\n")
                    bad = ep.ctl("set", "GLOBAL", "MaxNrUsers", "lots", tls=tls)
                    self.assertEqual((bad.returncode, bad.stderr),
                                     (1, "vantorctl: refused (422): the change was refused: nothing "
                                         "was written\n  MaxNrUsers=lots is not a number\n"))
                    self.assertEqual(ep.ctl("get", "GLOBAL", "Nope", tls=tls).returncode, 1)
                    self.assertEqual(ep.ctl("block", "192.0.2.8", "3", tls=tls).returncode, 0)
                    self.assertRegex(ep.ctl("blocks", tls=tls).stdout, r"(?m)^192\.0\.2\.8 +\S+ +1[0-9]{2}$")
                    self.assertEqual(ep.ctl("unblock", "192.0.2.8", tls=tls).returncode, 0)
                    self.assertEqual(ep.ctl("unblock", "192.0.2.8", tls=tls).returncode, 1)
                    self.assertEqual(ep.ctl("block", "nowhere", tls=tls).returncode, 1)
                    self.assertEqual(ep.ctl("reload", tls=tls).returncode, 0)
                    self.assertRegex(ep.ctl("offline", tls=tls).stdout, r"online +false")
                    self.assertRegex(ep.ctl("online", tls=tls).stdout, r"online +true")
                    self.assertIn("vantor_sessions ", ep.ctl("metrics", tls=tls).stdout)
                    self.assertEqual(ep.ctl("kick", "999999", tls=tls).returncode, 1)
                    self.assertEqual(ep.ctl("frobnicate", tls=tls).returncode, 2)
            # trace N ends when the session does.
            trace = subprocess.Popen([VANTORCTL, "--socket", ep.sock, "trace", str(n)],
                                     stdout=subprocess.PIPE, text=True)
            # NOOPs until the trace is live (vantorctl prints nothing before).
            live = threading.Event()

            def noops():
                while not live.is_set():
                    ftp.voidcmd("NOOP")
                    time.sleep(0.05)

            sender = threading.Thread(target=noops)
            sender.start()
            first, second = trace.stdout.readline(), trace.stdout.readline()
            live.set()
            sender.join()
            self.assertEqual((first, second), ("(%06d) NOOP\n" % n, "(%06d) 200 Command okay.\n" % n))
            self.assertEqual(ep.ctl("kick", str(n)).returncode, 0)
            self.assertEqual(trace.wait(10), 0)
            # log -f: reloads until their line shows (it prints nothing before).
            log = subprocess.Popen([VANTORCTL, "--socket", ep.sock, "log", "-f"],
                                   stdout=subprocess.PIPE, text=True)
            try:
                first = None
                while first is None:
                    self.assertEqual(ep.ctl("reload").returncode, 0)
                    ready, _, _ = select.select([log.stdout], [], [], 0.2)
                    if ready:
                        first = log.stdout.readline()
                self.assertRegex(first, r"^\[1\] .* - Administration: POST /v1/reload by uid %d$"
                                 % os.getuid())
            finally:
                log.kill()
                log.wait()
            # A server that is not there: exit 3.
            self.assertEqual(subprocess.run([VANTORCTL, "--socket", ep.dir + "/none", "status"],
                                            capture_output=True).returncode, 3)
            # A wrong token: a refusal.
            write_file(ep.tokfile, "wrong\n")
            self.assertEqual(ep.ctl("status", tls=True).returncode, 1)
            # shutdown: pending while a user is on, then forced.
            ftp2 = ftp_client(ep.port)
            out = ep.ctl("shutdown")
            self.assertEqual(out.returncode, 0)
            self.assertIn("exit pending", out.stderr)
            self.assertIsNone(ep.prog.proc.poll())
            self.assertEqual(ep.ctl("shutdown", "--force").returncode, 0)
            self.assertEqual(ep.prog.proc.wait(10), 0)
            self.assertFalse(os.path.exists(ep.sock))
        finally:
            ep.close()

    def test_reload_applies_admin_keys(self):
        """A reload moves the endpoint to a changed AdminSocket, AdminListen or
        MetricsListen (the old one goes once the new one runs), changes the socket's group
        and the token in place, and refuses what cannot be applied with a log line while
        the rest proceeds."""
        import grp
        # The kernel's confinement lets the process bind only the ports it had at
        # start: a new one would be refused (with its log line), which is not what
        # this test is about.
        ep = Endpoint(["Confinement=off"], tcp=False)
        try:
            old_sock = ep.sock
            new_sock = os.path.join(ep.dir, "moved.sock")
            a_port, m_port = free_port(), free_port()
            other = "tok-second"
            with open(ep.ini) as f:
                base = f.read()

            def rewrite(**keys):
                lines = []
                for l in base.splitlines():
                    if l.split("=", 1)[0] in keys:
                        continue
                    lines.append(l)
                    if l == "[GLOBAL]":
                        lines += ["%s=%s" % kv for kv in keys.items() if kv[1] is not None]
                write_file(ep.ini, "\n".join(lines) + "\n")

            def reload():
                code, text = ep.curl("POST", "/v1/reload")
                self.assertEqual(code, 200, text)

            daemon_gid = grp.getgrnam("daemon").gr_gid
            cases = [
                # (keys written, log lines, socket now, its group, token that opens TCP)
                (dict(AdminSocket=new_sock, AdminListen="127.0.0.1:%d" % a_port,
                      AdminTokenHash=hash_token(TOKEN), MetricsListen="127.0.0.1:%d" % m_port),
                 ["Administration endpoint on " + new_sock,
                  "Administration endpoint on %s stopped" % old_sock,
                  "Administration endpoint on http://127.0.0.1:%d" % a_port,
                  "Metrics endpoint on http://127.0.0.1:%d" % m_port],
                 new_sock, os.getgid(), TOKEN),
                # A folder that does not exist and a group that does not: both refused,
                # the new token and the new group still apply.
                (dict(AdminSocket=ep.dir + "/none/x.sock", AdminListen="127.0.0.1:%d" % a_port,
                      AdminTokenHash=hash_token(other), MetricsListen="127.0.0.1:%d" % m_port,
                      AdminGroup="daemon"),
                 ["Reload: AdminSocket=%s/none/x.sock not applied: bind: No such file or "
                  "directory" % ep.dir],
                 new_sock, daemon_gid, other),
                (dict(AdminSocket=new_sock, AdminListen="127.0.0.1:%d" % a_port,
                      AdminTokenHash=hash_token(other), MetricsListen="127.0.0.1:%d" % m_port,
                      AdminGroup="no-such-group-9"),
                 ["Reload: AdminGroup=no-such-group-9 not applied: no group no-such-group-9"],
                 new_sock, daemon_gid, other),
                # No token hash: nobody could be let in, the TCP listener goes.
                (dict(AdminSocket=new_sock, AdminListen="127.0.0.1:%d" % a_port,
                      MetricsListen=None),
                 ["Administration endpoint on http://127.0.0.1:%d stopped" % a_port,
                  "Administration endpoint 127.0.0.1:%d not started: AdminTokenHash is not set"
                  % a_port,
                  "Administration endpoint on http://127.0.0.1:%d stopped" % m_port],
                 new_sock, os.getgid(), None),
            ]
            for keys, lines, sock, gid, token in cases:
                with self.subTest(keys=sorted(keys)):
                    del ep.prog.lines[:]
                    rewrite(**keys)
                    reload()
                    self.assertEqual(saw_all(ep.prog, lines), [], ep.prog.lines[-20:])
                    ep.sock = sock
                    self.assertTrue(wait_until(lambda: not os.path.exists(old_sock)))
                    st = os.stat(sock)
                    self.assertEqual((stat.S_ISSOCK(st.st_mode), st.st_mode & 0o777, st.st_gid),
                                     (True, 0o660, gid))
                    self.assertEqual(ep.curl("GET", "/v1/status")[0], 200)
                    if token is None:
                        self.assertTrue(wait_until(
                            lambda: http(a_port, "/v1/status", TOKEN, code_only=True) == "000"))
                        continue
                    self.assertEqual(http(a_port, "/v1/status", token, code_only=True), "200")
                    self.assertEqual(
                        http(a_port, "/v1/status", "wrong-" + token, code_only=True), "401")
                    self.assertIn("vantor_build_info", http(m_port, "/metrics"))
        finally:
            ep.close()

    def test_exit_pending_ends_with_last_session(self):
        """POST /v1/shutdown with a session on: 202, new clients refused, the program
        ends when the session does."""
        ep = Endpoint(tcp=False)
        try:
            ftp = ftp_client(ep.port)
            code, text = ep.curl("POST", "/v1/shutdown")
            self.assertEqual((code, json.loads(text)), (202, {"sessions": 1, "exitPending": True}))
            self.assertIsNone(ep.prog.proc.poll())
            ftp.quit()
            self.assertEqual(ep.prog.proc.wait(10), 0)
        finally:
            ep.close()

    def test_listeners_refused(self):
        """A non-loopback TCP listener without a certificate, or any TCP listener without a
        token hash, does not start (a log line says why); the socket still serves."""
        d = tempfile.mkdtemp(prefix="vantor-adm-")
        try:
            port, a1, a2 = free_port(), free_port(), free_port()
            sock = os.path.join(d, "a.sock")
            write_file(os.path.join(d, "V.INI"),
                       "[GLOBAL]\nPortNr=%d\nAdminSocket=%s\nAdminListen=:%d\n"
                       "AdminTokenHash=%s\nMetricsListen=127.0.0.1:%d\n"
                       % (port, sock, a1, hash_token(TOKEN), a2))
            p = Program(VANTOR, "-u", os.path.join(d, "V.INI"))
            try:
                p.wait_for("Administration endpoint :%d not started: a non-loopback address needs "
                           "TLS (TLSCertificateFile and TLSPrivateKeyFile)" % a1)
                p.wait_for("Metrics endpoint on http://127.0.0.1:%d" % a2)
                self.assertIn("vantor_build_info", http(a2, "/metrics"))
                self.assertEqual(http(a2, "/v1/status", code_only=True), "404")
            finally:
                p.kill()
            write_file(os.path.join(d, "V.INI"),
                       "[GLOBAL]\nPortNr=%d\nAdminSocket=%s\nAdminListen=127.0.0.1:%d\n" % (port, sock, a1))
            p = Program(VANTOR, "-u", os.path.join(d, "V.INI"))
            try:
                p.wait_for("Administration endpoint on " + sock)
                p.wait_for("Administration endpoint 127.0.0.1:%d not started: AdminTokenHash is not set" % a1)
            finally:
                p.kill()
        finally:
            shutil.rmtree(d)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor", required=True)
    ap.add_argument("--vantorctl", required=True)
    opts, rest = ap.parse_known_args()
    if os.environ.get("VANTOR_TEST_DUMP"):
        faulthandler.dump_traceback_later(int(os.environ["VANTOR_TEST_DUMP"]), exit=True)
    VANTOR = os.path.abspath(opts.vantor)
    VANTORCTL = os.path.abspath(opts.vantorctl)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
