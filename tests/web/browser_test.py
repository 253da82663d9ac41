#!/usr/bin/python3
"""The watcher's pages in a real browser (Chromium, headless, through Selenium) against a real
watcher on loopback and locks held by other processes: the live page follows a station's
connection and disconnection without a reload, within two refreshes, and shows an outage; the
history draws each session's bar from its start to its end and writes the peak; a station
named like a script shows as text; the browser logs no error; /api/status and /api/history give
what status and history print. Screenshots of both pages are
left in the folder given.
    browser_test.py STATIONCTL OUTPUT_FOLDER"""
import json
import os
import shutil
import subprocess
import sys
import time
import urllib.error
import urllib.request
from datetime import datetime, timedelta
from html.parser import HTMLParser

from watchweb import SKIP, Watcher, Workstation, folder, station_file

SCRIPT_NAME = "<script>alert(1)</script>"
STATIONCTL, OUTPUT = sys.argv[1], sys.argv[2]


def browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        print("python3-selenium is not installed")
        sys.exit(SKIP)
    if not shutil.which("chromedriver") or not shutil.which("chromium"):
        print("chromium and chromium-driver are not installed")
        sys.exit(SKIP)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1280,900", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def row_state(driver, row):
    """The row's Conectado cell, and how many refreshes the page's counter has seen."""
    return driver.execute_script(
        "const r = document.querySelector('#estaciones tbody').rows[arguments[0] - 1];"
        "return [r.cells[2].textContent, r.classList.contains('conectado'), window.refreshes,"
        "        window.sinRecarga === true];", row)


def await_row(driver, row, word, what):
    """Waits until the row reads `word`; fails if more than two refreshes (and one for the
    counter's own stream being ahead of the page's) pass first, or if the page reloaded."""
    start = row_state(driver, row)[2]
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        cell, marked, refreshes, same = row_state(driver, row)
        assert same, "the page was reloaded"
        if cell == word:
            assert marked == (word == "Verdadero"), what + ": the row's mark"
            assert refreshes - start <= 3, f"{what}: shown after {refreshes - start} refreshes"
            return
        assert refreshes - start <= 3, f"{what}: not shown after {refreshes - start} refreshes"
        time.sleep(0.02)
    raise AssertionError(what + ": never shown")


class FirstPaint(HTMLParser):
    """The cells of the list as the server drew them, before the page's script runs, and any
    element that is not the table's own."""

    def __init__(self):
        super().__init__()
        self.rows, self.foreign, self.inside = [], [], False

    def handle_starttag(self, tag, attrs):
        if tag == "tbody":
            self.inside = True
        elif self.inside and tag == "tr":
            self.rows.append([])
        elif self.inside and tag == "td":
            self.rows[-1].append("")
        elif self.inside:
            self.foreign.append(tag)

    def handle_endtag(self, tag):
        self.inside = self.inside and tag != "tbody"

    def handle_data(self, data):
        if self.inside and self.rows and self.rows[-1]:
            self.rows[-1][-1] += data


def live_page(driver, watcher, path):
    paint = FirstPaint()
    with urllib.request.urlopen(watcher.url, timeout=30) as answer:
        paint.feed(answer.read().decode())
    assert paint.rows[1][5].rstrip() == SCRIPT_NAME and not paint.foreign, paint.rows[1]
    driver.get(watcher.url)
    # A page that reloads loses this; the counter follows the watcher's refreshes.
    driver.execute_script(
        "window.sinRecarga = true; window.refreshes = 0;"
        "const s = new EventSource('/api/eventos');"
        "for (const k of ['estado', 'cambio', 'lectura'])"
        "  s.addEventListener(k, () => window.refreshes++);")
    name = driver.execute_script(
        "return document.querySelector('#estaciones tbody').rows[1].cells[5].textContent;")
    assert name.rstrip() == SCRIPT_NAME, name

    for row in (2, 3):
        station = Workstation(STATIONCTL, path, row)
        await_row(driver, row, "Verdadero", f"row {row} connected")
        since = driver.execute_script(
            "return document.querySelector('#estaciones tbody').rows[arguments[0] - 1]"
            ".cells[7].textContent;", row)
        assert since.startswith("desde las "), since
        station.release()
        await_row(driver, row, "Falso", f"row {row} disconnected")
    # Filled again from an event, the name is still text.
    name = driver.execute_script(
        "return document.querySelector('#estaciones tbody').rows[1].cells[5].textContent;")
    assert name.rstrip() == SCRIPT_NAME, name
    assert driver.execute_script("return document.querySelectorAll('tbody script').length") == 0

    os.rename(path, path + ".fuera")
    outage = wait_for(lambda: driver.execute_script(
        "const a = document.getElementById('aviso'); return a.hidden ? '' : a.textContent;"))
    assert "Sin acceso al fichero de estaciones" in outage, outage
    assert "sin acceso" in driver.find_element("id", "titulo").text
    os.rename(path + ".fuera", path)
    wait_for(lambda: driver.execute_script("return document.getElementById('aviso').hidden"))
    driver.save_screenshot(os.path.join(OUTPUT, "web-estaciones.png"))


