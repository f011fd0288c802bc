"""USER and PASS under every limit."""
import signal
import socket
import statistics
import threading
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)
import crypt  # noqa: E402  (DES crypt, as the account store stores passwords)

from ftp_e2e import Server, expect, greeted, login, run, user_ini, wait_until  # noqa: E402

BANNER = "220 Vantor FTP-Server v2.5k for WinSock ready..."
NOT_IN = "530 Not logged in."
PROCEED = "230 User logged in, proceed."
NEED = "331 User name okay, need password."
EMAIL = "331 User name okay, please send complete E-mail address as password."


def ini(extra_global="", extra=""):
    hashed = crypt.crypt("secret", "ab")
    return ("[GLOBAL]\nVersion=2.5.11.3\n%s\n" % extra_global
            + user_ini("anonymous", None, access="") + user_ini("joe", hashed, access="")
            + user_ini("nopass", "", access="")
            + user_ini("once", hashed, access="", extra=["MaxUsersLoginPerIP=1"])
            + user_ini("twice", hashed, access="", extra=["MaxUsersLoginPerIP=2"])
            + user_ini("vip", hashed, access="", extra=["AlwaysAllowLogin=YES"])
            + user_ini("lost", hashed, "{dir}/missing", access="")
            + user_ini("nohome", hashed, None) + extra)


def wrong_passwords(c, n):
    """`n` wrong passwords for joe, each refused."""
    for _ in range(n):
        expect(c.cmd("USER joe"), [NEED])
        expect(c.cmd("PASS bad"), [NOT_IN])


# One server, the login rules in turn: a crypt-stored password (two wrong
# ones, then the right one); the third wrong password before any login
# disconnects, after a login the tenth further one; USER forms (empty
# password, user@host, the FTP alias, an empty name); the home directory
# missing from the account or from the disk; logins per client address.
def test_login_rules():
    with Server(ini()) as srv:
        c = greeted(srv.port)
        wrong_passwords(c, 2)
        expect(c.user("joe", "secret"), [PROCEED])
        srv.wait_log(") User JOE logged in")
        for c, n in ((greeted(srv.port), 3), (login(srv.port, "joe", "secret"), 10)):
            wrong_passwords(c, n)
            expect(c.reply(), ["530 Not logged in, too many tries with incorrect password."])
            assert c.closed(15)
        srv.wait_log('Too many times wrong password for user "JOE" - disconnecting')
        expect(greeted(srv.port).cmd("USER nopass"), [PROCEED], "empty password logs in at USER")
        for user, password, first in [("joe@far.example.org", "secret", NEED),
                                      ("ftp", "guest@example.org", EMAIL)]:
            c = greeted(srv.port)
            expect([c.cmd("USER " + user), c.cmd("PASS " + password)], [[first], [PROCEED]], user)
        srv.wait_log("ANONYMOUS logged in, password: GUEST@EXAMPLE.ORG")
        expect(greeted(srv.port).cmd("USER"), [NOT_IN], "empty user name")
        c = greeted(srv.port)
        expect(c.user("lost"), ["530 Not logged in, home directory does not exist."])
        srv.wait_log("Error logging in user LOST, home dir ")
        expect(c.user("nohome"), ["530 Not logged in, cannot find home directory."])
        expect(c.user("joe"), [PROCEED], "session stays usable")
        held = [login(srv.port, "once", "secret")]
        c = greeted(srv.port)
        expect(c.user("once"),
               ["530 Not logged in, only allowed to be logged in once concurrently."])
        assert c.closed(15)
        held += [login(srv.port, "twice", "secret"), login(srv.port, "twice", "secret")]
        expect(greeted(srv.port).user("twice"),
               ["530 Not logged in, only allowed to be logged in 2 times concurrently."])
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
        vip = greeted(srv.port)
        expect(vip.cmd("USER vip"), [NEED])
        # A connection not logged in still counts against the address's
        # limit until the server has seen it close.
        vip.close()
        srv.wait_log("(000002) Closing connection")
        first = login(srv.port, "vipone", "x")
        too_many(srv, "vipone", "Too many VIPONE users - disconnecting")
        first.close()


# yescrypt, the default for new passwords (python's crypt reaches libcrypt).
YESCRYPT = crypt.crypt("secret", "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$")
HASHED = ("[GLOBAL]\nVersion=2.5.11.3\n" + user_ini("joe", YESCRYPT, access="")
          + user_ini("off", YESCRYPT, access="", extra=["Enable=NO"])
          + user_ini("nopass", "", access=""))


def ms(c, line):
    """The milliseconds from sending `line` to its whole reply, and the reply."""
    t0 = time.perf_counter()
    r = c.cmd(line)
    return (time.perf_counter() - t0) * 1000, r


