#!/usr/bin/env python3
"""End-to-end tests of the vantor program: configuration creation, reload by
signal and by the ReloadSettings key, shutdown by signal, single instance,
command line. (Conversion of an old file during start-up:
RServerStartup.ConvertsBeforeTheServerStarts, ConvertIniFile.*; a file that
cannot be created: RServerStartup.CannotCreate.)"""
import ftplib
import io
import os
import re
import signal
import subprocess

from ftp_e2e import ProgramCase, free_port, ftp_client, unittest_main, wait_until, write_file

VANTOR = None


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def write_atomic(path, text):
    write_file(path + ".edit", text)
    os.replace(path + ".edit", path)


class Lifecycle(ProgramCase):
    def test_missing_file_created_then_reload_and_exit(self):
        """A missing INI is created; SIGHUP re-reads it; SIGTERM ends with exit code 0."""
        ini = os.path.join(self.dir, "VANTOR.INI")
        p = self.start(ini)
        self.assertEqual(p.wait_for("Configuration file"), "Configuration file: " + ini)
        self.assertEqual(p.wait_for("VANTOR.INI"), "VANTOR.INI not found, creating new one")
        p.wait_for("Starting FTP Server...  (Version 2.5k (32-bit))")
        self.assertIn("No logfile specified, logging messages to screen only", p.lines)
        with open(ini) as f:
            self.assertEqual(f.read(),
                             "[GLOBAL]\nVersion=2.5.11.3\n\n[USER=** Default **]\nTimeOut=45\n")
        self.assertEqual(os.stat(ini).st_mode & 0o777, 0o600)
        log = os.path.join(self.dir, "ftp.log")
        write_atomic(ini, "[GLOBAL]\nVersion=2.5.11.3\nLogfile=%s\nLogSystemMes=NO\n" % log)
        p.signal(signal.SIGHUP)
        p.wait_for("Reloading settings...")
        self.stop(p)
        # System messages now go to the file only.
        self.assertNotIn("FTP server going down...", "\n".join(p.lines))
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^\[1\] \w{3} \d\d\w{3}\d\d \d\d:\d\d:\d\d - "
                                   r"FTP server going down\.\.\.$")

    def test_serves_ftp_with_its_libraries(self):
        """The program runs the engine: it loads the [EXTERNAL] libraries at
        start-up (a missing one is logged and skipped), serves a login and
        a download, and closes cleanly."""
        port = free_port()
        home = os.path.join(self.dir, "home")
        write_file(os.path.join(home, "a.txt"), b"vantor\r\n")
        p = self.start(self.ini("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n"
                                "[EXTERNAL]\nEventHookDLL1=%s/missing.so\n[USER=joe]\n"
                                "Password=pw\nHomeDir=%s\nAccess1=%s,RL\n"
                                % (port, self.dir, home, home)))
        p.wait_for("Cannot find/load DLL %s/missing.so" % self.dir)
        p.wait_for("FTP Server on-line")
        ftp = ftp_client(port)
        self.assertEqual(ftp.login("joe", "pw"), "230 User logged in, proceed.")
        got = io.BytesIO()
        ftp.retrbinary("RETR a.txt", got.write)
        self.assertEqual(got.getvalue(), b"vantor\r\n")
        ftp.quit()
        self.stop(p)

    def test_client_control_characters_escaped(self):
        """Escape sequences from a client reach neither the terminal nor the
        log file raw; the relative Logfile lands next to the INI file."""
        port = free_port()
        home = os.path.join(self.dir, "home")
        os.mkdir(home)
        os.mkdir(os.path.join(self.dir, "logs"))
        p = self.start(self.ini("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n"
                                "Logfile=logs/ftp.log\n[DRIVES]\nC=%s\n[USER=joe]\nPassword=pw\n"
                                "HomeDir=C:\\\nAccess1=C:\\,RWL\n" % (port, home)))
        p.wait_for("Drive C: is %s" % home)
        p.wait_for("FTP Server on-line")
        ftp = ftp_client(port)
        for _ in range(3):
            with self.assertRaises(ftplib.error_perm):
                ftp.login("joe\x1b]2;OWNED\x07", "wrong")
        ftp.close()
        ftp = ftp_client(port)
        ftp.login("joe", "pw")
        ftp.storbinary("STOR evil\x1b[31mRED\x1b[0m.txt", io.BytesIO(b"x"))
        ftp.quit()
        # Names are shown as the server handles them (upper-case user names,
        # lower-case drive paths): compare without case.
        p.wait_for("successfully")
        self.stop(p)
        out = "\n".join(p.lines)
        self.assertNotIn("\x1b", out)
        self.assertNotIn("\x07", out)
        self.assertIn("joe\\x1b]2;owned\\x07", out.lower())
        with open(os.path.join(self.dir, "logs", "ftp.log"), encoding="latin-1") as f:
            log = f.read()
        self.assertNotIn("\x1b", log)
        self.assertIn("evil\\x1b[31mred\\x1b[0m.txt", log.lower())
        self.assertIn("joe\\x1b]2;owned\\x07", log.lower())

    def test_security_off_warns_and_refuses_exec(self):
        """Security=OFF and no [DRIVES]: both are said at start, and SITE EXEC
        never runs a program."""
        port = free_port()
        marker = os.path.join(self.dir, "ran")
        p = self.start(self.ini("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nSecurity=OFF\n[DRIVE]\n"
                                "C=%s\n" % (port, self.dir)))
        p.wait_for("WARNING: drive C: is / - clients can reach the whole file system")
        p.wait_for("WARNING: section [DRIVE] is not read by the server - did you mean [DRIVES]?")
        p.wait_for("WARNING: Security=OFF")
        p.wait_for("FTP Server on-line")
        ftp = ftp_client(port)
        ftp.login("x", "")
        with self.assertRaises(ftplib.error_perm) as e:
            ftp.sendcmd("SITE EXEC /usr/bin/touch " + marker)
        self.assertEqual(str(e.exception), "501 Permission denied.")
        ftp.quit()
        self.stop(p)
        self.assertFalse(os.path.exists(marker))

    def test_ip_rules_that_do_not_parse(self):
        """Each IP rule the server cannot read is a security warning with its
        key, at start and at every reload; it matches nothing, and a lower-case
        d still denies."""
        port = free_port()
        p = self.start(self.ini(
            "[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n[DRIVES]\nC=%s\n"
            "[USER=joe]\nPassword=pw\nHomeDir=C:\\\nIP1=D,2001:db8:2::1/200\n"
            "IP2=X,127.0.0.1\nIP3=d,127.*\nIP4=A,*\n" % (port, self.dir)))
        warnings = ["[5] WARNING: [USER=joe] IP1=D,2001:db8:2::1/200 is no IP rule "
                    "(A,PATTERN or D,PATTERN) and is ignored",
                    "[5] WARNING: [USER=joe] IP2=X,127.0.0.1 is no IP rule (A,PATTERN or "
                    "D,PATTERN) and is ignored"]
        p.wait_for("FTP Server on-line")
        p.signal(signal.SIGHUP)
        p.wait_for("Reloading settings...")
        ftp = ftp_client(port)
        with self.assertRaises(ftplib.error_perm) as e:
            ftp.login("joe", "pw")
        ftp.close()
        self.stop(p)
        self.assertEqual(str(e.exception), "530 Not logged in, unauthorized IP address.")
        shown = [re.sub(r" \w{3} \d\d\w{3}\d\d \d\d:\d\d:\d\d -", "", l) for l in p.lines]
        for w in warnings:
            self.assertEqual(shown.count(w), 2, p.lines)

    def test_sigint_closes_with_the_closing_line(self):
        ini = os.path.join(self.dir, "v.ini")
        p = self.start(ini)
        p.wait_for("Starting FTP Server...")
        p.signal(signal.SIGINT)
        self.assertEqual(p.finish(), 0)
        # The closing line, then the listeners' own last word.
        self.assertRegex(p.lines[-2], r"^\[1\] .* - FTP server going down\.\.\.$")
        self.assertEqual(p.lines[-1], "FTP Server going off-line...")

    def test_single_instance(self):
        """-s gives way to a server running on the same file; without -s it starts."""
        ini = os.path.join(self.dir, "v.ini")
        first = self.start(ini)
        first.wait_for("Starting FTP Server...")
        second = self.start("-s", ini)
        self.assertEqual(second.finish(), 0)
        self.assertEqual(second.lines, [])
        self.assertIn("Another vantor is already running on " + ini, second.proc.stderr.read())
        other = self.start("-s", os.path.join(self.dir, "other.ini"))
        other.wait_for("Starting FTP Server...")
        self.stop(other)
        self.stop(first)

    def test_hidden_prints_nothing(self):
        ini = os.path.join(self.dir, "v.ini")
        p = self.start("-h", ini)
        # The file is written whole once the settings are read; without -h
        # the start would have printed its first lines by then.
        self.assertTrue(wait_until(lambda: "[GLOBAL]" in read_text(ini)))
        self.stop(p)
        self.assertEqual(p.lines, [])

    def test_command_line(self):
        out = subprocess.run([VANTOR, "--version"], capture_output=True, text=True, timeout=10)
        self.assertEqual((out.returncode, out.stdout), (0, "vantor 2.5.11.3\n"))
        out = subprocess.run([VANTOR, "--help"], capture_output=True, text=True, timeout=10,
                             env=dict(os.environ, LANG="C", LC_ALL="C"))
        self.assertEqual(out.returncode, 0)
        self.assertTrue(out.stdout.startswith("Usage: vantor [-h] [-i] [-s] [-u]"))

    def test_reload_settings_key(self):
        """ReloadSettings=TRUE set by another program is removed within about 15 s."""
        ini = os.path.join(self.dir, "v.ini")
        p = self.start(ini)
        p.wait_for("Starting FTP Server...")
        write_atomic(ini, "[GLOBAL]\nVersion=2.5.11.3\nReloadSettings=TRUE\nPortNr=2121\n")
        p.wait_for("Reloading settings...", timeout=20)
        with open(ini) as f:
            self.assertEqual(f.read(), "[GLOBAL]\nVersion=2.5.11.3\nPortNr=2121\n")
        self.stop(p)


if __name__ == "__main__":
    unittest_main(globals())
