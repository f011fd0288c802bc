"""Connections end to end: a burst of connections while the server is
stalled, the file-size limit, the IP home's passive address, exit pending, per-user speed pacing (a timed e2e
case) ended by ABOR of the running download, the control connection ending
or QUIT arriving while a transfer runs, and active connections that would
reach the server's own ports."""
import os
import select
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

from ftp_e2e import (Checker, Client, Program, file_size_limit, free_port, greeted, login,
                     parse_args, read_file, recv_all, sent, tree_server, wait_until, write_file)

c = Checker()
VANTOR = parse_args().vantor


# 120 connections (more than a backlog of 50 holds, fewer than the least
# somaxconn of 128) arrive while the server takes none (stopped): once it
# runs again, every one is greeted. What the backlog cannot hold the kernel
# answers with a SYN cookie and then drops, leaving a client that believes
# it is connected and waits for ever.
def connect_burst_cases():
    with tree_server(["MaxPreLoginPerIP=0", "MaxNrUsers=-1"]) as srv:
        greeting = greeted(srv.port).greeting
        srv.signal(signal.SIGSTOP)
        socks = []
        try:
            for _ in range(120):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", srv.port))
                socks.append(s)
            # The kernel completes the handshakes (or answers with SYN
            # cookies) while the server is stopped: wait for every connect.
            wait_until(lambda: len(select.select([], socks, [], 0.1)[1]) == len(socks), 5)
        finally:
            srv.signal(signal.SIGCONT)
        sel = selectors.DefaultSelector()
        got = {}
        for s in socks:
            sel.register(s, selectors.EVENT_READ)
        pending = len(socks)
        deadline = time.monotonic() + 15
        while pending and time.monotonic() < deadline:
            for key, _ in sel.select(0.2):
                s = key.fileobj
                try:
                    data = s.recv(4096)
                except OSError as e:
                    data = ("error %s" % e).encode()
                got[s] = got.get(s, b"") + data
                if not data or data.endswith(b"\r\n"):
                    sel.unregister(s)
                    pending -= 1
                    got[s] = got[s] or b"closed"
        sel.close()
        answers = [got.get(s, b"(nothing)").decode("latin-1").split("\r\n")[0] for s in socks]
        wrong = [a for a in answers if a != greeting[0]]
        c.eq(len(wrong), 0, "greeted after the stall: %d of 120 were not, e.g. %r" %
             (len(wrong), wrong[:2]))
        for s in socks:
            s.close()
        c.eq(login(srv.port).last("NOOP"), "200 Command okay.", "server serves on")


# An upload beyond the process's file-size limit ends with the disk-full
# reply, and the server (once killed by SIGXFSZ) serves on.
def file_size_limit_cases():
    with tree_server(preexec=file_size_limit(100 << 10, ignore_sigxfsz=False)) as srv:
        ftp = login(srv.port, binary=True)
        d = ftp.pasv_connect()
        c.eq(ftp.last("STOR pub/big.bin"),
             "150 Opening BINARY mode data connection for big.bin.", "STOR 150")
        try:
            d.sendall(b"x" * (1 << 20))
            d.close()
        except OSError:
            pass  # the server stopped reading
        c.eq(ftp.last_reply(),
             "426 Data connection closed, cannot write file big.bin - disk full?",
             "STOR past the file-size limit")
        c.eq(ftp.last("NOOP"), "200 Command okay.", "session alive after EFBIG")
        c.true(srv.proc.poll() is None, "server alive after EFBIG")
        ftp.close()


# The IP home's passive address is what 227 reports, over the global
# PassiveAddress; the listener is on the control connection's own address.
def ip_home_passive_cases():
    homes = ["PassiveAddress=203.0.113.9", "[IP-HOMES]", "IP1=127.0.0.1,loopback,192.0.2.7"]
    with tree_server(homes) as srv:
        write_file(srv.path("pub", "f"), b"home")
        ftp = login(srv.port)
        host, port = ftp.pasv()
        c.eq(host, "192.0.2.7", "227 with the IP home's passive address")
        d = socket.create_connection(("127.0.0.1", port), timeout=20)
        c.eq(ftp.transfer("RETR pub/f", d), sent("f", b"home"), "RETR through the home's listener")
        ftp.close()


# Exit pending (SIGTERM with a user on): a new connection gets 421 and is
# closed; the program ends when the last user leaves.
def exit_pending_cases():
    tmp = tempfile.mkdtemp(prefix="vantor-exit-")
    try:
        port = free_port()
        ini = os.path.join(tmp, "v.ini")
        write_file(ini, "[GLOBAL]\nPortNr=%d\nEncryptPasswords=NO\nLogging=YES\n[USER=joe]\n"
                   "Password=pw\nHomeDir=%s\nAccess1=%s,RL\n" % (port, tmp, tmp))
        p = Program(VANTOR, ini, stderr=subprocess.STDOUT)
        p.wait_for("FTP Server on-line", 15)
        ftp = login(port, "joe", "pw")
        p.signal(signal.SIGTERM)
        got = []

        def refused():
            got[:] = [recv_all(socket.create_connection(("127.0.0.1", port), timeout=10))]
            return got[0].startswith(b"421")
        wait_until(refused, 10)
        c.eq(got, [b"421 Server is going down - please try again later.\r\n"],
             "new connection while exit is pending")
        c.eq(ftp.last("NOOP"), "200 Command okay.", "the user on is served")
        ftp.send("QUIT")
        try:
            c.eq(p.finish(15), 0, "program ends when the last user leaves")
        finally:
            p.kill()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# Timed e2e case: a user's SpeedLimit paces a download to within 5% over
