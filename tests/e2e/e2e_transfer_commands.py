"""Exact replies of the data-connection, transfer, file and listing commands
against the real server over 127.0.0.1."""
import os
import re
import socket
import struct
import time

from ftp_e2e import (Checker, file_size_limit, free_port, login, read_file, sent, tree_server,
                     wait_until, write_file)

c = Checker()


def data_port_cases(srv):
    ftp = login(srv.port)
    # Other malformed PORT lines: TransferArgs.PortParsing.
    c.replies(ftp, [("PORT 127,0,0,1,4,1", "200 PORT Command successful."),
                    ("PORT 10,0,0,256,4,1", "501 Syntax error in parameters or arguments.")])
    write_file(srv.path("pub", "f.txt"), b"hello\n")
    c.eq(ftp.transfer("RETR pub/f.txt", ftp.port_listen()), sent("f.txt", b"hello\n"),
         "active RETR after a refused PORT")
    # A passive connection made before RETR (complete once NOOP is answered).
    d = ftp.pasv_connect()
    ftp.last("NOOP")
    c.eq(ftp.transfer("RETR pub/f.txt", d), sent("f.txt", b"hello\n"), "early passive")

    # Second PASV: a new port, no reply for the abandoned listener.
    h1, p1 = ftp.pasv()
    h2, p2 = ftp.pasv()
    c.true(p1 != p2, "second PASV gives a new port")
    try:
        socket.create_connection((h1, p1), timeout=2).close()
        c.true(False, "first passive listener must be gone")
    except OSError:
        pass
    ftp.close()


def abort_cases(srv):
    write_file(srv.path("pub", "f.txt"), b"hello\n")
    ftp = login(srv.port)
    c.eq(ftp.cmd("ABOR"), ["226 ABOR command successful."], "ABOR without transfer")
    ftp.pasv()
    c.eq(ftp.cmd("ABOR"), ["226 ABOR command successful."], "ABOR drops the listener")
    ftp.pasv()
    ftp.send("RETR pub/f.txt")  # taken before the ABOR: it waits for its connection
    c.eq(ftp.cmd("ABOR"), ["226 ABOR command successful."],
         "ABOR during waiting passive RETR: no 426")
    c.eq(ftp.last("NOOP"), "200 Command okay.", "session alive after ABOR")
    ftp.close()


def open_fds(srv):
    return sorted(os.listdir("/proc/%d/fd" % srv.proc.pid), key=int)


# A reset in the middle of an unread download: 426, and the server (once
# killed by SIGPIPE from sendfile) serves on with no descriptor left behind.
def reset_download_cases(srv):
    write_file(srv.path("pub", "big.bin"), b"\0" * (16 << 20))
    ftp = login(srv.port)
    c.eq(ftp.last("NOOP"), "200 Command okay.", "logged in")
    fds = open_fds(srv)
    d = ftp.pasv_connect()
    c.eq(ftp.last("RETR pub/big.bin")[:4], "150 ", "download under way")
    got = 0
    while got < (256 << 10):  # the data flows before the reset
        chunk = d.recv(1 << 16)
        if not chunk:
            break
        got += len(chunk)
    d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    d.close()
    c.eq(ftp.last_reply(), "426 Data connection closed, file transfer big.bin aborted.",
         "reset mid-download")
    c.eq(ftp.last("NOOP"), "200 Command okay.", "session alive after the reset")
    # A data thread's copies of the descriptors close a moment after the 426.
    c.true(wait_until(lambda: open_fds(srv) == fds),
           "no file or socket left open by the cut-off download")
    ftp.close()
    os.remove(srv.path("pub", "big.bin"))


