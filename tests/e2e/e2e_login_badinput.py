"""Bad input never stops the server and leaves no session behind."""
import random
import socket
import time

from ftp_e2e import BANNER, Client, Server, expect, greeted, login, run, wait_until

INI = """[GLOBAL]
Version=2.5.11.3
EncryptPasswords=NO
[USER=joe]
Password=secret
HomeDir={home}
"""


def sessions_closed(srv, count, timeout=20):
    """Waits until `count` sessions have logged their closing line."""
    def closed():
        return sum(1 for l in srv.log() if ") Closing connection" in l)
    if not wait_until(lambda: closed() >= count, timeout):
        raise AssertionError("only %d of %d sessions closed" % (closed(), count))


# Binary garbage gets replies; the server stays up.
def test_binary_garbage():
    rnd = random.Random(7)
    with Server(INI) as srv:
        c = login(srv.port, "joe", "secret")
        junk = bytes(rnd.randrange(256) for _ in range(20000))
        c.sock.sendall(junk + b"\r\nNOOP\r\n")
        deadline = time.time() + 20
        while True:
            assert time.time() < deadline, "no reply to NOOP after garbage"
            if c.line() == "200 Command okay.":
                break
        expect(Client(srv.port).reply(), [BANNER])


# 100 KB without CR make one line, cut at the buffer and answered once.
def test_long_line_without_cr():
    with Server(INI) as srv:
        c = login(srv.port, "joe", "secret")
        c.sock.sendall(b"Z" * 100000 + b"\r\nNOOP\r\n")
        replies = []
        while True:
            l = c.line()
            replies.append(l)
            if l == "200 Command okay.":
                break
        # The line is cut once; the rest of it up to its end is dropped, not
        # read as further commands.
        unknown = "500 '%s': command not understood." % ("Z" * 160)
        expect(replies, [unknown, "200 Command okay."])


# A flood of connections that vanish at once leaves no session behind.
def test_connection_flood():
    with Server(INI) as srv:
        for _ in range(300):
            s = socket.create_connection(("127.0.0.1", srv.port))
            s.close()
        sessions_closed(srv, 300)
        expect(Client(srv.port).reply(), [BANNER])


# A client that disappears in the middle of a command leaves no session.
def test_client_gone_mid_command():
    with Server(INI) as srv:
        c = greeted(srv.port)
        c.sock.sendall(b"USER jo")
        c.close()
        c = login(srv.port, "joe", "secret")
        c.sock.sendall(b"NOO")
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        c.close()
        sessions_closed(srv, 2)
        srv.wait_log("Closing connection for user JOE")


run([test_binary_garbage, test_long_line_without_cr, test_connection_flood,
     test_client_gone_mid_command])
