"""The example hook libraries end to end: their load lines, a
client-check library answering for a user absent from VANTOR.INI, an upload
guard with its own reply, and a held RETR with STAT and NOOP parked. (The
client-check libraries' load lines, a missing one and one without the entry
point included: RClientLib.LoadLogsAndSkipsBadLibraries.)"""
import os
import tempfile

from ftp_e2e import (Checker, Server, drive_form, expect, greeted, lib, login, recv_all, sent,
                     user_ini, write_file)

os.environ["VANTOR_HOLDRETR_MS"] = "400"
os.environ["VANTOR_UPLOADGUARD_PATTERN"] = "*.exe"

INI = """[GLOBAL]
EncryptPasswords=NO
LogAccessDLL=ON
[EXTERNAL]
ClientCheckDLL1=%s
EventHookDLL1=%s
EventHookDLL2=%s
""" % (lib("usersfile"), lib("holdretr"), lib("uploadguard")) + user_ini("joe")



# The load line (2046) of each library the server takes.
def test_load_log_lines(srv):
    for name in ("holdretr", "uploadguard", "usersfile"):
        assert "LOG 2 Loaded external DLL %s" % lib(name) in srv.log(), (name, srv.log())


# A user who exists only in the library's file logs in, gets the home
# directory and rights from it; the trace shows the calls with the
# password masked.
def test_client_check_user(srv):
    expect(greeted(srv.port).user("outsider", "wrong")[-1][:3], "530", "wrong password")
    c = login(srv.port, "outsider", "pw123")
    first, end = c.stor("STOR note.txt", b"hello")
    expect((first[:3], end[-1][:3]), ("150", "226"), "STOR")
    with open(os.path.join(srv.home, "note.txt"), "rb") as f:
        expect(f.read(), b"hello")
    log = srv.log()
    assert any("Access DLL event=VNTR_Password DLL=%s" % lib("usersfile") in l
               for l in log), log
    assert "LOG 23                First  Aux[] parameter=\"******\"" in log, log


# The upload guard answers STOR of a matching name with its own two lines
# and lets other names through.
def test_upload_guard(srv):
    c = login(srv.port, "joe", "secret")
    d = c.pasv_connect()
    expect(c.cmd("STOR setup.exe"), ["553-Uploads named setup.exe are not accepted here.",
                                     "553 Files matching *.exe are refused by the upload guard."])
    d.close()
    assert not os.path.exists(os.path.join(srv.home, "setup.exe"))


# RETR is held by the library; STAT and NOOP sent meanwhile are parked and
# answered after the release, in the order sent.
def test_held_retr_parks_commands(srv):
    write_file(os.path.join(srv.home, "f.txt"), b"x" * 1000)
    c = login(srv.port, "joe", "secret")
    d = c.pasv_connect()
    c.sock.sendall(b"RETR f.txt\r\nSTAT\r\nNOOP\r\n")
    lines = []
    while not any(l.startswith("226") for l in lines) or "200 Command okay." not in lines:
        lines.append(c.line())
    expect(recv_all(d), b"x" * 1000, "downloaded data")
    expect(lines[0][:3], "150", "RETR runs first")
    first = [i for i, l in enumerate(lines) if l.startswith("211-Status for user JOE")]
    assert len(first) == 1 and first[0] == 1, lines
    stat = lines.index("211 End of status.")
    assert "    Sending file f.txt (" in "\n".join(lines[first[0]:stat]), lines
    expect(lines[stat + 1], "200 Command okay.", "NOOP after STAT")


# A session closed while its RETR is held is dropped when the release
# comes; the server keeps serving.
def test_held_retr_session_closed(srv):
    write_file(os.path.join(srv.home, "g.txt"), b"y")
    c = login(srv.port, "joe", "secret")
    d = c.pasv_connect()
    c.send("RETR g.txt")
    srv.wait_log(") RETR g.txt")
    d.close()
    c.close()
    # A RETR held after it is released after it: by then the closed
    # session's release has come too.
    after = login(srv.port, "joe", "secret")
    expect(after.retr("g.txt"), sent("g.txt", b"y"), "a held RETR after the closed one")
    assert srv.alive()
    expect(after.cmd("NOOP"), ["200 Command okay."])


# A library that changes the event's path: RETR serves the ".signed" twin
# (450 when there is none), STOR stores under ".quarantine".
def test_rewritten_transfer_paths(_):
    os.environ["VANTOR_REWRITE_DOWNLOAD"] = ".signed"
    srv = Server("""[GLOBAL]
EncryptPasswords=NO
[EXTERNAL]
EventHookDLL1=%s
""" % lib("rewrite") + user_ini("joe"))
    del os.environ["VANTOR_REWRITE_DOWNLOAD"]
    with srv:
        for name, data in (("doc.txt", b"plain"), ("doc.txt.signed", b"signed copy"),
                           ("other.txt", b"no twin")):
            write_file(os.path.join(srv.home, name), data)
        c = login(srv.port, "joe", "secret")
        first, data, end = c.retr("doc.txt")
        expect((first[:3], data, end[-1][:3]), ("150", b"signed copy", "226"), "the twin served")
        d = c.pasv_connect()
        expect(c.cmd("RETR other.txt"),
               ["450 Cannot open file /C:%s/other.txt.signed for reading." % srv.home])
        d.close()
        first, end = c.stor("STOR up.bin", b"abc")
        expect((first[:3], end[-1][:3]), ("150", "226"), "STOR")
        with open(os.path.join(srv.home, "up.bin.quarantine"), "rb") as f:
            expect(f.read(), b"abc", "stored under the quarantine name")
        assert not os.path.exists(os.path.join(srv.home, "up.bin"))


c = Checker()
# The users file lives beside the INI; its home is the server's home.
users = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
os.environ["VANTOR_USERS_FILE"] = users.name
try:
    with Server(INI) as srv:
        users.write("outsider:pw123:%s:RW\n" % drive_form(srv.home))
        users.close()
        c.cases([test_load_log_lines, test_client_check_user, test_upload_guard,
                 test_held_retr_parks_commands, test_held_retr_session_closed,
                 test_rewritten_transfer_paths], srv)
finally:
    os.unlink(users.name)
c.finish()