def wait_for(condition, limit=30):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("never came")


def instant(text):
    return datetime.fromisoformat(text)


def history_page(driver, watcher, journal):
    sessions = json.loads(subprocess.run([STATIONCTL, "history", journal, "--json"],
                                         capture_output=True, text=True, check=True).stdout)
    sessions = [s for s in sessions["sessions"] if s["end"] is not None]
    assert len(sessions) >= 4, sessions
    first = min(instant(s["start"]) for s in sessions)
    last = max(instant(s["end"]) for s in sessions)
    since = (first - timedelta(seconds=2)).replace(microsecond=0, tzinfo=None)
    until = (last + timedelta(seconds=3)).replace(microsecond=0, tzinfo=None)
    driver.get(f"{watcher.url}historia?desde={since.isoformat()}&hasta={until.isoformat()}")
    plane = driver.find_element("id", "plano").rect
    span = (until - since).total_seconds()

    def x(t):
        return plane["x"] + (instant(t).replace(tzinfo=None) - since).total_seconds() / span \
            * plane["width"]

    for rec in sorted({s["rec"] for s in sessions}):
        bars = driver.find_elements("css selector", f'g.carril[data-rec="{rec}"] rect.sesion')
        mine = [s for s in sessions if s["rec"] == rec]
        assert len(bars) == len(mine), (rec, len(bars), mine)
        for bar, session in zip(bars, mine):
            edges = bar.rect
            assert abs(edges["x"] - x(session["start"])) < 1.5, (rec, edges, session)
            assert abs(edges["x"] + edges["width"] - x(session["end"])) < 1.5, (rec, session)

    # The peak: the most sessions at once, and the first instant they were.
    changes = sorted([(instant(s["start"]), 1) for s in sessions] +
                     [(instant(s["end"]), -1) for s in sessions], key=lambda c: (c[0], c[1]))
    count, peak, peak_at = 0, 0, None
    for at, delta in changes:
        count += delta
        if count > peak:
            peak, peak_at = count, at
    text = driver.find_element("id", "maximo").text
    expected = f"{peak} puestos conectados, hoy a las {peak_at.strftime('%H:%M:%S')}"
    assert expected in text, (text, expected)
    dot = driver.find_element("id", "pico").rect
    assert abs(dot["x"] + dot["width"] / 2 - x(peak_at.isoformat())) < 1.5, dot
    driver.save_screenshot(os.path.join(OUTPUT, "web-historia.png"))
    return since, until


def same_as_the_commands(watcher, path, journal, since, until):
    """/api/history and /api/status give the commands' own objects, and refuse as they do."""
    def get(target):
        try:
            with urllib.request.urlopen(watcher.url + target, timeout=30) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as refused:
            return refused.code, refused.read()

    def command(*args):
        return subprocess.run([STATIONCTL, *args], capture_output=True, check=True).stdout

    query = f"since={since.isoformat()}&until={until.isoformat()}"
    assert get("api/history?" + query) == (200, command(
        "history", journal, "--since", since.isoformat(), "--until", until.isoformat(),
        "--json").rstrip(b"\n"))
    assert get("api/history.csv?" + query)[1] == command(
        "history", journal, "--since", since.isoformat(), "--until", until.isoformat(), "--csv")
    assert get("api/status") == (200, command("status", path, "--json").rstrip(b"\n"))
    status, text = get(f"api/history?since={until.isoformat()}&until={since.isoformat()}")
    assert status == 400 and "ninguna sesión cabe entre las dos" in text.decode(), (status, text)


def main():
    with folder() as work:
        path = station_file(STATIONCTL, work, 6, {2: SCRIPT_NAME, 3: "Recepción"})
        journal = os.path.join(work, "diario.db")
        watcher = Watcher(STATIONCTL, path, "--journal", journal, "--interval", "200")
        watcher.await_first_refresh()
        driver = browser(os.path.join(work, "perfil"))
        try:
            live_page(driver, watcher, path)
            # Overlapping sessions for the history: rows 4, 5 and 6 hold three at once.
            held = []
            for row in (4, 5, 6):
                held.append(Workstation(STATIONCTL, path, row))
                time.sleep(0.6)
            for station in held:
                station.release()
                time.sleep(0.4)
            since, until = history_page(driver, watcher, journal)
            same_as_the_commands(watcher, path, journal, since, until)
            errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
            assert not errors, errors
        finally:
            driver.quit()
            watcher.stop()


main()
