#!/usr/bin/env python3
"""Prints the benchmark results of scripts/bench.sh as Markdown tables."""
import json
import pathlib
import re
import sys

out = pathlib.Path(sys.argv[1])


def medians(path):
    """Median real time in ms of every benchmark in a Google Benchmark JSON report (or several
    reports one after another), keyed by name without the aggregate suffix."""
    text = path.read_text()
    decoder = json.JSONDecoder()
    found, at = {}, 0
    while at < len(text):
        while at < len(text) and text[at].isspace():
            at += 1
        if at >= len(text):
            break
        report, at = decoder.raw_decode(text, at)
        for b in report["benchmarks"]:
            if b.get("aggregate_name", "median") != "median":
                continue
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            found[re.sub(r"_median$", "", b["name"])] = b["real_time"] * scale
    return found


station = medians(out / "station.json")
ui = medians(out / "ui.json")
lookup = medians(out / "lookup.json")
idle = json.loads((out / "idle.json").read_text())

print("| stations | locked | floor ms | sweep ms | sweep / floor | full ms (312×206) | full / floor"
      " | full ms (800×600) |")
print("|---:|---:|---:|---:|---:|---:|---:|---:|")
for n in (100, 1000, 10000):
    for locked in (0, 1):
        floor = station[f"floor/stations:{n}/locked:{locked}"]
        sweep = station[f"sweep/stations:{n}/locked:{locked}"]
        small = ui[f"BM_WindowRefresh/{n}/{locked}/0"]
        large = ui[f"BM_WindowRefresh/{n}/{locked}/1"]
        print(f"| {n:,} | {'every other' if locked else 'none'} | {floor:.3f} | {sweep:.3f} |"
              f" {sweep / floor:.2f} | {small:.2f} | {small / floor:.1f} | {large:.2f} |")

print()
print("| cost per station, none locked | 100 | 1,000 | 10,000 |")
print("|---|---:|---:|---:|")
for label, table, key in (("sweep µs", station, "sweep/stations:{n}/locked:0"),
                          ("full µs (312×206)", ui, "BM_WindowRefresh/{n}/0/0")):
    cells = " | ".join(f"{1000 * table[key.format(n=n)] / n:.3f}" for n in (100, 1000, 10000))
    print(f"| {label} | {cells} |")

print()
print("| look-up | median ms |")
print("|---|---:|")
for name, ms in sorted(lookup.items()):
    print(f"| {name.split('/repeats')[0]} | {ms:.3f} |")

print()
print(f"Monitor left running {idle['seconds']} s on 200 stations, 100 connected: "
      f"{idle['cpu_percent']:.2f} % of one core, {idle['rss_mb']:.1f} MB resident "
      f"(peak {idle['peak_rss_mb']:.1f} MB).")
