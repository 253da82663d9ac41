#!/usr/bin/python3
"""--web-config with a self-signed certificate (openssl) and a bcrypt user (htpasswd): the
watcher speaks TLS only, asks every path for the password (401 without it, with a wrong one or
an unknown user; 200 with the right one), still refuses a foreign Host on loopback and every
method but GET, counts each refusal, and refuses a file that others may read or that holds
what it does not take, at start, with the line named.
    webconfig_tls_test.py STATIONCTL"""
import base64
import http.client
import os
import shutil
import ssl
import subprocess
import sys

from watchweb import SKIP, Watcher, folder, station_file

STATIONCTL = sys.argv[1]


def write(path, text, mode):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def ask(port, context, method="GET", path="/", user=None, host=None):
    connection = http.client.HTTPSConnection("localhost", port, context=context, timeout=30)
    headers = {"Host": host or f"localhost:{port}"}
    if user:
        headers["Authorization"] = "Basic " + base64.b64encode(user.encode()).decode()
    connection.request(method, path, headers=headers)
    answer = connection.getresponse()
    body = answer.read().decode()
    connection.close()
    return answer.status, answer.headers, body


def refused_at_start(path, config):
    run = subprocess.run([STATIONCTL, "watch", path, "--listen", "0", "--web-config", config],
                         capture_output=True, text=True, timeout=60)
    return run.returncode, run.stderr


def main():
    for tool in ("openssl", "htpasswd"):
        if not shutil.which(tool):
            print(tool + " is not installed")
            sys.exit(SKIP)
    with folder() as work:
        path = station_file(STATIONCTL, work, 2)
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        line = subprocess.run(["htpasswd", "-nbBC", "5", "ana", "secreto"], check=True,
                              capture_output=True, text=True).stdout.strip()
        config = os.path.join(work, "web.yml")
        text = ("tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
                "basic_auth_users:\n  " + line.replace(":", ": ", 1) + "\n")

        write(config, text, 0o644)
        status, err = refused_at_start(path, config)
        assert status == 1 and "chmod 600" in err, (status, err)
        write(config, text + "  luis: 1234\n", 0o600)
        status, err = refused_at_start(path, config)
        assert status == 1 and "línea 6" in err and "bcrypt" in err, (status, err)
        run = subprocess.run([STATIONCTL, "watch", path, "--web-config", config],
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 2 and "--listen" in run.stderr, run

        write(config, text, 0o600)
        watcher = Watcher(STATIONCTL, path, "--web-config", config)
        try:
            assert watcher.url.startswith("https://"), watcher.url
            plain = http.client.HTTPConnection("127.0.0.1", watcher.port, timeout=30)
            try:
                plain.request("GET", "/", headers={"Host": f"localhost:{watcher.port}"})
                answer = plain.getresponse()
                raise AssertionError(f"plain HTTP answered {answer.status}")
            except (http.client.HTTPException, ConnectionError):
                pass

            context = ssl.create_default_context(cafile=cert)
            for user in (None, "ana:otra", "nadie:secreto"):
                status, headers, _ = ask(watcher.port, context, user=user)
                assert status == 401, (user, status)
                assert headers["WWW-Authenticate"].startswith("Basic"), headers
            for target in ("/", "/metrics", "/estatico/directo.js"):
                status, headers, _ = ask(watcher.port, context, path=target, user="ana:secreto")
                assert status == 200, (target, status)
                assert "Set-Cookie" not in headers
            status, _, _ = ask(watcher.port, context, user="ana:secreto",
                               host=f"orvendal.example:{watcher.port}")
            assert status == 421, status
            status, headers, _ = ask(watcher.port, context, "POST", user="ana:secreto")
            assert status == 405 and headers["Allow"] == "GET, HEAD", status

            _, _, metrics = ask(watcher.port, context, path="/metrics", user="ana:secreto")
            for reason, count in (("unauthorized", 3), ("host", 1), ("method", 1),
                                  ("tls_handshake", 1)):
                series = f'orvendal_web_refused_total{{file="{path}",reason="{reason}"}} {count}'
                assert series in metrics, (series, metrics)
        finally:
            watcher.stop()


main()