def active_failure_cases(srv):
    ftp = login(srv.port)
    write_file(srv.path("pub", "f.txt"), b"hello\n")
    port = free_port()  # nothing listens there
    ftp.last("PORT 127,0,0,1,%d,%d" % (port // 256, port % 256))
    c.eq(ftp.cmd("RETR pub/f.txt"),
         ["150 Opening ASCII mode data connection for f.txt (6 bytes)."], "150 first")
    c.eq(ftp.last_reply(), "425 Cannot open data connection.", "then 425")
    # An active upload whose connection fails leaves no new file behind, and
    # an existing file keeps its contents.
    write_file(srv.path("pub", "keep.txt"), b"earlier contents")
    for verb, name in [("STOR", "new.txt"), ("APPE", "keep.txt"), ("STOR", "keep.txt")]:
        ftp.last("PORT 127,0,0,1,%d,%d" % (port // 256, port % 256))
        r = ftp.cmd("%s pub/%s" % (verb, name))
        c.eq(r, ["150 Opening ASCII mode data connection for %s." % name], verb + " 150")
        c.eq(ftp.last_reply(), "425 Cannot open data connection.", verb + " 425")
    c.true(not os.path.exists(srv.path("pub", "new.txt")), "failed STOR leaves no file")
    c.eq(read_file(srv.path("pub", "keep.txt")), b"earlier contents", "failed upload keeps file")
    ftp.close()


def upload_end_cases(srv):
    ftp = login(srv.port, binary=True)
    first, end = ftp.stor("STOR pub/up.bin", b"x" * 100000)
    c.eq(first, "150 Opening BINARY mode data connection for up.bin.", "STOR 150")
    c.eq(end, ["226 Transfer complete."], "upload closed in order")
    c.eq(read_file(srv.path("pub", "up.bin")), b"x" * 100000, "upload bytes")
    fds = open_fds(srv)
    first, end = ftp.stor("STOR pub/reset.bin", b"y" * 100000, reset=True)
    c.eq(end, ["426 Data connection closed, receive file reset.bin aborted."], "upload reset")
    c.eq(ftp.last("NOOP"), "200 Command okay.", "session alive after the upload reset")
    c.true(wait_until(lambda: open_fds(srv) == fds),
           "no file or socket left open by the reset upload")
    ftp.close()


def rest_cases(srv):
    data = bytes(range(256)) * 4  # 1024 bytes
    write_file(srv.path("pub", "r.bin"), data)
    ftp = login(srv.port, binary=True)
    c.eq(ftp.last("REST 100"),
         "350 Restarting at 100 - send STORE or RETRIEVE to initiate transfer.", "REST 350")
    # REST -5 and REST without a number: TransferArgs.RestOffsets. PASV
    # keeps the offset (SessionTest.RestartOffsetKeptByTransferVerbs).
    first, got, end = ftp.retr("pub/r.bin")
    c.eq(first, "150 Opening BINARY mode data connection for r.bin (1024 bytes).",
         "REST RETR shows whole size")
    c.eq(got, data[100:], "REST then RETR sends from 100")
    # NOOP clears the offset (SessionTest.DispatchStates); STOR after REST:
    # TransferFileTest.PositionsAndDeferredTruncation and access_cases below.
    ftp.close()


def stou_appe_type_cases(srv):
    os.makedirs(srv.path("pub", "u"))
    ftp = login(srv.port)
    ftp.last("CWD pub/u")
    write_file(srv.path("pub", "u", "a.txt"), b"x")
    for verb, data, name in [("STOU", b"1", "FTP00000"), ("STOU", b"2", "FTP00001"),
                             ("STOU a.txt", b"3", "a1.txt")]:
        c.eq(ftp.stor(verb, data)[0], "150 Opening ASCII mode data connection for %s." % name,
             "%s names %s" % (verb, name))
    c.eq(read_file(srv.path("pub", "u", "a1.txt")), b"3", "STOU file")
    c.eq(ftp.stor("APPE missing.txt", b"new")[1], ["226 Transfer complete."], "APPE to missing")
    ftp.stor("APPE missing.txt", b"+more")
    c.eq(read_file(srv.path("pub", "u", "missing.txt")), b"new+more", "APPE appends")
    # One line per reply text; the other arguments: TransferArgs.TypeModeStru.
    no = "504 Command not implemented for that parameter."
    c.replies(ftp, [("TYPE A", "200 Type set to A."), ("TYPE I", "200 Type set to I."),
                    ("TYPE E", no), ("MODE S", "200 MODE S ok."), ("MODE B", no),
                    ("STRU F", "200 STRU F ok."), ("STRU R", "200 STRU R ok."), ("STRU P", no),
                    ("SMNT x", "202 Command not implemented, superfluous at this site.")])
    text = b"line one\r\nline two\nend"
    write_file(srv.path("pub", "u", "t.txt"), text)
    ftp.last("TYPE A")
    _, a, _ = ftp.retr("t.txt")
    ftp.last("TYPE I")
    _, i, _ = ftp.retr("t.txt")
    c.eq((a, i), (text, text), "TYPE A and I identical bytes")
    write_file(srv.path("pub", "u", "zero"), b"")
    c.eq(ftp.retr("zero"), sent("zero", b"", "BINARY"), "0-byte download")
    c.true(srv.has_line(lambda l: "Sent file" in l and "bytes/sec - 0 bytes)" in l),
           "0-byte download logged in bytes/sec")
    ftp.close()


def file_command_cases(srv):
    ftp = login(srv.port)
    write_file(srv.path("pub", "a"), b"A")
    write_file(srv.path("pub", "c"), b"C")
    rnfr, rnto, seq = ("350 File or directory exists, ready for destination name",
                       "250 RNTO command successful.", "503 Bad sequence of commands.")
    # RNFR, NOOP, RNTO renames; a CWD in between drops the name.
    c.replies(ftp, [("CWD pub", "250 Directory changed to /c:/pub"), ("RNFR a", rnfr),
                    ("NOOP", "200 Command okay."), ("RNTO b", rnto), ("RNFR b", rnfr),
                    ("CWD /C:/pub", "250 Directory changed to /c:/pub"), ("RNTO x", seq)])
    names = lambda: sorted(set(os.listdir(srv.path("pub"))) & {"a", "b", "c", "x", "C"})
    c.eq(names(), ["b", "c"], "renamed a to b, not to x")
    # Onto an existing file, then a change of case only.
    c.replies(ftp, [("RNFR b", rnfr), ("RNTO c", rnto), ("RNFR c", rnfr), ("RNTO C", rnto)])
    c.eq((names(), read_file(srv.path("pub", "C"))), (["C"], b"A"),
         "existing file replaced, only the case changed")
    c.replies(ftp, [("RNFR nothere", "550 /c:/pub/nothere: No such file or directory."),
                    ("RNTO y", seq)])
    # MDTM set form, future limit, 1979.
    write_file(srv.path("pub", "m"), b"m")
    c.eq(ftp.last("MDTM 20240101120000 m"), "253 Date/time changed okay.", "MDTM set")
    lt = time.localtime(os.stat(srv.path("pub", "m")).st_mtime)
    c.eq(time.strftime("%Y%m%d%H%M%S", lt), "20240101120000", "MDTM set local time")
    c.eq(ftp.last("MDTM m"), "213 20240101120000", "MDTM query")
    fut = time.strftime("%Y%m%d%H%M%S", time.localtime(time.time() + 1200))
    c.eq(ftp.last("MDTM %s m" % fut), "550 File date/time cannot be set to future.",
         "MDTM 20 minutes ahead")
    ok = time.strftime("%Y%m%d%H%M%S", time.localtime(time.time() + 600))
    c.eq(ftp.last("MDTM %s m" % ok), "253 Date/time changed okay.", "MDTM 10 minutes ahead")
    # A 1979 stamp is read as a path: TransferArgs.MdtmSetForm.
    os.makedirs(srv.path("pub", "d"))
    os.makedirs(srv.path("pub", "nd3", "f"))
    # The ALLO texts and syntax: TransferArgs.Allo.
    alloc = ftp.last("ALLO 1000")
    c.true(re.fullmatch(r"200 Command OK, \d+ bytes available on drive C:", alloc), alloc)
    c.replies(ftp, [
        ("SIZE d", "550 /c:/pub/d: No such file."), ("SIZE m", "213 1"),
        ("MKD nd", '257 "/c:/pub/nd" directory created.'),
        ("XMKD nd2", '257 "/c:/pub/nd2" directory created.'),
        ("MKD nd", "550 /c:/pub/nd: failed to create."),
        ("RMD nd3", "550 /c:/pub/nd3: Directory not empty."),
        ("RMD nd3/f", "250 RMD command successful."),
        ("XRMD nd3", "250 RMD command successful."),
        ("DELE m", "250 DELE command successful."),
        ("DELE m", "550 /c:/pub/m: No such file or directory."),
        ("RMD nd", "250 RMD command successful."),
        ("CWD nosuch", "550 /c:/pub/nosuch: No such file or directory."),
        ("CDUP", "250 Directory changed to /c:/"),
        ("PWD", '257 "/c:/" is current directory.')])
    ftp.close()


# A listing over the data connection: its 150, lines ended by CRLF, 226.
# What LIST and NLST show with each option: ListingTest.ListDefaults,
# ListSubdirectory, NlstDefaults and ListArguments.
def list_cases(srv):
    os.makedirs(srv.path("pub", "L", "sub"))
    write_file(srv.path("pub", "L", "f1"), b"12345")
    write_file(srv.path("pub", "L", ".hidden"), b"")
    ftp = login(srv.port)
    ftp.last("CWD pub/L")
    c.eq(ftp.transfer("NLST"), ("150 Opening ASCII mode data connection for /bin/ls.", b"f1\r\n",
                                ["226 Transfer complete."]), "NLST regular files only")
    lines = ftp.transfer("LIST")[1].decode().split("\r\n")
    c.eq([l.split(" ")[-1] for l in lines], [".", "..", ".hidden", "f1", "sub", ""],
         "LIST shows all, in CRLF lines")
    ftp.close()


def access_cases():
    users = {
        "joe": ("secret", "C:\\", "C:\\,RWAMDCLP", []),
        "ro": ("ro", "C:\\pub", "C:\\pub,RLP", []),
        "jail": ("jail", "C:\\pub\\jail", "C:\\pub\\jail,RWLP", ["RelPaths=yes"]),
        "wo": ("wo", "C:\\pub", "C:\\pub,RWLP", []),
    }
    with tree_server(users=users) as srv:
        write_file(srv.path("pub", "f"), b"f")
        os.makedirs(srv.path("pub", "jail"))
        write_file(srv.path("secret.txt"), b"top secret")
        os.symlink(srv.path("secret.txt"), srv.path("pub", "jail", "link"))
        ftp = login(srv.port, "ro", "ro")
        d = ftp.pasv_connect()
        c.eq(ftp.last("STOR x"), "550 Permission denied.", "R+L user STOR")
        d.close()
        c.eq(ftp.last("DELE f"), "550 Permission denied.", "R+L user DELE")
        c.eq(ftp.last("MKD n"), "550 /C:/pub/n: Permission denied.", "R+L user MKD")
        c.eq(ftp.last("RMD jail"), "550 /C:/pub/jail: Permission denied.", "R+L user RMD")
        c.eq(ftp.last("RNFR f"), "550 Permission denied", "R+L user RNFR")
        _, got, _ = ftp.retr("f")
        c.eq(got, b"f", "R+L user may read")
        ftp.close()
        ftp = login(srv.port, "jail", "jail")
        for path in ["../secret.txt", "../../secret.txt", "/../secret.txt", "link"]:
            first, got, _ = ftp.retr(path)
            c.true(got is None, "confined user cannot read %s (%s)" % (path, first))
        c.eq(ftp.last("CDUP"), "250 Directory changed to /", "CDUP at home stays home")
        ftp.close()
        # A user without append or modify rights resumes its own interrupted
        # upload (judged as a plain store), but not someone else's file.
        write_file(srv.path("pub", "other.bin"), b"o" * 10)
        ftp = login(srv.port, "wo", "wo", binary=True)
        _, end = ftp.stor("STOR mine.bin", b"m" * 300000, reset=True)
        c.true(wait_until(lambda: os.path.exists(srv.path("pub", "mine.bin"))),
               "interrupted upload kept")
        have = os.path.getsize(srv.path("pub", "mine.bin"))
        ftp.last("REST %d" % have)
        _, end = ftp.stor("STOR mine.bin", b"m" * (300000 - have))
        c.eq(end, ["226 Transfer complete."], "own interrupted upload resumed")
        c.eq(read_file(srv.path("pub", "mine.bin")), b"m" * 300000, "resumed bytes")
        ftp.last("REST 10")
        first, _ = ftp.stor("STOR other.bin", b"x")
        c.eq(first, "550 Permission denied.", "no resume of another file")
        ftp.close()


# DeletePartialUploads: a reset or a full disk deletes a new file and cuts
# an appended one back; an upload that fits is kept whole.
def delete_partial_cases():
    with tree_server(["DeletePartialUploads=yes"], preexec=file_size_limit(1 << 20)) as srv:
        write_file(srv.path("pub", "old.bin"), b"old")
        ftp = login(srv.port, binary=True)
        _, end = ftp.stor("STOR pub/part.bin", b"z" * 200000, reset=True)
        c.eq(end, ["426 Data connection closed, receive file part.bin aborted."], "reset 426")
        c.true(wait_until(lambda: not os.path.exists(srv.path("pub", "part.bin"))),
               "partial upload deleted")
        ftp.stor("APPE pub/old.bin", b"z" * 200000, reset=True)
        c.eq(read_file(srv.path("pub", "old.bin")), b"old", "failed APPE cut back, not deleted")
        for verb, name in (("STOR", "big.bin"), ("APPE", "old.bin")):
            first, end = ftp.stor("%s pub/%s" % (verb, name), b"f" * (3 << 20))
            c.eq((first, end),
                 ("150 Opening BINARY mode data connection for %s." % name,
                  ["426 Data connection closed, cannot write file %s - disk full?" % name]),
                 verb + " past the end of the disk")
        c.true(wait_until(lambda: not os.path.exists(srv.path("pub", "big.bin"))),
               "partial new file deleted")
        c.eq(read_file(srv.path("pub", "old.bin")), b"old", "appended file cut back")
        _, end = ftp.stor("STOR pub/small.bin", b"s" * 500000)
        c.eq(end, ["226 Transfer complete."], "upload that fits")
        c.eq(read_file(srv.path("pub", "small.bin")), b"s" * 500000, "bytes that fit")
        ftp.close()


def passive_never_connects():
    with tree_server(["PacketTimeOut=5"]) as srv:
        write_file(srv.path("pub", "f"), b"f")
        ftp = login(srv.port)
        for verb in ("RETR pub/f", "STOR pub/never"):
            ftp.pasv()
            c.eq(ftp.cmd(verb), ["425 Cannot open data connection."], verb + " never connected")
        c.true(not os.path.exists(srv.path("pub", "never")), "no file from a dead upload")
        _, got, end = ftp.retr("pub/f")
        c.eq((got, end), (b"f", ["226 Transfer complete."]), "next transfer works")
        # PORT while a passive transfer waits ends that transfer silently.
        ftp.pasv()
        ftp.send("RETR pub/f")  # taken before the PORT that follows
        c.eq(ftp.transfer("RETR pub/f", ftp.port_listen()), sent("f", b"f"),
             "RETR after PORT replaced a waiting passive RETR")
        ftp.close()


with tree_server() as srv:
    c.cases([data_port_cases, abort_cases, reset_download_cases, active_failure_cases,
             upload_end_cases, rest_cases, stou_appe_type_cases, file_command_cases, list_cases],
            srv)
c.cases([access_cases, delete_partial_cases, passive_never_connects])
c.finish()
