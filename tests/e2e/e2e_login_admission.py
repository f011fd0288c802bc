"""Admission: anti-hammer, on-line switch, listeners and IP homes."""
import signal

from ftp_e2e import BANNER, Client, Server, expect, login, run

INI = """[GLOBAL]
Version=2.5.11.3
EncryptPasswords=NO
%s
[USER=joe]
Password=secret
HomeDir={home}
"""


def closed_silently(port):
    """True when the server closes (or resets) the connection without a byte."""
    try:
        c = Client(port)
    except ConnectionResetError:
        return True
    return c.closed(5) and c.buf == b""


# With AntiHammer and 4 tries the fifth connection is closed without a reply.
def test_anti_hammer_fifth_connection():
    with Server(INI % "AntiHammer=YES\nAntiHammerTries=4") as srv:
        for i in range(4):
            c = Client(srv.port)
            expect(c.reply(), [BANNER], "connection %d" % (i + 1))
            c.close()
        assert closed_silently(srv.port), "fifth connection was not closed without a reply"
        assert closed_silently(srv.port), "still blocked"
        srv.wait_log("(000004) Closing connection")
        assert not any("(000005)" in l for l in srv.log()), "a blocked client got a session"


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


# An IP home with an octet above 255 is dropped; the valid one listens.
def test_ip_homes():
    ini = INI % "ListenToIPHomesOnly=YES" + "[IP-HOMES]\nIP1=127.0.0.256\nIP2=127.0.0.1,lo\n"
    with Server(ini) as srv:
        srv.wait_log("FTP Server listening on port number %d, IP 127.0.0.1" % srv.port)
        assert not any("127.0.0.256" in l for l in srv.log())
        expect(Client(srv.port).reply(), [BANNER])


# A port in use: the server keeps trying for a while, then reports it.
def test_port_in_use():
    with Server(INI % "") as first:
        second = Server(INI % "PortNr=%d" % first.port, port=first.port, expect_online=False)
        try:
            second.wait_log("SERVER IS NOT LISTENING: Port number %d is already in use!"
                            % first.port, 15)
        finally:
            second.stop()


run([test_anti_hammer_fifth_connection, test_off_line, test_homes_only_without_homes,
     test_ip_homes, test_port_in_use])
