"""Extended data connections (EPSV, EPRT) with exact replies from a raw
client, and real clients with their defaults: curl must use EPSV and, with
-P -, EPRT, without falling back to PASV or PORT."""
import filecmp
import os
import socket
import subprocess
import tempfile

from e2e_transfer_util import Checker, Ftp, Server, recv_all, server_binary

BIN = server_binary()
c = Checker()

Ftp.last_reply = lambda self: self.reply()[-1]

SYNTAX = "501 Syntax error in parameters or arguments."


def epsv_port(reply):
    c.true(reply.startswith("229 Entering Extended Passive Mode (|||") and reply.endswith("|)"),
           "EPSV reply form: " + reply)
    return int(reply[len("229 Entering Extended Passive Mode (|||"):-2])


def epsv_cases(srv):
    with open(srv.path("pub", "f.txt"), "wb") as f:
        f.write(b"hello\n")
    ftp = Ftp(srv.port)
    # EPSV, EPSV 1: a listener on the control connection's address.
    for line in ["EPSV", "epsv 1"]:
        port = epsv_port(ftp.last(line))
        d = socket.create_connection(("127.0.0.1", port), timeout=20)
        c.eq(ftp.last("RETR pub/f.txt"),
             "150 Opening ASCII mode data connection for f.txt (6 bytes).", line + " RETR 150")
        c.eq(recv_all(d), b"hello\n", line + " RETR data")
        c.eq(ftp.last_reply(), "226 Transfer complete.", line + " RETR 226")
    for line, want in [
        ("EPSV 2", "522 Network protocol not supported, use (1)"),
        ("EPSV 3", "522 Network protocol not supported, use (1,2)"),
        ("EPSV x", SYNTAX),
        ("EPRT |2|::1|4000|", "522 Network protocol not supported, use (1)"),
        ("EPRT |9|1.2.3.4|4000|", "522 Network protocol not supported, use (1,2)"),
        ("EPRT |1|127.0.0.1|0|", SYNTAX),
        ("EPRT |1|127.0.0.256|4000|", SYNTAX),
        ("EPRT 127.0.0.1|4000", SYNTAX),
        ("EPRT", SYNTAX),
    ]:
        c.eq(ftp.last(line), want, line)

    # EPRT to a listener of ours.
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(1)
    ls.settimeout(20)
    p = ls.getsockname()[1]
    c.eq(ftp.last("EPRT |1|127.0.0.1|%d|" % p), "200 EPRT command successful.", "EPRT")
    c.eq(ftp.last("RETR pub/f.txt"),
         "150 Opening ASCII mode data connection for f.txt (6 bytes).", "EPRT RETR 150")
    d, _ = ls.accept()
    c.eq(recv_all(d), b"hello\n", "EPRT RETR data")
    c.eq(ftp.last_reply(), "226 Transfer complete.", "EPRT RETR 226")
    ls.close()

    # EPSV ALL: from now on only EPSV sets up data connections.
    c.eq(ftp.last("EPSV ALL"), "200 EPSV ALL command successful.", "EPSV ALL")
    for verb, line in [("PORT", "PORT 127,0,0,1,4,1"), ("PASV", "PASV"),
                       ("EPRT", "EPRT |1|127.0.0.1|4000|")]:
        c.eq(ftp.last(line), "503 %s not allowed after EPSV ALL." % verb, line + " after EPSV ALL")
    port = epsv_port(ftp.last("EPSV"))
    d = socket.create_connection(("127.0.0.1", port), timeout=20)
    c.eq(ftp.last("RETR pub/f.txt"),
         "150 Opening ASCII mode data connection for f.txt (6 bytes).", "EPSV after ALL")
    c.eq(recv_all(d), b"hello\n", "EPSV after ALL data")
    c.eq(ftp.last_reply(), "226 Transfer complete.", "EPSV after ALL 226")
    # REIN ends the promise with the rest of the session state.
    c.eq(ftp.last("REIN"), "220 Service ready for new user.", "REIN")
    ftp.cmd("USER joe")
    ftp.cmd("PASS secret")
    c.eq(ftp.last("PASV")[:4], "227 ", "PASV after REIN")
    ftp.close()


def eprt_bounce(srv):
    ftp = Ftp(srv.port)
    c.eq(ftp.last("EPRT |1|10.0.0.9|4000|"),
         "530 Only client IP address allowed for EPRT command.", "EPRT bounce")
    ftp.close()


def curl_defaults(srv):
    work = tempfile.mkdtemp(prefix="vantor-ext-")
    src = os.path.join(work, "c.bin")
    with open(src, "wb") as f:
        f.write(os.urandom(1 << 20))
    url = "ftp://127.0.0.1:%d/pub/c.bin" % srv.port
    auth = ["-u", "joe:secret", "-s", "-S", "-v", "--max-time", "60"]
    r = subprocess.run(["curl"] + auth + ["-T", src, url], capture_output=True, text=True,
                       timeout=120)
    c.eq(r.returncode, 0, "curl EPSV upload: " + r.stderr[-400:])
    c.true("> EPSV" in r.stderr and "< 229 " in r.stderr and "> PASV" not in r.stderr,
           "curl upload used EPSV without fallback: " + r.stderr[-600:])
    dst = os.path.join(work, "c.down")
    r = subprocess.run(["curl"] + auth + ["-P", "-", "-o", dst, url], capture_output=True,
                       text=True, timeout=120)
    c.eq(r.returncode, 0, "curl EPRT download: " + r.stderr[-400:])
    c.true("> EPRT |1|127.0.0.1|" in r.stderr and "< 200 EPRT command successful." in r.stderr
           and "> PORT" not in r.stderr, "curl -P - used EPRT without fallback: " + r.stderr[-600:])
    c.true(filecmp.cmp(src, dst, shallow=False), "curl EPRT download bytes")
    os.unlink(src)
    os.unlink(dst)
    os.rmdir(work)


with Server(BIN, ["BlockFTPBounceAttack=no"]) as srv:
    epsv_cases(srv)
    curl_defaults(srv)
with Server(BIN, ["BlockFTPBounceAttack=yes"]) as srv:
    eprt_bounce(srv)
c.finish()
