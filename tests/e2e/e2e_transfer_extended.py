"""Extended data connections (EPSV, EPRT) and IPv6 with exact replies from
a raw client; curl (EPSV and, with -P -, EPRT; over 127.0.0.1 in
e2e_transfer_clients) and ftplib over [::1]; IP rules and per-address limits
with IPv6 and IPv4 clients of the one dual-stack listener; PROXY headers from
a trusted balancer (both versions and families), broken, slow and untrusted
ones."""
import io
import socket
import struct
import subprocess
import time

from ftp_e2e import (Checker, Client, ftp_client, greeted, listener, login, recv_all, sent,
                     tree_server, write_file)

c = Checker()
SYNTAX = "501 Syntax error in parameters or arguments."


def epsv_port(reply):
    c.true(reply.startswith("229 Entering Extended Passive Mode (|||") and reply.endswith("|)"),
           "EPSV reply form: " + reply)
    return int(reply[len("229 Entering Extended Passive Mode (|||"):-2])


def epsv_connect(ftp, line="EPSV", host="127.0.0.1"):
    return socket.create_connection((host, epsv_port(ftp.last(line))), timeout=20)


def epsv_cases(srv):
    write_file(srv.path("pub", "f.txt"), b"hello\n")
    ftp = login(srv.port)
    hello = sent("f.txt", b"hello\n")
    for line in ["EPSV", "epsv 1"]:
        c.eq(ftp.transfer("RETR pub/f.txt", epsv_connect(ftp, line)), hello, line + " RETR")
    # One syntax error of each verb: the others are TransferArgs.EprtParsing, EpsvParsing.
    c.replies(ftp, [("EPSV 2", "522 Network protocol not supported, use (1)"),
                    ("EPSV 3", "522 Network protocol not supported, use (1,2)"),
                    ("EPSV x", SYNTAX),
                    ("EPRT |2|::1|4000|", "522 Network protocol not supported, use (1)"),
                    ("EPRT |9|1.2.3.4|4000|", "522 Network protocol not supported, use (1,2)"),
                    ("EPRT |1|127.0.0.256|4000|", SYNTAX)])

    ls = listener()
    c.eq(ftp.last("EPRT |1|127.0.0.1|%d|" % ls.getsockname()[1]), "200 EPRT command successful.",
         "EPRT")
    c.eq(ftp.transfer("RETR pub/f.txt", ls), hello, "EPRT RETR")

    # EPSV ALL: from now on only EPSV sets up data connections.
    c.eq(ftp.last("EPSV ALL"), "200 EPSV ALL command successful.", "EPSV ALL")
    for verb, line in [("PORT", "PORT 127,0,0,1,4,1"), ("PASV", "PASV"),
                       ("EPRT", "EPRT |1|127.0.0.1|4000|")]:
        c.eq(ftp.last(line), "503 %s not allowed after EPSV ALL." % verb, line + " after EPSV ALL")
    c.eq(ftp.transfer("RETR pub/f.txt", epsv_connect(ftp)), hello, "EPSV after ALL")
    # REIN ends the promise with the rest of the session state.
    c.eq(ftp.last("REIN"), "220 Service ready for new user.", "REIN")
    ftp.user()
    c.eq(ftp.last("PASV")[:4], "227 ", "PASV after REIN")
    ftp.close()


def curl(port, *args, url):
    """curl with a verbose dialogue on stderr."""
    return subprocess.run(["curl", "-u", "joe:secret", "-s", "-S", "-v", "--max-time", "60",
                           *args, url % port], capture_output=True, text=True, timeout=120)


