#!/usr/bin/env python3
"""Prints the benchmark results of scripts/bench.sh as Markdown tables."""
import json
import pathlib
import re
import sys

out = pathlib.Path(sys.argv[1])


def medians(path):
    """The median aggregate of every benchmark in a Google Benchmark JSON report (or several
    reports one after another), keyed by name without the aggregate suffix, with its real time
    in ms as "ms"."""
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
            found[re.sub(r"_median$", "", b["name"])] = dict(b, ms=b["real_time"] * scale)
    return found


def single_run(results, name):
    """A benchmark's result, also where it ran once with its iterations and repetitions fixed."""
    return results.get(name) or results[f"{name}/iterations:1/repeats:1"]


station = medians(out / "station.json")
smb = medians(out / "smb.json")
parallel = medians(out / "parallel.json")
ui = medians(out / "ui.json")
lookup = medians(out / "lookup.json")
idle = json.loads((out / "idle.json").read_text())

print("| stations | locked | floor ms | sweep ms | sweep / floor | full ms (312×206) | full / floor"
      " | full ms (800×600) |")
print("|---:|---:|---:|---:|---:|---:|---:|---:|")
for n in (100, 1000, 10000):
    for locked in (0, 1):
        # Floor and sweep were timed in turns; the ratio is the median of each repetition's own.
        pair = station[f"refresh/stations:{n}/locked:{locked}"]
        floor = pair["floor_ms"]
        small = ui[f"BM_WindowRefresh/{n}/{locked}/0"]["ms"]
        large = ui[f"BM_WindowRefresh/{n}/{locked}/1"]["ms"]
        print(f"| {n:,} | {'every other' if locked else 'none'} | {floor:.3f} | {pair['sweep_ms']:.3f}"
              f" | {pair['sweep_per_floor']:.2f} | {small:.2f} | {small / floor:.1f} | {large:.2f} |")

print()
print("| 10,000 stations, held | probes ms | probes CPU ms | /proc/locks ms | /proc/locks CPU ms |")
print("|---:|---:|---:|---:|---:|")
for percent in (0, 1, 10, 50, 100):
    b = station[f"lockStrategies/held_percent:{percent}"]
    print(f"| {percent} % | {b['probe_ms']:.3f} | {b['probe_cpu_ms']:.3f} | {b['table_ms']:.1f}"
          f" | {b['table_cpu_ms']:.2f} |")

print()
print("| stations over smb:// | connected | link | one read per record: reads | ms | first refresh:"
      " reads | ms | next refresh: reads | ms | monitor's refresh: reads | ms |")
print("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|")
for n in (100, 1000, 10000):
    for percent in (0, 10, 50):
        # The monitor's reads are counted by the proxy; they do not depend on the link.
        proxied = single_run(smb, f"smbRefresh/stations:{n}/connected:{percent}/proxy:1")
        for proxy, link in ((0, "loopback"), (1, "+1 ms a round trip")):
            b = single_run(smb, f"smbRefresh/stations:{n}/connected:{percent}/proxy:{proxy}")
            print(f"| {n:,} | {percent} % | {link} | {b['floor_reads']:,.0f} | {b['floor_ms']:.1f}"
                  f" | {b['first_reads']:,.0f} | {b['first_ms']:.1f}"
                  f" | {b['steady_reads']:,.0f} | {b['steady_ms']:.1f}"
                  f" | {proxied['show_reads']:,.0f} | {b['show_ms']:.1f} |")

print()
print("| stations, +1 ms a round trip | connected | connections | one read per record ms | speed-up"
      " | next refresh: reads | ms | speed-up |")
print("|---:|---:|---:|---:|---:|---:|---:|---:|")
for n in (1000, 10000):
    for percent in (10, 50):
        name = f"smbParallel/stations:{n}/connected:{percent}/connections:{{}}/iterations:1/repeats:1"
        alone = parallel[name.format(1)]
        for connections in (1, 2, 4, 8):
            b = parallel[name.format(connections)]
            print(f"| {n:,} | {percent} % | {connections} | {b['floor_ms']:.0f}"
                  f" | {alone['floor_ms'] / b['floor_ms']:.2f} | {b['steady_reads']:,.0f}"
                  f" | {b['steady_ms']:.0f} | {alone['steady_ms'] / b['steady_ms']:.2f} |")

print()
print("| cost per station, none locked | 100 | 1,000 | 10,000 |")
print("|---|---:|---:|---:|")
sweep_key, full_key = "refresh/stations:{n}/locked:0", "BM_WindowRefresh/{n}/0/0"
for label, cost in (("sweep µs", lambda n: station[sweep_key.format(n=n)]["sweep_ms"]),
                    ("full µs (312×206)", lambda n: ui[full_key.format(n=n)]["ms"])):
    cells = " | ".join(f"{1000 * cost(n) / n:.3f}" for n in (100, 1000, 10000))
    print(f"| {label} | {cells} |")

print()
print("| look-up | median ms |")
print("|---|---:|")
for name, b in sorted(lookup.items()):
    print(f"| {name.split('/repeats')[0]} | {b['ms']:.3f} |")

print()
print(f"Monitor left running {idle['seconds']} s on 200 stations, 100 connected: "
      f"{idle['cpu_percent']:.2f} % of one core, {idle['rss_mb']:.1f} MB resident "
      f"(peak {idle['peak_rss_mb']:.1f} MB).")
