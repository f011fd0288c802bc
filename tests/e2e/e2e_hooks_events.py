"""The event-hook record as a library sees it, for every session event (1 to
21) and the pre-command codes, recorded by the tests' spy library over real
sessions: codes, texts at 104 and 616, reason, elapsed time, byte counts,
session number, addresses and the release fields."""
import atexit
import os
import shutil
import socket
import tempfile

from ftp_e2e import (Server, drive_form, expect, greeted, login, parse_args, run, user_ini,
                     wait_until)

INI = """[GLOBAL]
EncryptPasswords=NO
[EXTERNAL]
EventHookDLL1=%s
""" % parse_args().spy + user_ini("joe", extra=["SpeedLimit=262144"]) + "".join(
    user_ini(name, "x", access="RL", extra=[line]) for name, line in
    [("solo", "MaxNrUsers=1"), ("blocked", "IP1=D,127.*.*.*"), ("idle", "TimeOut=1")])

BIG = 2 * 1024 * 1024
SPY_DIR = tempfile.mkdtemp(prefix="vantor-spy-")
atexit.register(shutil.rmtree, SPY_DIR, True)
SPY_LOG = os.path.join(SPY_DIR, "spy.log")
os.environ["VANTOR_SPY_LOG"] = SPY_LOG


def spy():
    """Every recorded call as a dict of its fields (texts as strings)."""
    out = []
    with open(SPY_LOG) as f:
        # The library may be appending while we read: a line is whole only
        # once its newline is there, so the last piece waits for the next read.
        for line in f.read().split("\n")[:-1]:
            if not line.startswith("event="):
                continue
            head, rest = line.split(" text=", 1)
            text, text2 = rest.split(" text2=", 1)
            ev = {k: int(v) if v.isdigit() else v
                  for k, v in (p.split("=", 1) for p in head.split(" "))}
            ev["text"] = text
            ev["text2"] = text2
            out.append(ev)
    return out


def last_session():
    """The session number of the newest connection."""
    return [e for e in spy() if e["event"] == 2][-1]["session"]


def calls(session, code):
    return [e for e in spy() if e["session"] == session and e["event"] == code]


def one(session, code):
    got = calls(session, code)
    assert len(got) == 1, (session, code, got)
    return got[0]


def resolvable_loopback():
    """The name the resolver gives 127.0.0.1, or None."""
    try:
        name = socket.gethostbyaddr("127.0.0.1")[0]
    except OSError:
        return None
    return name if name != "127.0.0.1" else None


def connect(port):
    c = greeted(port)
    return c, last_session()


def abort(c, verb, srv):
    """`verb` over a fresh passive connection, aborted once data flows (an
    upload once its first 100 bytes are on disk)."""
    d = c.pasv_connect()
    expect(c.cmd(verb)[0][:4], "150 ", verb)
    if verb.startswith("STOR"):
        d.sendall(b"c" * 100)
        path = os.path.join(srv.home, verb.split()[1])
        assert wait_until(lambda: os.path.exists(path) and os.path.getsize(path) == 100), path
    else:
        d.recv(1000)
    if len(c.cmd("ABOR")) == 1:
        c.reply()
    d.close()


