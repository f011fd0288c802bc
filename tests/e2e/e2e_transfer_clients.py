"""Real clients against the server: curl (upload, download, resume with
-C -, listing; EPSV and, with -P -, EPRT without falling back to PASV or
PORT; 20 and 50 parallel downloads from one address), lftp (mirror and
mirror -R of 500 files in nested directories, compared byte for byte),
Python's ftplib in active and passive mode, and Node's basic-ftp uploading
in clear and over TLS. lftp is installed with apt-get when it is missing,
basic-ftp with npm (as scripts/deps.sh does) into a folder of its own."""
import filecmp
import hashlib
import io
import os
import shutil
import subprocess
import tempfile

from ftp_e2e import Checker, ftp_client, tree_server, write_file

c = Checker()


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


def ensure_lftp():
    if shutil.which("lftp"):
        return True
    run(["apt-get", "install", "-y", "-q", "lftp"])
    return shutil.which("lftp") is not None


NODE_DIR = os.environ.get("VANTOR_NODE_DIR") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "vantor", "node")

# One upload with basic-ftp's defaults: argv port, "tls" or "clear", file, name.
BASIC_FTP_UPLOAD = """
const ftp = require("basic-ftp");
const [port, mode, src, name] = process.argv.slice(1);
(async () => {
  const client = new ftp.Client(30000);
  try {
    await client.access({host: "127.0.0.1", port: Number(port), user: "joe",
                         password: "secret", secure: mode === "tls",
                         secureOptions: {rejectUnauthorized: false}});
    await client.cd("/C:/pub");
    await client.uploadFrom(src, name);
    console.log("uploaded");
  } catch (e) {
    console.log("error: " + e.message);
    process.exitCode = 1;
  }
  client.close();
})();
"""


def ensure_basic_ftp():
    """True when basic-ftp can be loaded; None when npm itself is absent."""
    if not os.path.isfile(os.path.join(NODE_DIR, "node_modules", "basic-ftp", "package.json")):
        if not shutil.which("npm"):
            return None
        os.makedirs(NODE_DIR, exist_ok=True)
        run(["npm", "install", "--prefix", NODE_DIR, "--no-audit", "--no-fund", "--silent",
             "basic-ftp"])
    return shutil.which("node") is not None and os.path.isdir(
        os.path.join(NODE_DIR, "node_modules", "basic-ftp"))


def make_tree(base, files=500):
    rnd = 0
    for i in range(files):
        d = os.path.join(base, "d%d" % (i % 7), "e%d" % (i % 3))
        os.makedirs(d, exist_ok=True)
        rnd = (rnd * 1103515245 + 12345 + i) & 0x7FFFFFFF
        write_file(os.path.join(d, "f%03d.bin" % i), os.urandom(rnd % 9000))


def same_tree(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.diff_files or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_tree(os.path.join(a, d), os.path.join(b, d)) for d in cmp.common_dirs)


