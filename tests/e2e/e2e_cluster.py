"""Two servers on one PostgreSQL store: the limits hold across both, a
killed node frees its slots after its lease, and the faults of the database
(unreachable at start, stopped and started mid-run) behave as documented."""
import contextlib
import os
import signal
import shutil
import subprocess
import tempfile
import sys
import threading
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)
import crypt  # noqa: E402
import hashlib  # noqa: E402
import re  # noqa: E402

import pg_e2e  # noqa: E402
from ftp_e2e import (Client, Program, Server, expect, free_port, greeted, login,  # noqa: E402
                     parse_args, run, wait_until)

PROCEED = "230 User logged in, proceed."
TOO_MANY = "421 Too many users - please try again later."
ONCE = "530 Not logged in, only allowed to be logged in once concurrently."
STORE_AWAY = "421 Service not available, the account store cannot be reached."
SKIP = 77  # ctest's SKIP_RETURN_CODE for this script
PG = None


def ini(node, conninfo, extra_cluster="", extra_global="", lease=5, quota_home="{home}",
        quota_max=1000000):
    hashed = crypt.crypt("secret", "ab")
    return """[GLOBAL]
Version=2.5.11.3
%s
[CLUSTER]
Store=postgresql
ConnInfo=%s
Node=%s
LeaseSeconds=%d
%s
[USER=joe]
Password=%s
HomeDir={home}
[USER=pair]
Password=%s
HomeDir={home}
MaxNrUsers=2
[USER=once]
Password=%s
HomeDir={home}
MaxUsersLoginPerIP=1
[USER=quota]
Password=%s
HomeDir=%s
Access1=%s,RWAMDLP
QuotaEnable=YES
QuotaMaxCurrent=%d,0
""" % (extra_global, conninfo, node, lease, extra_cluster, hashed, hashed, hashed, hashed,
       quota_home, quota_home, quota_max)


PHRASE = "my pass phrase"
SKEY_INI = """
[USER=otp]
PasswordType=OTP S/KEY MD5
Password=%s
HomeDir={home}
ChangePassword=YES
""" % PHRASE


def skey_response(seed, sequence, phrase=PHRASE):
    """The one-time password for `sequence` under `seed` (RFC 2289, MD5),
    in hexadecimal."""
    def fold(d):
        return bytes(x ^ y for x, y in zip(d[:8], d[8:]))
    v = fold(hashlib.md5((seed.lower() + phrase).encode()).digest())
    for _ in range(sequence):
        v = fold(hashlib.md5(v).digest())
    return v.hex().upper()


def challenge(c):
    """USER otp on `c`: (sequence, seed) of the challenge."""
    reply = c.last("USER otp")
    m = re.fullmatch(r"331 Response to otp-md5 (\d+) (\S+) required for skey\.", reply)
    assert m, reply
    return int(m.group(1)), m.group(2)


