#!/usr/bin/env python3
"""Measures an update of the default image three ways over the 115200 8E1 line model of devsim,
with the same programming time per block, and prints the figures (it never fails on a slow
machine: it only reports):
  - the real executable under Wine, driven through its window;
  - the engine natively on a pseudo-terminal (native_update);
  - the same update in virtual time (engine, device model and line model with a fake clock);
  - the wire floor: every byte of every request and reply at 11 bits a byte.
Times run from the first block to the reset's acknowledgement, as the device sees them. Also:
start-up time to " - Idle - " with 998 ports probed, and the CPU the tool uses while probing
for a device that never answers.
  bench/benchmark.py --build-native DIR --build-windows DIR [--program-ms MS]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import e2e  # noqa: E402  (the Wine, devsim and window driver plumbing of the end-to-end tests)


def device_timing(report):
    m = re.search(r"([\d.]+) s from first block to reset", report)
    g = re.search(r"ms between blocks: min ([\d.]+), median ([\d.]+), p90 ([\d.]+), max ([\d.]+)", report)
    return (float(m.group(1)) if m else None), (tuple(float(x) for x in g.groups()) if g else None)


def native_run(args, out):
    link = os.path.join(out, "native-port")
    with open(os.path.join(out, "native-devsim.txt"), "w") as report:
        dev = subprocess.Popen([args.devsim, "--link", link, "--program-ms", str(args.program_ms),
                                "--plug-in-delay", "300", "--quiet"], stdout=report)
        e2e.wait_for(lambda: os.path.islink(link), 5)
        subprocess.run([args.native_update, "--port", link, "--image", args.image], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        dev.terminate()
        dev.wait()
    with open(os.path.join(out, "native-devsim.txt")) as f:
        return device_timing(f.read())


def wine_run(args, wine, out):
    ns = argparse.Namespace(devsim=args.devsim, tool=args.tool, small_tool=args.tool, driver=args.driver, out=out)
    s = e2e.Scenario(ns, wine, "benchmark-update")
    try:
        dev = s.devsim(5, "--program-ms", str(args.program_ms), "--plug-in-delay", "300")
        tool = s.start_tool()
        tool.wait_idle()
        tool.must("select", dev.name)
        tool.must("press")
        tool.watch("Programming Completed", 120)
        tool.must("close")
        tool.wait_exit()
        dev.stop()
        return device_timing(dev.report())
    finally:
        s.finish()


def startup_and_idle_cpu(args, wine, out):
    ns = argparse.Namespace(devsim=args.devsim, tool=args.tool, small_tool=args.tool, driver=args.driver, out=out)
    starts = []
    for _ in range(3):
        s = e2e.Scenario(ns, wine, "benchmark-startup")
        try:
            starts.append(s.start_tool().wait_idle())
            s.tool.must("close")
            s.tool.wait_exit()
        finally:
            s.finish()
    s = e2e.Scenario(ns, wine, "benchmark-probing")
    try:
        dev = s.devsim(5, "--plug-in-delay", "3600000")  # never answers
        tool = s.start_tool()
        tool.wait_idle()
        tool.must("select", dev.name)
        tool.must("press")
        time.sleep(2)
        before, since = tool.cpu_seconds(), time.time()
        time.sleep(30)
        per_minute = (tool.cpu_seconds() - before) / (time.time() - since) * 60
        tool.must("close")
        tool.wait_exit()
    finally:
        s.finish()
    return statistics.median(starts), per_minute


def together(args, wine, out, count):
    """`count` tools updating `count` devices at once in one Wine session, each timed by its
    device, beside the same update alone."""
    ns = argparse.Namespace(devsim=args.devsim, tool=args.tool, small_tool=args.tool, driver=args.driver, out=out)
    s = e2e.Scenario(ns, wine, "benchmark-together")
    try:
        devs = [s.devsim(5 + i, "--program-ms", str(args.program_ms), "--plug-in-delay", "300", "--quiet")
                for i in range(count)]
        tools, known = [], set()
        for i in range(count):
            tool = e2e.Tool(wine, args.tool, args.driver, s.out, name="trace-%d" % i)
            e2e.wait_for(lambda: len(set(tool.must("list").split()) - known) > 0, 30)
            tool.hwnd = sorted(set(tool.must("list").split()) - known)[0]
            known.add(tool.hwnd)
            tool.wait_idle()
            tool.must("select", devs[i].name)
            tools.append(tool)
        for tool in tools:
            tool.must("press")
        pending = set(range(count))
        deadline = time.time() + 600
        while pending and time.time() < deadline:
            for i in sorted(pending):
                if tools[i].status() == "Programming Completed":
                    pending.discard(i)
            time.sleep(1)
        for tool in tools:
            tool.must("close")
            tool.wait_exit()
            tool.kill()
        for d in devs:
            d.stop()
        return [device_timing(d.report())[0] for d in devs]
    finally:
        s.finish()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build-native", required=True)
    p.add_argument("--build-windows", required=True)
    p.add_argument("--program-ms", type=float, default=5.0)
    p.add_argument("--image", default=os.path.join(e2e.ROOT, "resources", "firmware.bin"))
    p.add_argument("--together", type=int, default=0, help="also N tools updating N devices at once")
    args = p.parse_args()
    nat, win = os.path.abspath(args.build_native), os.path.abspath(args.build_windows)
    args.devsim = os.path.join(nat, "devsim", "devsim")
    args.native_update = os.path.join(nat, "native", "native_update")
    args.tool = os.path.join(win, "ui", "firmware_update.exe")
    args.driver = os.path.join(win, "tests", "e2e", "window_driver.exe")
    image = open(args.image, "rb").read()
    size = len(e2e.zero_filled(image))
    out = tempfile.mkdtemp(prefix="benchmark.")

    virtual = subprocess.run([os.path.join(nat, "bench", "virtual_runs"), "bench", args.image, str(args.program_ms)],
                             stdout=subprocess.PIPE, check=True).stdout.decode()
    floor = float(re.search(r"wire floor\s+([\d.]+) s", virtual).group(1))
    virtual_s = float(re.search(r"reset acknowledged\s+([\d.]+) s", virtual).group(1))
    vgaps = tuple(float(x) for x in re.search(
        r"per block ms: min ([\d.]+)\s+median ([\d.]+)\s+p90 ([\d.]+)\s+max ([\d.]+)", virtual).groups())

    native_s, ngaps = native_run(args, out)
    wine = e2e.Wine(os.path.join(win, "wine-prefix"), None)
    try:
        wine.prepare()
        wine_s, wgaps = wine_run(args, wine, out)
        startup, cpu_per_minute = startup_and_idle_cpu(args, wine, out)
        at_once = together(args, wine, out, args.together) if args.together else []
    finally:
        wine.stop()

    print("Update of %d bytes (%d blocks), %.1f ms programming a block, 115200 8E1" % (size, size // 1024,
                                                                                     args.program_ms))
    print("%-28s %8s %9s %10s %11s   %s" % ("run", "seconds", "x floor", "x virtual", "bytes/s",
                                           "ms a block: min / median / p90 / max"))
    rows = [("wire floor", floor, None), ("virtual time", virtual_s, vgaps), ("native engine on a pty", native_s, ngaps),
            ("executable under Wine", wine_s, wgaps)]
    for name, seconds, gaps in rows:
        if seconds is None:
            print("%-28s no figure" % name)
            continue
        print("%-28s %8.2f %9.2f %10s %11.0f   %s" % (
            name, seconds, seconds / floor, "%.2f" % (seconds / virtual_s) if name not in ("wire floor", "virtual time") else "",
            size / seconds, " / ".join("%.1f" % g for g in gaps) if gaps else ""))
    print("start-up to ' - Idle - ' (998 ports probed), median of 3: %.2f s" % startup)
    print("CPU while probing for a silent device: %.2f s a minute" % cpu_per_minute)
    if at_once:
        print("%d tools updating %d devices at once (solo under Wine: %.2f s):" % (len(at_once), len(at_once), wine_s))
        for i, t in enumerate(at_once):
            print("  tool %d on \\\\.\\com%d: %s" % (i + 1, 5 + i, "%.2f s (%.2fx solo)" % (t, t / wine_s) if t else "no figure"))
    print("(files in %s)" % out)


if __name__ == "__main__":
    main()
