#!/usr/bin/env python3
"""Runs the real strikewell binary the way a ringer does and checks it from outside.

Each scenario gets its own X server (Xvfb with openbox), a key-logging target window,
a pseudo-terminal as the bell sensor and a tmux terminal of 80x25 in which the
program runs. The program finds its ports itself, so it runs in a private mount
namespace that shows it a made-up /sys/class/tty holding only the sensor's port, and
a private /dev in which that port's name leads to the sensor's pty. No real serial
port can be reached from inside: /dev/ttyS0 does not exist there.

The Windows build runs the same way under Wine (scripts/wine-run), with a pty behind
the prefix's test port COM5 and Wine windows as targets: the wine_* scenarios.

Usage: e2e.py --strikewell EXE [--key-logger EXE] [--modem-shim SO] SCENARIO
       e2e.py --strikewell EXE --wine-run SCRIPT --wine-dir DIR [--key-window EXE]
              [--modem-shim SO] wine_SCENARIO
Exit status: 0 passed, 1 failed, 77 skipped (CTest's SKIP_RETURN_CODE).
"""

import argparse
import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

SKIPPED = 77
PORT = "ttyUSB9"  # the sensor's name in the private /dev
DEVICE_PATH = "\\\\.\\" + PORT  # as the program stores it: \\.\ttyUSB9
SETTINGS = "serialport_strikewell.ini"
TARGET_TITLE = "Ringing Room - practice tower"
SCREEN_ROWS = 25
SCENARIO_LIMIT_S = 100  # CTest's time-out is 120 s
WINE_TEST_PORTS = {5, 6}  # the COM ports of scripts/wine-run's prefix
WINE_PORT = 5  # the sensor's, under Wine


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def wait_for(condition, timeout, what, interval=0.02):
    """Polls condition() until it gives a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def stop_group(proc, grace=2.0):
    """Ends a process started in a session of its own, with everything it started."""
    if proc.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


class Harness:
    """Owns every process and file of one scenario; close() releases them all."""

    def __init__(self, args):
        self.args = args
        self.stack = contextlib.ExitStack()
        self.dir = tempfile.mkdtemp(prefix="strikewell-e2e-")
        self.stack.callback(shutil.rmtree, self.dir, True)
        self.logs = {}  # name -> path, printed when a scenario fails
        self.diagnostics = []  # callables that print state on failure

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def start(self, name, argv, env=None, **kwargs):
        log_path = self.path(name + ".log")
        log = open(log_path, "wb")
        self.stack.callback(log.close)
        self.logs[name] = log_path
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                env=env, start_new_session=True, **kwargs)
        self.stack.callback(stop_group, proc)
        return proc

    def dump(self):
        for show in self.diagnostics:
            with contextlib.suppress(Exception):
                show()
        for name, log_path in self.logs.items():
            try:
                with open(log_path, errors="replace") as f:
                    text = f.read()
            except OSError:
                continue
            if text.strip():
                print(f"--- log of {name} (last 40 lines)")
                print("\n".join(text.splitlines()[-40:]))

    def close(self):
        self.stack.close()


class Display:
    """A private Xvfb display, with openbox as the window manager."""

    def __init__(self, h):
        self.h = h
        read_end, write_end = os.pipe()
        # -displayfd lets the server pick a free display: other test runs share the machine.
        h.stack.callback(os.close, read_end)
        h.start("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                         "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], max(0, deadline - time.monotonic()))[0]:
                raise Failed("Xvfb did not report its display")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise Failed("Xvfb ended before it was ready")
            number += chunk
        self.name = ":" + number.decode().strip()
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": self.name,
                    "HOME": h.path(), "LANG": "C.UTF-8"}

    def start_wm(self):
        # openbox announces itself (_NET_SUPPORTING_WM_CHECK) before it handles map
        # requests, and a window mapped in between stays unmapped: wait for the
        # command that it runs once it is fully up.
        ready = self.h.path("openbox_ready")
        self.h.start("openbox", ["openbox", "--sm-disable", "--startup", "touch " + ready],
                     env=self.env)
        wait_for(lambda: os.path.exists(ready), 20, "openbox to manage the display")

    def run(self, argv, check=True):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=20)
        if check and result.returncode != 0:
            raise Failed(f"{argv[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def xprop_root(self, prop):
        return self.run(["xprop", "-root", prop], check=False)

    def find_window(self, title):
        out = self.run(["xdotool", "search", "--name", title], check=False).split()
        return int(out[0]) if out else None

    def active_window(self):
        match = re.search(r"# (0x[0-9a-f]+)", self.xprop_root("_NET_ACTIVE_WINDOW"))
        return int(match.group(1), 16) if match else None

    def activate(self, window):
        self.run(["xdotool", "windowactivate", "--sync", str(window)])
        wait_for(lambda: self.active_window() == window, 10, f"window {window:#x} in front")


class KeyLogger:
    """The project's X client: a window with a given title that logs every key press."""

    def __init__(self, h, display, title, name):
        if not h.args.key_logger:
            raise Skipped("the key-logging X client was not built")
        self.log_path = h.path(name + ".keys")
        h.start(name, [h.args.key_logger, title, self.log_path], env=display.env)
        self.window = wait_for(self._mapped, 20, f"window '{title}' on the screen")
        h.diagnostics.append(lambda: print(f"--- keys in '{title}': {self.keys()}"))

    def _lines(self):
        try:
            with open(self.log_path) as f:
                return [line.split() for line in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def _mapped(self):
        ids = [int(fields[1], 16) for fields in self._lines() if fields[:1] == ["mapped"]]
        return ids[0] if ids else None

    def presses(self):
        """The key presses so far: (CLOCK_MONOTONIC seconds, keysym name), oldest first.

        The logger writes "press KEYSYM MICROSECONDS" per KeyPress."""
        return [(int(fields[2]) / 1e6, fields[1]) for fields in self._lines()
                if fields[:1] == ["press"] and len(fields) == 3]

    def keys(self):
        return "".join(key if len(key) == 1 else f"<{key}>" for _, key in self.presses())


class Chromium:
    """A real browser as the target: a local page whose title collects the keys typed."""

    PAGE = """<!doctype html>
<title>Ringing Room keys:</title>
<body>Practice tower
<script>
document.addEventListener("keydown", (event) => { document.title += event.key; });
</script>
"""

    def __init__(self, h, display):
        exe = shutil.which("chromium")
        if not exe:
            raise Skipped("chromium is not installed (scripts/setup test installs it)")
        self.display = display
        page = h.path("ringing_room.html")
        with open(page, "w") as f:
            f.write(self.PAGE)
        h.start("chromium", [exe, "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--no-default-browser-check", "--disable-background-networking",
                             "--disable-component-update", "--disable-sync",
                             "--password-store=basic", "--user-data-dir=" + h.path("profile"),
                             "file://" + page], env=display.env)
        self.window = wait_for(lambda: display.find_window("Ringing Room keys:"), 30,
                               "the Chromium window")
        h.diagnostics.append(lambda: print(f"--- Chromium title: {self.title()!r}"))

    def title(self):
        return self.display.run(["xdotool", "getwindowname", str(self.window)], check=False).strip()

    def typed(self):
        """The keys that the page has seen, from its title."""
        match = re.match(r"Ringing Room keys:(\S*)", self.title())
        return match.group(1) if match else None


class Sensor:
    """The bell sensor: a pseudo-terminal whose other side the program opens as its port.

    Bytes written here reach the program as an interface box's characters; the modem
    lines come from a control file that the preloaded shim serves to TIOCMGET."""

    def __init__(self, h, wine_port=None):
        if wine_port is None:
            self.master, self.slave = os.openpty()
            # Raw from the start: a byte written before the program configures the
            # port must not wait for a line end, nor be echoed back.
            tty.setraw(self.slave)
            self.pty = os.ttyname(self.slave)
            h.stack.callback(os.close, self.master)
            h.stack.callback(os.close, self.slave)
        else:
            # The Windows tests' harness owns the convention for the prefix's test
            # ports (a pty behind WINEDIR/ports/comN, locked while in use).
            sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "win32"))
            from com_port_harness import Port
            # The prefix's other test port stays unmapped meanwhile: calibration opens
            # every listed port, and must neither find it nor take it from another test.
            os.makedirs(os.path.join(h.args.wine_dir, "ports"), exist_ok=True)
            for other in WINE_TEST_PORTS - {wine_port}:
                lock = open(os.path.join(h.args.wine_dir, "ports", f"com{other}.lock"), "w")
                h.stack.callback(lock.close)
                fcntl.flock(lock, fcntl.LOCK_EX)
            port = Port(h.args.wine_dir, wine_port)
            h.stack.callback(port.close)
            self.master, self.slave, self.pty = port.master, port.slave, port.slave_name
        self.control = h.path("modem_lines")
        self.set_lines()

    def send(self, data):
        """Writes one sensor event; returns the monotonic time just before it."""
        moment = time.monotonic()
        os.write(self.master, data)
        return moment

    def set_lines(self, *lines):
        """Sets the modem lines that are on ("cts", "dsr", "cd", "ri"); returns the moment."""
        text = " ".join(f"{line}={int(line in lines)}" for line in ("cts", "dsr", "cd", "ri"))
        text += "\n"
        tmp = self.control + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        moment = time.monotonic()
        os.replace(tmp, self.control)
        return moment

    def port_is_free(self):
        """True when no process holds the port: an exclusive lock can be had."""
        fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False
        finally:
            os.close(fd)