# A one-time password is accepted once in the whole cluster: both machines
# ask for the same sequence, the first to take the answer wins, the other
# refuses it and asks for the next one; used on one, refused on the other.
def test_skey_once_across_nodes():
    db = ready_db()
    a, b = pair(db, extra_global="EncryptPasswords=NO", extra=SKEY_INI)
    with a, b:
        ca, cb = greeted(a.port), greeted(b.port)
        seq, seed = challenge(ca)
        expect(seq, 999, "first sequence")
        expect(challenge(cb), (seq, seed), "b asks for the same one")
        otp = skey_response(seed, seq)
        expect(ca.last("PASS " + otp), PROCEED, "on a")
        # b checked the same answer against the same challenge.
        expect(cb.last("PASS " + otp), "530 Not logged in.", "the same password on b")
        expect(challenge(cb), (seq - 1, seed), "b's next challenge")
        expect(cb.last("PASS " + otp), "530 Not logged in.", "the used one again")
        expect(challenge(cb), (seq - 1, seed), "still the next one")
        expect(cb.last("PASS " + skey_response(seed, seq - 1)), PROCEED, "the next one on b")
        cc = greeted(a.port)
        expect(challenge(cc), (seq - 2, seed), "a sees b's use")
        expect(cc.last("PASS " + skey_response(seed, seq - 1)), "530 Not logged in.",
               "b's password on a")
        expect(PG.sql("SELECT sequence || ' ' || seed FROM vantor_skey WHERE account = 'otp'",
                      db), "%d %s" % (seq - 2, seed))
        # A new pass phrase, changed on a logged-in session of a: its S/KEY
        # row is used up with it, and b's next challenge starts a new
        # sequence that only the new phrase answers.
        fresh = "another pass phrase"
        expect(challenge(cc), (seq - 2, seed), "a's next challenge")
        expect(cc.last("PASS " + skey_response(seed, seq - 2)), PROCEED, "the next one on a")
        expect(cc.last('SITE PSWD "%s" "%s"' % (PHRASE, fresh)), "230 Password changed okay.",
               "the new pass phrase")
        cd = greeted(b.port)
        seq2, seed2 = challenge(cd)
        expect(seq2, 999, "b's challenge after the change")
        expect(cd.last("PASS " + skey_response(seed2, seq2)), "530 Not logged in.",
               "the old phrase's answer on b")
        expect(challenge(cd), (seq2, seed2), "b asks for it again")
        expect(cd.last("PASS " + skey_response(seed2, seq2, fresh)), PROCEED,
               "the new phrase's answer on b")
        for c in (ca, cb, cc, cd):
            c.close()
        # The database away: S/KEY logins are refused (refuse, the default).
        PG.stop()
        away(a)
        c = greeted(a.port)
        expect(c.last("USER otp"), STORE_AWAY, "S/KEY user with the store away")
        assert c.closed(15)
        PG.start()
        back(a)


# With ClusterUnavailable=local and the database away, an S/KEY account is
# served from this machine's own record, and its pass phrase changed in the
# machine's INI file.
def test_skey_unreachable_local():
    nowhere = "host=%s/none port=5432 user=vantor dbname=x" % PG.dir
    conf = ini("a", nowhere, "ClusterUnavailable=local", "EncryptPasswords=NO") + SKEY_INI
    with Server(conf) as srv:
        away(srv)
        c = greeted(srv.port)
        seq, seed = challenge(c)
        expect(c.last("PASS " + skey_response(seed, seq)), PROCEED, "local S/KEY login")
        # A change is made on this machine alone, as without the store.
        expect(c.last('SITE PSWD "%s" "local phrase"' % PHRASE), "230 Password changed okay.",
               "the local change")
        c.close()
        with open(srv.ini) as f:
            expect("Password=local phrase" in f.read(), True, "the INI file holds it")


CHANGED = "230 Password changed okay."
NOT_CHANGED = "530 Cannot change password."
NOT_IN = "530 Not logged in."
PSWD_INI = """
[USER=chg]
Password=%s
HomeDir={home}
ChangePassword=YES
""" % crypt.crypt("secret", "cd")


def pass_reply(port, password):
    """The reply to PASS `password` of chg on a new connection."""
    c = greeted(port)
    reply = c.user("chg", password)[-1]
    c.close()
    return reply


# A password changed on one machine is the one the other checks at its
# next login, and the old one is refused there; an administrator's DELETE
# of the row gives each machine its INI file's back.
def test_password_across_nodes():
    db = ready_db()
    a, b = pair(db, extra=PSWD_INI)
    with a, b:
        # b has read the account once before the change: no stale copy stays.
        expect(pass_reply(b.port, "secret"), PROCEED, "before the change on b")
        c = login(a.port, "chg")
        expect(c.last("SITE PSWD secret fresh-one"), CHANGED, "the change on a")
        c.close()
        for port, name in ((b.port, "b"), (a.port, "a")):
            expect(pass_reply(port, "fresh-one"), PROCEED, "the new password on " + name)
            expect(pass_reply(port, "secret"), NOT_IN, "the old password on " + name)
        expect(PG.sql("SELECT count(*) FROM vantor_passwords WHERE account = 'chg'", db), "1")
        # Changed again, from b: a follows.
        c = login(b.port, "chg", "fresh-one")
        expect(c.last("SITE PSWD fresh-one fresh-two"), CHANGED, "the change on b")
        c.close()
        expect(pass_reply(a.port, "fresh-two"), PROCEED, "b's change on a")
        expect(pass_reply(a.port, "fresh-one"), NOT_IN, "a's own change, replaced")
        PG.sql("DELETE FROM vantor_passwords WHERE account = 'chg'", db)
        # Each machine's INI file holds the change made there.
        expect(pass_reply(a.port, "fresh-one"), PROCEED, "a's INI password after the DELETE")
        expect(pass_reply(b.port, "fresh-two"), PROCEED, "b's INI password after the DELETE")


