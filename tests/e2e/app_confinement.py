#!/usr/bin/env python3
"""The kernel's confinement of the vantor program (Confinement=kernel against
off): what SITE EXEC programs may touch, a link on disk pointing outside,
uploads, the INI file's writes (SITE PSWD, quota counters), a rotated log,
and a reload that adds a drive root (refused and logged, the rest applied).

    app_confinement.py --vantor path/to/vantor
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import uuid

from ftp_e2e import Program, expect, free_port, greeted, login, parse_args, run, wait_until, write_file

ARGS = parse_args()

INI = """[GLOBAL]
PortNr={port}
EncryptPasswords=NO
Confinement={mode}
Logfile={dir}/logs/
LogFileRotation=Daily
XferLog={dir}/xfer/xfer.log
[DRIVES]
C={dir}/root
[USER=joe]
Password=secret
ChangePassword=YES
HomeDir=C:\\home
QuotaEnable=YES
QuotaMaxCurrent=1000000,0
Access1=C:\\home,RWAMDCLEP
"""


class Confined(Program):
    """The vantor program on INI with `mode`, on-line."""

    def __init__(self, mode="kernel", extra=""):
        self.dir = tempfile.mkdtemp(prefix="vantor-confine-")
        self.home = os.path.join(self.dir, "root", "home")
        os.makedirs(self.home)
        os.mkdir(os.path.join(self.dir, "logs"))
        os.mkdir(os.path.join(self.dir, "xfer"))
        # The INI's folder is writable: the roots lie beside it, not below.
        os.mkdir(os.path.join(self.dir, "etc"))
        self.ini = os.path.join(self.dir, "etc", "VANTOR.INI")
        # A port found free can be taken by a parallel test before the
        # server binds it: then another.
        for attempt in range(5):
            self.port = free_port()
            self.text = (INI.replace("{port}", str(self.port)).replace("{dir}", self.dir)
                         .replace("{mode}", mode)) + extra
            with open(self.ini, "w") as f:
                f.write(self.text)
            super().__init__(ARGS.vantor, "-u", self.ini, stderr=subprocess.STDOUT)
            taken = "Port number %d is already in use!" % self.port
            end = time.monotonic() + 10
            while True:
                line = self.wait_for("", max(0.05, end - time.monotonic()))
                if "FTP Server on-line" in line:
                    return
                if taken in line and attempt < 4:
                    break
            self.kill()

    def close(self):
        if self.proc.poll() is None:
            self.signal(signal.SIGTERM)
            self.finish(15)
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def status_of(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(l.split(":", 1) for l in f.read().splitlines() if ":" in l)


# The start-up log names the ABI; no_new_privs and the filter are on in
# every thread; off leaves both out and says so.
def test_start_line():
    p = Confined()
    try:
        line = p.wait_for("Confinement: Landlock ABI")
        assert re.search(r"Landlock ABI \d+ applied \(\d+ paths; TCP bind", line), line
        p.wait_for("Confinement: system-call filter applied")
        tasks = os.listdir("/proc/%d/task" % p.proc.pid)
        for t in tasks:
            with open("/proc/%d/task/%s/status" % (p.proc.pid, t)) as f:
                s = f.read()
            expect(re.search(r"Seccomp:\s+(\d)", s).group(1), "2", "thread %s filtered" % t)
            expect(re.search(r"NoNewPrivs:\s+(\d)", s).group(1), "1", "thread %s no_new_privs" % t)
    finally:
        p.close()
    p = Confined("off")
    try:
        p.wait_for("WARNING: Confinement=off: the kernel does not confine this server")
        expect(status_of(p.proc.pid)["Seccomp"].strip(), "0", "no filter with off")
    finally:
        p.close()


SCRIPT = """#!/bin/sh
cat /etc/hostname > host.txt 2>/dev/null
echo "cat=$?" > status.tmp
(echo x > {tmp}) 2>/dev/null
echo "tmp=$?" >> status.tmp
echo inside > inside.txt
echo "inside=$?" >> status.tmp
/usr/bin/unshare -U /bin/true 2>/dev/null
echo "unshare=$?" >> status.tmp
mv status.tmp status.txt
"""


# A SITE EXEC program may read and write inside the roots, but neither read
# /etc/hostname, write to /tmp nor make a namespace; with off it may do all.
def test_site_exec():
    for mode, refused in (("kernel", True), ("off", False)):
        p = Confined(mode)
        tmp = "/tmp/vantor-confine-%s" % uuid.uuid4().hex
        try:
            script = os.path.join(p.home, "probe.sh")
            write_file(script, SCRIPT.replace("{tmp}", tmp).encode())
            os.chmod(script, 0o755)
            c = login(p.port)
            r = c.cmd("SITE EXEC %s/probe.sh" % c.cmd("PWD")[-1].split('"')[1])
            assert r[0].startswith("200 EXEC command successful (TID="), r
            status = os.path.join(p.home, "status.txt")
            assert wait_until(lambda: os.path.exists(status), 10), mode
            with open(status) as f:
                got = dict(l.split("=") for l in f.read().split())
            expect(got["inside"], "0", mode + ": write inside the roots")
            expect(got["cat"] != "0", refused, mode + ": /etc/hostname refused")
            expect(got["tmp"] != "0", refused, mode + ": /tmp refused")
            # The system-call filter is inherited as well (off: the system
            # decides, which for an ordinary user may also be no).
            if refused:
                expect(got["unshare"] != "0", True, mode + ": unshare refused")
            expect(os.path.exists(tmp), not refused, mode + ": file in /tmp")
            expect(os.path.getsize(os.path.join(p.home, "host.txt")) == 0, refused,
                   mode + ": host.txt empty")
        finally:
            if os.path.exists(tmp):
                os.remove(tmp)
            p.close()


# A link placed on disk pointing outside the roots is refused as without
# the kernel's rules: by the server's own checks, with the same reply.
def test_link_outside():
    replies = {}
    for mode in ("kernel", "off"):
        p = Confined(mode)
        try:
            os.symlink("/etc", os.path.join(p.home, "etc"))
            c = login(p.port)
            replies[mode] = (c.cmd("CWD etc")[-1], c.cmd("SIZE etc/hostname")[-1])
        finally:
            p.close()
    expect(replies["kernel"], replies["off"], "same replies")
    assert replies["kernel"][1].startswith("550"), replies


# Uploads, the quota counter and SITE PSWD (both written to the INI through
# a temporary file beside it), the rotated log in its folder.
def test_writes():
    p = Confined()
    try:
        c = login(p.port)
        first, closing = c.stor("STOR up.bin", b"u" * 5000)
        expect(closing[-1][:4], "226 ", "upload")
        with open(os.path.join(p.home, "up.bin"), "rb") as f:
            expect(f.read(), b"u" * 5000, "uploaded bytes")
        expect(c.cmd("SITE PSWD \"secret\" \"new one\""), ["230 Password changed okay."])

        def ini_has(text):
            with open(p.ini) as f:
                return text in f.read()
        assert wait_until(lambda: ini_has("Password=new one"), 10), "password written"
        assert wait_until(lambda: ini_has("QuotaMaxCurrent=1000000,5000"), 10), "quota written"
        leftovers = [n for n in os.listdir(os.path.dirname(p.ini)) if ".tmp" in n]
        expect(leftovers, [], "no temporary left beside the INI")
        logs = os.listdir(os.path.join(p.dir, "logs"))
        # Daily rotation: the day's name made in the folder.
        assert len(logs) == 1 and re.fullmatch(r"\d\d[A-Z][a-z][a-z]\d{4}", logs[0]), logs
        with open(os.path.join(p.dir, "logs", logs[0])) as f:
            assert "Confinement: Landlock ABI" in f.read()
        login(p.port, "joe", "new one")
    finally:
        p.close()


# A reload that adds a drive root and moves the transfer log outside the
# applied set: the drive is not served and the log stays where it was, each
# named in the log with a request to restart, and the rest of the reload (a
# new account, whose download works) is applied.
def test_reload_new_drive():
    p = Confined()
    try:
        new_root = os.path.join(p.dir, "newroot")
        os.mkdir(new_root)
        write_file(os.path.join(new_root, "n.txt"), b"new")
        write_file(os.path.join(p.home, "b.txt"), b"bob")
        moved = os.path.join(p.dir, "moved")
        os.mkdir(moved)
        text = p.text.replace("[DRIVES]\n", "[DRIVES]\nD=%s\n" % new_root)
        text = text.replace("XferLog=%s/xfer/xfer.log" % p.dir, "XferLog=%s/xfer.log" % moved)
        text += "[USER=ann]\nPassword=pw\nHomeDir=D:\\\nAccess1=D:\\,RLP\n"
        text += "[USER=bob]\nPassword=pw\nHomeDir=C:\\home\nAccess1=C:\\home,RLP\n"
        with open(p.ini, "w") as f:
            f.write(text)
        p.signal(signal.SIGHUP)
        line = p.wait_for("WARNING: Reload: %s ([DRIVES] D) is outside the paths" % new_root)
        assert line.endswith("restart the server to use it"), line
        p.wait_for("WARNING: Reload: %s (XferLog) is outside the paths" % moved)
        bob = login(p.port, "bob", "pw")
        expect(bob.cmd("SIZE b.txt"), ["213 3"], "the new account")
        # The drive in use is still served: the rules were built from the
        # file the server started with, not from the edit saved just after.
        expect(bob.retr("b.txt"),
               ("150 Opening ASCII mode data connection for b.txt (3 bytes).", b"bob",
                ["226 Transfer complete."]), "a download after the reload")
        expect(greeted(p.port).user("ann", "pw"),
               ["530 Not logged in, home directory does not exist."], "the new drive not served")
    finally:
        p.close()


if __name__ == "__main__":
    run([test_start_line, test_site_exec, test_link_outside, test_writes, test_reload_new_drive])
