#!/usr/bin/env python3
"""Builds the two .deb packages with CPack and checks what they hold; then,
as root on a machine without vantor installed, installs them, checks what
the postinst made, runs the installed server as its unit does (root with
RunAsUser=vantor, $NOTIFY_SOCKET on a datagram socket of this script),
logs in, uploads, reloads, reads the log file, and purges: once with the
upload left (the account stays) and once without (everything goes).

    deb_install.py --build path/to/build/dir
"""
import argparse
import fcntl
import glob
import grp
import io
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

VERSION = "2.5.11.3"
INI = "/etc/vantor/VANTOR.INI"
UNIT = "usr/lib/systemd/system/vantor.service"
C_ENV = dict(os.environ, LANG="C", LC_ALL="C")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from ftp_e2e import Checker, Notify, free_port, ftp_client, wait_until  # noqa: E402


def run(*cmd, **kw):
    return subprocess.run(list(cmd), capture_output=True, text=True, timeout=300, **kw)


def owner(path):
    st = os.stat(path)
    return (pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name,
            "%04o" % stat.S_IMODE(st.st_mode))


def account(name):
    try:
        return pwd.getpwnam(name)
    except KeyError:
        return None


def check_packages(c, debs):
    """The fields and files of both packages."""
    names = {run("dpkg-deb", "-f", d, "Package").stdout.strip(): d for d in debs}
    c.eq(sorted(names), ["vantor", "vantor-gui"], "the packages")
    if sorted(names) != ["vantor", "vantor-gui"]:
        return names
    server, gui = names["vantor"], names["vantor-gui"]
    for deb in (server, gui):
        c.eq(run("dpkg-deb", "-f", deb, "Version").stdout.strip(), VERSION,
             "version of " + os.path.basename(deb))
    depends = run("dpkg-deb", "-f", server, "Depends").stdout
    c.true("libcrypt1" in depends and "libsystemd0" in depends and "adduser" in depends,
           "server dependencies: %r" % depends)
    c.true("qt" not in depends.lower(), "the server depends on no Qt library: %r" % depends)
    gui_depends = run("dpkg-deb", "-f", gui, "Depends").stdout
    c.true("vantor (= %s)" % VERSION in gui_depends and "libqt6widgets6" in gui_depends,
           "GUI dependencies: %r" % gui_depends)
    c.eq(run("dpkg-deb", "-I", server, "conffiles").stdout.split(),
         [INI, "/etc/fail2ban/filter.d/vantor.conf", "/etc/fail2ban/jail.d/vantor.conf"],
         "conffiles")

    files = {
        server: ["./usr/sbin/vantor", "./etc/vantor/VANTOR.INI", "./" + UNIT,
                 "./usr/lib/tmpfiles.d/vantor.conf", "./usr/include/vantor/hooks.h",
                 "./usr/share/man/man8/vantor.8", "./usr/share/man/man5/vantor.ini.5",
                 "./etc/fail2ban/filter.d/vantor.conf", "./etc/fail2ban/jail.d/vantor.conf",
                 "./usr/bin/vantorctl", "./usr/share/man/man8/vantorctl.8"],
        gui: ["./usr/bin/vantor-gui", "./usr/share/applications/vantor-gui.desktop",
              "./usr/share/man/man1/vantor-gui.1"],
    }
    for deb, want in files.items():
        listing = run("dpkg-deb", "-c", deb).stdout
        have = {line.split()[-1] for line in listing.splitlines()}
        for path in want:
            c.true(any(h.startswith(path) for h in have),
                   "%s holds %s" % (os.path.basename(deb), path))
        if deb == server:
            c.true(not any("vantor-gui" in h for h in have), "the server package has no GUI")
    return names


def check_unpacked(c, server, scratch):
    """The unit and the manual page, from the unpacked server package."""
    root = os.path.join(scratch, "root")
    subprocess.run(["dpkg", "-x", server, root], check=True, timeout=120)
    unit = open(os.path.join(root, UNIT)).read()
    for line in ["Type=notify", "ExecStart=/usr/sbin/vantor -u /etc/vantor/VANTOR.INI",
                 "ReadWritePaths=-/etc/vantor -/srv/ftp", "LogsDirectory=vantor",
                 "RuntimeDirectory=vantor"]:
        c.true(line in unit.splitlines(), "the unit says " + line)
    man5 = glob.glob(os.path.join(root, "usr/share/man/man5/vantor.ini.5*"))
    text = run("sh", "-c", "zcat -f '%s'" % man5[0]).stdout if man5 else ""
    c.true("QuotaMaxCurrent" in text and "ServerKBps" in text,
           "vantor.ini(5) holds the key reference")
    # The manual is the administrator's: no source files, tests or classes.
    for dev in ["tests/", "docs/", ".py", ".cpp", "config/R", "ftp/R"]:
        c.true(dev not in text, "no developer text %r in vantor.ini(5)" % dev)

    # One INI search order: the one --help prints, in vantor(8) and the README.
    helped = run(os.path.join(root, "usr/sbin/vantor"), "--help", env=C_ENV).stdout
    prefix = "Without INI-FILE: "
    order = next((l[len(prefix):] for l in helped.splitlines() if l.startswith(prefix)), None)
    c.true(order is not None, "--help says where the INI file is looked for: %r" % helped)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    flat = lambda path, marks: " ".join(re.sub(marks, "", open(path).read()).split())
    for path, marks in [("packaging/man/vantor.8.scd", r"[*_]"), ("README.md", r"`")]:
        c.true(order is not None and order in flat(os.path.join(source, path), marks),
               "%s says the search order of --help: %r" % (path, order))


