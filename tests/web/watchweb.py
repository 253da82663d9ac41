"""What the web tests share: a real stationctl watch with its page on a free loopback port,
and workstations that hold their records' locks in processes of their own."""
import re
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

SKIP = 77


class Watcher:
    """stationctl watch FILE --listen 0 ...; `url` is the page it says it serves."""

    def __init__(self, stationctl, station_file, *options):
        self.process = subprocess.Popen(
            [stationctl, "watch", station_file, "--listen", "0", *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        found = re.search(r"página web en (https?://\S+)", line)
        if not found:
            self.process.kill()
            raise RuntimeError("watch did not start its page: " + line +
                               self.process.stderr.read())
        # The rest of its reports are read so that a full pipe never stops the watcher.
        threading.Thread(target=self.process.stderr.read, daemon=True).start()
        self.url = found.group(1)
        self.port = int(self.url.rsplit(":", 1)[1].rstrip("/"))

    def await_first_refresh(self, limit=60):
        """Waits until the page has the watcher's first refresh (/metrics answers 503 before)."""
        deadline = time.monotonic() + limit
        while True:
            try:
                with urllib.request.urlopen(self.url + "metrics", timeout=10):
                    return
            except urllib.error.HTTPError as refused:
                if refused.code != 503 or time.monotonic() > deadline:
                    raise
            time.sleep(0.05)

    def stop(self):
        self.process.terminate()
        return self.process.wait(timeout=30)


class Workstation:
    """stationctl connect FILE ROW...: holds the rows' locks until released."""

    def __init__(self, stationctl, station_file, *rows):
        self.process = subprocess.Popen(
            [stationctl, "connect", station_file, *map(str, rows)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("connected"):
            raise RuntimeError("connect did not lock: " + line)

    def release(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def station_file(stationctl, folder, stations, names=None):
    path = folder + "/MARLOVEN.SIT"
    subprocess.run([stationctl, "create", path, "--stations", str(stations)], check=True)
    for row, name in (names or {}).items():
        subprocess.run([stationctl, "set", path, str(row), "--name", name, "--station",
                        str(100 + row)], check=True)
    return path


def folder():
    return tempfile.TemporaryDirectory(prefix="orvendal-web-")
