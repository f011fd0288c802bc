#!/usr/bin/env python3
"""The fail2ban filter and jails of packaging/fail2ban against the log file
the vantor program writes: in each of the server's languages, every wrong
password and the anti-hammer block match with the client's address, a
successful login does not, and fail2ban loads the jails with the filter.

    app_fail2ban.py --vantor path/to/vantor
"""
import ftplib
import os
import re
import shutil
import signal
import socket
import subprocess

from ftp_e2e import ProgramCase, free_port, unittest_main, wait_until, write_file

VANTOR = None
HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGING = os.path.join(HERE, "..", "..", "packaging", "fail2ban")
FILTER = os.path.join(PACKAGING, "filter.d", "vantor.conf")
JAIL = os.path.join(PACKAGING, "jail.d", "vantor.conf")


def regex(log, mode=None, *opts):
    target = FILTER if mode is None else "%s[mode=%s]" % (FILTER, mode)
    out = subprocess.run(["fail2ban-regex", *opts, log, target], capture_output=True, text=True,
                         timeout=60)
    if out.returncode != 0:
        raise AssertionError("fail2ban-regex failed: %s%s" % (out.stdout, out.stderr))
    return out.stdout


def addresses(log, mode=None):
    """The address of every matched line, in order."""
    return regex(log, mode, "-o", "<ip>").split()


def line_counts(report):
    """(lines, ignored, matched, missed) of a fail2ban-regex report."""
    m = re.search(r"^Lines: (\d+) lines, (\d+) ignored, (\d+) matched, (\d+) missed", report,
                  re.M)
    return tuple(int(x) for x in m.groups())


def connect_from(source, port):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=10, source_address=(source, 0))
    return ftp


class Fail2ban(ProgramCase):
    prefix = "vantor-f2b-"

    def produce_log(self, locale):
        """Runs vantor under `locale`: a good login from 127.0.0.1, four
        wrong passwords from 127.0.0.2 (three in one session, which the
        server then closes), and connections from 127.0.0.3 until the
        anti-hammer block. Returns the log file's path."""
        home = os.path.join(self.dir, "home-" + locale)
        os.mkdir(home)
        port = free_port()
        log = os.path.join(self.dir, "ftp-%s.log" % locale)
        ini = os.path.join(self.dir, "VANTOR-%s.INI" % locale)
        write_file(ini, "[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n"
                        "Logfile=%s\nAntiHammer=YES\nAntiHammerTries=3\nAntiHammerWindow=600\n"
                        "[DRIVES]\nC=%s\n[USER=joe]\nPassword=secret\nHomeDir=C:\\\n"
                        "Access1=C:\\,RL\n" % (port, log, home))
        env = dict(os.environ, LANG=locale, LC_ALL=locale)
        proc = subprocess.Popen([VANTOR, ini], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env)
        try:
            def listening():
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    return True
                except OSError:
                    return False
            # That probe is a connection from 127.0.0.1, which the hammering
            # below does not share.
            self.assertTrue(wait_until(listening, 15), "vantor did not listen")
            ok = connect_from("127.0.0.1", port)
            ok.login("joe", "secret")
            ok.quit()
            bad = connect_from("127.0.0.2", port)
            for i in range(3):
                with self.assertRaises(ftplib.error_perm):
                    bad.login("joe", "wrong%d" % i)
            bad.close()
            bad = connect_from("127.0.0.2", port)
            with self.assertRaises(ftplib.error_perm):
                bad.login("x\" from 192.0.2.99", "wrong")
            bad.close()
            for _ in range(3):
                connect_from("127.0.0.3", port).close()
            # The fourth is reset before the greeting (maybe before connect
            # returns): that starts the block.
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=10,
                                              source_address=("127.0.0.3", 0)) as s:
                    self.assertEqual(s.recv(100), b"")
            except ConnectionResetError:
                pass
        finally:
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(20), 0)
        return log

    def test_filter_matches_each_failure_with_its_address(self):
        # The successful login's line in each language, which must not match.
        logged_in = {"C": "User JOE logged in", "zh_TW.UTF-8": "\u4f7f\u7528\u8005 JOE \u5df2\u767b\u5165",
                     "zh_CN.UTF-8": "\u7528\u6237 JOE \u5df2\u767b\u5f55"}
        for locale, success in logged_in.items():
            with self.subTest(locale=locale):
                log = self.produce_log(locale)
                self.assertEqual(addresses(log), ["127.0.0.2"] * 4 + ["127.0.0.3"])
                report = regex(log, None, "--print-all-missed")
                total, ignored, matched, missed = line_counts(report)
                self.assertEqual((ignored, matched, missed), (0, 5, total - 5), report)
                self.assertEqual(report.count(success), 1, report)
                if locale == "C":
                    # Each jail's mode takes its own lines only.
                    self.assertEqual(addresses(log, "login"), ["127.0.0.2"] * 4)
                    self.assertEqual(addresses(log, "hammer"), ["127.0.0.3"])

    def test_jails_load_with_the_filter(self):
        """fail2ban's own configuration test, on the system's configuration
        with only our jails (turned on, on a log that exists) in jail.d."""
        conf = os.path.join(self.dir, "fail2ban")
        shutil.copytree("/etc/fail2ban", conf)
        shutil.rmtree(os.path.join(conf, "jail.d"))
        os.mkdir(os.path.join(conf, "jail.d"))
        shutil.copy(FILTER, os.path.join(conf, "filter.d", "vantor.conf"))
        log = os.path.join(self.dir, "ftp.log")
        write_file(log, "")
        with open(JAIL) as f:
            jail = f.read()
        self.assertEqual(jail.count("enabled = false"), 2, "shipped turned off")
        jail = jail.replace("enabled = false", "enabled = true")
        jail = jail.replace("/var/log/vantor/ftp*.log", log)
        write_file(os.path.join(conf, "jail.d", "vantor.conf"), jail)
        out = subprocess.run(["fail2ban-client", "-c", conf, "-t"], capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("OK: configuration test is successful", out.stdout + out.stderr)
        dump = subprocess.run(["fail2ban-client", "-c", conf, "-d"], capture_output=True,
                              text=True, timeout=60).stdout
        self.assertIn("['add', 'vantor', 'auto']", dump)
        self.assertIn("['add', 'vantor-hammer', 'auto']", dump)
        self.assertIn("['set', 'vantor-hammer', 'maxretry', 1]", dump)


if __name__ == "__main__":
    unittest_main(globals())
