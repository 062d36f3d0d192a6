#!/usr/bin/env python3
"""End-to-end runs of the real executable: under Wine, in a virtual X display, its COM ports
mapped to devsim pseudo-terminals, driven through its window as an operator would.

  e2e.py [options] SCENARIO...   run scenarios (see SCENARIOS below); prints one line each and
                                 "N passed, N failed" at the end; exit 1 on any failure
  e2e.py [options] update        the main job: one whole update, trace and summary printed
  e2e.py [options] soak [N] [SEED]  N seeded updates against devices with random faults
  e2e.py [options] env           make the prefix and server ready; print the variables to export
  e2e.py [options] stop          stop the Wine prefix's server

Each scenario keeps its trace, devsim's output and screenshots in --out/SCENARIO/.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FLASH_BASE = 0x08004000
BLOCK_SIZE = 1024
WINE_ENV = {
    "WINEDEBUG": "-all",
    # No Mono or Gecko installers, no desktop menu entries.
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
}
# A Wine virtual desktop: without a window manager, closing a top-level window stalls for
# about 2 s; inside a virtual desktop it does not.
DESKTOP_REG = """REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="1024x768"
"""


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def zero_filled(image):
    return image + bytes(-len(image) % BLOCK_SIZE)


def wait_for(condition, seconds):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            return False
        time.sleep(0.05)
    return True


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def hide_serial_ports_library(prefix):
    """The preload that keeps the machine's own serial ports out of Wine's COM ports."""
    source = os.path.join(ROOT, "tests", "e2e", "hide_serial_ports.c")
    library = os.path.join(os.path.dirname(prefix), "hide_serial_ports.so")
    if not os.path.exists(library) or os.path.getmtime(library) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(library), exist_ok=True)
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"], check=True)
    return library


def wine_environment(prefix):
    env = dict(WINEPREFIX=prefix, LD_PRELOAD=hide_serial_ports_library(prefix), **WINE_ENV)
    return env


class Wine:
    """One throwaway prefix, one persistent wineserver, one Xvfb display."""

    def __init__(self, prefix, display, windows=True):
        self.prefix = prefix
        self.env = dict(os.environ, **wine_environment(prefix))
        self.xvfb = None
        if display:
            self.env["DISPLAY"] = display
        elif windows:
            self.env["DISPLAY"] = self.start_xvfb()

    def start_xvfb(self):
        for n in range(90, 140):
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            self.xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if os.path.exists("/tmp/.X11-unix/X%d" % n):
                    return ":%d" % n
                if self.xvfb.poll() is not None:
                    break
                time.sleep(0.05)
        raise Failure("could not start Xvfb")

    def run(self, *args, **kw):
        return subprocess.run(list(args), env=self.env, **kw)

    def prepare(self):
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            os.makedirs(self.prefix, exist_ok=True)
            self.run("wineboot", "-i", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.run("wineserver", "-w")
            reg = os.path.join(self.prefix, "desktop.reg")
            with open(reg, "w") as f:
                f.write(DESKTOP_REG)
            self.run("wine", "regedit", "/S", reg, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.run("wineserver", "-w")
        # One server for the whole run: programs then start in a fraction of a second.
        with open(os.path.join(self.prefix, "wineserver.log"), "a") as log:
            self.run("wineserver", "-p", stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        # The first program starts Wine's services, which inherit its output: started here,
        # they hold no test's pipe open.
        self.run("wine", "cmd", "/c", "exit", stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
        self.unmap_all_ports()

    def dosdevice(self, name):
        return os.path.join(self.prefix, "dosdevices", name)

    def unmap_all_ports(self):
        devices = os.path.join(self.prefix, "dosdevices")
        for name in os.listdir(devices):
            if re.fullmatch(r"com\d+", name):
                os.unlink(os.path.join(devices, name))

    def screenshot(self, path):
        self.run("import", "-window", "root", path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.run("wineserver", "-k", stderr=subprocess.DEVNULL)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()


class Devsim:
    """The simulated device on a pseudo-terminal mapped to a COM port of the prefix."""

    def __init__(self, binary, wine, port, out, *options):
        self.link = wine.dosdevice("com%d" % port)
        self.name = "\\\\.\\com%d" % port
        self.out = os.path.join(out, "devsim-com%d" % port)
        self.flash_file = self.out + ".flash"
        if os.path.exists(self.flash_file):
            os.unlink(self.flash_file)
        self.stdout = open(self.out + ".txt", "w")
        self.stderr = open(self.out + ".log", "w")
        # devsim is a Linux program of ours: Wine's preload is not for it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.proc = subprocess.Popen([binary, "--link", self.link, "--dump-flash", self.flash_file] + list(options),
                                     stdout=self.stdout, stderr=self.stderr, env=env)
        for _ in range(200):
            if os.path.islink(self.link):
                return
            time.sleep(0.02)
        raise Failure("devsim made no port at %s" % self.link)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=10)
        self.stdout.close()
        self.stderr.close()

    def report(self):
        with open(self.out + ".txt") as f:
            return f.read()

    def log(self):
        with open(self.out + ".log") as f:
            return f.read()

    def flash(self):
        if not os.path.exists(self.flash_file):
            return b""
        with open(self.flash_file, "rb") as f:
            return f.read()


class Tool:
    """The executable under Wine, its trace and errors captured, driven by window_driver."""

    def __init__(self, wine, exe, driver, out, name="trace"):
        self.wine, self.driver, self.out = wine, driver, out
        self.hwnd = None  # set when several tools run at once
        self.trace_file = os.path.join(out, name + ".txt")
        self.started = time.time()
        self.proc = subprocess.Popen(["wine", exe], env=wine.env, cwd=out,
                                     stdout=open(self.trace_file, "wb"),
                                     stderr=open(os.path.join(out, name + ".stderr.txt"), "wb"))

    def drive(self, *args, timeout=60):
        target = ["--hwnd", self.hwnd] if self.hwnd else []
        r = self.wine.run("wine", self.driver, *target, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)
        return r.returncode, r.stdout.decode("latin-1").replace("\r\n", "\n")

    def must(self, *args, timeout=60):
        code, text = self.drive(*args, timeout=timeout)
        check(code == 0, "window_driver %s failed: %s" % (" ".join(args), text.strip()))
        return text

    def wait_idle(self):
        status = self.must("wait", "30000").strip()
        check(status == "- Idle -", "start-up status %r, not ' - Idle - '" % status)
        return time.time() - self.started

    def ports(self):
        return [p for p in self.must("ports").split("\n") if p]

    def status(self):
        return self.must("status").rstrip("\n")

    def watch(self, until, seconds):
        """Status texts seen until `until` shows, as (ms, text) pairs."""
        code, text = self.drive("watch", until, str(int(seconds * 1000)), timeout=seconds + 30)
        seen = []
        for line in text.split("\n"):
            if line:
                ms, _, status = line.partition(" ")
                seen.append((int(ms), status))
        check(code == 0, "status never became %r; saw %s" % (until, [s for _, s in seen][-6:]))
        return seen

    def trace(self):
        with open(self.trace_file, "rb") as f:
            return f.read().decode("latin-1").replace("\r\n", "\n")

    def wait_exit(self, seconds=20):
        try:
            return self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def cpu_seconds(self):
        """CPU time the tool's process has used so far (user and system)."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def expected_update_lines(image):
    """The trace of one update after the contact phase: link-up, every block, verify, reset."""
    filled = zero_filled(image)
    lines = ["REMOTE DEVICE LINK ESTABLISHED"]
    for offset in range(0, len(filled), BLOCK_SIZE):
        lines.append("PROG ADDR %#x, LEN %#x, FROM %s... - SENT - - OK"
                     % (FLASH_BASE + offset, BLOCK_SIZE, "%#x" % offset if offset else "0"))
    crc = crc16(filled)
    lines += ["Verifying address %#x, image size %#x bytes" % (FLASH_BASE, len(filled)),
              "frame length   13 bytes sent", "Remote CRC %#x" % crc, "Local  CRC %#x" % crc, "CRCs match",
              "Resetting target", "frame length    5 bytes sent", "frame length    5 bytes received & OK"]
    return lines