# With the database stopped a change is refused and nothing changes: the
# old password still logs in on both machines, during and after.
def test_password_change_refused_store_away():
    db = ready_db()
    a, b = pair(db, extra=PSWD_INI)
    with a, b:
        c = login(a.port, "chg")
        PG.stop()
        away(a, b)
        expect(c.last("SITE PSWD secret fresh-one"), NOT_CHANGED, "the change, store away")
        expect(c.last("NOOP"), "200 Command okay.", "the session goes on")
        c.close()
        for port, name in ((a.port, "a"), (b.port, "b")):
            expect(pass_reply(port, "secret"), PROCEED, "the old password on " + name)
            expect(pass_reply(port, "fresh-one"), NOT_IN, "the refused one on " + name)
        PG.start()
        back(a, b)
        for port, name in ((a.port, "a"), (b.port, "b")):
            expect(pass_reply(port, "secret"), PROCEED, "the old password on %s, back" % name)
            expect(pass_reply(port, "fresh-one"), NOT_IN, "the refused one on %s, back" % name)
        expect(PG.sql("SELECT count(*) FROM vantor_passwords", db), "0")
        with open(a.ini) as f:
            expect(crypt.crypt("secret", "cd") in f.read(), True, "a's INI file unchanged")


NO_CREDIT = "550 Sorry, insufficient credit for download - upload first."
COMPLETE = "226 Transfer complete."


def ratio_pair(db, home):
    """Two servers on `db` sharing `home`, with the ratio account swap: one
    file down for each two up, counted over all its sessions, 1 file of
    credit in the INI file."""
    hashed = crypt.crypt("secret", "ab")
    extra = """
[USER=swap]
Password=%s
HomeDir=%s
Access1=%s,RWAMDLP
RatiosEnable=YES
Ratios=FilesOverall
RatioUp=2
RatioDown=1
RatiosCredit=1.000000
""" % (hashed, home, home)
    return pair(db, extra=extra)


def credit(db):
    got = PG.sql("SELECT coalesce((SELECT credit FROM vantor_ratio WHERE account = 'SWAP'), -1)",
                 db)
    return float(got)


# One ratio credit for both machines: spent on one, it is gone on the other;
# uploads on either earn it; uploads while the database restarts are all
# credited once, and the downloads they pay for are refused until then.
def test_ratio_across_nodes():
    db = ready_db()
    with shared_home(f=b"x" * 1000) as home:
        a, b = ratio_pair(db, home)
        with a, b:
            ca, cb = login(a.port, "swap"), login(b.port, "swap")
            expect(ca.retr("f")[2][-1], COMPLETE, "the INI credit on a")
            expect(cb.retr("f")[0], NO_CREDIT, "spent on a, refused on b")
            expect(credit(db), 0.0, "after one download")
            for i in range(2):
                expect(cb.stor("STOR up%d" % i, b"y" * 10)[1][-1], COMPLETE, "upload on b")
            assert wait_until(lambda: credit(db) == 1.0, 10), credit(db)
            expect(ca.retr("f")[2][-1], COMPLETE, "b's credit on a")
            expect(ca.retr("f")[0], NO_CREDIT, "nothing left")
            PG.stop()
            away(a)
            for i in range(4):
                expect(ca.stor("STOR down%d" % i, b"z" * 10)[1][-1], COMPLETE,
                       "upload during the outage")
            PG.start()
            back(a)
            assert wait_until(lambda: credit(db) == 2.0, 20), credit(db)
            for c in (ca, cb):
                expect(c.retr("f")[2][-1], COMPLETE, "the outage's credit")
            expect(cb.retr("f")[0], NO_CREDIT, "and no more")
            expect(credit(db), 0.0, "at the end")
            ca.close()
            cb.close()


