#!/usr/bin/env python3
"""Builds the .deb with CPack, unpacks it into a scratch root (dpkg -x) and
checks what it installs; then starts the installed vantor on a copy of the
installed example configuration (on a free port, with a scratch tree as
drive C:) and logs in anonymously.

    deb_install.py --build path/to/build/dir
"""
import argparse
import ftplib
import glob
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    build = os.path.abspath(ap.parse_args().build)
    scratch = tempfile.mkdtemp(prefix="vantor-deb-")
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)

    proc = None
    try:
        out = subprocess.run(["cpack", "-G", "DEB", "--config",
                              os.path.join(build, "CPackConfig.cmake"),
                              "-B", os.path.join(scratch, "pkg")],
                             capture_output=True, text=True, timeout=600)
        debs = glob.glob(os.path.join(scratch, "pkg", "*.deb"))
        if out.returncode != 0 or len(debs) != 1:
            print(out.stdout + out.stderr)
            print("FAIL cpack made no package")
            return 1
        info = subprocess.run(["dpkg-deb", "-f", debs[0], "Package", "Depends"],
                              capture_output=True, text=True).stdout
        check(info.startswith("Package: vantor\n"), "package name: %r" % info)
        check("libcrypt1" in info and "libsystemd0" in info, "dependencies: %r" % info)
        conf = subprocess.run(["dpkg-deb", "-I", debs[0], "conffiles"],
                              capture_output=True, text=True).stdout
        check(conf.strip() == "/etc/vantor/VANTOR.INI", "conffiles: %r" % conf)

        root = os.path.join(scratch, "root")
        subprocess.run(["dpkg", "-x", debs[0], root], check=True, timeout=120)
        for path in ["usr/sbin/vantor", "etc/vantor/VANTOR.INI",
                     "usr/lib/systemd/system/vantor.service",
                     "usr/include/vantor/hooks.h", "usr/share/man/man8/vantor.8",
                     "usr/share/man/man5/vantor.ini.5", "usr/share/man/man1/vantor-gui.1"]:
            found = glob.glob(os.path.join(root, path) + "*")
            check(found, "installed: " + path)
        unit = open(os.path.join(root, "usr/lib/systemd/system/vantor.service")).read()
        check("Type=notify" in unit and "ExecStart=/usr/sbin/vantor -u /etc/vantor/VANTOR.INI"
              in unit, "the unit starts the installed program on the installed file")
        man5 = glob.glob(os.path.join(root, "usr/share/man/man5/vantor.ini.5*"))
        if man5:
            text = subprocess.run(["sh", "-c", "zcat -f '%s'" % man5[0]],
                                  capture_output=True, text=True).stdout
            check("QuotaMaxCurrent" in text and "ServerKBps" in text,
                  "vantor.ini(5) holds the key reference")

        # The installed program on the installed example.
        example = open(os.path.join(root, "etc/vantor/VANTOR.INI")).read()
        ftproot = os.path.join(scratch, "srv")
        os.makedirs(os.path.join(ftproot, "pub"))
        with open(os.path.join(ftproot, "pub", "hello.txt"), "w") as f:
            f.write("hello\n")
        port = free_port()
        ini_text = re.sub(r"(?m)^PortNr=.*$", "PortNr=%d" % port, example)
        ini_text = re.sub(r"(?m)^C=.*$", "C=" + ftproot, ini_text)
        ini_text = re.sub(r"(?m)^(Logfile|XferLog)=/var/log/vantor/",
                          r"\1=" + scratch + "/", ini_text)
        ini_text = re.sub(r"(?m)^RunAsUser=.*$", "", ini_text)
        ini = os.path.join(scratch, "VANTOR.INI")
        with open(ini, "w") as f:
            f.write(ini_text)
        check_out = subprocess.run([os.path.join(root, "usr/sbin/vantor"), "--check-config", ini],
                                   capture_output=True, text=True, timeout=30)
        check(check_out.returncode == 0, "the example passes --check-config: " + check_out.stdout)
        proc = subprocess.Popen([os.path.join(root, "usr/sbin/vantor"), "-u", ini],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=dict(os.environ, LANG="C", LC_ALL="C"))
        deadline = time.monotonic() + 20
        online = False
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            if "FTP Server on-line" in line:
                online = True
                break
        check(online, "the installed server came on-line")
        if online:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", port, timeout=10)
            check(ftp.login("anonymous", "me@example.org").startswith("230"), "anonymous login")
            got = io.BytesIO()
            ftp.retrbinary("RETR hello.txt", got.write)
            check(got.getvalue() == b"hello\n", "download from the example tree")
            ftp.quit()
    finally:
        if proc is not None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            proc.stdout.close()
        shutil.rmtree(scratch, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
