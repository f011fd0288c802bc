"""A real PostgreSQL server for end-to-end tests.

initdb in a temporary folder, listening only on a Unix socket there, run as
a non-root account (the `postgres` system account, else `nobody`, when the
tests run as root), stopped by its PID. `available()` is false when the
Debian package is not installed; the scripts then skip.
"""
import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile

from ftp_e2e import wait_until

PORT = 5432


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def bin_dir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    return os.path.dirname(found[-1]) if found else None


def available():
    return bin_dir() is not None


class PgServer:
    def __init__(self):
        self.bin = bin_dir()
        self.dir = tempfile.mkdtemp(prefix="vantor-pg-")
        self.data = os.path.join(self.dir, "data")
        self.pid = 0
        self.prefix = []
        if os.geteuid() == 0:
            try:
                pw = pwd.getpwnam("postgres")
            except KeyError:
                pw = pwd.getpwnam("nobody")
            self.prefix = ["setpriv", "--reuid=%d" % pw.pw_uid, "--regid=%d" % pw.pw_gid,
                           "--clear-groups"]
            os.chown(self.dir, pw.pw_uid, pw.pw_gid)
        self._run(["initdb", "-A", "trust", "-U", "vantor", "-D", self.data])
        self.start()

    def _run(self, argv, check=True):
        argv = self.prefix + [os.path.join(self.bin, argv[0])] + argv[1:]
        return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              check=check, text=True)

    def conninfo(self, db="postgres"):
        return "host=%s port=%d user=vantor dbname=%s" % (self.dir, PORT, db)

    def start(self):
        self._run(["pg_ctl", "-w", "-t", "60", "-D", self.data, "-l",
                   os.path.join(self.dir, "server.log"), "-o",
                   "-k %s -p %d -c listen_addresses=" % (self.dir, PORT), "start"])
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            self.pid = int(f.readline())

    def stop(self):
        """Fast shutdown, waited for by the PID."""
        if not self.pid:
            return
        os.kill(self.pid, signal.SIGINT)
        wait_until(lambda: not pid_alive(self.pid), 30)
        self.pid = 0

    def sql(self, text, db="postgres"):
        """Runs `text` through psql; its output (unaligned, tuples only)."""
        r = self._run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", self.dir,
                       "-p", str(PORT), "-U", "vantor", "-d", db, "-c", text])
        return r.stdout.strip()

    def hold(self, text, db="postgres"):
        """Starts `text` through psql in one transaction; the running psql."""
        argv = self.prefix + [os.path.join(self.bin, "psql"), "-X", "-q", "-h", self.dir,
                              "-p", str(PORT), "-U", "vantor", "-d", db, "-c", text]
        return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