# ten seconds after the first one. ABOR while it still runs: the 426 of the
# transfer, then 226, and the data connection ends early.
def speed_pacing_cases():
    rate = 200000
    users = {"joe": ("secret", "C:\\", "C:\\,RWAMDCLP", ["SpeedLimit=%d" % rate])}
    with tree_server(users=users) as srv:
        write_file(srv.path("pub", "paced.bin"), b"p" * (rate * 20))
        ftp = login(srv.port, binary=True)
        d = ftp.pasv_connect()
        c.eq(ftp.last("RETR pub/paced.bin"),
             "150 Opening BINARY mode data connection for paced.bin (%d bytes)." % (rate * 20),
             "RETR 150")
        d.settimeout(5)
        # The limit is a budget per second, so bytes arrive in a burst each
        # second. Measuring between burst starts, not between two arbitrary
        # instants, keeps a burst cut in half out of the figure.
        bursts = []  # (time, bytes received before it)
        total = 0
        last = None
        while len(bursts) < 12:
            b = d.recv(65536)
            if not b:
                break
            now = time.monotonic()
            if last is None or now - last >= 0.5:
                bursts.append((now, total))
            last = now
            total += len(b)
        c.true(len(bursts) == 12, "download lasted 11 bursts")
        if len(bursts) == 12:
            (t1, n1), (t11, n11) = bursts[1], bursts[11]
            c.eq(n11 - n1, rate * 10, "ten bursts carry ten seconds' budget")
            measured = (n11 - n1) / (t11 - t1)
            c.true(abs(measured - rate) <= rate * 0.05,
                   "paced at %.0f bytes/s, want %d within 5%%" % (measured, rate))
        c.eq(ftp.cmd("ABOR"), ["426 Data connection closed, file transfer paced.bin aborted."],
             "ABOR: the transfer's 426")
        c.eq(ftp.reply(), ["226 ABOR command successful."], "ABOR: then 226")
        try:
            total += len(recv_all(d))
        except OSError:
            pass
        c.true(total < rate * 20, "data connection ended early")
        c.eq(ftp.last("NOOP"), "200 Command okay.", "session alive after ABOR")
        ftp.close()


PATTERN = bytes(range(256))
BIG = PATTERN * (1 << 16)  # 16 MiB: more than loopback's socket buffers hold


def data_ends(d, timeout=20):
    """True when the server ends the data connection `d` within `timeout`."""
    d.settimeout(timeout)
    try:
        while d.recv(1 << 20):
            pass
        return True
    except ConnectionResetError:
        return True
    except (socket.timeout, TimeoutError):
        return False
    finally:
        d.close()


# The control connection ends (a close, or a reset during an upload) while
# the data connection stays open: the session and its transfer end, and the
# server serves on. The end once queued the transfer's last reply for a
# session already freed (the sanitizer build stopped there within two tries).
def control_close_during_transfer_cases():
    with tree_server() as srv:
        write_file(srv.path("pub", "big.bin"), BIG)
        for verb, reset in [("RETR pub/big.bin", False), ("STOR pub/up.bin", True)] * 2:
            ftp = login(srv.port, binary=True)
            d = ftp.pasv_connect()
            c.eq(ftp.last(verb)[:4], "150 ", verb)
            if verb.startswith("RETR"):
                got = 0
                while got < 64 << 10:
                    got += len(d.recv(65536))
            else:
                d.sendall(PATTERN * (4 << 8))
            if reset:
                ftp.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            ftp.close()
            c.true(data_ends(d), verb + ": the data connection ends with the session")
        c.true(srv.alive(), "server alive after the control connections ended")
        c.eq(login(srv.port).last("NOOP"), "200 Command okay.", "server serves on")