def set_ini(text):
    """Rewrites the installed file in place, so its owner and mode stay."""
    with open(INI, "r+") as f:
        f.seek(0)
        f.truncate()
        f.write(text)


def serve_as_unit(c, scratch):
    """The installed server on the installed file, started as the unit
    starts it; a login, an upload, a reload and the log file."""
    port = free_port()
    password = run("/usr/sbin/vantor", "--hash-password", INI, input="s3cret\n").stdout.strip()
    c.true(password.startswith("$"), "a password hash: %r" % password)
    text = open(INI).read()
    text = re.sub(r"(?m)^PortNr=.*$", "PortNr=%d" % port, text)
    text += ("\n[USER=tester]\nPassword=%s\nHomeDir=C:\\pub\nRelPaths=YES\n"
             "Access1=C:\\pub,RWLP\n" % password)
    set_ini(text)
    # Outside the scratch folder (0700): vantor must reach the socket.
    notify = Notify(tempfile.mkdtemp(prefix="vantor-notify-"))
    out = open(os.path.join(scratch, "stdout"), "w+")
    # After the switch to vantor the process is no longer dumpable, so the
    # leak check of a sanitizer build (it needs ptrace) cannot run at exit.
    asan = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    proc = subprocess.Popen(["/usr/sbin/vantor", "-u", INI], stdout=out, stderr=subprocess.STDOUT,
                            env=dict(C_ENV, NOTIFY_SOCKET=notify.path, ASAN_OPTIONS=asan))
    try:
        c.true(notify.has("READY=1"), "READY=1 from the started service")
        ps = run("ps", "-o", "user=", "-p", str(proc.pid)).stdout.strip()
        c.eq(ps, "vantor", "the server runs as")
        ftp = ftp_client(port)
        c.eq(ftp.login("tester", "s3cret")[:3], "230", "login")
        c.eq(ftp.storbinary("STOR up.txt", io.BytesIO(b"uploaded\n"))[:3], "226", "upload")
        ftp.quit()
        up = "/srv/ftp/pub/up.txt"
        c.true(os.path.exists(up) and open(up, "rb").read() == b"uploaded\n",
               "the upload is in /srv/ftp/pub")
        if os.path.exists(up):
            c.eq(owner(up)[0], "vantor", "owner of the upload")
        proc.send_signal(signal.SIGHUP)
        c.true(notify.has("RELOADING=1") and notify.has("READY=1"),
               "RELOADING=1 then READY=1 around the reload")
        # A login after the reload: its lines, like the first one's, were
        # written as vantor. Logfile=/var/log/vantor/ftp.log, rotated weekly:
        # ftp-<date>.log.
        ftp = ftp_client(port)
        c.eq(ftp.login("tester", "s3cret")[:3], "230", "login after the reload")
        ftp.quit()
        logs = lambda: glob.glob("/var/log/vantor/ftp*.log")
        text = lambda: "".join(open(f, errors="replace").read() for f in logs())
        c.true(wait_until(lambda: text().count("User TESTER logged in") == 2, 20),
               "both logins reach the log file: %r" % logs())
        c.eq([owner(f)[0] for f in logs()], ["vantor"], "owner of the log file")
        xfer = "".join(open(f, errors="replace").read()
                       for f in glob.glob("/var/log/vantor/xferlog*"))
        c.true("up.txt" in xfer, "the upload is in the transfer log: %r" % xfer)
        proc.send_signal(signal.SIGTERM)
        c.true(notify.has("STOPPING=1"), "STOPPING=1")
        c.eq(proc.wait(timeout=20), 0, "exit status")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        out.seek(0)
        said = out.read()
        out.close()
        c.true("CANNOT WRITE TO LOGFILE" not in said, "the log file stays writable:\n" + said)
        notify.close()
        shutil.rmtree(os.path.dirname(notify.path), ignore_errors=True)


