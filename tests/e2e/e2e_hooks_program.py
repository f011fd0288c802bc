#!/usr/bin/env python3
"""The hook libraries inside the vantor program across settings reloads and
at shutdown, with sessions on: a RETR held over a SIGHUP still ends, and at
shutdown every library hears each session close before it is unloaded. (A
session from before a reload still guarded by its library, client-check
libraries loaded once per reload: HookSession.ReloadedLibraryStillGuardsOldSessions
and ClientCheckLoadedOncePerReload, on the programs' wiring.)

    e2e_hooks_program.py --vantor path/to/vantor --examples dir --spy libvantor_spy.so
"""
import os
import shutil
import signal
import subprocess
import tempfile

from ftp_e2e import Program, expect, free_port, lib, login, parse_args, recv_all, run, write_file

ARGS = parse_args()


class HookProgram(Program):
    """The vantor program on an INI with `external` as its [EXTERNAL] section,
    on-line; the spy library writes to `spy_log`."""

    def __init__(self, external, env=None):
        self.dir = tempfile.mkdtemp(prefix="vantor-hooks-")
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home)
        self.port = free_port()
        self.spy_log = os.path.join(self.dir, "spy.log")
        self.ini = os.path.join(self.dir, "VANTOR.INI")
        with open(self.ini, "w") as f:
            f.write("[GLOBAL]\nVersion=2.5.11.3\nPortNr=%d\nEncryptPasswords=NO\n"
                    "LogFTPCommands=YES\n[EXTERNAL]\n%s"
                    "[USER=joe]\nPassword=secret\nHomeDir=%s\nAccess1=%s,RWAMDCLP\n"
                    % (self.port, external, self.home, self.home))
        # -u: close at once on SIGTERM even with users on.
        super().__init__(ARGS.vantor, "-u", self.ini, stderr=subprocess.STDOUT,
                         env=dict(env or {}, VANTOR_SPY_LOG=self.spy_log))
        self.wait_for("FTP Server on-line")

    def spy(self):
        # A line still being appended is not returned until its newline lands.
        with open(self.spy_log) as f:
            return f.read().split("\n")[:-1]

    def finish(self):
        """SIGTERM, then the exit code; every line read."""
        self.signal(signal.SIGTERM)
        return super().finish(15)

    def close(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def reload(p):
    p.proc.send_signal(signal.SIGHUP)
    p.wait_for("Reloading settings...")


# A RETR held by the library when SIGHUP comes is released by that library
# and served; the session goes on.
def test_held_retr_over_reload():
    p = HookProgram("EventHookDLL1=%s\n" % lib("holdretr"), {"VANTOR_HOLDRETR_MS": "1500"})
    try:
        write_file(os.path.join(p.home, "f.txt"), b"z" * 5000)
        c = login(p.port, "joe", "secret")
        d = c.pasv_connect()
        c.send("RETR f.txt")
        p.wait_for(") RETR f.txt")  # held from here on for 1.5 s
        reload(p)
        expect(c.line()[:4], "150 ", "RETR released after the reload")
        expect(recv_all(d), b"z" * 5000, "data")
        expect(c.line()[:4], "226 ", "RETR done")
        expect(c.cmd("NOOP"), ["200 Command okay."])
        expect(p.finish(), 0, "exit code")
    finally:
        p.close()


# SIGTERM with two sessions on: the library is told of both closes, as event
# hook (3) and as client check (32), before it is unloaded.
def test_shutdown_closes_before_unload():
    p = HookProgram("ClientCheckDLL1=%s\nEventHookDLL1=%s\n" % (ARGS.spy, ARGS.spy))
    try:
        on = [login(p.port, "joe", "secret"), login(p.port, "joe", "secret")]
        for c in on:
            expect(c.cmd("NOOP"), ["200 Command okay."])
        expect(p.finish(), 0, "exit code")
        spy = p.spy()
        expect(spy[-1], "unload", "unloaded last")
        expect(spy.count("unload"), 1, "unloaded once")
        sessions = sorted({l.split(" session=")[1].split()[0] for l in spy
                           if l.startswith("event=8 ")})
        expect(len(sessions), 2, "two logins seen")
        for s in sessions:
            assert any(l.startswith("event=3 ") and " session=%s " % s in l for l in spy), spy
            assert any(l.startswith("client event=32 ") and " session=%s " % s in l
                       for l in spy), spy
    finally:
        p.close()


run([test_held_retr_over_reload, test_shutdown_closes_before_unload])
