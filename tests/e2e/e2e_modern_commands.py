"""FEAT, OPTS, CLNT, MLSD and MLST against the real server over 127.0.0.1:
exact replies and listing bytes with a raw client, then real clients with
their defaults (Python's ftplib mlsd(), lftp mirror -R keeping modification
times with MFMT, curl, tnftp's mlsd) showing no fallback for anything FEAT
offers (lftp and tnftp come with scripts/deps.sh's test packages). (MFMT's
replies: FeatTest.MfmtSetsModificationTimes. HOST: FeatTest.HostSelectsANamedHome
and StoreTest.IPHomeSpecificAccount; over the wire in e2e_login_messages
test_v6_home.)"""
import calendar
import os
import shutil
import subprocess
import tempfile
import time

from ftp_e2e import Checker, ftp_client, greeted, login, tree_server, wait_until, write_file

c = Checker()

T0 = calendar.timegm((2024, 2, 29, 12, 34, 56))


def stamp(t):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(t))


def write(path, data, mtime=T0):
    write_file(path, data)
    os.utime(path, (mtime, mtime))


def run(args, **kw):
    return subprocess.run(args, capture_output=True, timeout=300, **kw)


def mlsd(ftp, arg, active=False):
    """The 150, the listing bytes and the closing reply of one MLSD."""
    first, data, end = ftp.transfer("MLSD " + arg if arg else "MLSD",
                                    ftp.port_listen() if active else None)
    return first, data, end and end[-1]


def make_pub(srv):
    pub = srv.path("pub")
    write(os.path.join(pub, "a.txt"), b"abc")
    write(os.path.join(pub, " lead blank.txt"), b"12")
    write(os.path.join(pub, "caf\u00e9 \u20ac.txt"), b"")
    write(os.path.join(pub, ".hidden"), b"h")
    os.mkdir(os.path.join(pub, "sub"))
    os.symlink("a.txt", os.path.join(pub, "to-a"))
    os.utime(os.path.join(pub, "sub"), (T0 - 60, T0 - 60))
    os.utime(pub, (T0 - 120, T0 - 120))


def feat_cases(srv):
    ftp = greeted(srv.port)
    # The lines, their order and the starred facts: FeatTest.FeaturesFollowTheCommandTable.
    before = ftp.cmd("FEAT")
    c.eq((before[0], before[-1]), ("211-Features:", "211 End"), "FEAT frame")
    c.eq(ftp.cmd("OPTS UTF8 ON"), ["200 UTF8 set to on."], "OPTS UTF8 ON before login")
    c.eq(ftp.cmd("CLNT e2e 1.0"), ["200 Noted."], "CLNT")
    c.eq(ftp.cmd("MLST"), ["530 Not logged in."], "MLST needs a login")
    c.eq(ftp.user()[-1][:4], "230 ", "login")
    c.eq(ftp.cmd("FEAT"), before, "FEAT after login is the same")
    ftp.close()
    return before