DENIED = "550 Permission denied."


# An upload cut on one machine is resumed from the other by the same client,
# which may neither append nor modify there (REST + STOR, APPE), as on one
# machine; a file it did not upload stays refused. With the database away
# each machine's own records decide, and a record made meanwhile reaches the
# store once it is back.
def test_upload_resume_across_nodes():
    db = ready_db()
    with shared_home(theirs=b"t" * 100) as home:
        extra = "\n[USER=up]\nPassword=%s\nHomeDir=%s\nAccess1=%s,RWLP\n" % (
            crypt.crypt("secret", "ab"), home, home)
        a, b = pair(db, extra=extra)
        with a, b:
            data = os.urandom(3 * 1024 * 1024 + 7)
            half = len(data) // 2
            ca, cb = login(a.port, "up"), login(b.port, "up")
            for c in (ca, cb):
                expect(c.last("TYPE I"), "200 Type set to I.")

            def cut(c, name):
                # A reset: what reached the disk is what the resume goes on from.
                expect(c.stor("STOR " + name, data[:half], reset=True)[1],
                       ["426 Data connection closed, receive file %s aborted." % name])

            def resume(c, name, verb="STOR"):
                m = re.fullmatch(r"213 (\d+)", c.last("SIZE " + name))
                offset = int(m.group(1))
                if verb == "STOR":
                    expect(c.last("REST %d" % offset),
                           "350 Restarting at %d - send STORE or RETRIEVE to initiate transfer." % offset)
                got = c.stor("%s %s" % (verb, name), data[offset:])
                return got[1][-1] if got[1] else got[0]

            cut(ca, "part")
            expect(resume(cb, "part"), COMPLETE, "REST + STOR on b of a's cut")
            with open(os.path.join(home, "part"), "rb") as f:
                expect(f.read() == data, True, "the resumed file's bytes")
            cut(cb, "appe")
            expect(resume(ca, "appe", "APPE"), COMPLETE, "APPE on a of b's cut")
            with open(os.path.join(home, "appe"), "rb") as f:
                expect(f.read() == data, True, "the appended file's bytes")
            expect(resume(cb, "theirs"), DENIED, "a file the client did not upload")
            cut(ca, "before")
            PG.stop()
            away(a, b)
            expect(resume(cb, "before"), DENIED, "a's record, the store away")
            cut(ca, "during")
            PG.start()
            logged(b, "Cluster store: connected to the database as node b", 2)
            assert wait_until(lambda: PG.sql(
                "SELECT count(*) FROM vantor_uploads WHERE path LIKE '%during'", db) == "1", 20)
            expect(resume(cb, "during"), COMPLETE, "the outage's record, back")
            # The reply waits for the record: with the table held for two
            # seconds, the 426 comes once the record is in, and so a resume
            # from the other machine at once finds it.
            hold = PG.hold("LOCK TABLE vantor_uploads IN EXCLUSIVE MODE; SELECT pg_sleep(2)", db)
            try:
                assert wait_until(lambda: PG.sql(
                    "SELECT count(*) FROM pg_locks l JOIN pg_class c ON c.oid = l.relation "
                    "WHERE c.relname = 'vantor_uploads' AND l.mode = 'ExclusiveLock' "
                    "AND l.granted", db) == "1", 20)
                cut(ca, "held")
                expect(PG.sql("SELECT count(*) FROM vantor_uploads WHERE path LIKE '%held'", db),
                       "1", "the record when the 426 came")
            finally:
                hold.wait(30)
            expect(resume(cb, "held"), COMPLETE, "a resume at once on b")
            expect(PG.sql("SELECT count(*) FROM vantor_uploads", db), "5")
            ca.close()
            cb.close()


def fresh_db():
    fresh_db.n += 1
    name = "e%d" % fresh_db.n
    PG.sql("CREATE DATABASE %s" % name)
    return name


fresh_db.n = 0


