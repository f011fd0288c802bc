"""USER and PASS under every limit."""
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)
import crypt  # noqa: E402  (DES crypt, as the account store stores passwords)

from ftp_e2e import Server, expect, greeted, login, run  # noqa: E402

NOT_IN = "530 Not logged in."
PROCEED = "230 User logged in, proceed."
NEED = "331 User name okay, need password."
EMAIL = "331 User name okay, please send complete E-mail address as password."


def ini(extra_global="", extra=""):
    hashed = crypt.crypt("secret", "ab")
    return """[GLOBAL]
Version=2.5.11.3
%s
[USER=anonymous]
HomeDir={home}
[USER=joe]
Password=%s
HomeDir={home}
[USER=nopass]
Password=
HomeDir={home}
[USER=once]
Password=%s
HomeDir={home}
MaxUsersLoginPerIP=1
[USER=twice]
Password=%s
HomeDir={home}
MaxUsersLoginPerIP=2
[USER=vip]
Password=%s
HomeDir={home}
AlwaysAllowLogin=YES
[USER=lost]
Password=%s
HomeDir={dir}/missing
[USER=nohome]
Password=%s
%s""" % (extra_global, hashed, hashed, hashed, hashed, hashed, hashed, extra)


# A crypt-stored password; two wrong ones and then the right one log in.
def test_crypt_password_and_retries():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        expect(c.cmd("USER joe"), [NEED])
        expect(c.cmd("PASS wrong"), [NOT_IN])
        expect(c.cmd("USER joe"), [NEED])
        expect(c.cmd("PASS wrong"), [NOT_IN])
        expect(c.cmd("USER joe"), [NEED])
        expect(c.cmd("PASS secret"), [PROCEED])
        srv.wait_log(") User JOE logged in")


# The third wrong password before any login disconnects.
def test_third_wrong_password_disconnects():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        for _ in range(2):
            c.cmd("USER joe")
            expect(c.cmd("PASS bad"), [NOT_IN])
        c.cmd("USER joe")
        expect(c.cmd("PASS bad"), [NOT_IN])
        expect(c.reply(), ["530 Not logged in, too many tries with incorrect password."])
        assert c.closed(15)
        srv.wait_log('Too many times wrong password for user "JOE" - disconnecting')


# After a login, the tenth further wrong password disconnects.
def test_tenth_after_login():
    with Server(ini()) as srv:
        c = login(srv.port, "joe", "secret")
        for _ in range(9):
            c.cmd("USER joe")
            expect(c.cmd("PASS bad"), [NOT_IN])
        c.cmd("USER joe")
        expect(c.cmd("PASS bad"), [NOT_IN])
        expect(c.reply(), ["530 Not logged in, too many tries with incorrect password."])


# USER forms: empty password, user@host, the FTP alias, no anonymous account.
def test_user_forms():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        expect(c.cmd("USER nopass"), [PROCEED], "empty password logs in at USER")
        c.close()
        c = greeted(srv.port)
        expect(c.cmd("USER joe@far.example.org"), [NEED])
        expect(c.cmd("PASS secret"), [PROCEED])
        c.close()
        c = greeted(srv.port)
        expect(c.cmd("USER ftp"), [EMAIL])
        expect(c.cmd("PASS guest@example.org"), [PROCEED])
        srv.wait_log("ANONYMOUS logged in, password: GUEST@EXAMPLE.ORG")
        c = greeted(srv.port)
        expect(c.cmd("USER"), [NOT_IN], "empty user name")
    with Server(ini().replace("[USER=anonymous]\nHomeDir={home}\n", "")) as srv:
        c = greeted(srv.port)
        expect(c.cmd("USER anonymous"), ["530 Sorry, no ANONYMOUS access allowed."])


# MaxNrUsers 0 refuses everybody but accounts with AlwaysAllowLogin.
def test_max_users_zero():
    with Server(ini("MaxNrUsers=0")) as srv:
        c = greeted(srv.port)
        expect(c.cmd("USER joe"), ["421 Too many users - please try again later."])
        assert c.closed(15)
        srv.wait_log("Too many  users - disconnecting")
        c = greeted(srv.port)
        expect(c.cmd("USER vip"), [NEED])


# The account's own MaxNrUsers counts its sessions.
def test_account_user_limit():
    extra = "[USER=solo]\nPassword=%s\nHomeDir={home}\nMaxNrUsers=1\n" % crypt.crypt("x", "cd")
    with Server(ini(extra=extra)) as srv:
        first = login(srv.port, "solo", "x")
        c = greeted(srv.port)
        expect(c.cmd("USER solo"), ["421 Too many users - please try again later."])
        srv.wait_log("Too many SOLO users - disconnecting")
        first.close()


# AlwaysAllowLogin lifts the server's limit only: the account's own
# MaxNrUsers still refuses its second session.
def test_always_allow_keeps_account_limit():
    extra = ("[USER=vipone]\nPassword=%s\nHomeDir={home}\nAlwaysAllowLogin=YES\n"
             "MaxNrUsers=1\n" % crypt.crypt("x", "cd"))
    with Server(ini("MaxNrUsers=0", extra)) as srv:
        first = login(srv.port, "vipone", "x")
        c = greeted(srv.port)
        expect(c.cmd("USER vipone"), ["421 Too many users - please try again later."])
        assert c.closed(15)
        srv.wait_log("Too many VIPONE users - disconnecting")
        first.close()


# Logins per client address: once, then a number of times.
def test_logins_per_address():
    with Server(ini()) as srv:
        a = login(srv.port, "once", "secret")
        c = greeted(srv.port)
        c.cmd("USER once")
        expect(c.cmd("PASS secret"),
               ["530 Not logged in, only allowed to be logged in once concurrently."])
        assert c.closed(15)
        t1 = login(srv.port, "twice", "secret")
        t2 = login(srv.port, "twice", "secret")
        c = greeted(srv.port)
        c.cmd("USER twice")
        expect(c.cmd("PASS secret"),
               ["530 Not logged in, only allowed to be logged in 2 times concurrently."])
        for x in (a, t1, t2):
            x.close()


# Home directories: missing key, missing directory.
def test_home_directory():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        c.cmd("USER lost")
        expect(c.cmd("PASS secret"), ["530 Not logged in, home directory does not exist."])
        srv.wait_log("Error logging in user LOST, home dir ")
        c.cmd("USER nohome")
        expect(c.cmd("PASS secret"), ["530 Not logged in, cannot find home directory."])
        c.cmd("USER joe")
        expect(c.cmd("PASS secret"), [PROCEED], "session stays usable")


# With security off USER logs in at once; PASS then finds the wrong state.
def test_security_off():
    with Server(ini("Security=OFF")) as srv:
        c = greeted(srv.port)
        expect(c.cmd("USER whoever"), ["230 User WHOEVER logged in."])
        expect(c.cmd("PASS x"), ["503 Bad sequence of commands."])
        expect(c.cmd("PWD"), [NOT_IN])


run([test_crypt_password_and_retries, test_third_wrong_password_disconnects,
     test_tenth_after_login, test_user_forms, test_max_users_zero, test_account_user_limit,
     test_always_allow_keeps_account_limit,
     test_logins_per_address, test_home_directory, test_security_off])