def mlst_mlsd_cases(srv):
    pub = srv.path("pub")
    ftp = login(srv.port)
    c.eq(ftp.cmd("MLST /c:/pub/a.txt"),
         ["250-Listing /c:/pub/a.txt",
          " type=file;size=3;modify=%s;perm=adfrw; /c:/pub/a.txt" % stamp(T0),
          "250 End"], "MLST file")
    # The facts OPTS MLST selects: FeatTest.OptsReplies, MlsxFacts.EntryLines.
    c.eq(ftp.cmd("MLST /c:/pub/nothing"), ["550 /c:/pub/nothing: No such file or directory."],
         "MLST missing")
    c.eq(ftp.cmd("MLSD /c:/pub/a.txt"), ["501 /c:/pub/a.txt: Not a directory."], "MLSD of a file")
    c.eq(ftp.cmd("MLSD /c:/pub/none"), ["550 /c:/pub/none: No such file or directory."],
         "MLSD missing")
    want = "".join(l + "\r\n" for l in [
        "type=cdir;modify=%s;perm=cdeflmp; ." % stamp(T0 - 120),
        "type=pdir;modify=%s;perm=cdeflmp; .." % stamp(os.stat(srv.root).st_mtime),
        "type=file;size=2;modify=%s;perm=adfrw;  lead blank.txt" % stamp(T0),
        "type=file;size=1;modify=%s;perm=adfrw; .hidden" % stamp(T0),
        "type=file;size=3;modify=%s;perm=adfrw; a.txt" % stamp(T0),
        "type=file;size=0;modify=%s;perm=adfrw; caf\u00e9 \u20ac.txt" % stamp(T0),
        "type=dir;modify=%s;perm=cdeflmp; sub" % stamp(T0 - 60),
        "type=OS.unix=symlink;size=3;modify=%s;perm=adfrw; to-a" % stamp(T0),
    ]).encode("utf-8")
    for active in (False, True):
        mode = "active" if active else "passive"
        first, data, last = mlsd(ftp, "/c:/pub", active)
        c.eq(first, "150 Opening ASCII mode data connection for /bin/ls.", "MLSD 150 " + mode)
        c.eq(data, want, "MLSD bytes " + mode)
        c.eq(last, "226 Transfer complete.", "MLSD 226 " + mode)
    ftp.cmd("CWD /c:/pub/sub")
    first, data, last = mlsd(ftp, "")
    c.eq(data.decode("utf-8").splitlines()[0],
         "type=cdir;modify=%s;perm=cdeflmp; ." % stamp(T0 - 60), "MLSD of the current directory")
    # A LIST of the same directory never answers from MLSD's cache entry.
    listing = ftp.transfer("LIST /c:/pub")[1].decode("utf-8")
    c.true("-rwxrwxrwx" in listing and "type=" not in listing,
           "LIST after MLSD is a LIST: %r" % listing[:80])
    # Another program's change shows in the next MLSD.
    write(os.path.join(pub, "new.txt"), b"n")
    c.true(wait_until(lambda: b"type=file;size=1;modify=%s;perm=adfrw; new.txt\r\n"
                      % stamp(T0).encode() in mlsd(ftp, "/c:/pub")[1]), "MLSD sees a new file")
    os.remove(os.path.join(pub, "new.txt"))
    os.utime(pub, (T0 - 120, T0 - 120))
    ftp.close()


def access_cases(srv):
    # The reader's rules: no perm for what the rules refuse; HideHidden;
    # a confined user sees no parent above his home.
    ftp = login(srv.port, "ro", "pw")
    c.eq(ftp.cmd("MLST /sub"),
         ["250-Listing /sub", " type=dir;modify=%s;perm=el; /sub" % stamp(T0 - 60), "250 End"],
         "read-only directory perm")
    _, data, _ = mlsd(ftp, "/")
    lines = data.decode("utf-8").split("\r\n")
    c.eq(lines[0], "type=cdir;modify=%s;perm=el; ." % stamp(T0 - 120), "confined cdir")
    c.true(not any(l.endswith("; ..") for l in lines), "no parent above a confined home")
    c.true(not any(l.endswith("; .hidden") for l in lines), "HideHidden hides dot files")
    c.true("type=file;size=3;modify=%s;perm=r; a.txt" % stamp(T0) in lines, "read-only file perm")
    c.eq(ftp.cmd("MLST /.hidden"), ["550 /.hidden: No such file or directory."], "hidden MLST")
    c.eq(ftp.cmd("MLST /../.."),
         ["250-Listing /", " type=dir;modify=%s;perm=el; /" % stamp(T0 - 120), "250 End"],
         "MLST cannot leave home")
    c.eq(ftp.cmd("MFMT 20200101000000 a.txt"), ["550 Permission denied."],
         "MFMT needs the write letter")
    c.eq(os.stat(srv.path("pub", "a.txt")).st_mtime, T0, "refused MFMT changed nothing")
    ftp.close()


def ftplib_cases(srv):
    ftp = ftp_client(srv.port, "joe", "secret", timeout=60)
    entries = dict(ftp.mlsd("/c:/pub"))
    c.eq(sorted(entries), sorted([".", "..", " lead blank.txt", ".hidden", "a.txt",
                                  "caf\u00e9 \u20ac.txt", "sub", "to-a"]), "ftplib mlsd names")
    c.eq(entries["a.txt"], {"type": "file", "size": "3", "modify": stamp(T0), "perm": "adfrw"},
         "ftplib mlsd facts")
    c.eq(entries["to-a"]["type"], "OS.unix=symlink", "ftplib mlsd link")
    facts = dict(ftp.mlsd("/c:/pub", facts=["type", "unique"]))
    c.true(all(set(f) <= {"type", "unique"} for f in facts.values()), "ftplib mlsd facts=")
    ftp.quit()