def check_normal_trace(trace, image, port_name):
    lines = trace.split("\n")
    filled = zero_filled(image)
    head = ["Running on windows version: a00", "", "Flash Image Base 0x8004000",
            "Flash Image Size %#x bytes" % len(filled),
            " . Opening serial port %s at 115200 baud" % port_name]
    check(lines[:5] == head, "trace starts %r" % lines[:5])
    i = 5
    probes = 0
    while i < len(lines) and (lines[i] == "CONTACTING..." or lines[i].startswith("RX:")):
        probes += lines[i] == "CONTACTING..."
        i += 1
    check(probes >= 2, "only %d contact probes before the device answered" % probes)
    check(lines[i - 1].startswith("RX: 04 2b f6"), "no RX dump of the device's answer before link-up")
    expected = expected_update_lines(image)
    got = lines[i:i + len(expected)]
    for n, (want, have) in enumerate(zip(expected, got)):
        check(want == have, "trace line %d is %r, expected %r" % (i + n + 1, have, want))
    check(len(got) == len(expected), "trace ends early after %d lines" % (i + len(got)))
    check(all(not l for l in lines[i + len(expected):]), "trace goes on after the reset: %r" % lines[i + len(expected):][:3])
    return probes


def check_status_sequence(seen, image):
    """What the operator saw must follow the update's order; texts set and replaced within one
    poll ("Program Verified OK", "Programming Completed OK") are never on screen long enough."""
    full = ["Contacting Device...", "Establishing Link..."]
    full += ["programming %#x" % (FLASH_BASE + o) for o in range(0, len(zero_filled(image)), BLOCK_SIZE)]
    full += ["Verifying...", "Program Verified OK", "Resetting target...", "Programming Completed OK",
             "Programming Completed"]
    position = 0
    for _, text in seen:
        if text == " - Idle - ":
            continue
        check(text in full[position:], "status %r out of order (after %r)" % (text, full[position - 1] if position else None))
        position = full.index(text, position) + 1
    texts = [t for _, t in seen]
    for must in ("Establishing Link...", "programming 0x8004000", "Verifying...", "Programming Completed"):
        check(must in texts, "status never showed %r" % must)


