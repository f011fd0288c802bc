"""Greeting, sign-off, login messages and "%" variables."""
import re
import socket

from ftp_e2e import BANNER, Client, Server, expect, greeted, login, run, sent, user_ini, write_file

BASE = """[GLOBAL]
Version=2.5.11.3
EncryptPasswords=NO
[IP-HOMES]
IP1=127.0.0.1,loopback home
IP2=127.0.0.300,bad octet
[SIGNONOFF]
MessageFiles1=-1|{dir}/all-on.txt|{dir}/all-off.txt
MessageFiles2=1|{dir}/home-on.txt|
MessageFiles3=7|{dir}/ghost-on.txt|{dir}/ghost-off.txt
""" + "".join(user_ini(name, password, access="", extra=["LoginMesFile={dir}/login.txt"])
             for name, password in (("joe", "secret"), ("dash", "-secret")))

FILES = {
    "all-on.txt": "welcome to all\nsecond line\n",
    "all-off.txt": "bye %x and %%\n",
    "home-on.txt": "home sign-on\n",
    "login.txt": "%Name from %IP\n%u24hours ok\n%unow %fup %ftot %disk\n",
}


# A home with its own entry uses its file, another address the -1 entry.
# The home has no sign-off of its own: the -1 file is used, "%x" and "%%"
# unchanged. The login message with variables comes before 230. A leading
# "-" turns it off; a real password beginning with "-" logs in on the retry
# and keeps it on.
def test_sign_on_off_and_login_messages():
    with Server(BASE, FILES) as srv:
        c = Client(srv.port, "127.0.0.2")
        expect(c.reply(), ["220-" + BANNER[4:], "220-welcome to all", "220 second line"])
        c.close()
        c = Client(srv.port, "127.0.0.1")
        expect(c.reply(), ["220-" + BANNER[4:], "220 home sign-on"])
        expect(c.cmd("QUIT"), ["221 bye %x and %%"])
        r = greeted(srv.port).user("joe", "secret")
        expect(len(r), 4, r)
        assert r[0] in ("230-JOE from 127.0.0.1", "230-JOE from localhost"), r
        assert re.fullmatch(r"230-\d+ours ok", r[1]), r
        expect(r[2], "230-1 0 0 C", "unow fup ftot disk")
        expect(r[3], "230 User logged in, proceed.")
        expect(greeted(srv.port).user("joe", "-secret"), ["230 User logged in, proceed."])
        r = greeted(srv.port).user("dash", "-secret")
        expect(len(r), 4, r)


# Sign-on and sign-off of zero lines: the banner alone and "221 Goodbye!".
def test_empty_files():
    files = dict(FILES)
    files["all-on.txt"] = ""
    files["all-off.txt"] = ""
    ini = BASE.replace("MessageFiles2=1|{dir}/home-on.txt|\n", "")
    with Server(ini, files) as srv:
        c = Client(srv.port)
        expect(c.reply(), [BANNER])
        expect(c.cmd("QUIT"), ["221 Goodbye!"])


# An IPv6 home on ::1 beside the IPv4 one.
V6 = (BASE.replace("IP2=127.0.0.300,bad octet\n",
                   "IP2=127.0.0.300,bad octet\nIP3=::1,six.example\n")
      .replace("[USER=joe]\n", "MessageFiles4=3|{dir}/six-on.txt|{dir}/six-off.txt\n"
               "[USER=joe@3]\nPassword=six\nHomeDir={home}\nAccess1={home},RL\nMaxNrUsers=1\n"
               "[USER=joe]\n", 1))
V6_FILES = dict(FILES, **{"six-on.txt": "six sign-on, %UNonAnonThisIP here\n",
                          "six-off.txt": "six sign-off\n"})


# On ::1 the IPv6 home's own sign-on (its session count is its own), its
# own account with a session limit that counts only its sessions, EPSV
# data over ::1, its sign-off; HOST picks it from an IPv4 connection.
def test_v6_home():
    with Server(V6, V6_FILES) as srv:
        write_file(srv.home + "/f.txt", "six")
        v4 = login(srv.port, "joe", "secret")
        a = Client(srv.port, "::1")
        expect(a.reply(), ["220-" + BANNER[4:], "220 six sign-on, 1 here"], "sign-on on ::1")
        expect(a.user("joe", "six"), ["230 User logged in, proceed."], "the home's own account")
        r = a.cmd("EPSV")
        m = re.fullmatch(r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)", r[0])
        assert m and len(r) == 1, r
        d = socket.create_connection(("::1", int(m.group(1))), timeout=10)
        expect(a.transfer("RETR f.txt", d), sent("f.txt", b"six"), "EPSV data over ::1")
        b = greeted(srv.port, "::1")
        expect(b.cmd("USER joe"), ["421 Too many users - please try again later."],
               "second session on the IPv6 home")
        login(srv.port, "joe", "secret").close()  # the IPv4 home has no such limit
        h = Client(srv.port)
        expect(h.reply(), ["220-" + BANNER[4:], "220 home sign-on"])
        expect(h.cmd("HOST six.example"), ["220 Host accepted."])
        expect(h.cmd("QUIT"), ["221 six sign-off"], "HOST chose the IPv6 home")
        expect(a.cmd("QUIT"), ["221 six sign-off"])
        v4.close()


# Listening to the homes only: a listener on ::1 alone.
def test_v6_home_only():
    ini = V6.replace("[GLOBAL]\n", "[GLOBAL]\nListenToIPHomesOnly=YES\n").replace(
        "IP1=127.0.0.1,loopback home\n", "")
    with Server(ini, V6_FILES) as srv:
        srv.wait_log("FTP Server listening on port number %d, IP ::1" % srv.port)
        expect(Client(srv.port, "::1").reply()[-1], "220 six sign-on, 1 here")
        try:
            Client(srv.port, "127.0.0.1").reply()
            raise AssertionError("127.0.0.1 answered")
        except OSError:
            pass


run([test_sign_on_off_and_login_messages, test_empty_files, test_v6_home, test_v6_home_only])
