"""Greeting, sign-off, login messages and "%" variables."""
import re

from ftp_e2e import BANNER, Client, Server, expect, run

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
[USER=joe]
Password=secret
HomeDir={home}
LoginMesFile={dir}/login.txt
[USER=dash]
Password=-secret
HomeDir={home}
LoginMesFile={dir}/login.txt
"""

FILES = {
    "all-on.txt": "welcome to all\nsecond line\n",
    "all-off.txt": "bye %x and %%\n",
    "home-on.txt": "home sign-on\n",
    "login.txt": "%Name from %IP\n%u24hours ok\n%unow %fup %ftot %disk\n",
}


# A home with its own entry uses its file; another address the -1 entry.
def test_sign_on_by_home():
    with Server(BASE, FILES) as srv:
        c = Client(srv.port, "127.0.0.1")
        expect(c.reply(), ["220-" + BANNER[4:], "220 home sign-on"])
        c = Client(srv.port, "127.0.0.2")
        expect(c.reply(), ["220-" + BANNER[4:], "220-welcome to all", "220 second line"])


# The home entry has no sign-off of its own: the -1 file is used; "%x"
# and "%%" pass unchanged.
def test_sign_off():
    with Server(BASE, FILES) as srv:
        c = Client(srv.port)
        c.reply()
        expect(c.cmd("QUIT"), ["221 bye %x and %%"])


# The login message with variables, sent before the 230 reply.
def test_login_message_variables():
    with Server(BASE, FILES) as srv:
        c = Client(srv.port)
        c.reply()
        c.cmd("USER joe")
        r = c.cmd("PASS secret")
        expect(len(r), 4, r)
        assert r[0] in ("230-JOE from 127.0.0.1", "230-JOE from localhost"), r
        assert re.fullmatch(r"230-\d+ours ok", r[1]), r
        expect(r[2], "230-1 0 0 C", "unow fup ftot disk")
        expect(r[3], "230 User logged in, proceed.")


# A leading "-" turns the messages off; a real password beginning with
# "-" logs in on the retry and keeps them on.
def test_dash_password():
    with Server(BASE, FILES) as srv:
        c = Client(srv.port)
        c.reply()
        c.cmd("USER joe")
        expect(c.cmd("PASS -secret"), ["230 User logged in, proceed."])
        c = Client(srv.port)
        c.reply()
        c.cmd("USER dash")
        r = c.cmd("PASS -secret")
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


run([test_sign_on_by_home, test_sign_off, test_login_message_variables, test_dash_password,
     test_empty_files])
