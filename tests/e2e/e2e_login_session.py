"""Session and command interpreter: replies, states, logging of commands,
socket options. (Real clients log in and out in e2e_transfer_clients,
e2e_tls and e2e_modern_commands.)"""
import ctypes
import os
import re
import socket

from ftp_e2e import BANNER, Client, Server, expect, login, run, user_ini, write_file

INI = """[GLOBAL]
Version=2.5.11.3
EncryptPasswords=NO
""" + user_ini("anonymous", None, access="") + user_ini("joe", access="")

HELP = [
    "214- The following commands are recognized (* => unimplemented).",
    "   USER    PORT    RETR    ALLO    DELE    SITE    XMKD    CDUP",
    "   PASS    PASV    STOR    REST    CWD     STAT    RMD     XCUP",
    "   ACCT    TYPE    APPE    RNFR    XCWD    HELP    XRMD    STOU",
    "   REIN    STRU    SMNT    RNTO    LIST    NOOP    PWD     SIZE",
    "   QUIT    MODE    SYST    ABOR    NLST    MKD     XPWD    MDTM",
    "214 Vantor FTP Server version 2.5.11.3",
]


# Fixed replies before and after login, byte for byte: empty lines and
# lines of Telnet commands get no reply at all (the NOOP after them gets
# the next reply), PASS before USER is 503 and logged as typed plus
# " xxxxx", REIN returns to the connected state without closing. (Telnet
# stripping and verb matching: RFTPLine.StripTelnet, VerbMatching; QUIT
# closing right after its 221: ConnectionTest.ClosesRightAfterQuitReply;
# unknown verbs after login: SessionTest.DispatchStates.)
def test_fixed_replies():
    with Server(INI) as srv:
        c = Client(srv.port)
        expect(c.reply(), [BANNER], "greeting without sign-on file")
        for line in (b"", b"   \t ", b"\xff\xf4\xff\xf2"):
            c.send(line)
        not_in = ["530 Not logged in."]
        for line, want in [("NOOP", ["200 Command okay."]), ("syst", ["215 UNIX Type: L8"]),
                           ("OPEN somewhere", ["200 Opened OK (but not really)."]),
                           ("xyz abc", not_in), ("CWD /", not_in), ("ACCT x", not_in),
                           ("HELP me", HELP), ("Pass secret", ["503 Bad sequence of commands."]),
                           (b"\xff\xf4NO\xff\xf1OP", ["200 Command okay."])]:
            expect(c.cmd(line), want, line)
        line = srv.wait_log(") Pass xxxxx")
        assert re.match(r"LOG 4 \(\d{6}\) Pass xxxxx$", line), line
        expect(c.user("joe", "secret"), ["230 User logged in, proceed."])
        expect(c.cmd("REIN"), ["220 Service ready for new user."])
        expect(c.cmd("PWD"), not_in)
        # An anonymous session's PASS is logged in full.
        c.user("anonymous", "me@example.org")
        srv.wait_log(") PASS me@example.org")


def server_socket(pid, peer):
    """The server's socket whose peer is `peer` (our end), duplicated into
    this process with pidfd_getfd so its options can be read."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    seen = []
    try:
        for name in os.listdir("/proc/%d/fd" % pid):
            # The server keeps working meanwhile: a descriptor listed a moment
            # ago (another session's, a data connection's) may be gone.
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, name))
            except FileNotFoundError:
                continue
            if not target.startswith("socket:"):
                continue
            fd = libc.syscall(438, pidfd, int(name), 0)  # pidfd_getfd
            if fd < 0:
                continue
            s = socket.socket(fileno=fd)
            seen.append(name)
            try:
                # The dual-stack listener's connections name an IPv4 peer
                # in its v4-mapped form.
                got = s.getpeername()
                host = got[0][7:] if got[0].startswith("::ffff:") else got[0]
                if s.type == socket.SOCK_STREAM and (host, got[1]) == tuple(peer):
                    return s
            except OSError:
                pass
            s.close()
    finally:
        os.close(pidfd)
    raise AssertionError("no server socket for %r among %r" % (peer, seen))


def download_under_way(srv):
    """A logged-in session whose 16 MiB download is stuck because the client
    reads nothing: (control client, data socket)."""
    write_file(os.path.join(srv.home, "big.bin"), b"\0" * (16 << 20))
    c = login(srv.port, "joe", "secret")
    d = c.pasv_connect()
    expect(c.cmd("RETR big.bin")[0][:4], "150 ", "download under way")
    return c, d


S, TCP = socket.SOL_SOCKET, socket.IPPROTO_TCP
ALL = [(S, socket.SO_OOBINLINE), (S, socket.SO_KEEPALIVE), (TCP, socket.TCP_NODELAY),
       (S, socket.SO_SNDBUF), (S, socket.SO_RCVBUF)]


# The [GLOBAL] socket options reach the control connection and the data
# connection alike (the kernel doubles a buffer size it is given). Control
# connections keep alive by default (they inherit it from the listener) and
# data connections do not; SocketKeepAlive=0 turns it off for both.
def test_socket_options_from_global():
    given = ("SocketInlineOOB=1\nSocketKeepAlive=1\nSocketNoNagle=1\nSocketSndBuffer=65536\n"
             "SocketRcvBuffer=98304\n")
    for setting, opts, want in [(given, ALL, [(1, 1, 1, 131072, 196608)] * 2),
                                ("", ALL[1:2], [(1,), (0,)]),
                                ("SocketKeepAlive=0\n", ALL[1:2], [(0,), (0,)])]:
        ini = INI.replace("[GLOBAL]\n", "[GLOBAL]\n" + setting) + "Access1={home},RL\n"
        with Server(ini) as srv:
            c, d = download_under_way(srv)
            got = []
            for ours in (c.sock, d):
                with server_socket(srv.proc.pid, ours.getsockname()) as s:
                    got.append(tuple(s.getsockopt(*o) for o in opts))
            expect(got, want, "control and data socket options with %r" % setting)
            d.close()
            expect(c.line()[:4], "426 ", "download cut off")


run([test_fixed_replies, test_socket_options_from_global])
