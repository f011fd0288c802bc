"""SITE against the real server with its INI file: PSWD with login by the
new password (plain and encrypted storage), EXEC under the access rules
with its arguments unchanged, CHMOD and HELP, and TRANSFERPROGRESS notices
during a speed-limited download. Every reply text of STAT before login,
PSWD, EXEC, INDEX, ZONE and SET is asserted on a session by
tests/ftp/site_session_test.cpp (SiteSession.*), INDEX's order and rules
there too (SiteSession.Index)."""
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt
import os

from ftp_e2e import (Checker, Server, expect, greeted, login, recv_all, user_ini, wait_until,
                     write_file)

INI = """[GLOBAL]
EncryptPasswords=%s
[USER=anonymous]
HomeDir={home}
[USER=joe]
Password=%s
ChangePassword=YES
HomeDir={home}
Access1={home}/secret,P
Access2={home},RWAMDCLEP
""" + user_ini("slow", "slow", access="RLP", extra=["SpeedLimit=25000"])


def ini(encrypted=False):
    if encrypted:
        return INI % ("YES", crypt.crypt("secret", "ab"))
    return INI % ("NO", "secret")


def read_ini(srv):
    with open(srv.ini) as f:
        return f.read()


# SITE PSWD: the log line, and login with the new password, with plain and
# with encrypted storage.
def test_pswd(_):
    for encrypted in (False, True):
        with Server(ini(encrypted)) as srv:
            c = login(srv.port, "joe", "secret")
            expect(c.cmd("SITE PSWD \"secret\" \"new one\""), ["230 Password changed okay."])
            srv.wait_log("User JOE changed password")
            stored = [l for l in read_ini(srv).splitlines() if l.startswith("Password=")][0]
            if encrypted:
                # A yescrypt hash that the system's crypt(3) reproduces.
                expect(stored[:12], "Password=$y$", "stored method")
                expect(stored, "Password=" + crypt.crypt("new one", stored[9:]), "stored hash")
            else:
                expect(stored, "Password=new one", "stored plain")
            c.close()
            expect(greeted(srv.port).user()[-1][:3], "530", "old password refused")
            login(srv.port, "joe", "new one")


# SITE EXEC: the E letter of the rules decides; an allowed program starts
# with its arguments unchanged (shell characters included) in the current
# directory.
def test_exec(srv):
    c = login(srv.port, "joe", "secret")
    r = c.cmd("SITE EXEC /usr/bin/touch a;b $(id) |c")
    expect(r, ["501 Permission denied."], "outside the rules")
    with open("/usr/bin/touch", "rb") as src:
        write_file(os.path.join(srv.home, "tch"), src.read())
    os.chmod(os.path.join(srv.home, "tch"), 0o755)
    home = c.cmd("PWD")[-1].split('"')[1]
    r = c.cmd("SITE EXEC %s/tch a;b $(id) |c" % home)
    assert r[0].startswith("200 EXEC command successful (TID="), r
    made = [os.path.join(srv.home, n) for n in ("a;b", "$(id)", "|c")]
    assert wait_until(lambda: all(os.path.exists(p) for p in made), 4), made


# SITE CHMOD: the W letter of the path's rule decides; files and folders;
# only permission bits. SITE HELP lists the sub-commands.
def test_chmod_help(srv):
    for rel in ("m.txt", "msub/x", "secret/locked.txt"):
        write_file(os.path.join(srv.home, rel), b"")
    c = login(srv.port, "joe", "secret")
    home = c.cmd("PWD")[-1].split('"')[1].rstrip("/")
    cases = [
        ("SITE CHMOD 640 m.txt", "200 SITE CHMOD command successful.", ("m.txt", 0o640)),
        ("site chmod 0750 msub", "200 SITE CHMOD command successful.", ("msub", 0o750)),
        ("SITE CHMOD 600 secret/locked.txt", "550 Permission denied.", None),
        ("SITE CHMOD 644 none.txt", "550 %s/none.txt: No such file or directory." % home, None),
        ("SITE CHMOD 4755 m.txt", "501 Syntax error - use SITE CHMOD <octal mode 0-777> <path>.",
         ("m.txt", 0o640)),
        ("SITE CHMOD 8 m.txt", "501 Syntax error - use SITE CHMOD <octal mode 0-777> <path>.",
         None),
        ("SITE CHMOD 644", "501 Syntax error - use SITE CHMOD <octal mode 0-777> <path>.", None),
        ("SITE HELP", ["214-The following SITE commands are recognized:",
                       " CHMOD  EXEC  HELP  INDEX  PSWD  SET  ZONE",
                       "214 Direct comments to the server's administrator."], None),
    ]
    for line, reply, mode in cases:
        expect(c.cmd(line), reply if isinstance(reply, list) else [reply], line)
        if mode:
            expect(os.stat(os.path.join(srv.home, mode[0])).st_mode & 0o777, mode[1], line)


# SITE SET TRANSFERPROGRESS: 321 notices during a slow (speed-limited)
# download.
def test_transfer_progress(srv):
    write_file(os.path.join(srv.home, "big.bin"), b"z" * 140000)
    c = login(srv.port, "slow", "slow")
    expect(c.cmd("SITE SET TRANSFERPROGRESS on"), ["200 Transfer progress notification is on."])
    d = c.pasv_connect()
    expect(c.cmd("TYPE I")[-1][:3], "200")
    c.send("RETR big.bin")
    lines = []
    data = recv_all(d)
    while not any(l.startswith("226") for l in lines):
        lines.append(c.line())
    expect(len(data), 140000, "data")
    notices = [l for l in lines if l.startswith("321 ")]
    assert notices, lines
    for n in notices:
        assert n.startswith("321 Transferred ") and n.endswith(" bytes."), n


c = Checker()
with Server(ini()) as srv:
    c.cases([test_exec, test_chmod_help, test_transfer_progress, test_pswd], srv)
c.finish()