def check_flash(devsim, image):
    flash = devsim.flash()
    filled = zero_filled(image)
    check(flash[:len(filled)] == filled, "device flash (%d bytes) differs from the zero-filled image" % len(flash))


class Scenario:
    def __init__(self, args, wine, name):
        self.args, self.wine, self.name = args, wine, name
        self.out = os.path.join(args.out, name)
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        self.devsims = []
        self.tool = None
        self.notes = []

    def devsim(self, port, *options):
        d = Devsim(self.args.devsim, self.wine, port, self.out, *options)
        self.devsims.append(d)
        return d

    def start_tool(self, small=False):
        self.tool = Tool(self.wine, self.args.small_tool if small else self.args.tool, self.args.driver, self.out)
        return self.tool

    def shot(self, label):
        path = os.path.join(self.out, "%s.png" % label)
        self.wine.screenshot(path)
        return path

    def finish(self):
        if self.tool:
            self.tool.kill()
        for d in self.devsims:
            d.stop()
        self.wine.unmap_all_ports()


def image_of(path):
    with open(path, "rb") as f:
        return f.read()


def scenario_normal(s):
    """Normal update of the default image: statuses, trace line by line, flash, exit code 0."""
    image = image_of(s.args.image)
    dev = s.devsim(5, "--plug-in-delay", "1500", "--program-ms", "5")
    tool = s.start_tool()
    s.notes.append("start-up %.2f s" % tool.wait_idle())
    check("\\\\.\\com5" in tool.ports(), "port list %r lacks \\\\.\\com5" % tool.ports())
    s.shot("1-idle")
    tool.must("select", dev.name)
    pressed = time.time()
    tool.must("press")
    seen = tool.watch("programming 0x8010000", 60)
    s.shot("2-programming")
    seen += tool.watch("Programming Completed", 60)
    s.notes.append("press to completed %.1f s" % (time.time() - pressed))
    s.shot("3-completed")
    check_status_sequence(seen, image)
    tool.must("close")
    code = tool.wait_exit()
    check(code == 0, "exit code %r after closing the window" % code)
    dev.stop()
    probes = check_normal_trace(tool.trace(), image, dev.name)
    s.notes.append("%d probes before link-up" % probes)
    check_flash(dev, image)
    check("blocks 113, rewrites 0, queries 1, resets 1" in dev.report(), "devsim saw: %s" % dev.report().strip())