def ready_db():
    """A fresh database with the cluster schema in it."""
    db = fresh_db()
    expect(cluster_init(PG.conninfo(db))[0], 0)
    return db


@contextlib.contextmanager
def shared_home(**files):
    """A home folder both machines serve, holding `files` (name=bytes)."""
    home = tempfile.mkdtemp(prefix="vantor-e2e-shared-")
    try:
        for name, data in files.items():
            with open(os.path.join(home, name), "wb") as f:
                f.write(data)
        yield home
    finally:
        shutil.rmtree(home, ignore_errors=True)


def away(*servers):
    """Waits until each of `servers` has seen the database go."""
    for srv in servers:
        srv.wait_log("Cluster store: the database cannot be reached (")


def back(*servers):
    """Waits until each of `servers` (nodes a, b in order) connected again."""
    for srv, node in zip(servers, "ab"):
        logged(srv, "Cluster store: connected to the database as node " + node, 2)


def cluster_init(conninfo):
    """`vantor --cluster-init` on an INI naming `conninfo`; (code, output)."""
    with tempfile.TemporaryDirectory(prefix="vantor-e2e-") as d:
        path = os.path.join(d, "VANTOR.INI")
        with open(path, "w") as f:
            f.write(ini("init", conninfo).replace("{home}", d))
        r = subprocess.run([parse_args().vantor, "--cluster-init", path],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           env={"LANG": "C", "PATH": "/usr/bin:/bin"}, timeout=60)
    return r.returncode, r.stdout.strip()


def pair(db, extra_cluster="", extra_global="", lease=5, extra="", **quota):
    """Two servers, nodes a and b, on database `db`, both connected; `extra`
    is added to each INI file."""
    a = Server(ini("a", PG.conninfo(db), extra_cluster, extra_global, lease, **quota) + extra)
    b = Server(ini("b", PG.conninfo(db), extra_cluster, extra_global, lease, **quota) + extra)
    a.wait_log("Cluster store: connected to the database as node a")
    b.wait_log("Cluster store: connected to the database as node b")
    return a, b


def logged(srv, text, times, timeout=30):
    """Waits until `text` is in `times` log lines of `srv`."""
    assert wait_until(lambda: sum(text in l for l in srv.log()) >= times, timeout), \
        "%r not logged %d times" % (text, times)


def attempt(port, user):
    """The last reply line of a login of `user`, and the client."""
    c = greeted(port)
    return c.user(user, "secret")[-1], c


def eventually_logs_in(port, user, timeout=20.0):
    """A login of `user` that succeeds within `timeout` (leaves and leases
    reach the database a moment after the events)."""
    got = {}

    def once():
        reply, c = attempt(port, user)
        if reply == PROCEED:
            got["c"] = c
            return True
        c.close()
        return False
    assert wait_until(once, timeout), "%s never got in" % user
    return got["c"]


# --cluster-init creates the schema, and again leaves it as it is.
def test_cluster_init_idempotent():
    conninfo = PG.conninfo(fresh_db())
    for _ in range(2):
        expect(cluster_init(conninfo), (0, "Cluster store: the schema is at version 7"))


# An account's limit of 2, a limit of one login per client address and the
# server's MaxNrUsers hold across both machines.
def test_limits_across_nodes():
    db = ready_db()
    a, b = pair(db, extra_global="MaxNrUsers=4")
    with a, b:
        first = login(a.port, "pair")
        second = login(b.port, "pair")
        reply, c = attempt(a.port, "pair")
        expect(reply, TOO_MANY, "third pair on a")
        assert c.closed(15)
        a.wait_log('Too many PAIR users - disconnecting')
        once = login(a.port, "once")
        expect(attempt(b.port, "once")[0], ONCE, "once on b")
        # Four logged in now (the refused ones left): the server's limit.
        joe = login(b.port, "joe")
        expect(attempt(b.port, "joe")[0], TOO_MANY, "fifth login")
        second.close()
        third = eventually_logs_in(a.port, "pair")
        for c in (first, once, joe, third):
            c.close()