class Ringer:
    """strikewell in a tmux terminal of 80x25, seen and typed at as a ringer does."""

    def __init__(self, h, display, sensor, with_shim=False, port_present=True, wine=False):
        self.h = h
        self.sock = f"strikewell-e2e-{os.getpid()}"
        self.work = h.path("work")
        os.makedirs(self.work, exist_ok=True)
        self.rc_path = h.path("rc")
        self.tty_before = h.path("tty_before")
        self.tty_after = h.path("tty_after")
        self.shim_log = h.path("modem_outputs")
        self.shim_env = (f"STRIKEWELL_SHIM_DEVICE={sensor.pty} "
                         f"STRIKEWELL_SHIM_LINES={sensor.control} "
                         f"STRIKEWELL_SHIM_LOG={self.shim_log} ") if with_shim else ""
        if wine:
            script = self._wine_script(with_shim)
        else:
            script = self._namespace_script(sensor, with_shim, port_present)
        conf = h.path("tmux.conf")
        with open(conf, "w") as f:
            f.write("set -g status off\nset -g remain-on-exit on\n")
        self.tmux_base = ["tmux", "-L", self.sock, "-f", conf]
        subprocess.run(self.tmux_base + ["new-session", "-d", "-s", "e2e", "-x", "80", "-y",
                                         str(SCREEN_ROWS), script],
                       env=display.env, check=True, timeout=20)
        h.stack.callback(self._stop)
        self.pane_pid = int(self.tmux("display", "-p", "-t", "e2e", "#{pane_pid}"))
        h.diagnostics.append(self._show)

    def _run_lines(self, command):
        """Runs command in the working folder, keeping its status and the tty's modes."""
        return f"""cd {self.work}
stty -g > {self.tty_before}
set +e
{command}
rc=$?
stty -g > {self.tty_after}
echo $rc > {self.rc_path}
"""

    def _namespace_script(self, sensor, with_shim, port_present):
        """A private /sys/class/tty and /dev (unshare -m), then the program."""
        tree = self.h.path("sys_class_tty")
        make_sysfs_tree(tree, [PORT])
        stage = self.h.path("dev")
        os.makedirs(stage)
        shim = f"LD_PRELOAD={self.h.args.modem_shim} " if with_shim else ""
        link = f'ln -s {sensor.pty} "$stage/{PORT}"' if port_present else ":"
        # The system console gets a name in the private /dev too, leading to a decoy
        # pty: a program that wrongly offered it would list it as a port found.
        decoy_master, decoy_slave = os.openpty()
        self.h.stack.callback(os.close, decoy_master)
        self.h.stack.callback(os.close, decoy_slave)
        decoy = os.ttyname(decoy_slave)
        script = self.h.path("run.sh")
        with open(script, "w") as f:
            f.write(f"""set -e
mount --bind {tree} /sys/class/tty
stage={stage}
mount -t tmpfs -o mode=755 e2edev "$stage"
for n in null zero full random urandom tty ptmx; do
  : > "$stage/$n"; mount --bind /dev/$n "$stage/$n"
done
mkdir "$stage/pts" "$stage/shm"
mount --bind /dev/pts "$stage/pts"
ln -s /proc/self/fd "$stage/fd"
ln -s {decoy} "$stage/ttyS0"
{link}
mount --move "$stage" /dev
""" + self._run_lines(f"{self.shim_env}{shim}{self.h.args.strikewell}"))
        return "unshare -m sh " + script

    def _wine_script(self, with_shim):
        """The Windows build through scripts/wine-run, whose prefix has only test ports."""
        shim = f"STRIKEWELL_WINE_PRELOAD={self.h.args.modem_shim} " if with_shim else ""
        script = self.h.path("run.sh")
        with open(script, "w") as f:
            f.write(self._run_lines(f"{self.shim_env}{shim}{self.h.args.wine_run} "
                                    f"{self.h.args.wine_dir} {self.h.args.strikewell}"))
        return "sh " + script

    def tmux(self, *argv):
        result = subprocess.run(self.tmux_base + list(argv), capture_output=True, text=True,
                                timeout=20)
        if result.returncode != 0:
            raise Failed(f"tmux {argv[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def _stop(self):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.pane_pid, signal.SIGKILL)
        subprocess.run(self.tmux_base + ["kill-server"], capture_output=True, timeout=20)

    def _show(self):
        print("--- screen:")
        print(self.screen_text())

    def screen(self):
        """The 25 rows of the terminal, trailing blanks removed."""
        rows = self.tmux("capture-pane", "-p", "-t", "e2e").split("\n")[:SCREEN_ROWS]
        rows += [""] * (SCREEN_ROWS - len(rows))
        return [row.rstrip() for row in rows]

    def screen_text(self):
        return "\n".join(f"{n + 1:2}|{row}" for n, row in enumerate(self.screen()))

    def wait_rows(self, predicate, timeout, what):
        """Waits until predicate(screen rows) holds; returns those rows."""
        found = []

        def check():
            rows = self.screen()
            if predicate(rows):
                found.append(rows)
                return True
            return False

        wait_for(check, timeout, what)
        return found[0]

    def wait_text(self, text, timeout=10):
        return self.wait_rows(lambda rows: any(text in row for row in rows), timeout,
                              f"'{text}' on the screen")

    def type(self, text):
        self.tmux("send-keys", "-t", "e2e", "-l", text)

    def press(self, key):
        self.tmux("send-keys", "-t", "e2e", key)

    def exit_status(self):
        try:
            with open(self.rc_path) as f:
                text = f.read().strip()
        except FileNotFoundError:
            return None
        return int(text) if text else None

    def wait_exit(self, timeout=10):
        return wait_for(lambda: self.exit_status() is not None or None, timeout,
                        "the program to end") and self.exit_status()

    def terminal_restored(self):
        with open(self.tty_before) as b, open(self.tty_after) as a:
            return b.read() == a.read()


def make_sysfs_tree(tree, ports):
    """A /sys/class/tty as the kernel shows it for a USB serial adapter, next to the
    system console on a real UART (ttyS0), which the program must leave out."""
    entries = {"console": None, "ptmx": None, "tty": None, "tty0": None, "ttyS0": "serial8250"}
    entries.update({port: "usbserial" for port in ports})
    for name, driver in entries.items():
        os.makedirs(os.path.join(tree, name))
        if driver:
            os.makedirs(os.path.join(tree, name, "device", "driver"))
            with open(os.path.join(tree, name, "device", "driver", "name"), "w") as f:
                f.write(driver + "\n")
        if name.startswith("ttyS"):
            with open(os.path.join(tree, name, "type"), "w") as f:
                f.write("4\n")  # PORT_16550A: a UART is present
    with open(os.path.join(tree, "console", "active"), "w") as f:
        f.write("ttyS0\n")


# What a start prints before anything else. Two lines are the program's own choice
# (its attribution and the web address of the ringing service), so only their shape
# is fixed here.
BANNER = [
    "Serialport_Strikewell_v0.5.2.1.1_with_sendkey, 9 June 2020",
    "Counts bell rotations using serial port bell sensor input",
    "May not run correctly, but will not damage anything - please report problems",
    re.compile(r"\S.*"),
    "This uses the same bell sensor data as used by Abel, Beltower etc.",
    "for individual sensors.  This version can use Bagley box output (ASCII chars)",
    "It self calibrates by detecting the sensor signals from a handstroke and",
    "backstroke pull, then saves the settings.  Count can be reset to zero",
    "In use it counts the bell blows and displays them on screen, with speed",
    re.compile(r"Sends j key to \S+ window, WHICH MUST BE ALREADY OPEN"),
]


def wrapped(text, width=80):
    """A line as the terminal shows it: cut into rows of the screen's width."""
    return [text[i:i + width] for i in range(0, len(text), width)] or [""]


def check_screen(rows, expected, what):
    """Compares the whole screen: the expected rows (texts or patterns), then blanks."""
    expected = expected + [""] * (len(rows) - len(expected))
    for n, (row, want) in enumerate(zip(rows, expected)):
        ok = want.fullmatch(row) if isinstance(want, re.Pattern) else row == want
        if not ok:
            shown = want.pattern if isinstance(want, re.Pattern) else want
            raise Failed(f"{what}: row {n + 1} is {row!r}, want {shown!r}")


def settings_bytes(port, cts=0, dsr=0, cd=0, ri=0, dat=0, datnum=0, sensornum=1, delay=0):
    fields = [port, cts, dsr, cd, ri, dat, datnum, sensornum, delay]
    return "".join(f"{field}\r\n" for field in fields).encode()


def count_line(rows):
    """The count line of the counter screen as (count, elapsed), or None."""
    match = re.match(r"count =(-?\d+) time from first blow=(-?\d+) secs$", rows[20])
    return (int(match.group(1)), int(match.group(2))) if match else None


def speed_line(count, elapsed):
    """The statistics line that belongs with a count line: the average interval and
    the peal time of 5040 changes (84 minutes per second of interval)."""
    intervals = count - 1
    peal_minutes = elapsed * 84 / intervals
    hours = int(peal_minutes) // 60

    def single(value):  # shown in single precision
        return struct.unpack("f", struct.pack("f", value))[0]

    return (f" APPROX Ave interval={single(elapsed / intervals):8.2f} secs peal speed={hours} "
            f"hrs:{single(peal_minutes - hours * 60):8.2f} mins")


def shown_count(rows):
    line = count_line(rows)
    return line[0] if line else None


def glyph_cells(rows):
    """The four 20-column cells of the big digits, rows 1 to 18."""
    return [tuple(row[c * 20:(c + 1) * 20].rstrip() for row in rows[:18]) for c in range(4)]


class Strikes:
    """Sensor event times against the key presses that they caused."""

    def __init__(self, delay_ms):
        self.delay = delay_ms / 1000.0
        self.errors = []  # (key time - event time) - bell delay, in seconds

    def add(self, event_time, key_time):
        self.errors.append(key_time - event_time - self.delay)

    def check_and_report(self, label):
        if not self.errors:
            return
        ms = sorted(e * 1000 for e in self.errors)
        print(f"strike-time error ({label}, bell delay {self.delay * 1000:.0f} ms, "
              f"{len(ms)} blows): median {statistics.median(ms):.2f} ms, "
              f"worst {max(ms, key=abs):.2f} ms, min {ms[0]:.2f} ms, max {ms[-1]:.2f} ms")
        # Sanity only: the key can never come before the delay has passed, and a
        # second late means the delay or the redraw is plainly broken.
        if ms[0] < -1.0 or ms[-1] > 1000.0:
            raise Failed(f"key presses outside [delay, delay + 1 s] of their sensor events: {ms}")


def new_keys(logger, before, timeout, count, what):
    """Waits until logger has count presses more than before; returns the new ones."""
    got = wait_for(lambda: len(logger.presses()) >= before + count and logger.presses(),
                   timeout, what)
    return got[before:]


# ---------------------------------------------------------------------------- scenarios


def common_setup(h, with_logger=True):
    display = Display(h)
    display.start_wm()
    target = KeyLogger(h, display, TARGET_TITLE, "target") if with_logger else None
    return display, target


def counter_at_zero_fault(rows):
    """What is wrong with the counter screen at 0, or None: it is the 0 glyph alone,
    right-aligned and symmetric top to bottom, then the count line and the key line."""
    cells = glyph_cells(rows)
    zero = cells[3]
    if cells[:3] != [("",) * 18] * 3 or set("".join(zero)) != {" ", "*"}:
        return "count 0 is not one glyph of asterisks in the rightmost cell"
    if zero[9:] != zero[8::-1]:
        return "the glyph of 0 is not symmetric top to bottom"
    try:
        check_screen(rows, [re.compile(".*")] * 18 + [
            "", "", "count =0 time from first blow=0 secs", "", "0 will zero counter;  Q=Quit"],
            "the counter screen at 0")
    except Failed as e:
        return str(e)
    return None


def wait_counter_at_zero(ringer, timeout):
    """Waits for the whole counter screen at 0: a screen is drawn piece by piece, and
    under Wine slowly enough to be caught half-drawn."""
    rows = ringer.wait_rows(lambda rows: count_line(rows) == (0, 0), timeout,
                            "the counter screen at 0")
    with contextlib.suppress(Failed):
        rows = ringer.wait_rows(lambda rows: counter_at_zero_fault(rows) is None, 2,
                                "the whole counter screen at 0")
    fault = counter_at_zero_fault(rows)
    if fault:
        raise Failed(fault)
    return rows


def expect_key_send_test(ringer, target):
    ringer.wait_text("Target window is " + TARGET_TITLE)
    ringer.wait_text("Key send test - a round")
    digits = new_keys(target, 0, 10, 8, "the digits 1 to 8 in the target")
    if "".join(k for _, k in digits) != "12345678":
        raise Failed(f"key-send test typed {target.keys()!r}, not 12345678")
    gaps = [round((b[0] - a[0]) * 1000) for a, b in zip(digits, digits[1:])]
    print(f"key-send test: gaps between digits {gaps} ms")
    wait_counter_at_zero(ringer, 10)


def ring_data_blows(ringer, sensor, target, n, strikes, byte=b"1", gap=0.45):
    """Rings n blows on an interface box; checks count and one J per blow."""
    first_count = shown_count(ringer.screen())
    for i in range(n):
        before = len(target.presses())
        moment = sensor.send(byte)
        key = new_keys(target, before, 5, 1, f"the J of blow {i + 1}")[0]
        if key[1] != "j":
            raise Failed(f"blow {i + 1} pressed {key[1]!r}, not j")
        strikes.add(moment, key[0])
        want = first_count + i + 1
        ringer.wait_rows(lambda rows: shown_count(rows) == want, 5,
                         f"count ={want}")
        time.sleep(max(0.0, moment + gap - time.monotonic()))  # the ringer's rhythm


def quit_and_check_release(ringer, sensor):
    if sensor.port_is_free():
        raise Failed("the sensor port is not held while counting: another program could open it")
    ringer.type("Q")
    status = ringer.wait_exit()
    if status != 0:
        raise Failed(f"exit status {status} after Q")
    if not sensor.port_is_free():
        raise Failed("the sensor port is still held after the program ended")
    if not ringer.terminal_restored():
        raise Failed("the terminal's modes differ after the program ended")


def scenario_first_run_interface_box(h):
    """No settings file: calibrate on an interface box, save, key-send test, count."""
    display, target = common_setup(h)
    sensor = Sensor(h)
    ringer = Ringer(h, display, sensor)
    rows = ringer.wait_text("(y/N)")
    # No question about a calibration, and one port found: the sensor's, as number 1.
    check_screen(rows, BANNER + [
        "Calibration...",
        "Checking possible serial ports...",
        "1 " + DEVICE_PATH + " found",
        "Most simulator bells use the control signals as input",
        *wrapped("Are you using a Bagley box or similar which sends characters to the "
                 "serial port? (y/N)")], "the screen at the interface box question")
    ringer.type("y")
    ringer.wait_text("List of Port inputs...")
    # Whatever arrives within the clock second in which sampling starts is absorbed.
    time.sleep(1.05 - time.time() % 1.0)
    sensor.send(b"1")  # handstroke
    time.sleep(1.2)
    sensor.send(b"1")  # backstroke
    rows = ringer.wait_text("Give the delay in milliseconds", timeout=15)
    start = rows.index("List of Port inputs...")
    check_screen(rows[start:], [
        "List of Port inputs...",
        re.compile(rf'1 Port:{PORT} pulse:1 time:[12] data="1"'),
        re.compile(rf'1 Port:{PORT} pulse:2 time:[23] data="1"'),
        "",
        "Summary: input detected on these ports:",
        re.compile(rf"1 Port {PORT} pulses:2 duration:[12]"),
        "Total pulses 2 implies     1.00 sensors on bell",
        "Give the delay in milliseconds between the sensor input and strike point",
        "Use the delay setting in Abel as a starting point",
    ], "the calibration listing")
    ringer.type("250ms")
    ringer.press("Enter")
    ringer.wait_text("Input 250ms not an integer, try again")
    ringer.type("250")
    ringer.press("Enter")
    expect_key_send_test(ringer, target)
    with open(os.path.join(ringer.work, SETTINGS), "rb") as f:
        saved = f.read()
    want = settings_bytes(DEVICE_PATH, dat=1, datnum=ord("1"), sensornum=1, delay=250)
    if saved != want:
        raise Failed(f"settings file holds {saved!r}, want {want!r}")
    strikes = Strikes(250)
    start_rows = ringer.screen()
    ring_data_blows(ringer, sensor, target, 11, strikes)
    # A character other than the box's counts nothing.
    sensor.send(b"2")
    time.sleep(0.3)
    rows = ringer.screen()
    if shown_count(rows) != 11 or target.keys()[-1] != "j" or target.keys().count("j") != 11:
        raise Failed(f"a foreign character counted: {count_line(rows)}, keys {target.keys()!r}")
    # The big digits of 11 are the 1 of count 1 twice; count 0 shows the 0 glyph alone.
    cells = glyph_cells(rows)
    if cells[0] != ("",) * 18 or cells[1] != ("",) * 18 or cells[2] != cells[3]:
        raise Failed("count 11 is not drawn as two equal glyphs in the two right cells")
    if cells[3] == glyph_cells(start_rows)[3] or not any("*" in r for r in cells[3]):
        raise Failed("the glyph of 1 is missing or looks like the glyph of 0")
    if rows[21] != speed_line(*count_line(rows)):
        raise Failed(f"speed line {rows[21]!r}, want {speed_line(*count_line(rows))!r}")
    if rows[22] != "0 will zero counter;  Q=Quit":
        raise Failed(f"key line {rows[22]!r}")
    strikes.check_and_report("interface box")
    quit_and_check_release(ringer, sensor)


def scenario_cts_two_pulses(h):
    """Saved settings for a CTS sensor with two pulses per blow, reused with Enter."""
    if not h.args.modem_shim:
        raise Skipped("the modem-line shim was not built")
    display, target = common_setup(h)
    sensor = Sensor(h)
    delay = 120
    work = h.path("work")
    os.makedirs(work)
    # Named by its own path below /dev ("\\.\pts/N"), not by the listed ttyUSB9.
    pty_path = "\\\\.\\" + os.path.relpath(sensor.pty, "/dev")
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(settings_bytes(pty_path, cts=1, sensornum=2, delay=delay))
    ringer = Ringer(h, display, sensor, with_shim=True)
    ringer.wait_text("Use existing calibration? (Y/n)")
    ringer.press("Enter")
    expect_key_send_test(ringer, target)
    strikes = Strikes(delay)
    for blow in range(1, 7):
        before = len(target.presses())
        # Two sensor passages per blow, each an on and an off of CTS.
        sensor.set_lines("cts")
        time.sleep(0.06)
        sensor.set_lines()
        rows = ringer.screen()
        if shown_count(rows) != blow - 1 or len(target.presses()) != before:
            raise Failed(f"blow {blow} counted after its first pulse: {count_line(rows)}")
        time.sleep(0.1)
        moment = sensor.set_lines("cts")
        key = new_keys(target, before, 5, 1, f"the J of blow {blow}")[0]
        if key[1] != "j":
            raise Failed(f"blow {blow} pressed {key[1]!r}")
        strikes.add(moment, key[0])
        time.sleep(0.06)
        sensor.set_lines()
        ringer.wait_rows(lambda rows: shown_count(rows) == blow, 5, f"count ={blow}")
        time.sleep(0.25)
    if target.keys() != "12345678" + "j" * 6:
        raise Failed(f"target received {target.keys()!r}")
    with open(ringer.shim_log) as f:
        outputs = f.read().splitlines()
    if not outputs or not outputs[-1].endswith(" rts=1 dtr=1"):
        raise Failed(f"RTS and DTR are not both on for the sensor: {outputs}")
    strikes.check_and_report("CTS, 2 pulses per blow")
    quit_and_check_release(ringer, sensor)


def start_counting_on_box(h, delay=0):
    display, target = common_setup(h)
    sensor = Sensor(h)
    work = h.path("work")
    os.makedirs(work)
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(settings_bytes(DEVICE_PATH, dat=1, datnum=ord("A"), sensornum=1, delay=delay))
    ringer = Ringer(h, display, sensor)
    ringer.wait_text("Use existing calibration? (Y/n)")
    ringer.type("y")
    expect_key_send_test(ringer, target)
    return display, target, sensor, ringer


def scenario_focus_lost(h):
    """Another window in front: the notice, no J for that blow, the count kept."""
    display, target, sensor, ringer = start_counting_on_box(h)
    other = KeyLogger(h, display, "Notes - text editor", "other")
    display.activate(target.window)
    strikes = Strikes(0)
    ring_data_blows(ringer, sensor, target, 1, strikes, byte=b"A")
    display.activate(other.window)
    before = len(target.presses())
    sensor.send(b"A")
    rows = ringer.wait_text("Keystrokes will be sent when focus is resumed")
    if rows[:3] != ["Ringing Room is not the focus window - Key sending suspended",
                    "Keystrokes will be sent when focus is resumed", ""]:
        raise Failed("the suspension notice is not alone on a cleared screen")
    display.activate(target.window)
    # Sent during the 8 s pause: the box's character waits in the port's queue.
    sensor.send(b"A")
    ringer.wait_rows(lambda rows: shown_count(rows) == 3, 15, "count =3")
    new_keys(target, before, 5, 1, "the J after focus came back")
    if target.keys() != "12345678jj" or other.keys() != "":
        raise Failed(f"target got {target.keys()!r}, other window got {other.keys()!r}")
    strikes.check_and_report("interface box, focus test")
    quit_and_check_release(ringer, sensor)


def scenario_zero_quit_release(h):
    """"0" zeroes the count and restarts the timing; Q ends and frees port and terminal."""
    display, target, sensor, ringer = start_counting_on_box(h, delay=30)
    zero_rows = ringer.screen()
    strikes = Strikes(30)
    ring_data_blows(ringer, sensor, target, 3, strikes, byte=b"A", gap=0.3)
    ringer.type("0")
    rows = wait_counter_at_zero(ringer, 5)
    if rows[:18] != zero_rows[:18] or rows[21:] != zero_rows[21:]:
        raise Failed("the screen after 0 differs from the counter screen at the start")
    ring_data_blows(ringer, sensor, target, 2, strikes, byte=b"A", gap=0.3)
    if target.keys() != "12345678" + "j" * 5:
        raise Failed(f"target received {target.keys()!r}")
    strikes.check_and_report("interface box, zeroed")
    quit_and_check_release(ringer, sensor)


def scenario_absent_port(h):
    """Saved settings name a port that is gone: the message, Enter ends with status 0."""
    display, _ = common_setup(h, with_logger=False)
    sensor = Sensor(h)
    work = h.path("work")
    os.makedirs(work)
    saved = settings_bytes(DEVICE_PATH, cts=1, sensornum=2, delay=250)
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(saved)
    ringer = Ringer(h, display, sensor, port_present=False)
    ringer.wait_text("Use existing calibration? (Y/n)")
    ringer.type("y")
    ringer.wait_text("Open of serial failed - aborting - recalibrate!")
    if ringer.exit_status() is not None:
        raise Failed("ended before Enter")
    ringer.press("Enter")
    status = ringer.wait_exit()
    if status != 0:
        raise Failed(f"exit status {status}")
    with open(os.path.join(work, SETTINGS), "rb") as f:
        if f.read() != saved:
            raise Failed("the settings file changed")
    if not ringer.terminal_restored():
        raise Failed("the terminal's modes differ after the program ended")


def scenario_no_target(h):
    """No window titled Ringing Room: the not-found message and the end after Enter."""
    display, _ = common_setup(h, with_logger=False)
    other = KeyLogger(h, display, "Ringing practice notes", "other")
    sensor = Sensor(h)
    work = h.path("work")
    os.makedirs(work)
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(settings_bytes(DEVICE_PATH, dat=1, datnum=49, sensornum=1, delay=0))
    ringer = Ringer(h, display, sensor)
    ringer.wait_text("Use existing calibration? (Y/n)")
    ringer.type("y")
    rows = ringer.wait_text("Ending program press Q to exit")
    if rows[:3] != ["The required target window (Ringing Room) NOT FOUND",
                    "Ending program press Q to exit", ""]:
        raise Failed("the not-found message is not alone on a cleared screen")
    ringer.type("Q")
    time.sleep(0.2)
    if ringer.exit_status() is not None:
        raise Failed("ended before Enter")
    ringer.press("Enter")
    status = ringer.wait_exit()
    if status != 0:
        raise Failed(f"exit status {status}")
    if other.keys() != "":
        raise Failed(f"keys were sent to another window: {other.keys()!r}")
    if not sensor.port_is_free():
        raise Failed("the sensor port is still held after the program ended")


def scenario_chromium_target(h):
    """A real browser page titled Ringing Room receives the test round and the blows."""
    display = Display(h)
    display.start_wm()
    browser = Chromium(h, display)
    sensor = Sensor(h)
    work = h.path("work")
    os.makedirs(work)
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(settings_bytes(DEVICE_PATH, dat=1, datnum=ord("A"), sensornum=1, delay=0))
    ringer = Ringer(h, display, sensor)
    ringer.wait_text("Use existing calibration? (Y/n)")
    ringer.type("y")
    ringer.wait_text("Target window is Ringing Room keys:")
    wait_for(lambda: browser.typed() == "12345678", 10, "the digits 1 to 8 in the page")
    ringer.wait_rows(lambda rows: count_line(rows) == (0, 0), 10, "the counter screen at 0")
    for blow in range(1, 4):
        sensor.send(b"A")
        ringer.wait_rows(lambda rows: shown_count(rows) == blow, 5, f"count ={blow}")
        wait_for(lambda: browser.typed() == "12345678" + "j" * blow, 5, f"the J of blow {blow}")
        time.sleep(0.3)
    quit_and_check_release(ringer, sensor)


# ---------------------------------------------------------------- the Windows build

WINE_DEVICE_PATH = f"\\\\.\\COM{WINE_PORT}"


class WineKeyWindow:
    """The Windows tests' target: a Wine window with a given title that logs its
    WM_KEYDOWN messages ("keydown VK SCAN"). It logs no times, so a thread here
    notes when each line appears (to about a millisecond)."""

    def __init__(self, h, display, title, name):
        if not h.args.key_window:
            raise Skipped("the Windows key window was not built")
        self.log_path = h.path(name + ".keys")
        self.seen = []  # monotonic time at which each line of the log was first seen
        stop = threading.Event()
        watcher = threading.Thread(target=self._watch, args=(stop,), daemon=True)
        watcher.start()
        h.stack.callback(watcher.join)
        h.stack.callback(stop.set)
        # Wine takes a Unix path as one on the current drive; Z: is the root.
        windows_path = "Z:" + self.log_path.replace("/", "\\")
        h.start(name, [h.args.wine_run, h.args.wine_dir, h.args.key_window, title, windows_path],
                env=display.env)
        wait_for(lambda: any(f[:1] == ["created"] for f in self._lines()), 60,
                 f"the Wine window '{title}'")
        self.window = wait_for(lambda: display.find_window(title), 10,
                               f"the X window of '{title}'")
        h.diagnostics.append(lambda: print(f"--- keys in '{title}': {self.keys()!r}"))

    def _watch(self, stop):
        while not stop.wait(0.001):
            lines = len(self._lines())
            now = time.monotonic()
            self.seen.extend([now] * (lines - len(self.seen)))

    def _lines(self):
        try:
            with open(self.log_path) as f:
                return [line.split() for line in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def press_times(self):
        """When each WM_KEYDOWN was seen in the log, oldest first."""
        lines = self._lines()
        return [t for t, fields in zip(self.seen, lines) if fields[:1] == ["keydown"]]

    def keys(self):
        """Key presses as text: digits and letters (lower case), others as <0xVK>."""
        text = ""
        for fields in self._lines():
            if fields[:1] == ["keydown"]:
                vk = int(fields[1], 16)
                if 0x30 <= vk <= 0x39 or 0x41 <= vk <= 0x5A:
                    text += chr(vk).lower()
                else:
                    text += f"<{fields[1]}>"
        return text


def wine_answer(ringer, keys, then, timeout=20):
    """Types keys and waits for the text that follows. Wine's console shown in a
    terminal passes keys on only to a program that reads or peeks at its input."""
    ringer.type(keys)
    try:
        return ringer.wait_text(then, timeout)
    except Failed as e:
        raise Failed(f"{e}: did the Windows console take the key {keys!r}?") from e


def wine_settings(h, device_path):
    work = h.path("work")
    os.makedirs(work)
    saved = settings_bytes(device_path, dat=1, datnum=ord("A"), sensornum=1, delay=0)
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(saved)
    return saved


def scenario_wine_absent_port(h):
    """Windows build: saved settings name a COM port that is not there."""
    display = Display(h)
    saved = wine_settings(h, "\\\\.\\COM7")
    sensor = Sensor(h, wine_port=WINE_PORT)
    ringer = Ringer(h, display, sensor, wine=True)
    ringer.wait_text("Use existing calibration? (Y/n)", timeout=30)
    wine_answer(ringer, "y", "Open of serial failed - aborting - recalibrate!")
    ringer.press("Enter")
    status = ringer.wait_exit(20)
    if status != 0:
        raise Failed(f"exit status {status}")
    with open(os.path.join(ringer.work, SETTINGS), "rb") as f:
        if f.read() != saved:
            raise Failed("the settings file changed")


def scenario_wine_no_target(h):
    """Windows build: the port opens, no window is titled Ringing Room."""
    display = Display(h)
    wine_settings(h, WINE_DEVICE_PATH)
    sensor = Sensor(h, wine_port=WINE_PORT)
    ringer = Ringer(h, display, sensor, wine=True)
    ringer.wait_text("Use existing calibration? (Y/n)", timeout=30)
    rows = wine_answer(ringer, "y", "Ending program press Q to exit")
    if rows[:3] != ["The required target window (Ringing Room) NOT FOUND",
                    "Ending program press Q to exit", ""]:
        raise Failed("the not-found message is not alone on a cleared screen")
    ringer.type("Q")
    ringer.press("Enter")
    status = ringer.wait_exit(20)
    if status != 0:
        raise Failed(f"exit status {status}")


def wine_calibrate(ringer, sensor, box, delay):
    """Calibrates the Windows build on the test COM port and checks the saved file."""
    rows = ringer.wait_text("(y/N)", timeout=30)
    found = [row.split(" ", 1)[1] for row in rows if row.endswith(" found")]
    if found != [WINE_DEVICE_PATH + " found"]:
        raise Failed(f"ports found: {found}, want COM{WINE_PORT} alone")
    wine_answer(ringer, "y" if box else "n", "List of Port inputs...")
    time.sleep(1.05 - time.time() % 1.0)
    for _ in range(2):  # handstroke, backstroke
        if box:
            sensor.send(b"A")
        else:
            sensor.set_lines("cts")
            time.sleep(0.15)
            sensor.set_lines()
        time.sleep(1.2)
    rows = ringer.wait_text("Give the delay in milliseconds", timeout=15)
    totals = ("Total pulses 2 implies     1.00 sensors on bell" if box else
              "Total ON pulses:2 implies     1.00 sensors on bell")
    if totals not in rows:
        raise Failed(f"calibration did not show {totals!r}")
    ringer.type(str(delay))
    ringer.press("Enter")
    wait_for(lambda: os.path.exists(os.path.join(ringer.work, SETTINGS)), 10,
             "the settings file")
    want = (settings_bytes(WINE_DEVICE_PATH, dat=1, datnum=ord("A"), sensornum=1, delay=delay)
            if box else settings_bytes(WINE_DEVICE_PATH, cts=1, sensornum=1, delay=delay))

    def saved():
        with open(os.path.join(ringer.work, SETTINGS), "rb") as f:
            return f.read()

    with contextlib.suppress(Failed):
        wait_for(lambda: saved() == want, 5, "the whole settings file")
    if saved() != want:
        raise Failed(f"settings file holds {saved()!r}, want {want!r}")


def scenario_wine_first_run_box(h):
    """Windows build, first run on an interface box: calibrate, key-send test into a
    Wine window titled Ringing Room, count, zero, quit."""
    display = Display(h)
    display.start_wm()
    target = WineKeyWindow(h, display, TARGET_TITLE, "target")
    sensor = Sensor(h, wine_port=WINE_PORT)
    ringer = Ringer(h, display, sensor, wine=True)
    wine_calibrate(ringer, sensor, box=True, delay=40)
    ringer.wait_text("Target window is " + TARGET_TITLE, timeout=20)
    wait_for(lambda: target.keys() == "12345678", 15, "the digits 1 to 8 in the Wine window")
    wait_counter_at_zero(ringer, 15)
    strikes = Strikes(40)
    for blow in range(1, 6):
        moment = sensor.send(b"A")
        ringer.wait_rows(lambda rows: shown_count(rows) == blow, 10, f"count ={blow}")
        wait_for(lambda: target.keys() == "12345678" + "j" * blow, 10, f"the J of blow {blow}")
        wait_for(lambda: len(target.press_times()) == 8 + blow, 1, "the time of the J")
        strikes.add(moment, target.press_times()[-1])
        time.sleep(0.3)
    strikes.check_and_report("Wine, interface box, key seen in the window's log")
    ringer.type("0")
    wait_counter_at_zero(ringer, 10)
    sensor.send(b"A")
    ringer.wait_rows(lambda rows: shown_count(rows) == 1, 10, "count =1 after zeroing")
    wait_for(lambda: target.keys() == "12345678jjjjjj", 10, "the J of the blow after zeroing")
    ringer.type("Q")
    status = ringer.wait_exit(20)
    if status != 0:
        raise Failed(f"exit status {status} after Q")


def scenario_wine_focus_lost(h):
    """Windows build: another Wine window in front; the notice, no J, the count kept."""
    display = Display(h)
    display.start_wm()
    target = WineKeyWindow(h, display, TARGET_TITLE, "target")
    wine_settings(h, WINE_DEVICE_PATH)
    sensor = Sensor(h, wine_port=WINE_PORT)
    ringer = Ringer(h, display, sensor, wine=True)
    ringer.wait_text("Use existing calibration? (Y/n)", timeout=30)
    wine_answer(ringer, "y", "Target window is " + TARGET_TITLE)
    wait_for(lambda: target.keys() == "12345678", 15, "the digits 1 to 8 in the Wine window")
    ringer.wait_rows(lambda rows: count_line(rows) == (0, 0), 15, "the counter screen at 0")
    other = WineKeyWindow(h, display, "Notes - text editor", "other")
    display.activate(other.window)
    sensor.send(b"A")
    rows = ringer.wait_text("Keystrokes will be sent when focus is resumed", timeout=10)
    if rows[:3] != ["Ringing Room is not the focus window - Key sending suspended",
                    "Keystrokes will be sent when focus is resumed", ""]:
        raise Failed("the suspension notice is not alone on a cleared screen")
    display.activate(target.window)
    sensor.send(b"A")
    ringer.wait_rows(lambda rows: shown_count(rows) == 2, 15, "count =2")
    wait_for(lambda: target.keys() == "12345678j", 10, "the J after focus came back")
    if other.keys() != "":
        raise Failed(f"the other window got keys: {other.keys()!r}")
    ringer.type("Q")
    status = ringer.wait_exit(20)
    if status != 0:
        raise Failed(f"exit status {status} after Q")


def scenario_wine_cts_two_pulses(h):
    """Windows build: saved settings for a CTS sensor with two pulses per blow."""
    if not h.args.modem_shim:
        raise Skipped("the modem-line shim for Wine was not built")
    display = Display(h)
    display.start_wm()
    target = WineKeyWindow(h, display, TARGET_TITLE, "target")
    work = h.path("work")
    os.makedirs(work)
    with open(os.path.join(work, SETTINGS), "wb") as f:
        f.write(settings_bytes(WINE_DEVICE_PATH, cts=1, sensornum=2, delay=60))
    sensor = Sensor(h, wine_port=WINE_PORT)
    ringer = Ringer(h, display, sensor, with_shim=True, wine=True)
    ringer.wait_text("Use existing calibration? (Y/n)", timeout=30)
    ringer.press("Enter")
    ringer.wait_text("Target window is " + TARGET_TITLE, timeout=20)
    wait_for(lambda: target.keys() == "12345678", 15, "the digits 1 to 8 in the Wine window")
    ringer.wait_rows(lambda rows: count_line(rows) == (0, 0), 15, "the counter screen at 0")
    strikes = Strikes(60)
    # Longer pulses than on Linux: every pass of the loop under Wine goes through the
    # wineserver and the console host, and on a busy machine a pass can take 100 ms.
    for blow in range(1, 4):
        sensor.set_lines("cts")
        time.sleep(0.3)
        sensor.set_lines()
        time.sleep(0.3)
        if shown_count(ringer.screen()) != blow - 1:
            raise Failed(f"blow {blow} counted after its first pulse")
        moment = sensor.set_lines("cts")
        wait_for(lambda: target.keys() == "12345678" + "j" * blow, 10, f"the J of blow {blow}")
        wait_for(lambda: len(target.press_times()) == 8 + blow, 1, "the time of the J")
        strikes.add(moment, target.press_times()[-1])
        sensor.set_lines()
        ringer.wait_rows(lambda rows: shown_count(rows) == blow, 10, f"count ={blow}")
        time.sleep(0.3)
    strikes.check_and_report("Wine, CTS, 2 pulses per blow, key seen in the window's log")
    ringer.type("q")
    status = ringer.wait_exit(20)
    if status != 0:
        raise Failed(f"exit status {status} after q")


def scenario_wine_calibrate_cts(h):
    """Windows build, first run on a CTS sensor (modem lines through the shim); no
    Wine window is titled Ringing Room, so the run ends at the target search."""
    if not h.args.modem_shim:
        raise Skipped("the modem-line shim for Wine was not built")
    display = Display(h)
    sensor = Sensor(h, wine_port=WINE_PORT)
    ringer = Ringer(h, display, sensor, with_shim=True, wine=True)
    wine_calibrate(ringer, sensor, box=False, delay=180)
    ringer.wait_text("Ending program press Q to exit", timeout=20)
    ringer.press("Enter")
    status = ringer.wait_exit(20)
    if status != 0:
        raise Failed(f"exit status {status}")


WINE_SCENARIOS = {
    "wine_first_run_box": scenario_wine_first_run_box,
    "wine_focus_lost": scenario_wine_focus_lost,
    "wine_cts_two_pulses": scenario_wine_cts_two_pulses,
    "wine_calibrate_cts": scenario_wine_calibrate_cts,
    "wine_absent_port": scenario_wine_absent_port,
    "wine_no_target": scenario_wine_no_target,
}

SCENARIOS = {
    "chromium_target": scenario_chromium_target,
    "first_run_interface_box": scenario_first_run_interface_box,
    "cts_two_pulses": scenario_cts_two_pulses,
    "focus_lost": scenario_focus_lost,
    "zero_quit_release": scenario_zero_quit_release,
    "absent_port": scenario_absent_port,
    "no_target": scenario_no_target,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--strikewell", required=True)
    parser.add_argument("--key-logger", default="")
    parser.add_argument("--modem-shim", default="")
    parser.add_argument("--wine-run", default="", help="scripts/wine-run (Windows build)")
    parser.add_argument("--wine-dir", default="", help="the Windows build's Wine folder")
    parser.add_argument("--key-window", default="", help="the Windows tests' key window")
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + sorted(WINE_SCENARIOS))
    args = parser.parse_args()
    scenarios = WINE_SCENARIOS if args.wine_run else SCENARIOS
    if args.scenario not in scenarios:
        parser.error(f"{args.scenario} is not a scenario of this build")
    for tool in ["Xvfb", "openbox", "tmux", "xdotool", "xprop", "unshare"]:
        if not shutil.which(tool):
            print(f"SKIPPED: {tool} is not installed (scripts/setup test installs it)")
            return SKIPPED
    if os.geteuid() != 0:
        print("SKIPPED: the private mount namespace for the port list needs root")
        return SKIPPED
    # End by ourselves, cleaning up, before CTest's time-out kills this process alone
    # and leaves the X server and the tmux server (daemons) behind.
    def give_up(signum, _frame):
        raise Failed(f"stopped by signal {signum}" if signum != signal.SIGALRM else
                     f"the scenario took more than {SCENARIO_LIMIT_S} s")

    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, give_up)
    signal.alarm(SCENARIO_LIMIT_S)
    h = Harness(args)
    started = time.monotonic()
    try:
        scenarios[args.scenario](h)
    except Skipped as e:
        print(f"SKIPPED: {e}")
        return SKIPPED
    except Exception as e:  # every failure, expected or not, shows the screen and logs
        print(f"FAILED: {args.scenario}: {e}")
        h.dump()
        return 1
    finally:
        signal.alarm(0)
        h.close()
    print(f"passed: {args.scenario} in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
