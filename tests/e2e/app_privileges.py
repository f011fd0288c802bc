#!/usr/bin/env python3
"""End-to-end tests of the privilege drop of the vantor program. They need
root (CI runs as root) and the `nobody` account; otherwise they are skipped.

    app_privileges.py --vantor path/to/vantor
"""
import ftplib
import grp
import io
import os
import pwd
import shutil
import signal
import socket
import tempfile
import unittest

from ftp_e2e import Program, listener, recv_all, unittest_main, write_file

VANTOR = None


def free_low_port():
    """A port below 1024 that is free, with its neighbour below free too."""
    for port in range(1020, 600, -7):
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", port))
                b.bind(("127.0.0.1", port - 1))
            return port
        except OSError:
            continue
    raise unittest.SkipTest("no free port below 1024")


def status_ids(pid):
    ids = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("Uid", "Gid", "Groups"):
                ids[key] = value.split()
    return ids


@unittest.skipUnless(os.geteuid() == 0, "needs root")
class Privileges(unittest.TestCase):
    def setUp(self):
        try:
            self.nobody = pwd.getpwnam("nobody")
        except KeyError:
            self.skipTest("no nobody account")
        self.group = grp.getgrgid(self.nobody.pw_gid).gr_name
        self.dir = tempfile.mkdtemp(prefix="vantor-priv-")
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home)
        os.chown(self.home, self.nobody.pw_uid, self.nobody.pw_gid)
        write_file(os.path.join(self.home, "a.txt"), b"x" * 1000)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.kill()
        shutil.rmtree(self.dir)

    def start(self, extra):
        self.port = free_low_port()
        ini = os.path.join(self.dir, "VANTOR.INI")
        with open(ini, "w") as f:
            f.write("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n%s"
                    "[DRIVES]\nC=%s\n"
                    "[USER=joe]\nPassword=pw\nHomeDir=C:\\\nAccess1=C:\\,RWLP\n"
                    % (self.port, extra, self.home))
        os.chmod(ini, 0o644)
        p = Program(VANTOR, "-u", ini)
        self.procs.append(p)
        return p

    def test_drops_to_run_as_account(self):
        """Bound to a port below 1024 as root, then nobody for good with no
        supplementary groups; uploads belong to nobody; an active transfer
        comes from another port than the control port minus one."""
        p = self.start("RunAsUser=nobody\nRunAsGroup=%s\n" % self.group)
        line = p.wait_for("root privileges dropped")
        self.assertIn("Serving as user nobody, group %s (uid %d, gid %d)"
                      % (self.group, self.nobody.pw_uid, self.nobody.pw_gid), line)
        ids = status_ids(p.proc.pid)
        self.assertEqual(ids["Uid"], [str(self.nobody.pw_uid)] * 4)
        self.assertEqual(ids["Gid"], [str(self.nobody.pw_gid)] * 4)
        self.assertEqual(ids.get("Groups", []), [])

        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.port, timeout=10)
        self.assertEqual(ftp.login("joe", "pw"), "230 User logged in, proceed.")
        ftp.storbinary("STOR up.bin", io.BytesIO(b"data" * 100))
        st = os.stat(os.path.join(self.home, "up.bin"))
        self.assertEqual((st.st_uid, st.st_size), (self.nobody.pw_uid, 400))

        # Active mode by hand, to see the server's source port.
        with listener() as ls:
            dport = ls.getsockname()[1]
            self.assertEqual(ftp.sendcmd("PORT 127,0,0,1,%d,%d" % (dport >> 8, dport & 255))[:3],
                             "200")
            ftp.putcmd("RETR a.txt")
            conn, peer = ls.accept()
            self.assertEqual(recv_all(conn), b"x" * 1000)
            self.assertNotEqual(peer[1], self.port - 1)
            self.assertEqual(ftp.getresp()[:3], "150")
            self.assertEqual(ftp.getresp()[:3], "226")
        ftp.quit()
        p.signal(signal.SIGTERM)
        self.assertEqual(p.finish(), 0)

    def test_root_without_account_warns(self):
        p = self.start("")
        p.wait_for("FTP Server on-line")
        self.assertEqual(status_ids(p.proc.pid)["Uid"][1], "0")
        p.signal(signal.SIGTERM)
        self.assertEqual(p.finish(), 0)
        self.assertIn("WARNING: running as root without RunAsUser= in [GLOBAL]: clients are "
                      "served with root's rights", p.proc.stderr.read())

    def test_unknown_account_stops(self):
        p = self.start("RunAsUser=no-such-user-here\n")
        self.assertEqual(p.finish(), 1)
        self.assertIn("Cannot switch to RunAsUser=no-such-user-here (no such user: "
                      "no-such-user-here): stopping", p.proc.stderr.read())


if __name__ == "__main__":
    unittest_main(globals())
