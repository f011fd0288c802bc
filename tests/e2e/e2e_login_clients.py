"""Real clients: Python's ftplib and curl log in and out."""
import ftplib
import shutil
import subprocess

from ftp_e2e import BANNER, Server, expect, run

INI = """[GLOBAL]
Version=2.5.11.3
EncryptPasswords=NO
[USER=anonymous]
HomeDir={home}
Access1={home},RL
[USER=joe]
Password=secret
HomeDir={home}
Access1={home},RWDLMC
"""


# ftplib: the welcome, anonymous and named logins, NOOP, QUIT.
def test_ftplib():
    with Server(INI) as srv:
        f = ftplib.FTP()
        expect(f.connect("127.0.0.1", srv.port, timeout=10), BANNER)
        expect(f.login(), "230 User logged in, proceed.")
        expect(f.sendcmd("NOOP"), "200 Command okay.")
        expect(f.quit(), "221 Goodbye!")
        f = ftplib.FTP()
        f.connect("127.0.0.1", srv.port, timeout=10)
        expect(f.login("joe", "secret"), "230 User logged in, proceed.")
        try:
            f.login("joe", "wrong")
            raise AssertionError("wrong password accepted")
        except ftplib.error_perm as e:
            expect(str(e), "530 Not logged in.")
        f.close()
        srv.wait_log("User JOE logged in")


# curl logs in, sends a quote command and quits.
def test_curl():
    curl = shutil.which("curl")
    assert curl, "curl is not installed"
    with Server(INI) as srv:
        url = "ftp://127.0.0.1:%d/" % srv.port
        r = subprocess.run([curl, "-sS", "-v", "--max-time", "20", "-u", "joe:secret",
                            "-Q", "NOOP", "-I", url], capture_output=True, text=True)
        err = r.stderr
        assert "< 230 User logged in, proceed." in err, err
        assert "< 200 Command okay." in err, err
        srv.wait_log("User JOE logged in")


run([test_ftplib, test_curl])
