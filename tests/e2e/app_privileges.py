#!/usr/bin/env python3
"""End-to-end tests of the privilege drop of the vantor program. They need
root (CI runs as root) and the `nobody` account; otherwise they are skipped.

    app_privileges.py --vantor path/to/vantor
"""
import grp
import io
import os
import pwd
import shutil
import signal
import socket
import subprocess
import unittest

from ftp_e2e import (ProgramCase, ftp_client, listener, read_file, recv_all, unittest_main,
                     wait_until, write_file)

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
class Privileges(ProgramCase):
    prefix = "vantor-priv-"

    def setUp(self):
        try:
            self.nobody = pwd.getpwnam("nobody")
        except KeyError:
            self.skipTest("no nobody account")
        self.group = grp.getgrgid(self.nobody.pw_gid).gr_name
        super().setUp()
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home)
        os.chown(self.home, self.nobody.pw_uid, self.nobody.pw_gid)
        write_file(os.path.join(self.home, "a.txt"), b"x" * 1000)

    def write_ini(self, extra, joe=""):
        self.port = free_low_port()
        self.ini = os.path.join(self.dir, "VANTOR.INI")
        with open(self.ini, "w") as f:
            f.write("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n%s"
                    "[DRIVES]\nC=%s\n"
                    "[USER=joe]\nPassword=pw\nHomeDir=C:\\\nAccess1=C:\\,RWLP\n%s"
                    % (self.port, extra, self.home, joe))
        os.chmod(self.ini, 0o644)
        return self.ini

    def start_with(self, extra, joe=""):
        return self.start("-u", self.write_ini(extra, joe))

    def root_only_tls(self):
        """A certificate anyone may read and its key only root may read."""
        cert, key = os.path.join(self.dir, "cert.pem"), os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=vantor", "-days", "2",
                        "-keyout", key, "-out", cert], capture_output=True, check=True)
        os.chmod(cert, 0o644)
        os.chmod(key, 0o600)
        return "TLSCertificateFile=%s\nTLSPrivateKeyFile=%s\n" % (cert, key), key

    def test_drops_to_run_as_account(self):
        """Bound to a port below 1024 as root, then nobody for good with no
        supplementary groups; uploads belong to nobody; an active transfer
        comes from another port than the control port minus one."""
        p = self.start_with("RunAsUser=nobody\nRunAsGroup=%s\n" % self.group)
        line = p.wait_for("root privileges dropped")
        self.assertIn("Serving as user nobody, group %s (uid %d, gid %d)"
                      % (self.group, self.nobody.pw_uid, self.nobody.pw_gid), line)
        ids = status_ids(p.proc.pid)
        self.assertEqual(ids["Uid"], [str(self.nobody.pw_uid)] * 4)
        self.assertEqual(ids["Gid"], [str(self.nobody.pw_gid)] * 4)
        self.assertEqual(ids.get("Groups", []), [])

        ftp = ftp_client(self.port)
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

    def test_own_files_written_after_drop(self):
        """The log file is first written by the account, after the switch, so
        the start-up lines and every later one reach it; the transfer log too."""
        logs = os.path.join(self.dir, "logs")
        os.mkdir(logs)
        os.chown(logs, self.nobody.pw_uid, self.nobody.pw_gid)
        log, xfer = os.path.join(logs, "ftp.log"), os.path.join(logs, "xfer.log")
        p = self.start_with("RunAsUser=nobody\nLogfile=%s\nXferLog=%s\n" % (log, xfer))
        p.wait_for("root privileges dropped")
        ftp = ftp_client(self.port, "joe", "pw")
        ftp.storbinary("STOR up.bin", io.BytesIO(b"data" * 100))
        ftp.quit()
        self.assertTrue(wait_until(lambda: os.path.exists(xfer) and b" 400 " in read_file(xfer)))
        p.signal(signal.SIGTERM)
        self.assertEqual(p.finish(), 0)
        self.assertEqual(p.count("CANNOT WRITE TO LOGFILE"), 0)
        text = read_file(log).decode()
        for line in ("Starting FTP Server...", "root privileges dropped", "FTP server going down"):
            self.assertIn(line, text)
        for path in (log, xfer):
            self.assertEqual(os.stat(path).st_uid, self.nobody.pw_uid)

    def test_unreadable_files_reported_at_start(self):
        """What the account must reach again (a reload reads the TLS key, a
        login its message, a transfer writes its log) is tried as the account
        right after the switch."""
        tls, key = self.root_only_tls()
        msg = os.path.join(self.dir, "welcome.txt")
        write_file(msg, "hello")
        os.chmod(msg, 0o600)
        # Left by an earlier run as root: its lines would be lost without a word.
        xfer = os.path.join(self.dir, "xfer.log")
        write_file(xfer, "")
        p = self.start_with("RunAsUser=nobody\nXferLog=%s\n%s" % (xfer, tls),
                       "LoginMesFile=%s\n" % msg)
        p.wait_for("root privileges dropped")
        p.signal(signal.SIGTERM)
        self.assertEqual(p.finish(), 0)
        self.assertEqual([l.split(" - ", 1)[-1] for l in p.lines if "cannot be" in l], [
            "WARNING: INI: %s cannot be written by nobody (Permission denied)" % self.ini,
            "WARNING: INI folder: %s cannot be written by nobody (Permission denied)" % self.dir,
            "WARNING: TLSPrivateKeyFile: %s cannot be read by nobody (Permission denied)" % key,
            "WARNING: LoginMesFile: %s cannot be read by nobody (Permission denied)" % msg,
            "WARNING: XferLog: %s cannot be written by nobody (Permission denied)" % xfer])

    def test_check_config_as_run_as_account(self):
        """Every file and folder the account reads or writes, asked as that
        account: folders on the way count, not only the file's own bits."""
        tls, key = self.root_only_tls()
        msg = os.path.join(self.dir, "welcome.txt")
        write_file(msg, "hello")
        os.chmod(msg, 0o600)
        private = os.path.join(self.dir, "private")
        os.makedirs(os.path.join(private, "logs"))
        os.chmod(private, 0o700)
        os.chown(os.path.join(private, "logs"), self.nobody.pw_uid, self.nobody.pw_gid)
        readonly = os.path.join(self.home, "ro")
        os.mkdir(readonly)
        # A rotated log needs its folder even while today's file is writable.
        xfer = os.path.join(self.dir, "xfer.log")
        write_file(xfer, "")
        ini = self.write_ini("RunAsUser=nobody\n%sLogfile=%s/logs/ftp.log\n"
                             "LogFileRotation=Weekly\nXferLog=%s\n" % (tls, private, xfer),
                             "Access2=C:\\ro,RWLP\nLoginMesFile=%s\n" % msg)
        for path in (ini, xfer):
            shutil.chown(path, "nobody", self.group)
        out = subprocess.run([VANTOR, "--check-config", ini], capture_output=True, text=True)
        self.assertEqual(out.returncode, 1)
        p = ini + ":"
        self.assertEqual(out.stdout.splitlines(), [
            p + "0: error: INI folder: %s cannot be written by nobody" % self.dir,
            p + "7: error: TLSPrivateKeyFile: %s cannot be read by nobody" % key,
            p + "8: error: Logfile: %s/logs cannot be written by nobody" % private,
            p + "10: error: XferLog: %s cannot be written by nobody" % self.dir,
            p + "17: warning: Access2: %s cannot be written by nobody" % readonly,
            p + "18: warning: LoginMesFile: %s cannot be read by nobody" % msg,
            ini + ": 4 error(s), 2 warning(s)"])

    def test_root_without_account_warns(self):
        p = self.start_with("")
        p.wait_for("FTP Server on-line")
        self.assertEqual(status_ids(p.proc.pid)["Uid"][1], "0")
        p.signal(signal.SIGTERM)
        self.assertEqual(p.finish(), 0)
        self.assertIn("WARNING: running as root without RunAsUser= in [GLOBAL]: clients are "
                      "served with root's rights", p.proc.stderr.read())

    def test_unknown_account_stops(self):
        """Nothing is written as root: the log file is the account's to make."""
        log = os.path.join(self.dir, "ftp.log")
        p = self.start_with("RunAsUser=no-such-user-here\nLogfile=%s\n" % log)
        self.assertEqual(p.finish(), 1)
        self.assertFalse(os.path.exists(log))
        self.assertIn("Cannot switch to RunAsUser=no-such-user-here (no such user: "
                      "no-such-user-here): stopping", p.proc.stderr.read())


if __name__ == "__main__":
    unittest_main(globals())
