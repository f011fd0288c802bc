"""Byte-exact transfers: small edge sizes, 50 MiB of random data and a sparse
5 GiB file, downloaded and uploaded in active and passive mode and compared
by SHA-256; an interrupted upload resumed with REST.
VANTOR_E2E_QUICK=1 leaves out the 5 GiB file."""
import ftplib
import hashlib
import os
import socket
import struct

from e2e_transfer_util import Checker, Server, server_binary

BIN = server_binary()
c = Checker()
GiB = 1 << 30


def sha_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            b = f.read(1 << 22)
            if not b:
                return h.hexdigest()
            h.update(b)


def make_files(srv):
    sizes = {"s0": 0, "s1": 1, "s4095": 4095, "s4096": 4096, "s4097": 4097}
    for name, n in sizes.items():
        with open(srv.path("pub", name), "wb") as f:
            f.write(os.urandom(n))
    with open(srv.path("pub", "r50"), "wb") as f:
        for _ in range(50):
            f.write(os.urandom(1 << 20))
    names = list(sizes) + ["r50"]
    if not os.environ.get("VANTOR_E2E_QUICK"):
        with open(srv.path("pub", "sparse5g"), "wb") as f:
            f.truncate(5 * GiB)
            for off in (0, 2 * GiB - 1, 4 * GiB + 7, 5 * GiB - 3):
                f.seek(off)
                f.write(b"mark")
        names.append("sparse5g")
    return names


def client(srv, passive):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", srv.port, timeout=120)
    ftp.login("joe", "secret")
    ftp.set_pasv(passive)
    ftp.voidcmd("TYPE I")
    return ftp


def download_hash(ftp, name):
    h = hashlib.sha256()
    ftp.retrbinary("RETR pub/" + name, h.update, blocksize=1 << 20)
    return h.hexdigest()


with Server(BIN) as srv:
    names = make_files(srv)
    want = {n: sha_file(srv.path("pub", n)) for n in names}
    for passive in (True, False):
        mode = "passive" if passive else "active"
        ftp = client(srv, passive)
        for n in names:
            c.eq(download_hash(ftp, n), want[n], "%s download %s" % (mode, n))
        for n in names:
            target = "up_%s_%s" % (mode, n)
            with open(srv.path("pub", n), "rb") as f:
                r = ftp.storbinary("STOR pub/" + target, f, blocksize=1 << 20)
            c.eq(r, "226 Transfer complete.", "%s upload %s reply" % (mode, n))
            c.eq(sha_file(srv.path("pub", target)), want[n], "%s upload %s" % (mode, n))
            os.remove(srv.path("pub", target))
        ftp.quit()

    # An upload cut off by a reset, then resumed from the size the server
    # kept, ends with the same bytes.
    ftp = client(srv, True)
    src = srv.path("pub", "r50")
    with open(src, "rb") as f:
        data = f.read()
    host, port = ftplib.parse227(ftp.sendcmd("PASV"))
    d = socket.create_connection((host, port))
    ftp.sendcmd("STOR pub/resumed")
    d.sendall(data[: 20 << 20])
    d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    d.close()
    try:
        ftp.voidresp()
        c.true(False, "reset upload must not succeed")
    except ftplib.error_temp as e:
        c.eq(str(e), "426 Data connection closed, receive file resumed aborted.", "reset reply")
    have = ftp.size("pub/resumed")
    c.true(0 < have <= 20 << 20, "partial upload kept %d bytes" % have)
    with open(src, "rb") as f:
        f.seek(have)
        ftp.storbinary("STOR pub/resumed", f, rest=have)
    c.eq(sha_file(srv.path("pub", "resumed")), want["r50"], "resumed upload")
    # The same resumed from a non-passive connection, APPE style.
    ftp.quit()
c.finish()