def ipv6_cases(srv):
    write_file(srv.path("pub", "six.txt"), b"over six\n")
    ftp = login(srv.port, host="::1")
    # The other IPv4 forms: SessionTest.IPv6ControlConnection; the bounce
    # rule: TransferArgs.EprtBounceCheck.
    c.replies(ftp, [("PASV", "522 Network protocol not supported, use (2)"),
                    ("EPRT |2|::2|4000|", "530 Only client IP address allowed for EPRT command.")],
              "IPv6 ")
    six = sent("six.txt", b"over six\n")
    for line in ["EPSV", "EPSV 2"]:
        c.eq(ftp.transfer("RETR pub/six.txt", epsv_connect(ftp, line, "::1")), six, "IPv6 " + line)
    ls = listener("::1")
    c.eq(ftp.last("EPRT |2|::1|%d|" % ls.getsockname()[1]), "200 EPRT command successful.",
         "IPv6 EPRT")
    c.eq(ftp.transfer("RETR pub/six.txt", ls), six, "IPv6 EPRT RETR")
    ftp.close()
    c.true(srv.has_line(lambda l: "Connected to ::1 (Local address ::1)" in l),
           "the log names both IPv6 ends")
    # An IPv4 client of the same dual-stack listener is plain IPv4.
    login(srv.port).close()
    c.true(srv.has_line(lambda l: "Connected to 127.0.0.1 (Local address 127.0.0.1)" in l),
           "an IPv4 client on the dual-stack socket is shown as IPv4")
    c.true(not srv.has_line(lambda l: "::ffff:" in l, 0.2), "no v4-mapped text in the log")

    # ftplib over IPv6 (it uses EPSV there), then curl with EPSV and EPRT.
    f = ftp_client(srv.port, "joe", "secret", host="::1", timeout=20)
    buf = io.BytesIO()
    f.retrbinary("RETR pub/six.txt", buf.write)
    c.eq(buf.getvalue(), b"over six\n", "ftplib IPv6 RETR")
    f.storbinary("STOR pub/up6.bin", io.BytesIO(b"\x00\x01" * 5000))
    f.cwd("pub")
    c.eq(sorted(f.nlst()), ["six.txt", "up6.bin"], "ftplib IPv6 NLST")
    f.quit()
    with open(srv.path("pub", "up6.bin"), "rb") as fh:
        c.eq(fh.read(), b"\x00\x01" * 5000, "ftplib IPv6 STOR bytes")
    for extra, verb in [([], "EPSV"), (["-P", "-"], "EPRT |2|::1|")]:
        r = curl(srv.port, *extra, url="ftp://[::1]:%d/pub/six.txt")
        c.eq((r.returncode, r.stdout), (0, "over six\n"),
             "curl [::1] %s: %s" % (verb, r.stderr[-400:]))
        c.true("> " + verb in r.stderr and "> PASV" not in r.stderr and "> PORT" not in r.stderr,
               "curl [::1] used %s: %s" % (verb, r.stderr[-600:]))


def ipv6_rules():
    # Server rules: IPv6 loopback refused by its prefix, IPv4 allowed.
    with tree_server(["BlockFTPBounceAttack=no", "[IP-ACCESS]", "IP1=D,::1/128",
                      "IP2=A,127.*"]) as srv:
        try:
            ftp = greeted(srv.port, "::1")
            c.true(not ftp.greeting[0].startswith("220"), "denied IPv6 client: %r" % ftp.greeting)
            ftp.close()
        except (EOFError, ConnectionError):
            pass
        login(srv.port).close()
        c.true(srv.has_line(lambda l: "Connected to 127.0.0.1" in l), "IPv4 client allowed")
    # A user restricted to IPv6: "::1" lets ::1 in and keeps 127.0.0.1 out;
    # an IPv4 pattern matches the IPv4 client only.
    users = {"joe": ("secret", "C:\\", "C:\\,RWAMDCLP", ["IP1=A,::1", "IP2=D,*"]),
             "ann": ("secret", "C:\\", "C:\\,RWAMDCLP", ["IP1=A,127.0.0.1", "IP2=D,*"])}
    with tree_server([], users) as srv:
        login(srv.port, host="::1").close()
        login(srv.port, "ann").close()
        for user, host in (("joe", "127.0.0.1"), ("ann", "::1")):
            c.eq(greeted(srv.port, host).user(user)[-1][:3], "530", "%s from %s" % (user, host))


def free_pair():
    """Two consecutive free ports (checked on both families' wildcards)."""
    for _ in range(200):
        with socket.socket() as a:
            a.bind(("127.0.0.1", 0))
            low = a.getsockname()[1]
        if low < 1024 or low >= 65535:
            continue
        try:
            with socket.socket(socket.AF_INET6) as a, socket.socket(socket.AF_INET6) as b:
                a.bind(("::", low))
                b.bind(("::", low + 1))
            return low
        except OSError:
            continue
    raise RuntimeError("no two free ports in a row")