with tree_server() as srv:
    url = "ftp://127.0.0.1:%d" % srv.port
    auth = ["-u", "joe:secret", "-s", "-S", "-v", "--max-time", "120"]
    work = tempfile.mkdtemp(prefix="vantor-clients-")
    try:
        # curl: upload, download, resume, listing.
        src = os.path.join(work, "c.bin")
        write_file(src, os.urandom(3 << 20))
        r = run(["curl"] + auth + ["-T", src, url + "/pub/c.bin"])
        c.eq(r.returncode, 0, "curl upload: " + r.stderr[-400:])
        c.true(filecmp.cmp(src, srv.path("pub", "c.bin"), shallow=False), "curl upload bytes")
        c.true("> EPSV" in r.stderr and "< 229 " in r.stderr and "> PASV" not in r.stderr,
               "curl upload used EPSV without fallback: " + r.stderr[-600:])
        dst = os.path.join(work, "c.down")
        for extra, what in [([], "passive"), (["-P", "-"], "active")]:
            r = run(["curl"] + auth + extra + ["-o", dst, url + "/pub/c.bin"])
            c.eq(r.returncode, 0, "curl %s download: %s" % (what, r.stderr[-400:]))
            c.true(filecmp.cmp(src, dst, shallow=False), "curl %s download bytes" % what)
        c.true("> EPRT |1|127.0.0.1|" in r.stderr and "< 200 EPRT command successful." in r.stderr
               and "> PORT" not in r.stderr, "curl -P - used EPRT: " + r.stderr[-600:])
        with open(dst, "r+b") as f:
            f.truncate(1 << 20)
        r = run(["curl"] + auth + ["-C", "-", "-o", dst, url + "/pub/c.bin"])
        c.eq(r.returncode, 0, "curl resume: " + r.stderr)
        c.true(filecmp.cmp(src, dst, shallow=False), "curl resume bytes")
        r = run(["curl"] + auth + [url + "/pub/"])
        c.true(any(l.endswith(" c.bin") and l.startswith("-") for l in r.stdout.splitlines()),
               "curl listing: " + r.stdout)
        r = run(["curl"] + auth + ["-l", url + "/pub/"])
        c.eq(r.stdout.splitlines(), ["c.bin"], "curl name listing")

        # curl --parallel from one address, default settings: all of 20 and
        # of 50 transfers at once are greeted, log in and finish.
        for n in (20, 50):
            args = ["curl", "-u", "joe:secret", "-s", "-S", "--max-time", "120", "--parallel",
                    "--parallel-immediate", "--parallel-max", str(n)]
            for i in range(n):
                write_file(srv.path("pub", "p%02d.bin" % i), os.urandom(30000 + i))
                args += [url + "/pub/p%02d.bin" % i, "-o", os.path.join(work, "p%02d" % i)]
            r = run(args)
            c.eq(r.returncode, 0, "curl --parallel %d: %s" % (n, r.stderr[-400:]))
            got = [os.path.join(work, "p%02d" % i) for i in range(n)]
            c.true(all(os.path.isfile(g) and filecmp.cmp(srv.path("pub", "p%02d.bin" % i), g,
                                                         shallow=False)
                       for i, g in enumerate(got)), "curl --parallel %d bytes" % n)

        # lftp: mirror -R up, mirror down, byte-for-byte.
        if ensure_lftp():
            tree = os.path.join(work, "tree")
            make_tree(tree)
            lftp = ["lftp", "-u", "joe,secret", "-e"]
            opts = "set net:max-retries 1; set net:timeout 30; set ftp:passive-mode %s; "
            r = run(lftp + [opts % "on" + "mirror -R %s /pub/tree; bye" % tree,
                            "127.0.0.1:%d" % srv.port])
            c.eq(r.returncode, 0, "lftp mirror -R: " + r.stderr[-500:])
            c.true(same_tree(tree, srv.path("pub", "tree")), "mirror -R tree identical")
            back = os.path.join(work, "back")
            r = run(lftp + [opts % "off" + "mirror /pub/tree %s; bye" % back,
                            "127.0.0.1:%d" % srv.port])
            c.eq(r.returncode, 0, "lftp mirror (active): " + r.stderr[-500:])
            c.true(same_tree(tree, back), "mirror tree identical")
        else:
            c.true(False, "lftp could not be installed")

        # ftplib, active and passive.
        payload = os.urandom(1 << 20)
        for passive in (True, False):
            ftp = ftp_client(srv.port, "joe", "secret", timeout=60)
            ftp.set_pasv(passive)
            mode = "passive" if passive else "active"
            ftp.cwd("/C:/pub")
            c.eq(ftp.storbinary("STOR py.bin", io.BytesIO(payload)), "226 Transfer complete.",
                 "ftplib %s STOR" % mode)
            got = bytearray()
            ftp.retrbinary("RETR py.bin", got.extend)
            c.eq(hashlib.sha256(got).hexdigest(), hashlib.sha256(payload).hexdigest(),
                 "ftplib %s RETR" % mode)
            c.true("py.bin" in ftp.nlst(), "ftplib %s NLST" % mode)
            lines = []
            ftp.retrlines("LIST", lines.append)
            c.true(any(l.endswith(" py.bin") for l in lines), "ftplib %s LIST" % mode)
            c.eq(ftp.size("py.bin"), len(payload), "ftplib SIZE")
            ftp.delete("py.bin")
            ftp.quit()
    finally:
        shutil.rmtree(work, ignore_errors=True)

# basic-ftp: a finished upload must not be answered with a reset (the
# client reports "read ECONNRESET (data socket)" although 226 came), in
# clear and over TLS.
have = ensure_basic_ftp()
if have is None:
    print("SKIP basic-ftp uploads: npm is not installed")
elif not have:
    c.true(False, "basic-ftp could not be installed into " + NODE_DIR)
else:
    work = tempfile.mkdtemp(prefix="vantor-basic-ftp-")
    try:
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-nodes", "-subj", "/CN=vantor", "-days", "2", "-keyout", key, "-out", cert])
        src = os.path.join(work, "b.bin")
        write_file(src, os.urandom(700 * 1024))
        env = dict(os.environ, NODE_PATH=os.path.join(NODE_DIR, "node_modules"))
        with tree_server(["TLSCertificateFile=" + cert, "TLSPrivateKeyFile=" + key]) as srv:
            for mode in ("clear", "tls"):
                for i in range(3):
                    name = "b-%s%d.bin" % (mode, i)
                    r = run(["node", "-e", BASIC_FTP_UPLOAD, str(srv.port), mode, src, name],
                            env=env)
                    c.eq(r.stdout.strip(), "uploaded", "basic-ftp %s upload %d: %s"
                         % (mode, i, r.stderr[-300:]))
                    c.true(filecmp.cmp(src, srv.path("pub", name), shallow=False),
                           "basic-ftp %s upload %d bytes" % (mode, i))
    finally:
        shutil.rmtree(work, ignore_errors=True)
c.finish()
