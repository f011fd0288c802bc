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


def wrong_passwords(c, n):
    """`n` wrong passwords for joe, each refused."""
    for _ in range(n):
        expect(c.cmd("USER joe"), [NEED])
        expect(c.cmd("PASS bad"), [NOT_IN])


# A crypt-stored password; two wrong ones and then the right one log in.
def test_crypt_password_and_retries():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        wrong_passwords(c, 2)
        expect(c.cmd("USER joe"), [NEED])
        expect(c.cmd("PASS secret"), [PROCEED])
        srv.wait_log(") User JOE logged in")


# The third wrong password before any login disconnects; after a login, the
# tenth further one does.
def test_third_wrong_password_disconnects():
    with Server(ini()) as srv:
        for c, n in ((greeted(srv.port), 3), (login(srv.port, "joe", "secret"), 10)):
            wrong_passwords(c, n)
            expect(c.reply(), ["530 Not logged in, too many tries with incorrect password."])
            assert c.closed(15)
        srv.wait_log('Too many times wrong password for user "JOE" - disconnecting')


# USER forms: empty password, user@host, the FTP alias, no anonymous account.
def test_user_forms():
    with Server(ini()) as srv:
        expect(greeted(srv.port).cmd("USER nopass"), [PROCEED], "empty password logs in at USER")
        c = greeted(srv.port)
        expect(c.cmd("USER joe@far.example.org"), [NEED])
        expect(c.cmd("PASS secret"), [PROCEED])
        c = greeted(srv.port)
        expect(c.cmd("USER ftp"), [EMAIL])
        expect(c.cmd("PASS guest@example.org"), [PROCEED])
        srv.wait_log("ANONYMOUS logged in, password: GUEST@EXAMPLE.ORG")
        expect(greeted(srv.port).cmd("USER"), [NOT_IN], "empty user name")
    with Server(ini().replace("[USER=anonymous]\nHomeDir={home}\n", "")) as srv:
        expect(greeted(srv.port).cmd("USER anonymous"),
               ["530 Sorry, no ANONYMOUS access allowed."])


def too_many(srv, user, log):
    """USER of `user` is refused with 421, logged as `log`, and closed."""
    c = greeted(srv.port)
    expect(c.cmd("USER " + user), ["421 Too many users - please try again later."])
    assert c.closed(15)
    srv.wait_log(log)


# MaxNrUsers 0 refuses everybody but accounts with AlwaysAllowLogin, which
# lifts the server's limit only: the account's own MaxNrUsers still refuses
# its second session.
def test_always_allow_keeps_account_limit():
    extra = ("[USER=vipone]\nPassword=%s\nHomeDir={home}\nAlwaysAllowLogin=YES\n"
             "MaxNrUsers=1\n" % crypt.crypt("x", "cd"))
    with Server(ini("MaxNrUsers=0", extra)) as srv:
        too_many(srv, "joe", "Too many  users - disconnecting")
        expect(greeted(srv.port).cmd("USER vip"), [NEED])
        first = login(srv.port, "vipone", "x")
        too_many(srv, "vipone", "Too many VIPONE users - disconnecting")
        first.close()


# Logins per client address: once, then a number of times.
def test_logins_per_address():
    with Server(ini()) as srv:
        held = [login(srv.port, "once", "secret")]
        c = greeted(srv.port)
        expect(c.user("once"),
               ["530 Not logged in, only allowed to be logged in once concurrently."])
        assert c.closed(15)
        held += [login(srv.port, "twice", "secret"), login(srv.port, "twice", "secret")]
        expect(greeted(srv.port).user("twice"),
               ["530 Not logged in, only allowed to be logged in 2 times concurrently."])
        for x in held:
            x.close()


# Home directories: missing key, missing directory.
def test_home_directory():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        expect(c.user("lost"), ["530 Not logged in, home directory does not exist."])
        srv.wait_log("Error logging in user LOST, home dir ")
        expect(c.user("nohome"), ["530 Not logged in, cannot find home directory."])
        expect(c.user("joe"), [PROCEED], "session stays usable")


run([test_crypt_password_and_retries, test_third_wrong_password_disconnects, test_user_forms,
     test_always_allow_keeps_account_limit, test_logins_per_address, test_home_directory])