# A node killed with SIGKILL holds its slots only until its lease runs out.
def test_killed_node_freed_after_lease():
    db = ready_db()
    a, b = pair(db)
    with b:
        held = [login(a.port, "pair"), login(a.port, "pair")]
        a.proc.send_signal(signal.SIGKILL)
        a.proc.wait(10)
        a.stop()
        expect(attempt(b.port, "pair")[0], TOO_MANY, "while a's lease stands")
        c = eventually_logs_in(b.port, "pair", timeout=15)  # the 5 s lease, and margin
        c.close()
        for h in held:
            h.close()


# A clean stop takes the node's sessions out of the store with it.
def test_clean_stop_frees_slots():
    db = ready_db()
    a, b = pair(db, lease=60)
    with b:
        held = [login(a.port, "pair"), login(a.port, "pair")]
        expect(PG.sql("SELECT count(*) FROM vantor_sessions WHERE node = 'a'", db), "2")
        a.stop()
        # Well inside the 60 s lease.
        assert wait_until(
            lambda: PG.sql("SELECT count(*) FROM vantor_sessions WHERE node = 'a'", db) == "0", 10)
        reply, c = attempt(b.port, "pair")
        expect(reply, PROCEED, "pair on b after a stopped")
        c.close()
        for h in held:
            h.close()


# The database unreachable at start: the server comes up and says so; accounts
# without shared counters are served, quota accounts refused (or served with
# ClusterUnavailable=local).
def test_unreachable_at_start():
    nowhere = "host=%s/none port=5432 user=vantor dbname=x" % PG.dir
    with Server(ini("a", nowhere)) as srv:
        away(srv)
        srv.wait_log(
            "logins of accounts with a quota, a ratio or S/KEY passwords are refused meanwhile")
        login(srv.port, "joe").close()
        reply, c = attempt(srv.port, "quota")
        expect(reply, STORE_AWAY, "quota user, refuse")
        assert c.closed(15)
    with Server(ini("a", nowhere, "ClusterUnavailable=local")) as srv:
        srv.wait_log("every account is served with this machine's own counts meanwhile")
        login(srv.port, "quota").close()


# The schema missing: the server serves with the fallback and names the fix;
# --cluster-init run meanwhile brings it in without a restart.
def test_schema_missing():
    db = fresh_db()
    with Server(ini("a", PG.conninfo(db))) as srv:
        srv.wait_log("Cluster store: the database has no schema; run vantor --cluster-init")
        expect(attempt(srv.port, "quota")[0], STORE_AWAY, "quota user without schema")
        login(srv.port, "pair").close()
        expect(cluster_init(PG.conninfo(db))[0], 0)
        srv.wait_log("Cluster store: connected to the database as node a", 30)


# The database stopped and started again mid-run: sessions go on, the nodes
# reconnect and write their sessions again, and the limits hold again.
def test_database_restart():
    db = ready_db()
    a, b = pair(db)
    with a, b:
        first = login(a.port, "pair")
        PG.stop()
        away(a, b)
        expect(first.cmd("NOOP")[-1], "200 Command okay.", "session during outage")
        # Served on b's own count meanwhile, and written with b's next sync.
        second = login(b.port, "pair")
        PG.start()
        back(a, b)
        assert wait_until(lambda: PG.sql("SELECT count(*) FROM vantor_sessions", db) == "2", 10)
        expect(attempt(a.port, "pair")[0], TOO_MANY, "limit after the restart")
        first.close()
        second.close()


def used(db):
    """The quota account's usage in the database (-1: no row yet)."""
    got = PG.sql("SELECT coalesce((SELECT used FROM vantor_quota WHERE account = 'QUOTA'), -1)",
                 db)
    return int(got)


def disk_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))


def upload_from(port, names, data, until, results, sent, opened):
    """Uploads `data` as each of `names` on one session of the quota user;
    with `until` (an Event), one open-ended file instead: 64 KiB pieces a few
    milliseconds apart until it is set, then `data`. The closing replies go
    to `results`, the bytes sent to `sent`, each 150 to `opened`."""
    c = login(port, "quota")
    for name in names:
        d = c.pasv_connect()
        first = c.last("STOR " + name)
        if not first.startswith("150"):
            d.close()
            results.append(first)
            continue
        opened.append(name)
        n = 0
        try:
            while until is not None and not until.is_set():
                d.sendall(data[:65536])
                n += 65536
                time.sleep(0.003)
            d.sendall(data)
            n += len(data)
        except OSError:
            pass  # the server stopped reading: a refused block
        d.close()
        results.append(c.last_reply())
        sent.append(n)
    c.close()