def dialogue_fallbacks(lines, offered):
    """Commands of an lftp/curl dialogue answered 500/502 although FEAT
    offered them."""
    bad = []
    last = None
    for l in lines:
        if l.startswith("> ") or l.startswith("---> "):
            last = l.split(" ", 2)[1].strip() if " " in l else l
        elif l.startswith("< ") or l.startswith("<--- "):
            code = l.split(" ", 2)[1][:3]
            verb = (last or "").split(" ")[0].upper()
            if code in ("500", "502") and verb in offered:
                bad.append((last, l))
    return bad


def lftp_cases(srv, offered, work):
    tree = os.path.join(work, "up")
    os.makedirs(os.path.join(tree, "d1", "d2"))
    times = {}
    for i, rel in enumerate(["f1.txt", "d1/f2.bin", "d1/d2/f3 with blank.txt"]):
        t = T0 - 86400 * (i + 1) - i
        write(os.path.join(tree, rel), os.urandom(100 * (i + 1)), t)
        times[rel] = t
    modes = {"f1.txt": 0o640, "d1/f2.bin": 0o604, "d1/d2/f3 with blank.txt": 0o600}
    for rel, m in modes.items():
        os.chmod(os.path.join(tree, rel), m)
    r = run(["lftp", "-d", "-u", "joe,secret", "-e",
             "set net:max-retries 1; set net:timeout 30; mirror -R %s /c:/pub/up; bye" % tree,
             "127.0.0.1:%d" % srv.port])
    out = r.stderr.decode("utf-8", "replace").splitlines()
    c.eq(r.returncode, 0, "lftp mirror -R: " + "\n".join(out[-20:]))
    for rel, t in times.items():
        p = srv.path("pub", "up", *rel.split("/"))
        c.eq(os.path.exists(p) and int(os.stat(p).st_mtime), t,
             "mirror -R kept the time of " + rel)
    for rel, m in modes.items():
        p = srv.path("pub", "up", *rel.split("/"))
        c.eq(os.path.exists(p) and os.stat(p).st_mode & 0o777, m,
             "mirror -R kept the mode of " + rel)
    c.true(any(l.startswith("---> MFMT ") for l in out), "lftp set times with MFMT")
    c.true(any(l.startswith("---> MLSD") for l in out), "lftp listed with MLSD")
    c.eq(dialogue_fallbacks(out, offered), [], "lftp: no fallback for what FEAT offers")


def curl_cases(srv, offered, work):
    url = "ftp://127.0.0.1:%d/c:/pub/" % srv.port
    r = run(["curl", "-v", "-s", "-S", "-u", "joe:secret", "--max-time", "60", "-o",
             os.path.join(work, "a.down"), url + "a.txt"])
    out = r.stderr.decode("utf-8", "replace").splitlines()
    c.eq(r.returncode, 0, "curl download: " + "\n".join(out[-10:]))
    c.eq(dialogue_fallbacks(out, offered), [], "curl: no fallback for what FEAT offers")
    if "EPSV" in offered:
        c.true(not any(l.startswith("> PASV") for l in out), "curl: no PASV after EPSV")


def tnftp_cases(srv, work):
    script = "user joe secret\nmlsd /c:/pub\nquit\n"
    r = run(["tnftp", "-n", "-v", "127.0.0.1", str(srv.port)], input=script.encode())
    out = r.stdout.decode("utf-8", "replace")
    c.true("type=file;size=3;modify=%s;perm=adfrw; a.txt" % stamp(T0) in out,
           "tnftp mlsd: " + out[-600:])
    c.true("500 " not in out and "502 " not in out, "tnftp: no refused command: " + out[-600:])


users = {
    "joe": ("secret", "C:\\", "C:\\,RWAMDCLP", []),
    "ro": ("pw", "C:\\pub", "C:\\pub,RLP", ["RelPaths=yes", "HideHidden=yes"]),
}
with tree_server(users=users) as srv:
    make_pub(srv)
    work = tempfile.mkdtemp(prefix="vantor-modern-")
    try:
        feat = feat_cases(srv)
        offered = {l.split()[0] for l in feat[1:-1]} | {"OPTS", "MLSD", "FEAT"}
        if "MLST" not in offered:
            offered.discard("MLSD")
        mlst_mlsd_cases(srv)
        access_cases(srv)
        ftplib_cases(srv)
        curl_cases(srv, offered, work)
        tnftp_cases(srv, work)
        lftp_cases(srv, offered, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
c.finish()