def passive_range():
    """PassivePortRange hands each session its own port of the range, an
    exhausted range gives 425 and a log line; PassiveAddress is announced
    in 227 (the IP home's own passive address wins: e2e_connections)."""
    low = free_pair()
    with tree_server(["PassivePortRange=%d-%d" % (low, low + 1),
                      "PassiveAddress=203.0.113.9"]) as srv:
        a, b, x = login(srv.port), login(srv.port), login(srv.port)
        ra = a.last("PASV")
        c.true(ra.startswith("227 Entering Passive Mode (203,0,113,9,"), "PassiveAddress: " + ra)
        pa = epsv_port(b.last("EPSV"))
        nums = [int(n) for n in ra[ra.index("(") + 1:-1].split(",")]
        c.eq(sorted([nums[4] * 256 + nums[5], pa]), [low, low + 1], "two sessions, two ports")
        c.eq(x.last("EPSV"),
             "425 Can't open passive connection: no free port in the passive range.",
             "exhausted range")
        range_log = "No free port in the passive port range %d-%d" % (low, low + 1)
        c.true(srv.has_line(lambda l: range_log in l), "exhausted range log line")
        # The listener of b serves its transfer; a freed port serves again.
        write_file(srv.path("pub", "r.txt"), b"range\n")
        d = socket.create_connection(("127.0.0.1", pa), timeout=20)
        c.eq(b.last("RETR pub/r.txt")[:3], "150", "RETR over a range port")
        c.eq(recv_all(d), b"range\n", "range port data")
        c.eq(b.last_reply(), "226 Transfer complete.", "range port 226")
        c.true(epsv_port(x.last("EPSV")) == pa, "the freed port is handed out again")
        for f in (a, b, x):
            f.close()


def proxy_v2(family, src, dst, sport=50000, dport=21, command=0x21):
    sig = b"\r\n\r\n\x00\r\nQUIT\n"
    af = socket.AF_INET if family == 0x11 else socket.AF_INET6
    body = socket.inet_pton(af, src) + socket.inet_pton(af, dst) + struct.pack("!HH", sport, dport)
    return sig + bytes([command, family]) + struct.pack("!H", len(body)) + body


def raw_connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=20)


def closed_without_reply(s, what, timeout=10.0):
    """The server closes the connection and never sends a byte."""
    s.settimeout(timeout)
    try:
        data = s.recv(100)
    except ConnectionResetError:
        data = b""
    except socket.timeout:
        data = b"<still open>"
    s.close()
    c.eq(data, b"", what)


def proxied(port, header, user="joe"):
    """A control connection whose first bytes are `header`."""
    ftp = Client(sock=raw_connect(port))
    ftp.sock.sendall(header)
    ftp.greeting = ftp.reply()
    c.eq(ftp.greeting[-1][:4], "220 ", "greeting after %r" % header[:40])
    return ftp