def uploads(ports, per_session, data, until=None, opened=None):
    """Ten sessions spread over `ports`, each uploading `per_session` files;
    returns the threads (started), the list their replies go to and the
    list of bytes sent. The names of the uploads under way go to `opened`."""
    results, sent, threads = [], [], []
    opened = [] if opened is None else opened
    for i in range(10):
        names = ["s%d-f%d" % (i, k) for k in range(per_session)]
        t = threading.Thread(target=upload_from,
                             args=(ports[i % len(ports)], names, data, until, results, sent, opened))
        t.start()
        threads.append(t)
    return threads, results, sent


def finish(threads):
    for t in threads:
        t.join(120)
        assert not t.is_alive(), "an upload never ended"


# One quota shared by ten sessions on two machines: the database never lets
# the usage past the maximum, more is refused, and once the uploads are over
# the usage recorded is exactly the bytes on disk.
def test_quota_across_nodes():
    db = ready_db()
    maximum = 40 * 1024 * 1024
    with shared_home() as home:
        a, b = pair(db, quota_home=home, quota_max=maximum)
        with a, b:
            data = os.urandom(3 * 1024 * 1024 + 12345)
            threads, results, _ = uploads([a.port, b.port], 2, data)
            peak = 0
            while any(t.is_alive() for t in threads):
                peak = max(peak, used(db))
            finish(threads)
            assert peak <= maximum, "usage %d past the maximum %d" % (peak, maximum)
            done = results.count("226 Transfer complete.")
            refused = [r for r in results if r != "226 Transfer complete."]
            assert done >= 1 and refused, results
            for r in refused:
                assert re.fullmatch(r"452 Sorry, insufficient disk quota - receive file "
                                    r"s\d-f\d aborted\.", r), r
            # The reservations not used go back as each upload ends.
            assert wait_until(lambda: used(db) == disk_bytes(home), 20), \
                "usage %d, on disk %d" % (used(db), disk_bytes(home))
            assert disk_bytes(home) <= maximum
            assert disk_bytes(home) >= done * len(data)


# The database stopped and started again while ten sessions upload: they wait
# for their reservations, finish, and the usage is the bytes on disk, nothing
# lost or counted twice.
def test_quota_database_restart():
    db = ready_db()
    with shared_home() as home:
        a, b = pair(db, quota_home=home, quota_max=10 ** 12)
        with a, b:
            data = os.urandom(2 * 1024 * 1024)
            restarted = threading.Event()
            opened = []
            threads, results, sent = uploads([a.port, b.port], 1, data, restarted, opened)
            try:
                # Every session logged in and uploading before the database
                # goes: a login during the outage is rightly refused (421).
                assert wait_until(lambda: len(opened) == 10 and used(db) > 0, 30), \
                    "uploads under way: %r" % opened
                PG.stop()
                away(a, b)
                PG.start()
            finally:
                restarted.set()
            finish(threads)
            expect(results, ["226 Transfer complete."] * 10, "uploads across the restart")
            expect(disk_bytes(home), sum(sent), "bytes on disk")
            assert wait_until(lambda: used(db) == sum(sent), 20), \
                "usage %d, on disk %d" % (used(db), sum(sent))


def refused(port):
    """True when the server closes a new connection without a greeting."""
    try:
        c = Client(port)
    except ConnectionResetError:
        return True
    got = c.closed(3) and c.buf == b""
    c.close()
    return got


