#!/usr/bin/env python3
"""End-to-end tests of the vantor program as a systemd service: the
notifications on a datagram socket of the test's own ($NOTIFY_SOCKET), the
watchdog, and the priority prefixes on the journal's stream.

    app_service.py --vantor path/to/vantor
"""
import ftplib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from ftp_e2e import Notify, free_port, ftp_client, unittest_main

VANTOR = None


class Service(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vantor-svc-")
        self.notify = Notify(self.dir)
        self.sock_path = self.notify.path
        self.port = free_port()
        self.ini = os.path.join(self.dir, "VANTOR.INI")
        with open(self.ini, "w") as f:
            f.write("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n"
                    "[DRIVES]\nC=%s\n[USER=joe]\nPassword=pw\nHomeDir=C:\\\n"
                    "Access1=C:\\,RLP\n" % (self.port, self.dir))
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        self.notify.close()
        shutil.rmtree(self.dir)

    def start(self, env=None, stdout=subprocess.DEVNULL):
        e = dict(os.environ, LANG="C", LC_ALL="C", NOTIFY_SOCKET=self.sock_path, **(env or {}))
        e.pop("WATCHDOG_PID", None)
        p = subprocess.Popen([VANTOR, "-u", self.ini], stdout=stdout,
                             stderr=subprocess.DEVNULL, env=e)
        self.procs.append(p)
        return p

    def next_message(self, timeout=10):
        return self.notify.next(timeout)

    def wait_for(self, field, timeout=10):
        return self.notify.wait_for(field, timeout)

    def test_ready_reload_status_stopping(self):
        p = self.start()
        first = self.next_message()
        self.assertEqual(first, "READY=1\nSTATUS=0 users (0 anonymous), 0 transfers")
        ftp = ftp_client(self.port, "joe", "pw")
        self.wait_for("STATUS=1 users (0 anonymous), 0 transfers")
        p.send_signal(signal.SIGHUP)
        self.assertEqual(self.next_message(), "RELOADING=1")
        self.assertEqual(self.next_message(), "READY=1\nSTATUS=1 users (0 anonymous), 0 transfers")
        ftp.quit()
        self.wait_for("STATUS=0 users (0 anonymous), 0 transfers")
        p.send_signal(signal.SIGTERM)
        self.wait_for("STOPPING=1")
        self.assertEqual(p.wait(timeout=10), 0)

    def test_reload_of_unusable_file_keeps_settings(self):
        """A reload whose file cannot be read or parsed changes nothing: no
        RELOADING/READY, the reason in the log and the status, logins and port
        as before; the next clean reload clears the status."""
        good = open(self.ini).read()
        cases = [
            ("half-edited", lambda: open(self.ini, "w").write(good + "[USER=ann\n"),
             "line %d is no section header, key=value line or comment"
             % (len(good.splitlines()) + 1)),
            ("a directory", lambda: (os.remove(self.ini), os.mkdir(self.ini)), "Is a directory"),
            ("a FIFO", lambda: (os.rmdir(self.ini), os.mkfifo(self.ini)), "not a regular file"),
        ]
        p = self.start(stdout=subprocess.PIPE)
        self.assertEqual(self.next_message(), "READY=1\nSTATUS=0 users (0 anonymous), 0 transfers")
        for name, spoil, why in cases:
            with self.subTest(name):
                spoil()
                p.send_signal(signal.SIGHUP)
                self.assertEqual(self.next_message(),
                                 "STATUS=Settings not reloaded (%s: %s); 0 users (0 anonymous), "
                                 "0 transfers" % (self.ini, why))
                ftp = ftp_client(self.port)
                self.assertEqual(ftp.login("joe", "pw"), "230 User logged in, proceed.")
                self.wait_for("STATUS=Settings not reloaded (%s: %s); 1 users (0 anonymous), "
                              "0 transfers" % (self.ini, why))
                ftp.quit()
                self.wait_for("STATUS=Settings not reloaded (%s: %s); 0 users (0 anonymous), "
                              "0 transfers" % (self.ini, why))
        os.remove(self.ini)
        open(self.ini, "w").write(good)
        p.send_signal(signal.SIGHUP)
        self.assertEqual(self.next_message(), "RELOADING=1")
        self.assertEqual(self.next_message(), "READY=1\nSTATUS=0 users (0 anonymous), 0 transfers")
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=10), 0)
        out = p.stdout.read().decode()
        for _, _, why in cases:
            self.assertEqual(out.count("WARNING: settings not reloaded - %s: %s; the settings in "
                                       "force are kept" % (self.ini, why)), 1, out)

    def test_port_busy_until_freed(self):
        """A port held by another program: the status says so while the
        server retries, and READY comes again with the ordinary status once
        the port is free."""
        holder = socket.socket()
        holder.bind(("127.0.0.1", self.port))
        holder.listen(1)
        p = self.start(stdout=subprocess.PIPE)
        self.assertEqual(self.next_message(),
                         "READY=1\nSTATUS=Waiting for port %d: Address already in use" % self.port)
        holder.close()
        self.assertEqual(self.next_message(timeout=15),
                         "READY=1\nSTATUS=0 users (0 anonymous), 0 transfers")
        ftp = ftp_client(self.port)
        ftp.quit()
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=10), 0)
        out = p.stdout.read().decode()
        self.assertEqual(out.count("Port number %d is already in use!" % self.port), 1, out)
        self.assertIn("FTP Server on-line", out)

    def test_watchdog(self):
        """With $WATCHDOG_USEC the loop pings at half the interval."""
        p = self.start(env={"WATCHDOG_USEC": "200000"})
        self.assertTrue(self.next_message().startswith("READY=1\n"))
        for _ in range(3):
            self.assertEqual(self.next_message(timeout=5), "WATCHDOG=1")
        p.send_signal(signal.SIGTERM)
        self.wait_for("STOPPING=1")
        self.assertEqual(p.wait(timeout=10), 0)

    def test_journal_priorities(self):
        """Lines on the journal's stream carry "<N>" priorities; on any other
        pipe they stay as they are."""
        r, w = os.pipe()
        st = os.fstat(w)
        p = self.start(env={"JOURNAL_STREAM": "%d:%d" % (st.st_dev, st.st_ino)}, stdout=w)
        os.close(w)
        with os.fdopen(r) as out:
            self.assertEqual(out.readline(), "<6>Configuration file: %s\n" % self.ini)
            self.next_message()  # READY: the start-up lines are written
            ftp = ftp_client(self.port)
            try:
                ftp.login("joe", "bad")
            except ftplib.error_perm:
                pass
            ftp.close()
            p.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(timeout=10), 0)
            lines = out.read().splitlines()
        for line in lines:
            self.assertRegex(line, r"^<[3-7]>")
        self.assertTrue(any(l.startswith("<5>[5] ") for l in lines), lines)  # security
        self.assertTrue(any(l.startswith("<6>[1] ") for l in lines), lines)  # system
        self.assertTrue(any(l.startswith("<4>[1] ") and "WARNING" in l for l in lines)
                        or os.geteuid() != 0, lines)


if __name__ == "__main__":
    unittest_main(globals())
