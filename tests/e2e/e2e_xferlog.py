"""The transfer log (XferLog=): one xferlog line per finished or failed
transfer, with the client address, the account name, the direction, the
completion status (i for a reset upload too) and the local file name with
blanks as "_"; a relative name lies in the INI file's folder."""
import os
import re
import socket
import struct

from ftp_e2e import Checker, login, read_file, tree_server, wait_until, write_file

c = Checker()
STAMP = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} \d+ "


def log_lines(srv, count, timeout=10):
    path = os.path.join(srv.dir, "xfer.log")
    lines = []

    def enough():
        lines[:] = read_file(path).decode().splitlines() if os.path.exists(path) else []
        return len(lines) >= count
    wait_until(enough, timeout)
    return lines


users = {"joe": ("secret", "C:\\", "C:\\,RWAMDCLP", []),
         "anonymous": ("", "C:\\pub", "C:\\pub,RLP", [])}
with tree_server(global_lines=["XferLog=xfer.log"], users=users) as srv:
    write_file(srv.path("pub", "a b.txt"), b"line\n" * 20)
    root = srv.root

    # A complete binary upload (passive), then an ASCII download.
    ftp = login(srv.port, binary=True)
    first, end = ftp.stor("STOR my file.bin", b"x" * 1000)
    c.eq((first[:3], end[-1][:3]), ("150", "226"), "STOR")
    ftp.last("TYPE A")
    first, data, end = ftp.retr("pub/a b.txt")
    c.eq((first[:3], data, end[-1][:3]), ("150", b"line\n" * 20, "226"),
         "ASCII download (TYPE A changes no data)")

    # An upload the client resets in the middle.
    ftp.last("TYPE I")
    d = ftp.pasv_connect()
    c.eq(ftp.last("STOR reset.bin")[:3], "150", "STOR accepted")
    d.sendall(b"y" * 3000)
    wait_until(lambda: os.path.exists(srv.path("reset.bin"))
               and os.path.getsize(srv.path("reset.bin")) == 3000)
    d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    d.close()
    ftp.reply()
    ftp.close()

    # Anonymous, in the session's initial type (ASCII).
    anon = login(srv.port, "anonymous", "me@example.org")
    c.eq(anon.retr("a b.txt")[0][:3], "150", "anonymous RETR accepted")
    anon.close()

    lines = log_lines(srv, 4)
    c.eq(len(lines), 4, "one line per transfer")
    want = [
        STAMP + re.escape("127.0.0.1 1000 %s/my_file.bin b _ i r joe ftp 0 * c" % root),
        STAMP + re.escape("127.0.0.1 100 %s/pub/a_b.txt a _ o r joe ftp 0 * c" % root),
        STAMP + re.escape("127.0.0.1 ") + r"\d+ " +
        re.escape("%s/reset.bin b _ i r joe ftp 0 * i" % root),
        STAMP + re.escape("127.0.0.1 100 %s/pub/a_b.txt a _ o a anonymous ftp 0 * c" % root),
    ]
    for got, pattern in zip(lines, want):
        c.true(re.fullmatch(pattern, got) is not None, "line %r\n   want %r" % (got, pattern))
    # The password of the anonymous login is never logged.
    c.true(all("example.org" not in l for l in lines), "no password in the log")
c.finish()