# While 8 clients send wrong passwords for a yescrypt account, the hashes run
# on the workers: another session's NOOP is answered at once.
def test_password_hashes_leave_the_loop_free():
    assert YESCRYPT.startswith("$y$"), YESCRYPT
    with Server(HASHED) as srv:
        probe = greeted(srv.port)
        expect(probe.cmd("USER nopass"), [PROCEED])
        stop, tries = threading.Event(), []

        def wrong_passwords_until_stopped():
            while not stop.is_set():
                c = greeted(srv.port)
                for _ in range(2):  # the third would disconnect
                    expect(c.cmd("USER joe"), [NEED])
                    expect(c.cmd("PASS wrong"), [NOT_IN])
                    tries.append(1)
                c.close()

        threads = [threading.Thread(target=wrong_passwords_until_stopped, daemon=True)
                   for _ in range(8)]
        for t in threads:
            t.start()
        try:
            assert wait_until(lambda: len(tries) >= 8, 30), "the wrong passwords did not start"
            noops = [ms(probe, "NOOP") for _ in range(100)]
        finally:
            stop.set()
            for t in threads:
                t.join(60)
        expect({r[0] for _, r in noops}, {"200 Command okay."})
        median = statistics.median(t for t, _ in noops)
        assert median < 10, "NOOP median %.1f ms while wrong passwords are hashed" % median
        expect(greeted(srv.port).user("joe", "secret"), [PROCEED], "the right one still works")


# PASS for a name without an account, or for a disabled one, costs a hash of
# the default kind too: the time of the refusal does not tell which names
# exist (medians within a factor of 2).
def test_refusal_time_does_not_tell_names():
    with Server(HASHED) as srv:
        times = {"joe": [], "ghost": [], "off": []}
        for _ in range(9):
            for name in times:
                c = greeted(srv.port)
                expect(c.cmd("USER " + name), [NEED], name)
                t, r = ms(c, "PASS wrong")
                expect(r, [NOT_IN], name)
                times[name].append(t)
                c.close()
        # Per-round ratios: the three tries of a round run back to back, so a
        # busy moment of the machine slows all three alike.
        for name in ("ghost", "off"):
            ratios = [j / max(o, 0.001) for j, o in zip(times["joe"], times[name])]
            ratio = statistics.median(ratios)
            assert 0.5 <= ratio <= 2, "PASS times %r, %s ratio %.2f" % (times, name, ratio)


# A reload ends the sessions whose account was disabled or removed, or whose
# address the rules now refuse, as a kill from the administration window
# does; the others carry on.
def test_reload_ends_sessions_no_longer_admitted():
    with Server(ini()) as srv:
        users = ["joe", "once", "twice", "vip"]
        held = {u: login(srv.port, u, "secret") for u in users}
        with open(srv.ini) as f:
            text = f.read()
        text = text.replace("[USER=joe]\n", "[USER=joe]\nEnable=NO\n")
        text = text.replace("[USER=twice]\n", "[USER=twice]\nIP1=D,127.0.0.1\n")
        text = text.replace("[USER=once]\n", "[USER=gone]\n")
        with open(srv.ini, "w") as f:
            f.write(text)
        srv.signal(signal.SIGHUP)
        for u in ("joe", "once", "twice"):
            assert held[u].closed(15), u + " still served"
            srv.wait_log(") User %s is no longer admitted after the reload - session killed"
                         % u.upper())
            srv.wait_log(") Closing connection for user %s (" % u.upper())
        expect(held["vip"].cmd("NOOP"), ["200 Command okay."], "an admitted session")


# The default bound on connections not logged in: 200 from one address are
# all greeted; with MaxNrUsers set, one address cannot take every slot.
def test_connections_before_login_per_address():
    for extra, opened, greeted_want in (("", 200, 200), ("MaxNrUsers=8", 7, 6)):
        with Server(ini(extra)) as srv:
            socks = [socket.create_connection(("127.0.0.1", srv.port), timeout=20)
                     for _ in range(opened)]
            replies = []
            for s in socks:
                data = b""
                while not data.endswith(b"\r\n"):
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                replies.append(data.decode("latin-1").strip())
            for s in socks:  # not earlier: a closed one would no longer count
                s.close()
            expect(replies.count(BANNER), greeted_want, extra or "defaults")
            expect(replies[greeted_want:],
                   ["421 Too many connections from your address - please try again later."]
                   * (opened - greeted_want), extra or "defaults")


run([test_login_rules, test_always_allow_keeps_account_limit,
     test_password_hashes_leave_the_loop_free, test_refusal_time_does_not_tell_names,
     test_reload_ends_sessions_no_longer_admitted, test_connections_before_login_per_address])
