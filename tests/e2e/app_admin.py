#!/usr/bin/env python3
"""End-to-end tests of the administrator's commands of the vantor program:
--hash-password, --check-config, and a relative INI path on the command line.

    app_admin.py --vantor path/to/vantor
"""
import warnings
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from ftp_e2e import free_port, unittest_main, write_file

VANTOR = None
ENV = dict(os.environ, LANG="C", LC_ALL="C")


def run(*args, stdin="", cwd=None):
    return subprocess.run([VANTOR, *args], input=stdin, capture_output=True, text=True,
                          timeout=30, cwd=cwd, env=ENV)


class Admin(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vantor-admin-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        write_file(path, text)
        return path

    def test_hash_password(self):
        """The hash alone on stdout, no prompt when stdin is no terminal; the
        hash checks with the system's crypt(3); PasswordHash=des gives DES."""
        out = run("--hash-password", os.path.join(self.dir, "none.ini"), stdin="pass word\n")
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        h = out.stdout.rstrip("\n")
        self.assertEqual(out.stdout, h + "\n")
        self.assertTrue(h.startswith("$y$"), h)
        self.assertEqual(crypt.crypt("pass word", h), h)
        # A second hash of the same password has its own salt.
        self.assertNotEqual(run("--hash-password", stdin="pass word\n").stdout, out.stdout)
        ini = self.write("des.ini", "[GLOBAL]\nVersion=2.5.11.3\nPasswordHash=des\n")
        out = run("--hash-password", ini, stdin="secret\r\n")
        h = out.stdout.rstrip("\n")
        self.assertEqual(len(h), 13, h)
        self.assertEqual(crypt.crypt("secret", h[:2]), h)
        # Nothing to hash: exit 1, nothing on stdout.
        out = run("--hash-password", stdin="")
        self.assertEqual((out.returncode, out.stdout), (1, ""))
        self.assertEqual(out.stderr, "No password given on standard input.\n")

    def test_check_config_reports_every_problem(self):
        """Each problem with its line; unknown keys name the nearest known one;
        exit 1 on errors; a drive that is / is only a warning."""
        home = os.path.join(self.dir, "home")
        os.mkdir(home)
        ini = self.write("v.ini", "\n".join([
            "[GLOBAL]",                               # 1
            "PortNumber=21",                          # 2
            "PortNr=70000",                           # 3
            "Security=maybe",                         # 4
            "Logfile=%s/nodir/ftp.log" % self.dir,    # 5
            "LogFileRotation=Hourly",                 # 6
            "RunAsUser=no-such-user-here",            # 7
            "[DRIVES]",                               # 8
            "C=/",                                    # 9
            "D=%s/missing" % self.dir,                # 10
            "[USER=joe]",                             # 11
            "HomeDir=%s" % home,                      # 12
            "HomeDir2=x",                             # 13
            "Access1=C:\\srv,RLX",                    # 14
            "IP1=A,300.1.*.*",                        # 15
            "IP2=D,2001:db8::/32",                    # 16
            "TimeOut=-5",                             # 17
            ""]))
        out = run("--check-config", ini)
        self.assertEqual(out.returncode, 1)
        p = ini + ":"
        self.assertEqual(out.stdout.splitlines(), [
            p + "0: warning: [GLOBAL] has no Version: it is added at start, and only obsolete "
                "settings found in the file are converted",
            p + "2: error: unknown key PortNumber in [GLOBAL] (did you mean PortNr?)",
            p + "3: error: PortNr=70000 is out of range (1 to 65535)",
            p + "4: error: Security=maybe is not a switch (YES/NO, ON/OFF, TRUE/FALSE, 1/0)",
            p + "5: error: Logfile: %s/nodir does not exist" % self.dir,
            p + "6: error: LogFileRotation=Hourly is none of None|Dayly|Daily|Weekly|Monthly|Yearly",
            p + "7: error: no such user: no-such-user-here",
            p + "9: warning: drive C: is / and clients can reach the whole file system",
            p + "10: error: D: %s/missing does not exist" % self.dir,
            p + "13: error: unknown key HomeDir2 in [USER=joe] (did you mean HomeDir?)",
            p + "14: error: Access1=C:\\srv,RLX is not an access rule (PATH,LETTERS with "
                "letters of RWAMELCDP)",
            p + "15: error: IP1=A,300.1.*.* is not an IP rule (A,PATTERN or D,PATTERN)",
            p + "17: error: TimeOut=-5 is out of range (at least 0)",
            ini + ": 11 error(s), 2 warning(s)",
        ])

    def test_check_config_values_the_server_ignores(self):
        """Values the server drops or reads differently are reported: TLS files
        it cannot load, Security=OFF, bad PROXY sources, port ranges, masks and
        quotas; a byte order mark is read as the server reads it; a key of
        10 MB is reported at once."""
        home = os.path.join(self.dir, "home")
        os.mkdir(home)
        cases = [
            (["[GLOBAL]",                                              # 1
              "Version=2.5.11.3",                                     # 2
              "Security=OFF",                                         # 3
              "ProxyProtocolFrom=0.0.0.0/0,bogus,10.0.0.1/",          # 4
              "PassivePortRange=2000-1000",                           # 5
              "DirListMask=rwxrwxrwxrwx",                             # 6
              "TLSCertificateFile=nocert.pem",                        # 7
              "TLSPrivateKeyFile=%s" % home,                          # 8
              "[DRIVES]", "C=%s" % home,                              # 9, 10
              "[USER=joe]", "QuotaEnable=YES", "QuotaMaxCurrent=abc,0",  # 11-13
              "[USER=ann]", "QuotaMaxCurrent=1000"],                  # 14, 15
             ["3: warning: Security=OFF: every client is let in without a password and may "
              "read and write every file the drives reach",
              "4: warning: ProxyProtocolFrom names a prefix of every address: any client can "
              "claim any address in a PROXY header",
              "4: error: ProxyProtocolFrom: bogus is neither an address nor a prefix "
              "(a.b.c.d/n, 2001:db8::/32) and is ignored",
              "4: error: ProxyProtocolFrom: 10.0.0.1/ is neither an address nor a prefix "
              "(a.b.c.d/n, 2001:db8::/32) and is ignored",
              "5: error: PassivePortRange=2000-1000 is not a port range (LOW-HIGH, 1024 to "
              "65535, LOW not above HIGH): the system picks passive ports",
              "6: error: DirListMask=rwxrwxrwxrwx is not nine letters of rwx- (rwxr-x---): "
              "rwxrwxrwx is used",
              "7: error: TLSCertificateFile: %s/nocert.pem does not exist: TLS is off" % self.dir,
              "8: error: TLSPrivateKeyFile: %s is not a regular file: TLS is off" % home,
              "13: error: QuotaMaxCurrent=abc,0 is not MAX,CURRENT (two numbers of bytes, "
              "0 or more)",
              "7 error(s), 2 warning(s)"]),
            (["[GLOBAL]", "Version=2.5.11.3", "TLSPrivateKeyFile=key.pem",
              "K" * 10_000_000 + "=1", "[DRIVES]", "C=%s" % home],
             ["3: error: TLSPrivateKeyFile is set without TLSCertificateFile: TLS is off",
              "3: error: TLSPrivateKeyFile: %s/key.pem does not exist: TLS is off" % self.dir,
              "4: error: a line of 10000002 bytes: no key or value is longer than 16384",
              "3 error(s), 0 warning(s)"]),
            (["\ufeff[GLOBAL]", "Version=2.5.11.3", "PortNr=0", "DataThreads=257", "[DRIVES]",
              "C=%s" % home],
             ["3: error: PortNr=0 is out of range (1 to 65535)",
              "4: error: DataThreads=257 is out of range (1 to 256)",
              "2 error(s), 0 warning(s)"]),
        ]
        for i, (lines, expected) in enumerate(cases):
            with self.subTest(i):
                ini = self.write("c%d.ini" % i, "\n".join(lines) + "\n")
                started = time.monotonic()
                out = run("--check-config", ini)
                self.assertLess(time.monotonic() - started, 10)
                got = [l[len(ini) + 1:].lstrip() for l in out.stdout.splitlines()]
                self.assertEqual(got, expected)
                self.assertEqual(out.returncode, 1)

    def test_check_config_clean_file(self):
        """A sound file: only the whole-file-system warning, exit 0; a relative
        path is taken from the current directory."""
        self.write("VANTOR.INI", "[GLOBAL]\nVersion=2.5.11.3\nLogfile=ftp.log\n"
                                 "XferLog=xfer.log\n[USER=ann]\nHomeDir=C:\\\n")
        out = run("--check-config", "VANTOR.INI", cwd=self.dir)
        ini = os.path.join(self.dir, "VANTOR.INI")
        self.assertEqual(out.stdout.splitlines(), [
            ini + ":0: warning: no [DRIVES] section: drive C: is / and clients can reach the "
                  "whole file system",
            ini + ": 0 error(s), 1 warning(s)"])
        self.assertEqual(out.returncode, 0)

    def test_relative_ini_path_from_current_directory(self):
        """vantor sub/my.ini uses the file below the current directory and says so."""
        os.mkdir(os.path.join(self.dir, "sub"))
        port = free_port()
        ini = self.write("sub/my.ini", "[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\n" % port)
        p = subprocess.Popen([VANTOR, "-u", "sub/my.ini"], cwd=self.dir, env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            self.assertEqual(p.stdout.readline().rstrip("\n"), "Configuration file: " + ini)
        finally:
            p.send_signal(signal.SIGTERM)
            p.wait(timeout=10)
            p.stdout.close()


if __name__ == "__main__":
    unittest_main(globals())