def scenario_faults(s):
    """Dropped, corrupted and noisy replies and late acknowledgements: resends, then success."""
    image = image_of(s.args.small_image)
    dev = s.devsim(5, "--seed", "11", "--drop", "0.06", "--corrupt", "0.06", "--noise", "0.06", "--late", "0.06",
                   "--program-ms", "5", "--plug-in-delay", "500")
    tool = s.start_tool(small=True)
    tool.wait_idle()
    tool.must("select", dev.name)
    tool.must("press")
    seen = tool.watch("Programming Completed", 150)
    check_status_sequence(seen, image)
    tool.must("close")
    check(tool.wait_exit() == 0, "exit code after close")
    dev.stop()
    trace = tool.trace()
    check("TIMEOUT" in trace, "no block was resent; the faults did not bite")
    lines = trace.split("\n")
    for n, line in enumerate(lines[:-1]):
        if line.endswith(" - SENT - TIMEOUT"):
            same = line[:line.index(" - SENT - ")]
            check(lines[n + 1].startswith(same), "after TIMEOUT came %r, not the same block" % lines[n + 1])
    check_flash(dev, image)
    s.notes.append("%d TIMEOUTs; devsim: %s" % (trace.count("TIMEOUT"), dev.report().split("\n")[1]))


def scenario_retry(s):
    """A device whose flash comes out wrong: FAILED, nothing more sent; a retry on the same port
    closes the first handle, opens afresh and completes."""
    image = image_of(s.args.small_image)
    dev = s.devsim(5, "--stuck-offset", "0x123", "--stuck-once", "--program-ms", "5")
    tool = s.start_tool(small=True)
    tool.wait_idle()
    tool.must("select", dev.name)
    tool.must("press")
    tool.watch("FAILED", 60)
    s.shot("1-failed")
    time.sleep(1.0)  # time for anything sent after FAILED to show in the trace
    tool.must("press")
    seen = tool.watch("Programming Completed", 60)
    check(seen[0][1] in ("Contacting Device...", "Establishing Link...", "FAILED"), "retry began with %r" % seen[0][1])
    # Under Wine a second open succeeds even while the first handle is open. The device's side
    # sees the port closed only once no handle is left: had the first one leaked, it would stay
    # open after the update completed, while the tool still runs.
    check(wait_for(lambda: "the tool closed the port" in dev.log(), 3), "the port stayed open after completion")
    tool.must("close")
    check(tool.wait_exit() == 0, "exit code after close")
    dev.stop()
    trace = tool.trace()
    check(trace.count(" . Opening serial port %s" % dev.name) == 2, "expected two opens of the port")
    check("CRC FAIL" in trace and trace.rstrip().endswith("bytes received & OK"), "trace does not show fail then success")
    after_fail = trace.split("CRC FAIL\n", 1)[1].split("\n")[0]
    check(after_fail.startswith(" . Opening serial port"), "after FAILED the tool went on: %r" % after_fail)
    check_flash(dev, image)


