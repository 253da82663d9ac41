"""What the web tests share: a real stationctl watch with its page on a free loopback port,
and workstations that hold their records' locks in processes of their own."""
import re
import subprocess
import tempfile

SKIP = 77


class Watcher:
    """stationctl watch FILE --listen 0 ...; `url` is the page it says it serves."""

    def __init__(self, stationctl, station_file, *options, cwd=None):
        self.process = subprocess.Popen(
            [stationctl, "watch", station_file, "--listen", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd)
        line = self.process.stderr.readline()
        found = re.search(r"página web en (https?://\S+)", line)
        if not found:
            self.process.kill()
            raise RuntimeError("watch did not start its page: " + line +
                               self.process.stderr.read())
        self.url = found.group(1)
        self.port = int(self.url.rsplit(":", 1)[1].rstrip("/"))

    def event(self):
        """The watcher's next JSON event line on its standard output."""
        return self.process.stdout.readline()

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