# A client blocked by one machine's anti-hammering is refused by the other
# as well, which alone would have let it in (its tries are many).
def test_block_shared():
    db = ready_db()
    hammer = "AntiHammer=YES\nAntiHammerWindow=60\nAntiHammerBlock=60\nAntiHammerTries=%d"
    a = Server(ini("a", PG.conninfo(db), extra_global=hammer % 2))
    b = Server(ini("b", PG.conninfo(db), extra_global=hammer % 100))
    with a, b:
        a.wait_log("Cluster store: connected to the database as node a")
        b.wait_log("Cluster store: connected to the database as node b")
        greeted(b.port).close()
        for _ in range(2):
            greeted(a.port).close()
        assert refused(a.port), "a did not block"
        assert wait_until(
            lambda: PG.sql("SELECT count(*) FROM vantor_blocks WHERE address = '127.0.0.1' "
                           "AND node = 'a'", db) == "1", 10), "the block never reached the store"
        assert wait_until(lambda: refused(b.port), 15), "b never honoured a's block"


# A block made through the administration interface of one machine is
# honoured by the other, and lifted there too when it is lifted on the first.
def test_block_lift_shared():
    db = ready_db()
    hammer = "AntiHammer=YES\nAntiHammerWindow=60\nAntiHammerBlock=600\nAntiHammerTries=%d"
    d = tempfile.mkdtemp(prefix="vantor-e2e-adm-")
    try:
        sock = os.path.join(d, "admin.sock")
        port = free_port()
        conf = ini("a", PG.conninfo(db), extra_global=hammer % 100 +
                   "\nPortNr=%d\nAdminSocket=%s" % (port, sock)).replace("{home}", d)
        path = os.path.join(d, "VANTOR.INI")
        with open(path, "w") as f:
            f.write(conf)
        a = Program(parse_args().vantor, "-u", path)
        try:
            a.wait_for("Administration endpoint on " + sock, 30)
            b = Server(ini("b", PG.conninfo(db), extra_global=hammer % 100))
            with b:
                b.wait_log("Cluster store: connected to the database as node b")
                assert wait_until(lambda: PG.sql(
                    "SELECT count(*) FROM vantor_nodes WHERE node = 'a'", db) == "1", 20)
                def curl(method, url, body=None):
                    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                          "-X", method, "--max-time", "20", "--unix-socket",
                                          sock, "http://localhost" + url] +
                                         (["-d", body] if body else []),
                                         capture_output=True, text=True, timeout=30)
                    return out.stdout
                greeted(b.port).close()
                expect(curl("POST", "/v1/blocks", '{"address": "127.0.0.1", "minutes": 10}'),
                       "201", "block on a")
                assert refused(port), "a did not block"
                expect(PG.sql("SELECT node || ' ' || (until > now() + interval '595 seconds' AND "
                              "until <= now() + interval '600 seconds') FROM vantor_blocks", db),
                       "a true", "the block in the store")
                assert wait_until(lambda: refused(b.port), 15), "b never honoured a's block"
                expect(curl("DELETE", "/v1/blocks/127.0.0.1"), "200", "unblock on a")
                assert wait_until(lambda: PG.sql(
                    "SELECT count(*) FROM vantor_blocks", db) == "0", 10), "still in the store"
                assert wait_until(lambda: not refused(b.port), 15), "b kept the lifted block"
                greeted(port).close()  # and a did not take it back from the store
                expect(curl("DELETE", "/v1/blocks/127.0.0.1"), "404", "lifted already")
        finally:
            a.kill()
    finally:
        shutil.rmtree(d, ignore_errors=True)


def main():
    global PG
    parse_args()
    if not pg_e2e.available():
        print("SKIP: PostgreSQL is not installed (Debian package postgresql)")
        sys.exit(SKIP)
    with pg_e2e.PgServer() as pg:
        PG = pg
        run([test_cluster_init_idempotent, test_limits_across_nodes,
             test_killed_node_freed_after_lease, test_clean_stop_frees_slots,
             test_unreachable_at_start, test_schema_missing,
             test_database_restart, test_quota_across_nodes, test_quota_database_restart,
             test_block_shared, test_skey_once_across_nodes, test_skey_unreachable_local,
             test_ratio_across_nodes, test_block_lift_shared, test_password_across_nodes,
             test_password_change_refused_store_away, test_upload_resume_across_nodes])


if __name__ == "__main__":
    main()