def install_and_purge(c, names, scratch):
    debs = [names["vantor"], names["vantor-gui"]]
    r = run("dpkg", "-i", *debs, env=dict(C_ENV, DEBIAN_FRONTEND="noninteractive"))
    c.eq(r.returncode, 0, "dpkg -i: " + r.stdout + r.stderr)
    if r.returncode != 0:
        return
    a = account("vantor")
    c.true(a is not None and a.pw_uid < 1000 and a.pw_shell.endswith("nologin"),
           "a vantor system account: %r" % (a,))
    c.true(a is not None and grp.getgrgid(a.pw_gid).gr_name == "vantor", "its group vantor")
    for path, want in [("/srv/ftp/pub", ("vantor", "vantor", "0755")),
                       ("/var/log/vantor", ("vantor", "vantor", "0750")),
                       ("/etc/vantor", ("vantor", "vantor", "0750")),
                       (INI, ("vantor", "vantor", "0600"))]:
        c.eq(owner(path) if os.path.exists(path) else None, want, "owner, group, mode of " + path)
    ini = open(INI).read()
    for line in ["RunAsUser=vantor", "C=/srv/ftp", "Logfile=/var/log/vantor/ftp.log"]:
        c.true(line in ini.splitlines(), "the installed file says " + line)
    r = run("/usr/sbin/vantor", "--check-config", INI, env=C_ENV)
    c.eq((r.returncode, r.stdout.strip()), (0, INI + ": 0 error(s), 0 warning(s)"),
         "--check-config right after install")
    if shutil.which("systemd-analyze"):
        r = run("systemd-analyze", "verify", "/" + UNIT)
        c.eq((r.returncode, r.stderr.strip()), (0, ""), "systemd-analyze verify")

    serve_as_unit(c, scratch)

    # Purge with the upload left: the account keeps it; the rest goes.
    r = run("dpkg", "--purge", "vantor-gui", "vantor")
    c.eq(r.returncode, 0, "dpkg --purge: " + r.stdout + r.stderr)
    for path in ["/etc/vantor", "/var/log/vantor", "/usr/sbin/vantor"]:
        c.true(not os.path.exists(path), "purged: " + path)
    c.true(account("vantor") is not None and os.path.exists("/srv/ftp/pub/up.txt"),
           "the account stays while the upload belongs to it")

    # Without it, the second purge removes the account, its group and folders.
    if os.path.exists("/srv/ftp/pub/up.txt"):
        os.remove("/srv/ftp/pub/up.txt")
    r = run("dpkg", "-i", names["vantor"])
    c.eq(r.returncode, 0, "dpkg -i again: " + r.stdout + r.stderr)
    r = run("dpkg", "--purge", "vantor")
    c.eq(r.returncode, 0, "dpkg --purge again: " + r.stdout + r.stderr)
    c.true(account("vantor") is None, "purge removes the account")
    c.true(run("getent", "group", "vantor").returncode != 0, "purge removes the group")
    c.true(not os.path.exists("/srv/ftp/pub"), "purge removes /srv/ftp/pub")


def machine_is_free():
    """Installing is for a machine where this script owns what it makes."""
    if os.geteuid() != 0:
        return "not root"
    if run("dpkg-query", "-W", "vantor").returncode == 0:
        return "a vantor package is installed"
    if account("vantor") is not None:
        return "a vantor account exists"
    if os.path.exists("/srv/ftp/pub"):
        return "/srv/ftp/pub exists"
    return ""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    build = os.path.abspath(ap.parse_args().build)
    scratch = tempfile.mkdtemp(prefix="vantor-deb-")
    c = Checker()
    lock = open("/tmp/vantor-deb-install.lock", "w")
    try:
        out = run("cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                  "-B", os.path.join(scratch, "pkg"))
        debs = glob.glob(os.path.join(scratch, "pkg", "*.deb"))
        if out.returncode != 0 or not debs:
            print(out.stdout + out.stderr)
            print("FAIL cpack made no package")
            return 1
        names = check_packages(c, debs)
        if "vantor" in names:
            check_unpacked(c, names["vantor"], scratch)
        # One installation at a time on this machine.
        fcntl.flock(lock, fcntl.LOCK_EX)
        why_not = machine_is_free()
        if why_not:
            print("SKIP installing: " + why_not)
        elif sorted(names) == ["vantor", "vantor-gui"]:
            try:
                install_and_purge(c, names, scratch)
            finally:
                # Leave the machine as it was, whatever failed.
                if run("dpkg-query", "-W", "vantor").returncode == 0:
                    run("dpkg", "--purge", "vantor-gui", "vantor")
                if os.path.exists("/srv/ftp/pub/up.txt"):
                    os.remove("/srv/ftp/pub/up.txt")
                    for d in ["/srv/ftp/pub", "/srv/ftp"]:
                        try:
                            os.rmdir(d)
                        except OSError:
                            pass
                if account("vantor") is not None:
                    run("deluser", "--system", "--quiet", "vantor")
    finally:
        lock.close()
        shutil.rmtree(scratch, ignore_errors=True)
    for f in c.failures:
        print("FAIL " + f)
    print("%d failed" % len(c.failures))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