def scenario_second_port(s):
    """A press on a second port during an update starts over there at offset 0."""
    image = image_of(s.args.small_image)
    first = s.devsim(5, "--program-ms", "60")
    second = s.devsim(6, "--program-ms", "5")
    tool = s.start_tool(small=True)
    tool.wait_idle()
    ports = tool.ports()
    check(ports.index(first.name) < ports.index(second.name), "ports not in ascending order: %r" % ports)
    tool.must("select", first.name)
    tool.must("press")
    tool.watch("programming 0x8005000", 60)
    tool.must("select", second.name)
    tool.must("press")
    tool.watch("Programming Completed", 60)
    check(wait_for(lambda: "the tool closed the port" in first.log(), 3), "the first port is still open")
    tool.must("close")
    check(tool.wait_exit() == 0, "exit code after close")
    first.stop()
    second.stop()
    trace = tool.trace()
    switch = trace.index(" . Opening serial port %s" % second.name)
    after = trace[switch:].split("\n")
    check(after[1] == "CONTACTING...", "the second port did not start with a contact probe")
    blocks = [l for l in after if l.startswith("PROG ADDR")]
    check(blocks and blocks[0].startswith("PROG ADDR 0x8004000, LEN 0x400, FROM 0..."), "did not start over at offset 0")
    check_flash(second, image)
    check("blocks 16," not in first.report(), "the first device got the whole image")


def scenario_open_fails(s):
    """The chosen port cannot be opened: the fatal report, then exit code 1."""
    dev = s.devsim(7)
    tool = s.start_tool(small=True)
    tool.wait_idle()
    check(dev.name in tool.ports(), "port not listed")
    tool.must("select", dev.name)
    dev.stop()
    if os.path.lexists(dev.link):
        os.unlink(dev.link)
    os.symlink("/nonexistent/pty", dev.link)
    tool.must("press")
    time.sleep(0.5)
    s.shot("1-report")
    report = tool.must("report", "10000")
    lines = report.replace("\r\n", "\n").split("\n")
    check(lines[:4] == ["", "", "An Error has occurred as follows:",
                        "          Unable to open serial port. In use already, or not present"],
          "report begins %r" % lines[:4])
    check(re.fullmatch(r"Error number \d+ reported", lines[4]), "no error number line: %r" % lines[4])
    check(" The program will now abort" in lines, "no closing line")
    code = tool.wait_exit(30)
    check(code == 1, "exit code %r, expected 1" % code)
    s.notes.append(lines[4] + ": " + lines[5].strip())


def scenario_no_ports(s):
    """No COM port at all: empty list, idle, and a press changes nothing."""
    tool = s.start_tool(small=True)
    tool.wait_idle()
    check(tool.ports() == [], "ports listed: %r" % tool.ports())
    check(tool.must("selected").strip() == "-1", "an entry is selected")
    tool.must("press")
    time.sleep(1.0)
    check(tool.status() == " - Idle - ", "status changed to %r" % tool.status())
    check(tool.drive("alive")[0] == 0, "the tool ended")
    check("Opening serial port" not in tool.trace(), "the press tried to open a port")
    tool.must("close")
    check(tool.wait_exit() == 0, "exit code after close")


def scenario_escape(s):
    """Esc does not close the window; the close command does, with exit code 0."""
    tool = s.start_tool(small=True)
    tool.wait_idle()
    tool.must("esc")
    time.sleep(1.0)
    check(tool.drive("alive")[0] == 0 and tool.proc.poll() is None, "Esc closed the window")
    tool.must("close")
    check(tool.wait_exit() == 0, "exit code after close")


