"""Quotas, ratios and message files inside transfers, against the real server
over 127.0.0.1: the 1134 and 1135 replies, the summary lines before 226, the
credit of deleted and overwritten files, restart offsets beyond the end,
every way an upload can end (the recorded usage must equal what is on
disk), download refunds and directory-change messages."""
import os
import re
import socket
import struct
import time

from ftp_e2e import (Checker, file_size_limit, free_port, login, read_file, tree_server,
                     wait_until, write_file)

c = Checker()
QUOTA_MAX = 10000000
QUOTA = ["QuotaEnable=YES", "QuotaMaxCurrent=%d,{used}" % QUOTA_MAX]


def quota_server(used, global_lines=(), extra=(), preexec=None):
    lines = [l.replace("{used}", str(used)) for l in QUOTA] + list(extra)
    return tree_server(list(global_lines), users={
        "q": ("q", "C:\\pub", "C:\\pub,RWAMDCLP", lines),
        "joe": ("secret", "C:\\", "C:\\,RWAMDCLP", []),
    }, preexec=preexec)


def recorded(srv, user="q"):
    """The bytes in use as the account's QuotaMaxCurrent holds them now."""
    text = read_file(srv.ini).decode("latin-1")
    m = re.search(r"\[USER=%s\][^\[]*?QuotaMaxCurrent=(\d+),(\d+)" % user, text, re.I)
    return int(m.group(2)) if m else None


def recorded_soon(srv, want, user="q"):
    """The recorded usage once it equals `want` (the server writes it on a
    worker right after the reply), or what it is at the deadline."""
    wait_until(lambda: recorded(srv, user) == want, timeout=6.0)
    return recorded(srv, user)


def on_disk(srv):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(srv.path("pub"))
               for f in fs)


def settles(srv, what, timeout=6.0):
    """Checks that the recorded usage comes to equal the bytes on disk.

    The figures must agree over a quiet stretch, and the check reads them
    once more at its end: the INI as it was before the upload can agree with
    the disk for a moment while the write of the upload's first reservation
    is still on its way."""
    last = {}

    def agreed():
        now = (recorded(srv), on_disk(srv))
        if now[0] != now[1] or last.get("pair") != now:
            last.update(pair=now, since=time.monotonic())
            return False
        return time.monotonic() - last["since"] >= 0.5

    wait_until(agreed, timeout)
    c.eq(recorded(srv), on_disk(srv), what + ": recorded usage equals the bytes on disk")


