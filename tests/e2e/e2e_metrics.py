"""The metrics text of a real run: logins good and bad, transfers both ways
(one cut by a reset), FTPS on the control and data connections, a failed
handshake on the implicit port and an anti-hammer block; each counter has
its exact value, and Prometheus's own checker (promtool) accepts the text.
The driver prints the text on SIGUSR2."""
import io
import shutil
import socket
import ssl
import subprocess
import tempfile

from ftp_e2e import (ReuseFTP, Server, expect, free_port, ftp_client, greeted, login, make_cert, run,
                     samples, scrape, user_ini, wait_until)

INI = """[GLOBAL]
Version=2.5.11.3
PortNr={port}
EncryptPasswords=NO
MaxPreLoginPerIP=0
TLSCertificateFile=%(certs)s/cert.pem
TLSPrivateKeyFile=%(certs)s/key.pem
TLSImplicitPortNr=%(implicit)d
AntiHammer=YES
AntiHammerTries=6
AntiHammerWindow=600
MetricsPerUser=YES
""" + user_ini("joe")


def test_metrics_of_a_real_run():
    certs = tempfile.mkdtemp(prefix="vantor-metrics-")
    try:
        make_cert(certs, cn="vantor-metrics")
        implicit = free_port()
        with Server(INI % {"certs": certs, "implicit": implicit}) as srv:
            run_session(srv, implicit)
    finally:
        shutil.rmtree(certs, ignore_errors=True)


def run_session(srv, implicit):
    # 1: a login that stays, an upload, its download and an upload cut by a
    # reset before any byte (so its byte count is known: 0).
    joe = login(srv.port, binary=True)
    first, end = joe.stor("STOR a.bin", b"m" * 1000)
    expect((first[:3], end[-1][:3]), ("150", "226"), "STOR")
    first, data, end = joe.retr("a.bin")
    expect((first[:3], len(data), end[-1][:3]), ("150", 1000, "226"), "RETR")
    first, end = joe.stor("STOR cut.bin", b"", reset=True)
    expect(first[:3], "150", "STOR cut.bin accepted")
    expect(end[-1][:3] in ("426", "451"), True, "reset upload fails: %r" % end)

    # 2: a wrong password.
    bad = greeted(srv.port)
    expect(bad.last("USER joe"), "331 User name okay, need password.")
    expect(bad.last("PASS wrong"), "530 Not logged in.")
    bad.close()

    # 3: FTPS, control and data connection protected: two handshakes.
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    f = ftp_client(srv.port, "joe", "secret", timeout=20, cls=ReuseFTP, context=ctx)
    f.prot_p()
    got = io.BytesIO()
    f.retrbinary("RETR a.bin", got.write)
    expect(len(got.getvalue()), 1000, "FTPS download")
    f.quit()

    # 4: garbage on the implicit port: a failed handshake.
    s = socket.create_connection(("127.0.0.1", implicit), timeout=10)
    s.sendall(b"this is no TLS client hello\r\n" * 4)
    s.settimeout(10)
    try:
        while s.recv(4096):
            pass
    except OSError:
        pass
    s.close()

    # 5, 6: two more connections fill the six tries; 7 and 8 are refused.
    open_ones = [greeted(srv.port), greeted(srv.port)]
    for _ in range(2):
        # Reset before the greeting, maybe before connect returns.
        got = b""
        try:
            with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as r:
                got = r.recv(100)
        except ConnectionResetError:
            pass
        expect(got, b"", "blocked by anti-hammering: closed without a greeting")

    want = {
        "vantor_sessions": "3",
        "vantor_sessions_logged_in": "1",
        "vantor_connections_total": "8",
        'vantor_logins_total{result="success"}': "2",
        'vantor_logins_total{result="failure"}': "1",
        'vantor_logins_total{result="refused"}': "0",
        'vantor_transfers_total{direction="download",result="complete"}': "2",
        'vantor_transfers_total{direction="download",result="failed"}': "0",
        'vantor_transfers_total{direction="upload",result="complete"}': "1",
        'vantor_transfers_total{direction="upload",result="failed"}': "1",
        'vantor_transfer_bytes_total{direction="download"}': "2000",
        'vantor_transfer_bytes_total{direction="upload"}': "1000",
        'vantor_tls_handshakes_total{result="success"}': "2",
        'vantor_tls_handshakes_total{result="failure"}': "1",
        'vantor_refused_total{reason="limits"}': "0",
        'vantor_refused_total{reason="rules"}': "0",
        'vantor_refused_total{reason="anti_hammering"}': "2",
        'vantor_build_info{version="2.5.11.3"}': "1",
        'vantor_user_sessions{user="JOE"}': "1",
        'vantor_user_transfer_bytes_total{user="JOE",direction="download"}': "2000",
        'vantor_user_transfer_bytes_total{user="JOE",direction="upload"}': "1000",
    }
    # Sessions that ended are removed by a posted message: wait for them.
    text = ""

    def settled():
        nonlocal text
        text = scrape(srv)
        got = samples(text)
        return all(got.get(k) == v for k, v in want.items())

    ok = wait_until(settled, 15)
    got = samples(text)
    expect({k: got.get(k) for k in want}, want, "the counters\n" + text)
    expect(ok, True, "settled")
    passes = int(got["vantor_loop_pass_seconds_count"])
    expect(passes > 0 and got['vantor_loop_pass_seconds_bucket{le="+Inf"}'] == str(passes), True,
           "loop passes counted")

    check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                           text=True, timeout=60)
    expect((check.returncode, check.stdout, check.stderr), (0, "", ""), "promtool check metrics")
    for c in open_ones:
        c.close()
    joe.close()


run([test_metrics_of_a_real_run])
