"""Admission: the on-line switch, listeners and IP homes (anti-hammering:
MetricsLoopbackTest.ConnectionsAndAntiHammering and e2e_metrics); bad input
never stops the server and leaves no session behind."""
import random
import signal
import socket
import struct
import sys

from ftp_e2e import (BANNER, Client, Server, closed_silently, expect, greeted, login, run,
                     user_ini, wait_until)

INI = """[GLOBAL]
Version=2.5.11.3
EncryptPasswords=NO
%s
""" + user_ini("joe", access="")


# Off-line: logged-in users stay, new clients get 421 and are closed.
def test_off_line():
    with Server(INI % "") as srv:
        joe = login(srv.port, "joe", "secret")
        srv.signal(signal.SIGUSR1)
        srv.wait_log("FTP Server going off-line...")
        c = Client(srv.port)
        expect(c.reply(), ["421 Server is temporarily unavailable - please try again later."])
        assert c.closed(15)
        expect(joe.cmd("NOOP"), ["200 Command okay."])
        srv.signal(signal.SIGUSR1)
        srv.wait_log("FTP Server on-line...")
        expect(Client(srv.port).reply(), [BANNER])


# Listening to IP homes only without homes: not listening, off-line; the
# on-line toggle then reports the problem.
def test_homes_only_without_homes():
    srv = Server(INI % "ListenToIPHomesOnly=YES", expect_online=False)
    try:
        assert not srv.online
        srv.wait_log("SERVER IS NOT LISTENING: Server is set up to listen to home IPs, "
                     "but no IP addresses have been specified")
        srv.signal(signal.SIGUSR1)
        srv.wait_log("PROBLEM: Cannot set up listening socket - server off-line")
    finally:
        srv.stop()


# A rule naming a host: the connection that first matches it is judged by
# its address alone (refused); from then on host names are looked up before
# admission, and the next connection from the same address gets in.
def test_host_name_rule():
    try:
        name = socket.gethostbyaddr("127.0.0.1")[0]
    except OSError:
        name = ""
    if not any(c.isalpha() for c in name[1:]):
        print("skipped: 127.0.0.1 has no host name here", file=sys.stderr)
        return
    with Server(INI % "" + "[IP-ACCESS]\nIP1=A,%s\n" % name) as srv:
        assert closed_silently(srv.port), "admitted before any host name was looked up"
        srv.wait_log("Connection denied to IP-number 127.0.0.1")
        expect(Client(srv.port).reply(), [BANNER])


# Bad input never stops the server and leaves no session behind: binary
# garbage gets replies; 100 KB without CR make one line, cut at the buffer
# and answered once (the rest up to its end is dropped, not read as
# commands); 300 connections that vanish at once and two clients gone in
# the middle of a command (USER, NOO with a reset) each log their close.
def test_bad_input():
    rnd = random.Random(7)
    with Server(INI % "") as srv:
        c = first = login(srv.port, "joe", "secret")
        c.sock.sendall(bytes(rnd.randrange(256) for _ in range(20000)) + b"\r\nNOOP\r\n")
        assert wait_until(lambda: c.line() == "200 Command okay.", 20), "NOOP after garbage"
        c.sock.sendall(b"Z" * 100000 + b"\r\nNOOP\r\n")
        expect([c.line(), c.line()],
               ["500 '%s': command not understood." % ("Z" * 160), "200 Command okay."])
        for _ in range(300):
            socket.create_connection(("127.0.0.1", srv.port)).close()
        c = greeted(srv.port)
        c.sock.sendall(b"USER jo")
        c.close()
        c = login(srv.port, "joe", "secret")
        c.sock.sendall(b"NOO")
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        c.close()
        closed = lambda: sum(1 for l in srv.log() if ") Closing connection" in l)
        assert wait_until(lambda: closed() >= 302, 20), "only %d of 302 closed" % closed()
        srv.wait_log("Closing connection for user JOE")
        expect(first.cmd("NOOP"), ["200 Command okay."], "the first session serves on")


run([test_off_line, test_homes_only_without_homes,
     test_host_name_rule, test_bad_input])