def closed_port():
    """A PORT command naming a loopback port where nothing listens."""
    p = free_port()
    return "PORT 127,0,0,1,%d,%d" % (p // 256, p % 256)


# REST beyond the end of the file is refused with or without a quota, and
# creates nothing; a refused quota block ends the upload with 452; the
# server survives a restart offset of a terabyte aimed at a message file.
def rest_beyond_end_cases():
    with quota_server(0, ["DirChangeMesFile=.message"]) as srv:
        ftp = login(srv.port, "q", "q", binary=True)
        c.eq(ftp.last("REST 100000000000"),
             "350 Restarting at 100000000000 - send STORE or RETRIEVE to initiate transfer.",
             "REST far beyond")
        first, _ = ftp.stor("STOR new.bin", b"x")
        c.eq(first, "554 Restart offset 100000000000 is beyond the end of new.bin (0 bytes).",
             "STOR after REST beyond the end")
        c.true(not os.path.exists(srv.path("pub", "new.bin")), "no file from a refused restart")
        ftp.last("REST 1000000000000")
        first, _ = ftp.stor("STOR .message", b"x")
        c.eq(first, "554 Restart offset 1000000000000 is beyond the end of .message (0 bytes).",
             "no sparse message file")
        c.eq(ftp.cmd("CWD ."), ["250 Directory changed to /c:/pub"], "CWD after the attempt")
        c.eq(ftp.cmd("DELE new.bin"), ["550 /c:/pub/new.bin: No such file or directory."],
             "nothing to delete, nothing to credit")
        c.eq(recorded(srv), 0, "usage untouched by refused restarts")
        # One byte beyond, at the end and inside an existing file:
        # TransferFileTest.PositionsAndDeferredTruncation.
        ftp.close()
        # The account's figures: a later quota user starts from what is there.
        ftp = login(srv.port, "joe", "secret")
        write_file(srv.path("g.bin"), b"abc")
        ftp.last("REST 5")
        first, _ = ftp.stor("STOR g.bin", b"x")
        c.eq(first, "554 Restart offset 5 is beyond the end of g.bin (3 bytes).",
             "refused without a quota too")
        ftp.close()

    # Maximum 1000000, 500000 in use: a 3000000-byte upload stops at the
    # limit with 452 and keeps only bytes that were counted; the transfer log
    # records the bytes kept, not the refused block.
    with quota_server(500000, ["XferLog=xfer.log"]) as srv:
        write_file(srv.path("pub", "have.bin"), b"h" * 500000)
        ini = read_file(srv.ini).decode("latin-1").replace("QuotaMaxCurrent=%d," % QUOTA_MAX,
                                                      "QuotaMaxCurrent=1000000,")
        write_file(srv.ini, ini.encode("latin-1"))
        ftp = login(srv.port, "q", "q", binary=True)
        first, end = ftp.stor("STOR big3.bin", b"b" * 3000000)
        c.eq(end[-1], "452 Sorry, insufficient disk quota - receive file big3.bin aborted.",
             "1135 reply")
        size = os.path.getsize(srv.path("pub", "big3.bin"))
        c.true(0 < size <= 500000, "kept %d bytes within the quota" % size)
        c.eq(recorded_soon(srv, 500000 + size), 500000 + size, "usage right after 452")
        xfer = os.path.join(srv.dir, "xfer.log")
        c.true(wait_until(lambda: os.path.exists(xfer) and read_file(xfer)), "transfer log")
        c.eq(re.findall(r" 127\.0\.0\.1 (\d+) \S*big3\.bin b _ i r q ", read_file(xfer).decode()),
             [str(size)], "transfer log: bytes kept of the cut upload")
        c.eq(ftp.last("NOOP"), "200 Command okay.", "session alive after 452")
        ftp.close()
        settles(srv, "after 452")


# An existing 100000-byte file: every way an upload to it ends without data
# leaves the usage as it was; ABOR, resets and time-outs during an upload
# leave exactly what was written.
def upload_end_cases():
    with quota_server(100000, ["PacketTimeOut=5"]) as srv:
        write_file(srv.path("pub", "big.bin"), b"B" * 100000)
        for i in range(3):
            ftp = login(srv.port, "q", "q")
            ftp.pasv()
            srv.send_seen(ftp, "STOR big.bin")
            c.eq(ftp.cmd("ABOR")[-1], "226 ABOR command successful.", "ABOR %d" % i)
            ftp.cmd("QUIT")
            ftp.close()
            settles(srv, "never connected, ABOR, QUIT %d" % i)
        c.eq(read_file(srv.path("pub", "big.bin")), b"B" * 100000, "file unchanged")

        ftp = login(srv.port, "q", "q", binary=True)
        ftp.last("REST 50000")
        ftp.pasv()
        srv.send_seen(ftp, "STOR big.bin")
        ftp.cmd("ABOR")
        settles(srv, "REST, never connected, ABOR")

        # Active connect failure: nothing listens on the port.
        port_line = closed_port()
        ftp.last(port_line)
        c.eq(ftp.last("STOR big.bin"), "150 Opening BINARY mode data connection for big.bin.",
             "active 150")
        c.eq(ftp.reply()[-1], "425 Cannot open data connection.", "active connect failure")
        ftp.last("REST 50000")
        ftp.last(port_line)
        ftp.last("STOR big.bin")
        ftp.reply()
        c.eq(read_file(srv.path("pub", "big.bin")), b"B" * 100000, "file unchanged by failures")
        settles(srv, "active connect failures")

        # ABOR while bytes flow: what was written stays, and counts.
        d = ftp.pasv_connect()
        c.eq(ftp.last("STOR big.bin"), "150 Opening BINARY mode data connection for big.bin.",
             "STOR 150")
        d.sendall(b"a" * 300000)
        c.true(wait_until(lambda: read_file(srv.path("pub", "big.bin"))[:1] == b"a"),
               "the upload reaches the file")
        c.eq(ftp.cmd("ABOR")[-1], "426 Data connection closed, receive file big.bin aborted.",
             "ABOR during upload")
        c.eq(ftp.reply(), ["226 ABOR command successful."], "ABOR reply")
        d.close()
        settles(srv, "ABOR during an upload")
        cut = read_file(srv.path("pub", "big.bin"))
        c.true(cut == b"a" * len(cut), "only new bytes after the cut")

        # Reset by the client after REST: the old head stays, the new tail counts.
        size = os.path.getsize(srv.path("pub", "big.bin"))
        ftp.last("REST %d" % (size // 2))
        _, end = ftp.stor("STOR big.bin", b"r" * 200000, reset=True)
        settles(srv, "reset after REST")

        # A data connection that goes quiet times out (PacketTimeOut=5).
        d = ftp.pasv_connect()
        ftp.last("STOR quiet.bin")
        d.sendall(b"q" * 1000)
        end = ftp.reply()
        c.eq(end[-1], "426 Data connection closed, receive file quiet.bin aborted.",
             "quiet data connection")
        d.close()
        settles(srv, "time-out during an upload")
        ftp.close()

    with quota_server(100000, ["DeletePartialUploads=YES"]) as srv:
        write_file(srv.path("pub", "big.bin"), b"B" * 100000)
        ftp = login(srv.port, "q", "q", binary=True)
        for verb in ("STOR part.bin", "APPE big.bin"):
            _, end = ftp.stor(verb, b"p" * 300000, reset=True)
            settles(srv, "DeletePartialUploads, " + verb)
        ftp.last("REST 40000")
        _, end = ftp.stor("STOR big.bin", b"p" * 300000, reset=True)
        c.eq(read_file(srv.path("pub", "big.bin")), b"B" * 40000, "resumed upload cut back")
        settles(srv, "DeletePartialUploads, REST then reset")
        ftp.close()


# Success, overwrite, delete, rename over a file and a full disk: the usage
# follows the disk at every step, and the verbose 226 carries the quota lines.
def credit_cases():
    with quota_server(0, preexec=file_size_limit(1 << 20)) as srv:
        ftp = login(srv.port, "q", "q", binary=True)
        _, end = ftp.stor("STOR a.bin", b"a" * 300000)
        c.eq(end, ["226-Maximum disk quota limited to 9765 Kbytes",
                   "    Used disk quota 292 Kbytes, available 9472 Kbytes",
                   "226 Transfer complete."], "quota summary before 226")
        c.eq(recorded_soon(srv, 300000), 300000, "usage written at the end of the upload")
        _, end = ftp.stor("STOR a.bin", b"a" * 1000)
        c.eq(recorded_soon(srv, 1000), 1000, "overwrite credits the old file")
        ftp.stor("STOR b.bin", b"b" * 5000)
        ftp.stor("STOR c.bin", b"c" * 3000)
        ftp.last(closed_port())
        ftp.last("APPE b.bin")  # active, nothing listens: 150 then 425
        ftp.reply()
        ftp.close()
        settles(srv, "append that never connected")
        ftp = login(srv.port, "q", "q", binary=True)
        c.eq(ftp.last("DELE a.bin"), "250 DELE command successful.", "DELE")
        stat = ftp.cmd("STAT")
        c.true("    Used disk quota 7 Kbytes, available 9757 Kbytes" in stat,
               "STAT shows the credit at once: %r" % stat)
        ftp.last("RNFR b.bin")
        c.eq(ftp.last("RNTO c.bin"), "250 RNTO command successful.", "RNTO over a file")
        ftp.close()
        settles(srv, "rename over a file")
        # A block that fails on a full disk is undone, and cut off the file.
        ftp = login(srv.port, "q", "q", binary=True)
        _, end = ftp.stor("STOR full.bin", b"f" * (3 << 20))
        c.eq(end[-1], "426 Data connection closed, cannot write file full.bin - disk full?",
             "disk full")
        ftp.close()
        settles(srv, "disk full")


def rename(ftp, src, dst):
    ftp.last("RNFR " + src)
    return ftp.last("RNTO " + dst)


# Session B takes the name of a file session A uploads: A's clean-up removes
# only the file A itself created, never the one B put under that name.
def shared_name_cases():
    with quota_server(0) as srv:
        a, b = login(srv.port, "q", "q"), login(srv.port, "q", "q", binary=True)
        a.pasv()
        a.send("STOR z.bin")  # never connects
        c.true(wait_until(lambda: os.path.exists(srv.path("pub", "z.bin"))), "A created z.bin")
        b.stor("STOR other.bin", b"o" * 5000)
        c.eq(rename(b, "other.bin", "z.bin"), "250 RNTO command successful.", "B renames onto z")
        c.eq(a.cmd("ABOR")[-1], "226 ABOR command successful.", "A gives up")
        c.eq(read_file(srv.path("pub", "z.bin")), b"o" * 5000, "B's file survives A's ABOR")
        settles(srv, "ABOR after a rename onto the name")
        a.close()
        b.close()
    with quota_server(0, ["DeletePartialUploads=YES"]) as srv:
        a, b = (login(srv.port, "q", "q", binary=True) for _ in range(2))
        d = a.pasv_connect()
        c.eq(a.last("STOR x.bin"), "150 Opening BINARY mode data connection for x.bin.", "A 150")
        d.sendall(b"a" * 100000)
        c.true(wait_until(lambda: os.path.getsize(srv.path("pub", "x.bin")) == 100000),
               "A's bytes on disk")
        c.eq(rename(b, "x.bin", "x.old"), "250 RNTO command successful.", "B renames x away")
        b.stor("STOR x.bin", b"n" * 3000)
        d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        d.close()
        c.eq(a.reply()[-1], "426 Data connection closed, receive file x.bin aborted.", "A reset")
        c.eq(read_file(srv.path("pub", "x.bin")), b"n" * 3000, "B's new x.bin survives")
        c.eq(os.path.getsize(srv.path("pub", "x.old")), 100000, "A's file kept where B put it")
        settles(srv, "partial upload under another name")
        a.close()
        b.close()


# Session B deletes or renames over the file session A is still uploading:
# the usage equals the bytes on disk once A is done, with either verb and
# whether A created the file or appends to one B stored.
def taken_during_upload_cases():
    table = [  # A's verb, B's way of taking the name, B's reply, the name's bytes after
        ("STOR", "DELE", "250 DELE command successful.", None),
        ("APPE", "DELE", "250 DELE command successful.", None),
        ("STOR", "RNTO", "250 RNTO command successful.", b"s" * 7000),
    ]
    with quota_server(0) as srv:
        # Bytes that stay: a credit given twice would show as usage below them.
        ftp = login(srv.port, "q", "q", binary=True)
        ftp.stor("STOR keep.bin", b"k" * 50000)
        ftp.close()
        for i, (verb, take, want, left) in enumerate(table):
            name = "up%d.bin" % i
            what = "%s %s, then B's %s" % (verb, name, take)
            a, b = (login(srv.port, "q", "q", binary=True) for _ in range(2))
            start = 40000 if verb == "APPE" else 0
            if start:
                b.stor("STOR " + name, b"e" * start)
            if left:
                b.stor("STOR src.bin", left)
            d = a.pasv_connect()
            a.last("%s %s" % (verb, name))
            d.sendall(b"u" * 300000)
            c.true(wait_until(lambda: os.path.getsize(srv.path("pub", name)) == start + 300000),
                   what + ": A's bytes on disk")
            c.eq(b.last("DELE " + name) if take == "DELE" else rename(b, "src.bin", name), want,
                 what)
            d.sendall(b"u" * 400000)
            d.close()
            c.eq(a.reply()[-1], "226 Transfer complete.", what + ": A completes")
            c.eq(read_file(srv.path("pub", name)) if left else None, left,
                 what + ": what the name holds")
            a.close()
            b.close()
            settles(srv, what)


# Ratios: 1134 before any upload; credit earned by an upload; the ratio
# lines before 226; a download that does not happen gives its credit back.
def ratio_cases():
    lines = ["RatiosEnable=YES", "Ratios=FilesOverall", "RatioUp=1", "RatioDown=2"]
    with tree_server([], users={"r": ("r", "C:\\pub", "C:\\pub,RWAMDCLP", lines)}) as srv:
        write_file(srv.path("pub", "f.txt"), b"hello\n")
        ftp = login(srv.port, "r", "r")
        c.eq(ftp.cmd("RETR f.txt"),
             ["550 Sorry, insufficient credit for download - upload first."], "1134")
        _, end = ftp.stor("STOR up.txt", b"u")
        c.eq(end, ["226-Using UL/DL ratio 1/2, counting files over all sessions",
                   "    Current UL/DL ratio credit 2 files",
                   "226 Transfer complete."], "ratio summary before 226")
        _, got, end = ftp.retr("f.txt")
        c.eq((got, end[-1]), (b"hello\n", "226 Transfer complete."), "paid download")
        # Waits for its passive connection, then ABOR: refunded.
        ftp.pasv()
        srv.send_seen(ftp, "RETR f.txt")
        ftp.cmd("ABOR")
        # Passive, never connected, session closed: refunded.
        ftp.pasv()
        srv.send_seen(ftp, "RETR f.txt")
        ftp.close()
        c.true(wait_until(lambda: "RatiosCredit=1.000000" in
                          read_file(srv.ini).decode("latin-1")),
               "credit back after aborted downloads")
        ftp = login(srv.port, "r", "r")
        _, got, _ = ftp.retr("f.txt")
        c.eq(got, b"hello\n", "the refunded credit buys a download")
        c.eq(ftp.cmd("RETR f.txt"),
             ["550 Sorry, insufficient credit for download - upload first."], "spent")
        ftp.close()


# Directory-change messages: the first file, else the second; a file that
# is too large, binary or a FIFO is skipped (the second one is tried) and
# the server answers on; no messages after a password typed with "-".
def message_cases():
    with tree_server(["DirChangeMesFile=.message", "DirChangeMesFile2=.msg2"]) as srv:
        for d in ("one", "two", "huge", "fifo", "nul"):
            os.mkdir(srv.path("pub", d))
        write_file(srv.path("pub", "one", ".message"), b"Welcome to %dir\r\nline two\n")
        write_file(srv.path("pub", "one", ".msg2"), b"never shown\n")
        write_file(srv.path("pub", "two", ".msg2"), b"second file\n")
        with open(srv.path("pub", "huge", ".message"), "wb") as f:
            f.truncate(1000000000000)
        write_file(srv.path("pub", "huge", ".msg2"), b"fallback\n")
        os.mkfifo(srv.path("pub", "fifo", ".message"))
        write_file(srv.path("pub", "nul", ".message"), b"a\0b\n")
        ftp = login(srv.port)
        c.eq(ftp.cmd("CWD pub/one"), ["250-Welcome to /c:/pub/one", "250-line two",
                                      "250 Directory changed to /c:/pub/one"], "first file")
        c.eq(ftp.cmd("CWD ../two"), ["250-second file", "250 Directory changed to /c:/pub/two"],
             "second file")
        c.eq(ftp.cmd("CWD ../huge"), ["250-fallback", "250 Directory changed to /c:/pub/huge"],
             "sparse terabyte skipped")
        c.eq(ftp.cmd("CWD ../fifo"), ["250 Directory changed to /c:/pub/fifo"], "FIFO skipped")
        c.eq(ftp.cmd("CWD ../nul"), ["250 Directory changed to /c:/pub/nul"], "binary skipped")
        for what in ("larger than 65536 bytes", "not a regular file", "not a text file"):
            c.true(srv.has_line(lambda l: "skipped: " + what in l), "log line: " + what)
        ftp.close()
        ftp = login(srv.port, "joe", "-secret")
        c.eq(ftp.cmd("CWD pub/one"), ["250 Directory changed to /c:/pub/one"],
             "no messages after a '-' password")
        ftp.close()


c.cases([rest_beyond_end_cases, upload_end_cases, credit_cases, shared_name_cases,
         taken_during_upload_cases, ratio_cases, message_cases])
c.finish()