def test_session_events():
    with Server(INI) as srv:
        home = drive_form(srv.home)
        with open(os.path.join(srv.home, "big.bin"), "wb") as f:
            f.write(os.urandom(1024) * 2048)  # longer than a tick at joe's speed limit
        idle = login(srv.port, "idle", "x")
        idle_session = last_session()

        c = login(srv.port, "joe", "secret")
        n = last_session()
        expect(c.cmd("TYPE I"), ["200 Type set to I."])
        c.cmd("MKD d")
        c.cmd("CWD d")
        c.cmd("CWD ..")
        c.cmd("RMD d")
        # Upload with a pause past the session tick: progress (20) in between.
        d = c.pasv_connect()
        expect(c.cmd("STOR up.bin")[0][:4], "150 ", "STOR up.bin")
        d.sendall(b"a" * 3000)
        assert wait_until(lambda: any(e["bytes"] == 3000 for e in calls(n, 20)), 10), \
            "no upload progress"
        d.sendall(b"b" * 2000)
        d.close()
        expect(c.line()[:4], "226 ", "STOR up.bin done")
        # A download slowed down by the account's speed limit: progress (21).
        first, data, end = c.retr("big.bin")
        expect((first[:4], len(data), end[-1][:4]), ("150 ", BIG, "226 "), "RETR")
        # Aborted transfers: 13 and 14 with their reason.
        abort(c, "STOR cut.bin", srv)
        abort(c, "RETR big.bin", srv)
        expect(c.cmd("RNFR up.bin")[0][:4], "350 ", "RNFR")
        expect(c.cmd("RNTO renamed.bin"), ["250 RNTO command successful."])
        c.cmd("DELE renamed.bin")
        c.cmd("SITE ZONE")
        expect(c.cmd("QUIT")[0][:4], "221 ", "QUIT")
        c.closed()

        # Refusals: too many users (5), address refused at login (4), wrong
        # passwords (6).
        solo = login(srv.port, "solo", "x")
        s2, n5 = connect(srv.port)
        expect(s2.cmd("USER solo")[0][:4], "421 ", "second solo login")
        s2.closed()
        s4, n4 = connect(srv.port)
        s4.cmd("USER blocked")
        # The refusal carries the host name once the look-up is back; it runs
        # beside the login, so wait for it rather than race it.
        if resolvable_loopback():
            wait_until(lambda: calls(n4, 1))
        expect(s4.cmd("PASS x")[0][:4], "530 ", "blocked address")
        s4.closed()
        s6, n6 = connect(srv.port)
        for _ in range(3):
            s6.cmd("USER joe")
            s6.cmd("PASS wrong")
        s6.closed()
        solo.close()

        # The idle session's one-minute limit: time-out (7).
        wait_until(lambda: calls(idle_session, 7), 90)
        idle.close()
        wait_until(lambda: calls(idle_session, 3))

        events = spy()
        window = events[0]["window"]
        assert window > 0, events[0]
        for e in events:
            expect((e["client"], e["local"], e["message"], e["answer"], e["window"]),
                   ("127.0.0.1", "127.0.0.1", 1041, 0, window), "fixed fields %r" % e)
            if e["event"] not in (10, 12, 13, 14):
                expect(e["reason"], 0, "reason of %r" % e)
            if e["event"] not in (3, 10, 12, 13, 14, 20, 21):
                expect((e["elapsed"], e["bytes"], e["bytes64"]), (0, 0, 0), "counts of %r" % e)

        def texts(session, code):
            """(text, text2) of every call of `code` in `session`."""
            return [(e["text"], e["text2"]) for e in calls(session, code)]

        # The working directory and ".." come back with the drive letter as
        # the resolver spells it; from then on paths are relative to it.
        parent = "c" + home[1:]
        up, cut = parent + "\\up.bin", parent + "\\cut.bin"
        for code, want, what in [
                (2, [("", "")], "connect"),
                (8, [("", "")], "login (no password for named accounts)"),
                (107, [(home + "\\d", "")], "before MKD"), (19, [(home + "\\d", "")], "MKD"),
                (109, [(home + "\\d", ""), (parent, "")], "before CWD"),
                (18, [(parent + "\\d", ""), (parent, "")], "CWD: the new working directory"),
                (106, [(parent + "\\d", "")], "before RMD"), (17, [(parent + "\\d", "")], "RMD"),
                (101, [(up, ""), (cut, "")], "before STOR"),
                (9, [(up, ""), (cut, "")], "upload start")]:
            expect(texts(n, code), want, what)
        home = parent
        progress = [e for e in calls(n, 20) if e["text"] == up]
        assert progress, "no upload progress"
        expect((progress[0]["text2"], progress[0]["bytes"]), ("BINARY", 3000), "upload progress")
        done = one(n, 10)
        expect((done["text"], done["text2"], done["reason"], done["bytes"], done["bytes64"]),
               (up, "BINARY", 0, 5000, 5000), "upload done")
        assert done["elapsed"] >= progress[0]["elapsed"], (done, progress[0])
        big = home + "\\big.bin"
        expect([e["text"] for e in calls(n, 100)], [big, big], "before RETR")
        expect([e["text"] for e in calls(n, 11)], [big, big], "download start")
        progress = [e for e in calls(n, 21) if e["text"] == big]
        assert progress and progress[0]["text2"] == "BINARY", progress
        assert 0 < progress[0]["bytes"] < BIG, progress
        done = one(n, 12)
        expect((done["text"], done["text2"], done["reason"], done["bytes"]),
               (big, "BINARY", 0, BIG), "download done")
        assert done["elapsed"] > 0, done
        failed = one(n, 13)
        expect((failed["text"], failed["text2"]), (cut, "BINARY"), "upload failed")
        assert failed["reason"] != 0 and failed["bytes"] == 100, failed
        failed = one(n, 14)
        expect((failed["text"], failed["text2"]), (big, "BINARY"), "download failed")
        assert failed["reason"] != 0 and failed["bytes"] < BIG, failed
        renamed = home + "\\renamed.bin"
        for session, code, want, what in [
                (n, 104, ("", renamed), "before RNTO: the new name as the second text"),
                (n, 15, ("", renamed), "rename: the new name as the second text"),
                (n, 105, (renamed, ""), "before DELE"), (n, 16, (renamed, ""), "DELE"),
                (n, 108, ("ZONE", ""), "before SITE"), (n5, 5, ("", ""), "too many users"),
                (n6, 6, ("", ""), "wrong passwords"), (idle_session, 7, ("", ""), "time-out")]:
            expect(texts(session, code), [want], what)
        closed = one(n, 3)
        expect((closed["text"], closed["text2"], closed["bytes"]), ("", "", 0), "close")
        assert 7 <= closed["elapsed"] <= 120, closed
        assert len(calls(n4, 4)) == 1, calls(n4, 4)
        # Host names, when the resolver knows the loopback address.
        name = resolvable_loopback()
        if name and name != "127.0.0.1":
            expect(texts(n, 1), [(name, "")], "host name")
            expect(calls(n4, 4)[0]["text"], name, "refused address with its name")
        seen = {e["event"] for e in events}
        missing = set(range(2, 22)) - seen - {1}
        assert not missing, "events never raised: %r" % sorted(missing)


run([test_session_events])