# QUIT while a transfer runs (RFC 959): the transfer goes on to its end and
# its 226, then come the 221 and the close, and nothing of the file is lost:
# an upload sent whole and closed just before the QUIT, an upload and a
# download with the QUIT in their middle.
def quit_during_transfer_cases():
    upload = PATTERN * (20 << 10)  # 5 MiB
    with tree_server() as srv:
        write_file(srv.path("pub", "big.bin"), BIG)
        for i, middle in enumerate([False, False, False, True]):
            ftp = login(srv.port, binary=True)
            d = ftp.pasv_connect()
            name = "q%d.bin" % i
            c.eq(ftp.last("STOR pub/" + name),
                 "150 Opening BINARY mode data connection for %s." % name, "STOR 150")
            if middle:
                d.sendall(upload[:len(upload) // 2])
                ftp.send("QUIT")
                d.sendall(upload[len(upload) // 2:])
                d.close()
            else:
                d.sendall(upload)
                d.close()
                ftp.send("QUIT")
            what = "QUIT %s upload %d: " % ("in the middle of" if middle else "after", i)
            c.eq([ftp.reply(), ftp.reply()], [["226 Transfer complete."], ["221 Goodbye!"]],
                 what + "replies")
            c.true(ftp.closed(), what + "closed after the 221")
            c.true(read_file(srv.path("pub", name)) == upload, what + "file complete")
        ftp = login(srv.port, binary=True)
        d = ftp.pasv_connect()
        c.eq(ftp.last("RETR pub/big.bin")[:4], "150 ", "RETR 150")
        first = d.recv(65536)
        ftp.send("QUIT")
        c.true(first + recv_all(d) == BIG, "QUIT during RETR: all data")
        c.eq([ftp.reply(), ftp.reply()], [["226 Transfer complete."], ["221 Goodbye!"]],
             "QUIT during RETR: replies")
        c.true(ftp.closed(), "QUIT during RETR: closed after the 221")


# An active data connection never reaches a port of the server's own: a
# file of commands sent there would run as a session from this machine.
# Without PORT the data port is the client's own control port (RFC 959);
# PORT and EPRT naming the control port or another session's passive
# listener get the ordinary 425. A client that listens on its control port
# is served from the control port minus one.
def own_port_cases():
    # The free port found may be taken by another program's connect before
    # the server binds it ("already in use"): then try another pair.
    for attempt in range(5):
        port, below = port_with_reserved_neighbour()
        try:
            own_port_session(port)
            return
        except AssertionError as e:
            if "did not come on-line" not in str(e) or "is already in use" not in str(e) \
                    or attempt == 4:
                raise
        finally:
            below.close()


# A control port whose port minus one is held for the server's active
# connections. Any client's connect may otherwise take that port (or leave
# it in TIME_WAIT) first, and the server rightly falls back to another one.
# The holding socket is bound with SO_REUSEADDR and never listens: the
# server's bind, also with SO_REUSEADDR, shares the port, and the kernel
# never hands a port with such a binding to a connect.
def port_with_reserved_neighbour():
    for _ in range(50):
        port = free_port()
        below = socket.socket()
        below.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            below.bind(("127.0.0.1", port - 1))
            return port, below
        except OSError:
            below.close()
    raise AssertionError("no free port pair on this machine")


def own_port_session(port):
    with tree_server(port=port) as srv:
        write_file(srv.path("pub", "victim.txt"), b"keep\n")
        cmds = b"USER joe\r\nPASS secret\r\nDELE pub/victim.txt\r\nQUIT\r\n"
        write_file(srv.path("cmds.txt"), cmds)
        opening = "150 Opening ASCII mode data connection for cmds.txt (%d bytes)." % len(cmds)
        ftp = login(srv.port)
        other = login(srv.port)
        _, passive = other.pasv()
        other.send("STOR pub/fed.txt")  # waits for its passive connection
        for setup, ok in [(None, None),
                          ("PORT 127,0,0,1,%d,%d" % (srv.port // 256, srv.port % 256),
                           "200 PORT Command successful."),
                          ("EPRT |1|127.0.0.1|%d|" % srv.port, "200 EPRT command successful."),
                          ("PORT 127,0,0,1,%d,%d" % (passive // 256, passive % 256),
                           "200 PORT Command successful.")]:
            if setup:
                c.eq(ftp.last(setup), ok, setup)
            c.eq([ftp.cmd("RETR cmds.txt"), ftp.reply()],
                 [[opening], ["425 Cannot open data connection."]], "RETR after %s" % setup)
        c.eq(read_file(srv.path("pub", "victim.txt")), b"keep\n", "the commands never ran")
        c.eq(other.cmd("ABOR"), ["226 ABOR command successful."], "nothing fed to the listener")
        c.true(srv.has_line(lambda l: "refused: the server itself listens there" in l), "logged")
        # SO_REUSEADDR on both lets the listener share the control port.
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        sock.connect(("127.0.0.1", srv.port))
        ls = socket.socket()
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind(sock.getsockname())
        ls.listen(1)
        ls.settimeout(20)
        own = Client(sock=sock)
        own.reply()
        own.user()
        first = own.last("RETR cmds.txt")
        d, peer = ls.accept()
        c.eq((first, recv_all(d), own.reply()), sent("cmds.txt", cmds), "RETR to the default port")
        c.eq(peer[1], srv.port - 1, "from the control port minus one")
        ls.close()


c.cases([connect_burst_cases, file_size_limit_cases, ip_home_passive_cases,
         exit_pending_cases, speed_pacing_cases, control_close_during_transfer_cases,
         quit_during_transfer_cases, own_port_cases])
c.finish()