def scenario_lost_adapter(s):
    """The adapter is pulled mid-update and plugged back in: the window keeps answering, the
    tool keeps retrying without spinning a core, and a press after re-plugging completes."""
    image = image_of(s.args.small_image)
    dev = s.devsim(5, "--unplug-after-blocks", "5", "--replug-after-ms", "7000", "--program-ms", "5")
    tool = s.start_tool(small=True)
    tool.wait_idle()
    tool.must("select", dev.name)
    tool.must("press")
    check(wait_for(lambda: "adapter pulled" in dev.log(), 30), "the adapter was never pulled")
    cpu_before, since = tool.cpu_seconds(), time.time()
    answers = asked = 0
    while time.time() - since < 5:
        code, _ = tool.drive("status", timeout=5)
        asked += 1
        answers += code == 0
        time.sleep(0.5)
    cpu_share = (tool.cpu_seconds() - cpu_before) / (time.time() - since)
    check(answers == asked, "the window answered %d of %d status reads while the adapter was out" % (answers, asked))
    # Not asserted: under Wine a read on a hung-up pseudo-terminal busy-waits through its whole
    # 100 ms time-out, inside Wine, so the figure shows Wine's cost, not the tool's.
    s.shot("1-adapter-out")
    check(wait_for(lambda: "adapter plugged back in" in dev.log(), 30), "the adapter never came back")
    tool.must("press")
    tool.watch("Programming Completed", 60)
    tool.must("close")
    check(tool.wait_exit() == 0, "exit code after close")
    dev.stop()
    trace = tool.trace()
    check("TIMEOUT" in trace, "no resend while the adapter was out")
    check_flash(dev, image)
    s.notes.append("%.1f%% of a core while the adapter was out" % (100 * cpu_share))


SCENARIOS = {
    "lost_adapter": scenario_lost_adapter,
    "normal": scenario_normal,
    "faults": scenario_faults,
    "retry": scenario_retry,
    "second_port": scenario_second_port,
    "open_fails": scenario_open_fails,
    "no_ports": scenario_no_ports,
    "escape": scenario_escape,
}


def soak(args, wine, runs, seed):
    """Seeded updates of the small image through Wine and a pseudo-terminal, each against a
    freshly powered device with random faults; one tool instance retries on every new device."""
    import random
    rng = random.Random(seed)
    image = image_of(args.small_image)
    s = Scenario(args, wine, "soak")
    counts = {"completed, right flash": 0, "FAILED, wrong flash": 0, "FAILED, right flash": 0,
              "false successes": 0, "hangs": 0}
    try:
        s.devsim(5)  # there at start-up, so the port is listed; each run powers a new device
        tool = s.start_tool(small=True)
        tool.wait_idle()
        for run in range(runs):
            stuck = rng.random() < 0.2
            options = ["--seed", str(rng.randrange(1, 2**31)), "--plug-in-delay", str(rng.randrange(0, 2000)),
                       "--drop", "%.3f" % rng.uniform(0, 0.1), "--corrupt", "%.3f" % rng.uniform(0, 0.1),
                       "--noise", "%.3f" % rng.uniform(0, 0.1), "--late", "%.3f" % rng.uniform(0, 0.1),
                       "--program-ms", "%.1f" % rng.uniform(0, 40), "--answer-us", str(rng.randrange(0, 30000))]
            if rng.random() < 0.1:
                options.append("--echo")
            if stuck:
                options += ["--stuck-offset", str(rng.randrange(0, len(image)))]
            for d in s.devsims:
                d.stop()
            s.devsims = []
            dev = s.devsim(5, *options)
            tool.must("select", dev.name)
            tool.must("press")
            code, text = tool.drive("watch", "Programming Completed|FAILED", "180000", timeout=240)
            final = text.strip().split("\n")[-1].partition(" ")[2] if text.strip() else ""
            dev.stop()
            right = dev.flash()[:len(zero_filled(image))] == zero_filled(image)
            if code != 0:
                verdict = "hangs"
            elif final == "Programming Completed":
                verdict = "completed, right flash" if right else "false successes"
            else:
                verdict = "FAILED, right flash" if right else "FAILED, wrong flash"
            counts[verdict] += 1
            print("  run %2d: %-24s %s" % (run, verdict, " ".join(options)), flush=True)
    finally:
        s.finish()
    print("soak through Wine and a pseudo-terminal: %d runs of %d bytes" % (runs, len(zero_filled(image))))
    for name, n in counts.items():
        print("  %-26s %d" % (name, n))
    return 0 if counts["false successes"] == 0 and counts["hangs"] == 0 else 1