def proxy_cases():
    """From a ProxyProtocolFrom address the header is required and names the
    client for rules, logs and the passive peer check; anything else ends
    the connection before the greeting."""
    rules = ["ProxyProtocolFrom=10.9.0.0/16, 127.0.0.1", "[IP-ACCESS]", "IP1=D,192.0.2.66",
             "IP2=A,*"]
    with tree_server(rules) as srv:
        v1 = b"PROXY TCP4 192.0.2.7 127.0.0.1 50000 21\r\n"
        ftp = proxied(srv.port, v1)
        c.eq(ftp.cmd("USER joe")[-1][:3], "331", "v1 USER")
        c.eq(ftp.cmd("PASS secret")[-1][:3], "230", "v1 PASS")
        c.true(srv.has_line(lambda l: "Connected to 192.0.2.7 (Local address 127.0.0.1)" in l),
               "v1: the session's client is the header's")
        c.true(srv.has_line(lambda l: l.endswith(
            "Connection from 127.0.0.1 forwards client 192.0.2.7 (PROXY header version 1)")),
               "v1 log line")
        # A passive data connection must come from the real client.
        d = socket.create_connection(("127.0.0.1", epsv_port(ftp.last("EPSV"))), timeout=20)
        ftp.send("LIST")
        c.true(srv.has_line(lambda l: "Passive data connection from 127.0.0.1 refused (client is "
                            "192.0.2.7)" in l), "passive peer check uses the header's client")
        d.close()
        ftp.close()

        # Version 2 with the first command in the same segment: the header is
        # taken off exactly, USER still arrives.
        ftp = proxied(srv.port, proxy_v2(0x11, "192.0.2.8", "127.0.0.1") + b"USER joe\r\n")
        c.eq(ftp.reply()[-1], "331 User name okay, need password.", "v2: pipelined USER kept")
        c.true(srv.has_line(lambda l: "Connected to 192.0.2.8 " in l), "v2 IPv4 client")
        ftp.close()
        # The other families and the v4-mapped form: RProxyHeader.WholeHeaders.
        proxied(srv.port, proxy_v2(0x21, "2001:db8::8", "::1")).close()
        c.true(srv.has_line(lambda l: "Connected to 2001:db8::8 (" in l), "v2 IPv6 client")
        # LOCAL (a balancer's health check) keeps the balancer's address.
        proxied(srv.port, proxy_v2(0x11, "192.0.2.10", "127.0.0.1", command=0x20)).close()
        c.true(srv.has_line(lambda l: l.endswith("forwards client 127.0.0.1 (PROXY header "
                                                 "version 2)")), "LOCAL keeps the peer")
        # IP rules see the real client.
        s = raw_connect(srv.port)
        s.sendall(b"PROXY TCP4 192.0.2.66 127.0.0.1 1 21\r\n")
        closed_without_reply(s, "denied real client")
        c.true(srv.has_line(lambda l: "Connection denied to IP-number 192.0.2.66" in l),
               "IP rule on the header's client")

        # Broken headers: closed before the greeting, logged without their bytes;
        # one of each log line (which bytes are which: RProxyHeader.RefusedAndIncomplete).
        for data, log, what in [
                (b"USER joe\r\nPASS secret\r\n", "malformed PROXY header", "no header"),
                (b"PROXY TCP4 " + b"1" * 120, "PROXY header too long", "oversized v1"),
                (proxy_v2(0x21, "2001:db8::8", "::1")[:30], "it ended inside its PROXY header",
                 "truncated v2")]:
            s = raw_connect(srv.port)
            s.sendall(data)
            if "truncated" in what:
                s.shutdown(socket.SHUT_WR)
            closed_without_reply(s, what)
            c.true(srv.has_line(lambda l: l.endswith("Connection from 127.0.0.1 closed: " + log)),
                   what + " log line")
        c.true(not srv.has_line(lambda l: "1111" in l, timeout=0),
               "no client bytes in the log")

        # Byte by byte: accepted within the deadline, closed past it.
        s = raw_connect(srv.port)
        for b in b"PROXY TCP4 192.0.2.11 127.0.0.1 50000 21\r\n":
            s.sendall(bytes([b]))
            time.sleep(0.02)
        s.settimeout(20)
        c.eq(s.recv(4), b"220 ", "slow header within the deadline")
        s.close()
        s = raw_connect(srv.port)
        start = time.time()
        sent = 0
        try:
            while time.time() - start < 15 and sent < 100:
                s.sendall(b"PROXY TCP4 192.0.2.12 "[sent:sent + 1] or b"1")
                sent += 1
                time.sleep(0.25)
        except (BrokenPipeError, ConnectionResetError):
            pass
        closed_without_reply(s, "slow header past the deadline")
        c.true(time.time() - start < 12, "deadline holds against a trickle")
        c.true(srv.has_line(lambda l: l.endswith("closed: no complete PROXY header within 5 "
                                                 "seconds")), "deadline log line")

    # From an address that is not listed, a header is refused after the greeting.
    with tree_server(["ProxyProtocolFrom=10.9.0.0/16"]) as srv:
        ftp = greeted(srv.port)
        ftp.send("PROXY TCP4 192.0.2.7 127.0.0.1 50000 21")
        closed_without_reply(ftp.sock, "untrusted v1 header")
        c.true(srv.has_line(lambda l: "PROXY header from 127.0.0.1, which is not in "
                            "ProxyProtocolFrom - connection closed" in l), "untrusted log line")
        ftp = greeted(srv.port)
        ftp.sock.sendall(proxy_v2(0x11, "192.0.2.7", "127.0.0.1"))
        closed_without_reply(ftp.sock, "untrusted v2 header")
        c.true(srv.has_line(lambda l: l.endswith("(000002) PROXY header from 127.0.0.1, which is "
                                                 "not in ProxyProtocolFrom - connection closed")),
               "untrusted v2 log line")


with tree_server(["BlockFTPBounceAttack=no"]) as srv:
    epsv_cases(srv)
with tree_server(["BlockFTPBounceAttack=yes"]) as srv:
    ipv6_cases(srv)
ipv6_rules()
passive_range()
proxy_cases()
c.finish()
