#!/usr/bin/python3
"""/metrics as Prometheus reads it: promtool finds nothing to say about it, and a real
Prometheus scraping the watcher on loopback sees it up and orvendal_stations_connected follow
locks held by another process.
    prometheus_test.py STATIONCTL"""
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request

from watchweb import SKIP, Watcher, Workstation, folder, station_file

STATIONCTL = sys.argv[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def query(prometheus, expression):
    """The value of `expression`'s one series, or None while it has none."""
    url = prometheus + "/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            result = json.load(answer)["data"]["result"]
    except OSError:
        return None
    return result[0]["value"][1] if len(result) == 1 else None


def await_value(prometheus, expression, expected, limit=90):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if query(prometheus, expression) == expected:
            return
        time.sleep(0.25)
    raise AssertionError(f"{expression} never became {expected}: {query(prometheus, expression)}")


def main():
    if not shutil.which("prometheus") or not shutil.which("promtool"):
        print("prometheus is not installed")
        sys.exit(SKIP)
    with folder() as work:
        path = station_file(STATIONCTL, work, 4)
        watcher = Watcher(STATIONCTL, path, "--interval", "100")
        watcher.await_first_refresh()
        prometheus = None
        try:
            with urllib.request.urlopen(watcher.url + "metrics", timeout=10) as answer:
                assert answer.headers["Content-Type"].startswith("text/plain; version=0.0.4")
                metrics = answer.read()
            check = subprocess.run(["promtool", "check", "metrics"], input=metrics,
                                   capture_output=True)
            assert check.returncode == 0 and not check.stdout and not check.stderr, check

            port = free_port()
            config = os.path.join(work, "prometheus.yml")
            with open(config, "w") as f:
                f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                        "scrape_configs:\n  - job_name: orvendal\n    static_configs:\n"
                        f"      - targets: ['127.0.0.1:{watcher.port}']\n")
            prometheus = subprocess.Popen(
                ["prometheus", "--config.file=" + config,
                 "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                 f"--web.listen-address=127.0.0.1:{port}"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            server = f"http://127.0.0.1:{port}"
            await_value(server, 'up{job="orvendal"}', "1")
            await_value(server, "orvendal_stations_connected", "0")
            station = Workstation(STATIONCTL, path, 2, 3)
            await_value(server, "orvendal_stations_connected", "2")
            station.release()
            await_value(server, "orvendal_stations_connected", "0")
        finally:
            if prometheus:
                prometheus.terminate()
                prometheus.wait(timeout=30)
            watcher.stop()


main()