def main_job(args, wine):
    """A whole update of the simulated device with the real executable, for a person to watch."""
    s = Scenario(args, wine, "update")
    image = image_of(args.image)
    try:
        dev = s.devsim(5, "--plug-in-delay", "1500", "--program-ms", "5")
        tool = s.start_tool()
        tool.wait_idle()
        tool.must("select", dev.name)
        if args.manual:
            print("update: select %s and press Update Device in the window" % dev.name, flush=True)
        else:
            tool.must("press")
        started = time.time()
        tool.watch("Programming Completed", 600 if args.manual else 120)
        seconds = time.time() - started
        shot = s.shot("completed")
        tool.must("close")
        tool.wait_exit()
        dev.stop()
        wine.run("wineserver", "-k", stderr=subprocess.DEVNULL)
        print(tool.trace(), end="")
        print("--- devsim")
        print(dev.report(), end="")
        flash_ok = dev.flash()[:len(zero_filled(image))] == zero_filled(image)
        size = len(zero_filled(image))
        print("update: completed: %d bytes in %.1f s from the press, %.0f bytes/s; flash %s; screenshot %s"
              % (size, seconds, size / seconds, "matches the image" if flash_ok else "DIFFERS", shot))
        return 0 if flash_ok else 1
    except Failure as e:
        print("update: FAILED: %s (files in %s)" % (e, s.out))
        return 1
    finally:
        s.finish()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", nargs="+")
    p.add_argument("--tool", help="the executable with the default image")
    p.add_argument("--small-tool", help="the executable with the small test image")
    p.add_argument("--driver", help="window_driver.exe")
    p.add_argument("--devsim", help="the devsim program")
    p.add_argument("--image", default=os.path.join(ROOT, "resources", "firmware.bin"))
    p.add_argument("--small-image")
    p.add_argument("--prefix", default=os.path.join(ROOT, "build", "e2e", "prefix"))
    p.add_argument("--out", default=os.path.join(ROOT, "build", "e2e", "runs"))
    p.add_argument("--display", help="an X display to use instead of a new Xvfb")
    p.add_argument("--manual", action="store_true", help="main job: let the person press the button")
    args = p.parse_args()
    for name in ("tool", "small_tool", "driver", "devsim", "image", "small_image", "prefix", "out"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))

    if args.what == ["stop"]:
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=args.prefix), stderr=subprocess.DEVNULL)
        return 0
    if args.what == ["env"]:
        # For the Wine-run unit tests: the prefix and server made ready, the variables printed.
        wine = Wine(args.prefix, None, windows=False)
        wine.prepare()
        for name, value in wine_environment(args.prefix).items():
            print("export %s='%s'" % (name, value))
        return 0
    wine = Wine(args.prefix, args.display)
    try:
        wine.prepare()
        if args.what == ["update"]:
            return main_job(args, wine)
        if args.what[0] == "soak":
            return soak(args, wine, int(args.what[1]) if len(args.what) > 1 else 20,
                        int(args.what[2]) if len(args.what) > 2 else 1)
        passed = failed = 0
        for name in args.what:
            s = Scenario(args, wine, name)
            started = time.time()
            try:
                SCENARIOS[name](s)
                passed += 1
                print("PASS %-12s %5.1f s  %s" % (name, time.time() - started, "; ".join(s.notes)), flush=True)
            except (Failure, subprocess.TimeoutExpired) as e:
                failed += 1
                print("FAIL %-12s %5.1f s  %s (files in %s)" % (name, time.time() - started, e, s.out), flush=True)
            finally:
                s.finish()
        print("%d passed, %d failed" % (passed, failed))
        return 1 if failed else 0
    finally:
        if wine.xvfb:
            wine.xvfb.terminate()
            wine.xvfb.wait()


if __name__ == "__main__":
    sys.exit(main())
