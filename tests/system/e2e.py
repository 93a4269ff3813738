#!/usr/bin/env python3
"""Runs the real strikewell binary the way a ringer does and checks it from outside: its
own X server (Xvfb, openbox) with a key-logging target window, a pty as the bell sensor,
the program in a tmux terminal of 80x25, on Linux in a private mount namespace that lets
it reach no real serial port (see Run._private_dev), under Wine through scripts/wine-run.

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

PORT = "ttyUSB9"  # the sensor's name in the private /dev
TARGET_TITLE = "Ringing Room - practice tower"
ROWS = 25
SCENARIO_LIMIT_S = 100  # CTest's time-out is 120 s
WINE_PORT, WINE_OTHER_PORT = 5, 6  # the test COM ports of scripts/wine-run's prefix
REUSE = "Use existing calibration? (Y/n)"
COUNTER_KEYS = "0 will zero counter;  Q=Quit"
SUSPENDED = ["Ringing Room is not the focus window - Key sending suspended",
             "Keystrokes will be sent when focus is resumed", ""]
NOT_FOUND = ["The required target window (Ringing Room) NOT FOUND",
             "Ending program press Q to exit", ""]
# Under the counter for the whole practice, in the row below the status lines.
SIMULATED_NOTE = "Simulated bell - the space bar rings one more blow"
SIMULATED_ONLY_NOTE = "Simulated bell, counting only - the space bar rings one more blow"
COUNT_ONLY_NOTE = "Counting only - no keys are sent"
# What a start prints first. Two lines are the program's own choice (its attribution
# and the web address of the ringing service): only their shape is fixed.
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


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def expect(ok, message):
    if not ok:
        raise Failed(message)


def need(value, why):
    if not value:
        raise Skipped(why)
    return value


def wait_for(condition, timeout, what):
    """Polls condition() until it gives a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        expect(time.monotonic() < deadline, f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.02)
    return value


def stop_group(proc):
    """Ends a process started in a session of its own, with everything it started."""
    for sig, grace in ((signal.SIGTERM, 2), (signal.SIGKILL, None)):
        if proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, sig)
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(grace)


def close_quietly(fd):
    """Closes fd unless a scenario has closed it already (an unplugged sensor)."""
    with contextlib.suppress(OSError):
        os.close(fd)


def read_lines(path):
    with contextlib.suppress(FileNotFoundError), open(path) as f:
        return [line.split() for line in f.read().splitlines()]
    return []


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def settings_bytes(port, cts=0, dat=0, datnum=0, sensornum=1, delay=0):
    """The settings file: port, CTS, DSR, CD, RI, data flag and character, sensors, delay."""
    fields = [port, cts, 0, 0, 0, dat, datnum, sensornum, delay]
    return "".join(f"{field}\r\n" for field in fields).encode()


def check_screen(rows, expected, what):
    """Compares the whole screen: the expected rows (texts or patterns), then blanks."""
    for n, (row, want) in enumerate(zip(rows, expected + [""] * len(rows))):
        ok = want.fullmatch(row) if isinstance(want, re.Pattern) else row == want
        expect(ok, f"{what}: row {n + 1} is {row!r}, want {getattr(want, 'pattern', want)!r}")


def percentile(sorted_values, p):
    """The p-th percentile by the nearest rank."""
    rank = max(1, -(-len(sorted_values) * p // 100))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def count_line(rows):
    """The count line of the counter screen as (count, elapsed), or (None, None)."""
    match = re.match(r"count =(-?\d+) time from first blow=(-?\d+) secs$", rows[20])
    return (int(match[1]), int(match[2])) if match else (None, None)


def speed_line(count, elapsed):
    """The statistics line for a count line: the average interval, shown in single
    precision, and the time of a peal of 5040 changes (84 minutes per second)."""
    def single(value):
        return struct.unpack("f", struct.pack("f", value))[0]

    peal_minutes = elapsed * 84 / (count - 1)
    hours = int(peal_minutes) // 60
    return (f" APPROX Ave interval={single(elapsed / (count - 1)):8.2f} secs peal speed={hours} "
            f"hrs:{single(peal_minutes - hours * 60):8.2f} mins")


def glyph_cells(rows):
    """The four 20-column cells of the big digits, rows 1 to 18."""
    return [tuple(row[c * 20:(c + 1) * 20].rstrip() for row in rows[:18]) for c in range(4)]


def is_counter_at_zero(rows, note=""):
    """The counter screen at 0: the 0 glyph alone, right-aligned and symmetric top to
    bottom, then the count line and the key line (and a note under them)."""
    cells = glyph_cells(rows)
    return (cells[:3] == [("",) * 18] * 3 and set("".join(cells[3])) == {" ", "*"}
            and cells[3][9:] == cells[3][8::-1] and rows[18:] == [
                "", "", "count =0 time from first blow=0 secs", "", COUNTER_KEYS, note, ""])


class KeyWindow:
    """A target window that logs its key presses: the project's X client on Linux
    ("press KEYSYM MICROSECONDS" per KeyPress), or under Wine the Windows tests' window
    ("keydown VK SCAN" per WM_KEYDOWN), whose log has no times: a thread here notes
    when each line appears (to about a millisecond)."""

    def __init__(self, run, title, name):
        self.wine, self.title, self.log = run.wine, title, run.path(name + ".keys")
        if not self.wine:
            self.proc = run.spawn(name, [need(run.args.key_logger, "the X key logger was not built"),
                                         title, self.log])
            self.window = wait_for(lambda: next((int(f[1], 16) for f in read_lines(self.log)
                                                 if f[:1] == ["mapped"]), None), 20, title)
        else:
            self.seen, stop = [], threading.Event()  # when each line of the log was seen
            watcher = threading.Thread(target=self._watch, args=(stop,), daemon=True)
            watcher.start()
            run.stack.callback(watcher.join)
            run.stack.callback(stop.set)
            # Wine takes a Unix path as one on the current drive; Z: is the root.
            self.proc = run.spawn(name, [run.args.wine_run, run.args.wine_dir,
                             need(run.args.key_window, "the Windows key window was not built"),
                             title, "Z:" + self.log.replace("/", "\\")])
            wait_for(lambda: ["created"] in [f[:1] for f in read_lines(self.log)], 60, title)
            self.window = wait_for(lambda: run.find_window(title), 10, f"X window of {title}")
        run.diagnostics.append(lambda: print(f"--- keys in '{title}': {self.keys()!r}"))

    def close(self):
        """Closes the window: its program ends."""
        stop_group(self.proc)

    def _watch(self, stop):
        while not stop.wait(0.001):
            lines = len(read_lines(self.log))
            self.seen.extend([time.monotonic()] * (lines - len(self.seen)))

    def presses(self):
        """The key presses so far: (monotonic seconds, key name), oldest first."""
        if not self.wine:
            return [(int(f[2]) / 1e6, f[1]) for f in read_lines(self.log)
                    if f[:1] == ["press"] and len(f) == 3]
        vks = [(t, int(f[1], 16), f[1]) for t, f in zip(self.seen, read_lines(self.log))
               if f[:1] == ["keydown"]]
        return [(t, chr(vk).lower() if 0x30 <= vk <= 0x39 or 0x41 <= vk <= 0x5A else name)
                for t, vk, name in vks]

    def keys(self):
        return "".join(key if len(key) == 1 else f"<{key}>" for _, key in self.presses())


class Chromium:
    """A real browser as the target: a local page whose title collects the keys typed."""

    TITLE = "Ringing Room keys:"
    PAGE = f"""<!doctype html><title>{TITLE}</title><body>Practice tower<script>
document.addEventListener("keydown", (event) => {{ document.title += event.key; }});
</script>"""

    def __init__(self, run):
        exe = need(shutil.which("chromium"), "chromium is not installed (scripts/setup test)")
        self.run, self.title = run, self.TITLE
        write(run.path("ringing_room.html"), self.PAGE)
        run.spawn("chromium", [exe, "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--no-default-browser-check", "--disable-background-networking",
                               "--disable-component-update", "--disable-sync",
                               "--password-store=basic", "--user-data-dir=" + run.path("profile"),
                               "file://" + run.path("ringing_room.html")])
        self.window = wait_for(lambda: run.find_window(self.title), 30, "the Chromium window")
        run.diagnostics.append(lambda: print(f"--- Chromium typed: {self.keys()!r}"))

    def presses(self):
        return []  # the page sees no times

    def keys(self):
        title = self.run.x(["xdotool", "getwindowname", str(self.window)], check=False)
        return (re.match(r"Ringing Room keys:(\S*)", title) or [""] * 2)[1]


class Sensor:
    """The bell sensor: a pty whose other side the program opens as its port. Bytes
    written here are an interface box's characters; the modem lines come from a control
    file that the preloaded shim serves to TIOCMGET."""

    def __init__(self, run):
        if not run.wine:
            self.master, self.slave = run.pty()
            # Raw from the start: a byte written before the program configures the
            # port must not wait for a line end, nor be echoed back.
            tty.setraw(self.slave)
            self.pty = os.ttyname(self.slave)
        else:
            # The Windows tests' harness owns the convention for the prefix's test ports.
            sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "win32"))
            from com_port_harness import Port
            # The other test port stays unmapped meanwhile: calibration opens every
            # listed port, and must neither find it nor take it from another test.
            os.makedirs(os.path.join(run.args.wine_dir, "ports"), exist_ok=True)
            fcntl.flock(run.stack.enter_context(open(os.path.join(
                run.args.wine_dir, "ports", f"com{WINE_OTHER_PORT}.lock"), "w")), fcntl.LOCK_EX)
            self.port = Port(run.args.wine_dir, WINE_PORT)
            run.stack.callback(lambda: self.port and self.port.close())
            self.master, self.slave, self.pty = self.port.master, self.port.slave, self.port.slave_name
        self.control = run.path("modem_lines")
        self.cts_changes = 0
        self.set_lines()

    def unplug(self):
        """Pulls the adapter out: the pty's other side goes, and the port hangs up."""
        if getattr(self, "port", None):
            self.port.close()  # under Wine the COM port's link goes too
            self.port = None
        else:
            os.close(self.master)
            os.close(self.slave)
        self.master = self.slave = None

    def plug_in(self, run, names):
        """Plugs an adapter in: a new pty, reached in the program's private /dev under
        each of names (its ttyUSB name, a /dev/serial/by-id link), or under Wine
        mapped as the same COM port."""
        if run.wine:
            from com_port_harness import Port
            self.port = Port(run.args.wine_dir, WINE_PORT)
            self.master, self.slave, self.pty = (self.port.master, self.port.slave,
                                                 self.port.slave_name)
            return
        self.master, self.slave = run.pty()
        tty.setraw(self.slave)
        self.pty = os.ttyname(self.slave)
        dev = f"/proc/{run.program_pid()}/root/dev"
        for name in names:
            path = os.path.join(dev, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
            os.symlink(self.pty, path)

    def send(self, data):
        """Writes one sensor event; returns the monotonic time just before it."""
        moment = time.monotonic()
        os.write(self.master, data)
        return moment

    def set_lines(self, *lines):
        """Sets the modem lines that are on ("cts", "dsr", "cd", "ri"); returns the moment."""
        write(self.control + ".new",
              " ".join(f"{n}={int(n in lines)}" for n in ("cts", "dsr", "cd", "ri")) + "\n")
        moment = time.monotonic()
        os.replace(self.control + ".new", self.control)
        return moment

    def chatter(self, on, changes=7):
        """One edge of a chattering CTS sensor (a reed switch's bounce, three flickers
        after the first change) as a UART reports it when the flicker is over before the
        program looks: the line at its new level, and its interrupt count `changes`
        higher. One write, so that a busy machine cannot stretch the flicker past the
        de-bounce time. Returns the moment."""
        self.cts_changes += changes
        write(self.control + ".new", f"cts={int(on)}/{self.cts_changes} dsr=0/0 cd=0/0 ri=0/0\n")
        moment = time.monotonic()
        os.replace(self.control + ".new", self.control)
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


class Run:
    """One scenario. It owns every process and file, released by stack.close() also on
    failure; setup() starts the X display with the target window and the sensor, and
    start() the program in a tmux terminal of 80x25. Under Wine the waits are longer."""

    def __init__(self, args):
        self.args, self.wine = args, bool(args.wine_run)
        self.slow = 2 if self.wine else 1
        self.device = f"\\\\.\\COM{WINE_PORT}" if self.wine else "\\\\.\\" + PORT
        self.stack = contextlib.ExitStack()
        self.dir = tempfile.mkdtemp(prefix="strikewell-e2e-")
        self.stack.callback(shutil.rmtree, self.dir, True)
        self.logs, self.diagnostics = {}, []  # shown when a scenario fails
        self.strikes = []  # seconds from each sensor event to the key it caused
        self.settings = self.path("work", "serialport_strikewell.ini")

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def spawn(self, name, argv, **kwargs):
        self.logs[name] = self.path(name + ".log")
        log = self.stack.enter_context(open(self.logs[name], "wb"))
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                env=getattr(self, "env", None), start_new_session=True, **kwargs)
        self.stack.callback(stop_group, proc)
        return proc

    def pty(self):
        master, slave = os.openpty()
        self.stack.callback(close_quietly, master)
        self.stack.callback(close_quietly, slave)
        return master, slave

    def dump(self):
        for show in self.diagnostics:
            with contextlib.suppress(Exception):
                show()
        for name, log_path in self.logs.items():
            with open(log_path, errors="replace") as f:
                if text := f.read().strip():
                    print(f"--- log of {name} (last 40 lines)\n" +
                          "\n".join(text.splitlines()[-40:]))

    # ------------------------------------------------------------- the X display

    def setup(self, target=True):
        read_end, write_end = os.pipe()
        self.stack.callback(os.close, read_end)
        # -displayfd lets the server pick a free display: other test runs share the machine.
        self.xvfb = self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                            "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = select.select([read_end], [], [], 20)[0] and os.read(read_end, 16)
            expect(chunk, "Xvfb did not report its display")
            number += chunk
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.dir,
                    "DISPLAY": ":" + number.decode().strip(), "LANG": "C.UTF-8"}
        # openbox announces itself before it handles map requests, and a window mapped
        # in between stays unmapped: wait for the command it runs once fully up.
        self.spawn("openbox", ["openbox", "--sm-disable", "--startup",
                               "touch " + self.path("openbox_ready")])
        wait_for(lambda: os.path.exists(self.path("openbox_ready")), 20, "openbox")
        self.target = KeyWindow(self, TARGET_TITLE, "target") if target else None
        self.sensor = Sensor(self)

    def x(self, argv, check=True):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=20)
        expect(not check or result.returncode == 0, f"{argv[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def find_window(self, title):
        return next(iter(map(int, self.x(["xdotool", "search", "--name", title], False).split())),
                    None)

    def activate(self, window):
        self.x(["xdotool", "windowactivate", "--sync", str(window)])
        wait_for(lambda: re.findall(r"# (0x[0-9a-f]+)", self.x(
            ["xprop", "-root", "_NET_ACTIVE_WINDOW"]))[:1] == [f"{window:#x}"], 10,
            f"window {window:#x} in front")

    # --------------------------------------------------------- the program's terminal

    def start(self, saved=None, shim=False, port_present=True, by_id=None, args="",
              display=True, env="", preamble=""):
        """Starts the program, with saved as its settings file, and the modem-line shim;
        without display, as if no X display were running; env: shell assignments put
        before the command; preamble: shell lines run first, in the program's mount
        namespace (a Wine program then gets one of its own)."""
        if saved:
            write(self.settings, saved)
        need(self.args.modem_shim or not shim, "the modem-line shim was not built")
        self.shim_log = self.path("modem_outputs")
        command = (f"STRIKEWELL_SHIM_DEVICE={self.sensor.pty} "
                   f"STRIKEWELL_SHIM_LINES={self.sensor.control} "
                   f"STRIKEWELL_SHIM_LOG={self.shim_log} "
                   f"{'STRIKEWELL_WINE_PRELOAD' if self.wine else 'LD_PRELOAD'}="
                   f"{self.args.modem_shim} ") if shim else ""
        command = ("" if display else "env -u DISPLAY ") + env + command
        if self.wine:  # scripts/wine-run's prefix has only test ports
            command += f"{self.args.wine_run} {self.args.wine_dir} {self.args.strikewell}"
        else:
            command = self._private_dev(port_present, by_id) + command + self.args.strikewell
        command += f" {args}" if args else ""
        write(self.path("run.sh"), f"""{preamble}mkdir -p work; cd work; stty -g > ../tty_before; set +e
{command}
rc=$?; stty -g > ../tty_after; echo $rc > ../rc
""")
        write(self.path("tmux.conf"), "set -g status off\nset -g remain-on-exit on\n")
        self.tmux_base = ["tmux", "-L", f"strikewell-e2e-{os.getpid()}", "-f",
                          self.path("tmux.conf")]
        self.stack.callback(self._stop)
        self.tmux("new-session", "-d", "-s", "e2e", "-c", self.dir, "-x", "80", "-y", str(ROWS),
                  ("sh " if self.wine and not preamble else "unshare -m sh ") +
                  self.path("run.sh"))
        self.pane_pid = int(self.tmux("display", "-p", "-t", "e2e", "#{pane_pid}"))
        self.diagnostics.append(lambda: print("--- screen:\n" + "\n".join(
            f"{n + 1:2}|{row}" for n, row in enumerate(self.screen()))))

    def _private_dev(self, port_present, by_id=None):
        """Shell lines that mount the made-up /sys/class/tty and a private /dev. The
        system console is on a real UART (ttyS0), which the program must leave out;
        its name in /dev leads to a decoy pty, which a wrong program would list."""
        tree = self.path("sys_class_tty")
        for name in ["console", "ptmx", "tty", "tty0"]:
            os.makedirs(os.path.join(tree, name))
        for name, driver in [("ttyS0", "serial8250"), (PORT, "usbserial")]:
            write(os.path.join(tree, name, "device", "driver", "name"), driver + "\n")
        write(os.path.join(tree, "ttyS0", "type"), "4\n")  # PORT_16550A: a UART is present
        write(os.path.join(tree, "console", "active"), "ttyS0\n")
        link = f'ln -s {self.sensor.pty} "$stage/{PORT}"' if port_present else ":"
        if by_id:  # udev's name for the adapter, which stays when it comes back
            link += f'\nmkdir -p "$stage/serial/by-id"\nln -s {self.sensor.pty} "$stage/serial/by-id/{by_id}"' 
        return f"""set -e
mount --bind {tree} /sys/class/tty
stage={self.path("dev")}
mkdir "$stage"
mount -t tmpfs -o mode=755 e2edev "$stage"
for n in null zero full random urandom tty ptmx; do
  : > "$stage/$n"; mount --bind /dev/$n "$stage/$n"
done
mkdir "$stage/pts" "$stage/shm"
mount --bind /dev/pts "$stage/pts"
ln -s /proc/self/fd "$stage/fd"
ln -s {os.ttyname(self.pty()[1])} "$stage/ttyS0"
{link}
mount --move "$stage" /dev
set +e
"""

    def tmux(self, *argv):
        return self.x(self.tmux_base + list(argv))

    def _stop(self):
        with contextlib.suppress(ProcessLookupError, AttributeError):  # no pane yet
            os.killpg(self.pane_pid, signal.SIGKILL)
        subprocess.run(self.tmux_base + ["kill-server"], capture_output=True, timeout=20)

    def screen(self):
        """The 25 rows of the terminal, trailing blanks removed."""
        rows = self.tmux("capture-pane", "-p", "-t", "e2e").split("\n")[:ROWS]
        return [row.rstrip() for row in rows] + [""] * (ROWS - len(rows))

    def wait_rows(self, predicate, timeout, what):
        """Waits until predicate(screen rows) holds; returns those rows."""
        return wait_for(lambda: (lambda rows: predicate(rows) and rows)(self.screen()),
                        timeout * self.slow, what)

    def wait_text(self, text, timeout=10):
        return self.wait_rows(lambda rows: any(text in row for row in rows), timeout,
                              f"'{text}' on the screen")

    def wait_count(self, count, timeout=5):
        return self.wait_rows(lambda rows: count_line(rows)[0] == count, timeout, f"count ={count}")

    def type(self, text):
        self.tmux("send-keys", "-t", "e2e", *(["-l", text] if text != "Enter" else [text]))

    def answer(self, keys, then, timeout=10):
        """Types keys and waits for the text that follows. Wine's console shown in a
        terminal passes keys on only to a program that reads or peeks at its input."""
        self.type(keys)
        try:
            return self.wait_text(then, timeout)
        except Failed as e:
            raise Failed(f"{e}: did the program take the key {keys!r}?") from e

    def program_pid(self):
        """The pid of the program itself (under Wine, of its Windows process)."""
        name = "strikewell.exe" if self.wine else "strikewell"
        def find():
            for entry in os.listdir("/proc"):
                with contextlib.suppress(OSError, IndexError):
                    with open(f"/proc/{entry}/stat") as f:
                        stat = f.read()
                    with open(f"/proc/{entry}/cmdline", "rb") as f:
                        argv0 = f.read().split(b"\0")[0].decode(errors="replace")
                    if (os.path.basename(argv0.replace("\\", "/")) == name and
                            self._descends_from(int(entry), stat)):
                        return int(entry)
            return None
        return wait_for(find, 10, f"the {name} process")

    def _descends_from(self, pid, stat):
        """True when pid runs below the tmux pane or is the Wine server's client of it."""
        if self.wine:
            return True  # the prefix is this run's own: its only strikewell.exe is ours
        while pid > 1:
            if pid == self.pane_pid:
                return True
            with contextlib.suppress(OSError):
                with open(f"/proc/{pid}/stat") as f:
                    stat = f.read()
            pid = int(stat.rsplit(")", 1)[1].split()[1])
        return False

    def cpu_percent(self, seconds):
        """The share of one core the program uses over the next seconds of real time."""
        pid, tick = self.program_pid(), os.sysconf("SC_CLK_TCK")
        def cpu():
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / tick  # utime, stime
        before, started = cpu(), time.monotonic()
        time.sleep(seconds)
        return 100 * (cpu() - before) / (time.monotonic() - started)

    def exit_status(self):
        lines = read_lines(self.path("rc"))
        return int(lines[0][0]) if lines and lines[0] else None

    def ended(self, what):
        """The program has ended with status 0; on Linux it has also let go of the port
        and restored the terminal's modes."""
        wait_for(lambda: self.exit_status() is not None, 10 * self.slow, "the program to end")
        expect(self.exit_status() == 0, f"exit status {self.exit_status()} {what}")
        if not self.wine:
            expect(self.sensor.port_is_free(), "the sensor port is still held after the end")
            expect(read_lines(self.path("tty_before")) == read_lines(self.path("tty_after")),
                   "the terminal's modes differ after the end")

    def enter_ends(self):
        """The program waits for Enter, and then ends."""
        expect(self.exit_status() is None, "ended before Enter")
        self.type("Enter")
        self.ended("after Enter")

    # ------------------------------------------------------------- the ringer's steps

    def saved(self):
        with contextlib.suppress(FileNotFoundError), open(self.settings, "rb") as f:
            return f.read()
        return None

    def box_settings(self, delay=0):
        return settings_bytes(self.device, dat=1, datnum=ord("A"), delay=delay)

    def report_strikes(self, delay_ms, label):
        """Prints the strike-time error: from each sensor event to its key, less the delay."""
        ms = sorted(s * 1000 - delay_ms for s in self.strikes)
        if not ms:  # the target tells no times (Chromium)
            return
        print(f"strike-time error ({'Wine, ' * self.wine}{label}, bell delay {delay_ms} ms, "
              f"{len(ms)} blows): median {statistics.median(ms):.2f} ms, "
              f"p95 {percentile(ms, 95):.2f} ms, "
              f"worst {max(ms, key=abs):.2f} ms, min {ms[0]:.2f} ms, max {ms[-1]:.2f} ms")
        # Sanity only: the key can never come before the delay has passed, and a
        # second late means the delay or the redraw is plainly broken.
        expect(ms[0] >= -1.0 and ms[-1] <= 1000.0,
               f"key presses outside [delay, delay + 1 s] of their sensor events: {ms}")

    def reuse_calibration(self, key="y"):
        self.wait_text(REUSE, 15)
        self.answer(key, "Target window is " + self.target.title)
        return self.key_send_test()

    def key_send_test(self, note=""):
        """The digits 1 to 8 in the target, then the whole counter screen at 0."""
        self.wait_text("Target window is " + self.target.title)
        if not self.wine:  # under Wine the line may be gone before it is seen
            self.wait_text("Key send test - a round")
        wait_for(lambda: len(self.target.keys()) >= 8, 10 * self.slow, "the digits 1 to 8")
        expect(self.target.keys() == "12345678", f"key-send test typed {self.target.keys()!r}")
        if digits := self.target.presses():
            gaps = [round((b[0] - a[0]) * 1000) for a, b in zip(digits, digits[1:])]
            print(f"key-send test: gaps between digits {gaps} ms")
        return self.counter_at_zero(note)

    def counter_at_zero(self, note=""):
        """A screen is drawn piece by piece, under Wine slowly enough to be caught half-drawn."""
        return self.wait_rows(lambda rows: is_counter_at_zero(rows, note), 12,
                              "the whole counter screen at 0")

    def ring(self, blows, gap=0.3, first=None):
        """Rings blows on an interface box; each counts one and presses one J, whose
        delay after the sensor event is noted when the target tells times. first: the
        count before them, where the counter is not on the screen."""
        first = count_line(self.screen())[0] if first is None else first
        for i in range(1, blows + 1):
            keys = self.target.keys() + "j"
            moment = self.sensor.send(b"A")
            wait_for(lambda: self.target.keys() == keys, 5 * self.slow, f"the J of blow {i}")
            if presses := self.target.presses():
                self.strikes.append(presses[-1][0] - moment)
            self.wait_count(first + i)
            time.sleep(max(0.0, moment + gap - time.monotonic()))  # the ringer's rhythm

    def ring_on_time(self, blows, gap, line=False):
        """Rings blows gap seconds apart by the clock, not waiting for their keys (a
        ringer does not wait): on the box, or as CTS pulses of 60 ms. Then waits for
        every key and notes each one's delay after its own sensor event."""
        first, keys = count_line(self.screen())[0], self.target.keys()
        presses_before = len(self.target.presses())
        moments, start = [], time.monotonic() + 0.1
        for i in range(blows):
            time.sleep(max(0.0, start + i * gap - time.monotonic()))
            if line:
                moments.append(self.sensor.set_lines("cts"))
                time.sleep(0.06)
                self.sensor.set_lines()
            else:
                moments.append(self.sensor.send(b"A"))
        want = keys + "j" * blows
        wait_for(lambda: len(self.target.keys()) >= len(want), 10 * self.slow,
                 f"{blows} keys")
        time.sleep(0.3)  # a doubled key would show by now
        expect(self.target.keys() == want, f"keys {self.target.keys()!r}, want {want!r}")
        self.wait_count(first + blows)
        presses = self.target.presses()[presses_before:]
        self.strikes += [p[0] - m for p, m in zip(presses, moments)]

    def quit(self, key="Q", port=True):
        """Quits; port: the sensor port is held until then (a simulated bell holds none)."""
        if not self.wine and port:
            expect(not self.sensor.port_is_free(), "the sensor port is not held while counting")
        self.type(key)
        if self.wine:
            # Wine's console in a terminal belongs to the program alone, as one opened
            # from Explorer does: a summary waits there for Enter.
            closing = "Press [ENTER] to close this window"
            wait_for(lambda: self.exit_status() is not None or
                     any(closing in row for row in self.screen()), 10 * self.slow,
                     "the end or the summary")
            if self.exit_status() is None:
                self.type("Enter")
        self.ended("after " + key)

    def calibrate(self, box, delay):
        """A first run: one port found, two sensor events, the delay; checks the file."""
        rows = self.wait_text("(y/N)", 15)
        if self.wine:
            found = [row.split(" ", 1)[1] for row in rows if row.endswith(" found")]
            expect(found == [self.device + " found"], f"ports found: {found}")
        else:  # no question about a calibration; one port found, as number 1
            question = ("Are you using a Bagley box or similar which sends characters to the "
                        "serial port? (y/N)")
            check_screen(rows, BANNER + [
                "Calibration...", "Checking possible serial ports...", f"1 {self.device} found",
                "Most simulator bells use the control signals as input", question[:80],
                question[80:]], "the screen at the interface box question")
        self.answer("y" if box else "n", "List of Port inputs...")
        # Whatever arrives within the clock second in which sampling starts is absorbed.
        time.sleep(1.05 - time.time() % 1.0)
        for _ in range(2):  # handstroke, backstroke
            if box:
                self.sensor.send(b"A")
            else:
                self.sensor.set_lines("cts")
                time.sleep(0.15)
                self.sensor.set_lines()
            time.sleep(1.2)
        rows = self.wait_text("Give the delay in milliseconds", 15)
        totals = ("Total pulses 2 implies     1.00 sensors on bell" if box else
                  "Total ON pulses:2 implies     1.00 sensors on bell")
        if self.wine or not box:
            expect(totals in rows, f"calibration did not show {totals!r}")
        else:
            check_screen(rows[rows.index("List of Port inputs..."):], [
                "List of Port inputs...",
                re.compile(rf'1 Port:{PORT} pulse:1 time:[12] data="A"'),
                re.compile(rf'1 Port:{PORT} pulse:2 time:[23] data="A"'),
                "", "Summary: input detected on these ports:",
                re.compile(rf"1 Port {PORT} pulses:2 duration:[12]"), totals,
                "Give the delay in milliseconds between the sensor input and strike point",
                "Use the delay setting in Abel as a starting point"], "the calibration listing")
            self.type(f"{delay}ms")
            self.answer("Enter", f"Input {delay}ms not an integer, try again")
        self.type(str(delay))
        self.type("Enter")
        want = (self.box_settings(delay) if box else
                settings_bytes(self.device, cts=1, delay=delay))
        with contextlib.suppress(Failed):  # the file may be seen half-written
            wait_for(lambda: self.saved() == want, 10, "the whole settings file")
        expect(self.saved() == want, f"settings file holds {self.saved()!r}, want {want!r}")

    def zero(self, start_rows, blows):
        """"0" brings back the counter screen of the start; counting starts again at 1."""
        self.type("0")
        rows = self.counter_at_zero()
        expect(rows[:18] == start_rows[:18] and rows[21:] == start_rows[21:],
               "the screen after 0 differs from the counter screen at the start")
        self.ring(blows)


# ---------------------------------------------------------------------------- scenarios


def scenario_first_run_interface_box(run):
    """No settings file: calibrate on an interface box, save, key-send test, count."""
    run.setup()
    run.start()
    run.calibrate(box=True, delay=250)
    start_rows = run.key_send_test()
    run.ring(11, gap=0.45)
    run.sensor.send(b"B")  # not the box's character: counts nothing
    time.sleep(0.3)
    rows = run.screen()
    expect(count_line(rows)[0] == 11 and run.target.keys() == "12345678" + "j" * 11,
           f"a foreign character counted: {count_line(rows)}, keys {run.target.keys()!r}")
    # The big digits of 11 are the 1 of count 1 twice; count 0 shows the 0 glyph alone.
    cells = glyph_cells(rows)
    expect(cells[:2] == [("",) * 18] * 2 and cells[2] == cells[3],
           "count 11 is not drawn as two equal glyphs in the two right cells")
    expect(cells[3] != glyph_cells(start_rows)[3] and any("*" in r for r in cells[3]),
           "the glyph of 1 is missing or looks like the glyph of 0")
    check_screen(rows[21:], [speed_line(*count_line(rows)), COUNTER_KEYS], "under the count")
    run.report_strikes(250, "interface box")
    if run.wine:  # zero_quit_release zeroes on Linux
        run.zero(start_rows, 1)
    run.quit()


def scenario_cts_two_pulses(run):
    """Saved settings for a CTS sensor with two pulses per blow, reused with Enter."""
    run.setup()
    # On Linux named by its own path below /dev ("\\.\pts/N"), not by the listed ttyUSB9.
    port = run.device if run.wine else "\\\\.\\" + os.path.relpath(run.sensor.pty, "/dev")
    run.start(settings_bytes(port, cts=1, sensornum=2, delay=120), shim=True)
    run.reuse_calibration("Enter")
    # Longer pulses under Wine: every pass of its loop goes through the wineserver and
    # the console host, and on a busy machine a pass can take 100 ms.
    pulse = 0.3 if run.wine else 0.06
    for blow in range(1, 4 if run.wine else 7):
        keys = run.target.keys() + "j"
        run.sensor.set_lines("cts")  # two sensor passages per blow, each an on and an off
        time.sleep(pulse)
        run.sensor.set_lines()
        time.sleep(pulse)
        expect(count_line(run.screen())[0] == blow - 1 and run.target.keys() == keys[:-1],
               f"blow {blow} counted after its first pulse")
        moment = run.sensor.set_lines("cts")
        wait_for(lambda: run.target.keys() == keys, 5 * run.slow, f"the J of blow {blow}")
        run.strikes.append(run.target.presses()[-1][0] - moment)
        time.sleep(pulse)
        run.sensor.set_lines()
        run.wait_count(blow)
        time.sleep(0.25)
    outputs = [" ".join(fields) for fields in read_lines(run.shim_log)]
    expect(outputs and outputs[-1].endswith(" rts=1 dtr=1"),
           f"RTS and DTR are not both on for the sensor: {outputs}")
    run.report_strikes(120, "CTS, 2 pulses per blow")
    run.quit("q")


def scenario_focus_lost(run):
    """Another window in front when a key falls due: the notice, no J for that blow
    (never a late one), the count kept; back in front, every later blow keys on time."""
    run.setup()
    run.start(run.box_settings(delay=250))
    run.reuse_calibration()
    other = KeyWindow(run, "Notes - text editor", "other")
    run.activate(run.target.window)
    run.ring(1)
    run.activate(other.window)
    run.sensor.send(b"A")
    expect(run.wait_text(SUSPENDED[1])[:3] == SUSPENDED,
           "the suspension notice is not alone on a cleared screen")
    time.sleep(0.25)
    run.activate(run.target.window)
    run.strikes.clear()
    run.ring(10, gap=0.8, first=2)  # the first of them brings the counter back
    expect(run.target.keys() == "12345678" + "j" * 11,
           f"keys after focus came back: {run.target.keys()!r}")
    expect(count_line(run.screen())[0] == 12, "blows were lost while the notice was up")
    expect(other.keys() == "", f"the other window got keys: {other.keys()!r}")
    run.report_strikes(250, "interface box, after focus came back")
    run.quit()

def scenario_unplug(run):
    """The adapter pulled out mid-practice: the ringer is told, the count stays, and
    counting goes on when it is plugged back in, under its own name or (Linux) as
    another ttyUSB number found through its /dev/serial/by-id link."""
    run.setup()
    by_id = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
    run.start(run.box_settings(delay=100), by_id=by_id)
    run.reuse_calibration()
    run.ring(2)
    lost = f"Sensor port {run.device} lost - plug it back in; counting goes on when it returns"
    back = f"Sensor port {run.device} is back"
    count = 2
    plugs = [[PORT]] if run.wine else [[PORT], ["ttyUSB3", "serial/by-id/" + by_id]]
    for names in plugs:
        run.sensor.unplug()
        rows = run.wait_text(lost, 5)
        expect(count_line(rows)[0] == count, f"the count after the loss: {count_line(rows)}")
        time.sleep(1.5)  # tried again meanwhile, and not found
        run.sensor.plug_in(run, names)
        run.wait_text(back, 5)
        run.ring(2, first=count)
        count += 2
    expect(run.target.keys() == "12345678" + "j" * count, f"keys {run.target.keys()!r}")
    run.report_strikes(100, "interface box, unplugged and back")
    run.quit()


def scenario_window_closed(run):
    """The Ringing Room window closed and opened again: the new window gets the keys."""
    run.setup()
    run.start(run.box_settings(delay=100))
    run.reuse_calibration()
    run.ring(2)
    old = run.target
    old.close()
    run.sensor.send(b"A")  # its key falls due with no window to send it to
    run.wait_text("The Ringing Room window has closed - looking for it again", 5)
    # X hands a new client the ids of one that has gone: another window in between
    # makes sure the new target is not the old window by its id.
    other = KeyWindow(run, "Notes - text editor", "other")
    run.target = KeyWindow(run, TARGET_TITLE, "target_again")
    expect(run.target.window != old.window, "the new window has the old one's id")
    run.wait_text("Target window is " + TARGET_TITLE, 5)
    run.ring(2, first=3)
    expect(run.target.keys() == "jj", f"the new window got {run.target.keys()!r}")
    expect(other.keys() == "", f"the other window got {other.keys()!r}")
    run.quit()


def scenario_chattering_cts(run):
    """A CTS sensor whose every edge flickers three times (a reed switch, an optical
    sensor on a slowly passing edge), as the driver's interrupt counts show it: each
    of 10 pulses is one blow and one J, due at its first change plus the bell delay."""
    run.setup()
    port = run.device if run.wine else "\\\\.\\" + os.path.relpath(run.sensor.pty, "/dev")
    run.start(settings_bytes(port, cts=1, sensornum=1, delay=100), shim=True)
    run.reuse_calibration("Enter")
    pulse = 0.3 if run.wine else 0.08
    keys = run.target.keys()
    for blow in range(1, 11):
        moment = run.sensor.chatter(True)
        time.sleep(pulse)
        run.sensor.chatter(False)
        keys += "j"
        wait_for(lambda: run.target.keys() == keys, 5 * run.slow, f"the J of blow {blow}")
        run.strikes.append(run.target.presses()[-1][0] - moment)
        run.wait_count(blow)
        time.sleep(0.15)
    time.sleep(0.3)  # a doubled key would show by now
    expect(run.target.keys() == keys, f"keys {run.target.keys()!r}, want {keys!r}")
    expect(count_line(run.screen())[0] == 10, f"counted {count_line(run.screen())}")
    run.report_strikes(100, "chattering CTS")
    run.quit("q")


def scenario_window_id_reused(run):
    """The Ringing Room window closes and another program's window gets its X id (the
    server hands a departed client's ids to the next one); Ringing Room is opened again
    and brought in front. The old id is no target: the new window is found and gets
    every key."""
    run.setup()
    run.start(run.box_settings(delay=100))
    run.reuse_calibration()
    run.ring(2)
    old = run.target
    old.close()
    for attempt in range(10):
        other = KeyWindow(run, "Notes - text editor", f"other{attempt}")
        if other.window == old.window:
            break
        other.close()
        time.sleep(0.2)
    expect(other.window == old.window, "no other window got the closed one's id")
    run.target = KeyWindow(run, TARGET_TITLE, "target_again")
    run.activate(run.target.window)
    run.sensor.send(b"A")  # its key falls due with the old id naming the editor
    run.wait_text("The Ringing Room window has closed - looking for it again", 5)
    run.wait_text("Target window is " + TARGET_TITLE, 5)
    run.ring(3, first=3)
    expect(run.target.keys() == "jjj", f"the new window got {run.target.keys()!r}")
    expect(other.keys() == "", f"the editor with the old id got {other.keys()!r}")
    run.quit()


def scenario_x_lost(run):
    """The X server goes away: one sentence, the terminal and the port released,
    status 1; none of Xlib's own text."""
    run.setup()
    run.start(run.box_settings())
    run.reuse_calibration()
    run.ring(1)
    stop_group(run.xvfb)
    run.sensor.send(b"A")  # the key that finds no display
    wait_for(lambda: run.exit_status() is not None, 10, "the program to end")
    expect(run.exit_status() == 1, f"exit status {run.exit_status()}")
    rows = run.screen()
    expect("The X display was lost - stopping." in rows, "the sentence is not on a line of its own")
    expect(not any("X connection" in row or "XIO" in row for row in rows), "Xlib's text shows")
    expect(run.sensor.port_is_free(), "the sensor port is still held")
    expect(read_lines(run.path("tty_before")) == read_lines(run.path("tty_after")),
           "the terminal's modes differ after the end")


def scenario_resize(run):
    """The terminal shrunk below 80x23 while counting, then grown again."""
    run.setup()
    run.start(run.box_settings())
    run.reuse_calibration()
    run.ring(1)
    run.tmux("resize-window", "-t", "e2e", "-x", "60", "-y", "20")
    rows = run.wait_text("Make this window at least 80 columns by 23 rows", 5)
    expect(rows[1:] == [""] * (len(rows) - 1), f"more than the message: {rows!r}")
    run.sensor.send(b"A")  # counted, and keyed, while the window is small
    wait_for(lambda: run.target.keys().endswith("jj"), 5, "the key of the blow")
    run.tmux("resize-window", "-t", "e2e", "-x", "80", "-y", str(ROWS))
    rows = run.wait_count(2)
    check_screen(rows[21:], [speed_line(*count_line(rows)), COUNTER_KEYS], "under the count")
    run.quit()


def scenario_record_report(run):
    """A practice kept with --record, its summary left on the screen at the end, then
    --report on the record and its picture opened by a real browser."""
    run.setup()
    folder = run.path("practice", "december")
    run.start(run.box_settings(delay=100), args=f"--record {folder}")
    run.reuse_calibration()
    run.ring(8, gap=0.5)
    run.quit()
    # tmux may scroll the pane by a row to say that its program has ended.
    rows = run.screen()
    expect(any(row.startswith("count =8 time from first blow=") for row in rows) and
           "Keys: 8 sent, none dropped." in rows, f"no summary after the end: {rows[:12]!r}")
    records = [name for name in os.listdir(folder) if re.fullmatch(
        r"strikewell-\d{8}-\d{6}\.csv", name)]
    expect(len(records) == 1, f"record files: {os.listdir(folder)}")
    record = os.path.join(folder, records[0])
    with open(record) as f:
        lines = f.read().splitlines()
    expect(lines[0] == "blow,sensor_ms,key_ms,key" and len(lines) == 9, f"record: {lines!r}")
    for n, line in enumerate(lines[1:], 1):
        blow, sensor_ms, key_ms, key = line.split(",")
        expect(int(blow) == n and int(key_ms) - int(sensor_ms) == 100 and key == "sent",
               f"record line {n}: {line!r}")
    report = subprocess.run([run.args.strikewell, "--report", record], capture_output=True,
                            text=True, timeout=30)
    expect(report.returncode == 0 and "Practice summary" in report.stdout,
           f"--report: status {report.returncode}, {report.stdout!r} {report.stderr!r}")
    picture = record[:-4] + ".svg"
    expect(os.path.exists(picture), "no picture beside the record")
    exe = need(shutil.which("chromium"), "chromium is not installed (scripts/setup test)")
    shot = os.environ.get("STRIKEWELL_REPORT_PNG") or run.path("report.png")
    subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--user-data-dir=" + run.path("shot-profile"),
                    "--window-size=820,420", "--screenshot=" + shot, "file://" + picture],
                   capture_output=True, timeout=60)
    expect(os.path.exists(shot) and os.path.getsize(shot) > 5000,
           "the browser drew no picture of the record")


def scenario_race(run, line):
    """Blows closer together than the bell delay: each is counted and keyed at its own
    time, in order."""
    run.setup()
    saved = (settings_bytes(run.device, cts=1, delay=600)
             if line else run.box_settings(delay=600))
    run.start(saved, shim=line)
    run.reuse_calibration()
    run.ring_on_time(8, gap=0.4, line=line)
    run.report_strikes(600, ("CTS" if line else "interface box") + ", a blow every 400 ms")
    print(f"CPU while idle ({'Wine, ' * run.wine}{'CTS' if line else 'interface box'}): "
          f"{run.cpu_percent(3):.1f} % of a core")
    run.quit()


def scenario_race_box(run):
    scenario_race(run, line=False)


def scenario_race_line(run):
    scenario_race(run, line=True)


def scenario_bench(run, line, delay, blows, record=False):
    """Figures for scripts/bench: strike-time error and idle CPU over many blows."""
    run.setup()
    saved = (settings_bytes(run.device, cts=1, delay=delay)
             if line else run.box_settings(delay=delay))
    folder = run.path("practice")
    if record and run.wine:
        folder = "Z:" + folder  # Windows takes forward slashes; a shell would eat back ones
    run.start(saved, shim=line, args=f"--record {folder}" if record else "")
    run.reuse_calibration()
    cpu = run.cpu_percent(3)
    run.ring_on_time(blows, gap=0.8, line=line)
    ms = sorted(s * 1000 - delay for s in run.strikes)
    print(f"BENCH {'wine' if run.wine else 'linux'} {'line' if line else 'box'}"
          f"{'+record' if record else ''} delay={delay} "
          f"blows={len(ms)} p50={statistics.median(ms):.2f} p95={percentile(ms, 95):.2f} "
          f"max={ms[-1]:.2f} min={ms[0]:.2f} cpu_idle={cpu:.2f}")
    run.quit()


def scenario_bench_eight_bells(run):
    """Figures for scripts/bench: an eight-bell box (--bells, the multi-bell convention,
    every bell's delay 250 ms) rung in rounds 0.8 s apart whose eight characters come
    within 100 ms of each other, a clash each time: each key's error against its own
    bell's event + delay, over 30 blows of every bell."""
    run.setup()
    delay, rounds, spread = 250, 30, 0.012  # eight characters over 84 ms
    write(run.path("work", "bells_strikewell.ini"),
          (f"port {run.device}\r\nconvention yes\r\n" + "".join(
              f"bell {bell} char {bell} pulses 1 delay {delay}\r\n" for bell in range(1, 9))
           ).encode())
    run.start(args="--bells")
    run.wait_text("Use the existing set-up of 8 bells", 15)
    run.answer("y", "Target window is " + run.target.title)
    wait_for(lambda: len(run.target.keys()) >= 8, 10 * run.slow, "the digits 1 to 8")
    run.wait_rows(lambda rows: rows[0] == "bell   count   last interval", 12, "the bells' counter")
    cpu = run.cpu_percent(3)
    moments, start = [], time.monotonic() + 0.1
    for r in range(rounds):
        for bell in range(1, 9):
            time.sleep(max(0.0, start + r * 0.8 + (bell - 1) * spread - time.monotonic()))
            moments.append((str(bell), run.sensor.send(str(bell).encode())))
    want = 8 + 8 * rounds
    wait_for(lambda: len(run.target.keys()) >= want, 10 * run.slow, f"{8 * rounds} keys")
    time.sleep(0.3)
    keys = run.target.keys()[8:]
    expect(keys == "12345678" * rounds, f"keys {keys[:40]!r}..., want rounds of 12345678")
    presses = run.target.presses()[8:]
    ms = sorted((p[0] - m) * 1000 - delay for p, (_, m) in zip(presses, moments))
    print(f"BENCH {'wine' if run.wine else 'linux'} box8 delay={delay} "
          f"blows={len(ms)} p50={statistics.median(ms):.2f} p95={percentile(ms, 95):.2f} "
          f"max={ms[-1]:.2f} min={ms[0]:.2f} cpu_idle={cpu:.2f}")
    run.quit()


def scenario_bench_box(run):
    scenario_bench(run, False, 250, 30)


def scenario_bench_line(run):
    scenario_bench(run, True, 250, 30)


def scenario_bench_box_record(run):
    scenario_bench(run, False, 250, 30, record=True)


def scenario_bench_box_seen(run):
    scenario_bench(run, False, 0, 15)


def scenario_bench_line_seen(run):
    scenario_bench(run, True, 0, 15)


def scenario_zero_quit_release(run):
    """"0" zeroes the count and restarts the timing; Q ends and frees port and terminal."""
    run.setup()
    run.start(run.box_settings(delay=30))
    start_rows = run.reuse_calibration()
    run.ring(3)
    run.zero(start_rows, 2)
    run.report_strikes(30, "interface box, zeroed")
    run.quit()


def scenario_absent_port(run):
    """Saved settings name a port that is gone: the message, Enter ends with status 0."""
    run.setup(target=False)
    # Under Wine a COM port that the prefix lacks; on Linux the listed name leads nowhere.
    saved = settings_bytes("\\\\.\\COM7" if run.wine else run.device, cts=1, sensornum=2,
                           delay=250)
    run.start(saved, port_present=False)
    run.wait_text(REUSE, 15)
    run.answer("y", "Open of serial failed - aborting - recalibrate!")
    run.enter_ends()
    expect(run.saved() == saved, "the settings file changed")


def scenario_no_target(run):
    """No window titled Ringing Room: the not-found message and the end after Enter."""
    run.setup(target=False)
    other = KeyWindow(run, "Ringing practice notes", "other")
    run.start(run.box_settings())
    run.wait_text(REUSE, 15)
    expect(run.answer("y", NOT_FOUND[1])[:3] == NOT_FOUND,
           "the not-found message is not alone on a cleared screen")
    run.type("Q")
    time.sleep(0.2)
    run.enter_ends()
    expect(other.keys() == "", f"keys were sent to another window: {other.keys()!r}")


def scenario_pair_cts_dsr(run):
    """A handbell pair (--bells): the treble in the left hand on CTS with a 100 ms delay,
    the second in the right hand on DSR with 150 ms, through the modem-line shim. Each
    blow presses its own bell's key, f or j, at its own sensor event plus its own delay,
    the second's often struck while the treble's key is still owed."""
    run.setup()
    port = run.device if run.wine else "\\\\.\\" + os.path.relpath(run.sensor.pty, "/dev")
    write(run.path("work", "bells_strikewell.ini"),
          f"port {port}\r\nconvention no\r\nbell 1 cts pulses 1 delay 100 left\r\n"
          "bell 2 dsr pulses 1 delay 150 right\r\n".encode())
    run.start(shim=True, args="--bells")
    run.wait_text(f"Use the existing set-up of 2 bells on {port}? (Y/n)", 15)
    run.answer("y", "Target window is " + run.target.title)
    wait_for(lambda: len(run.target.keys()) >= 8, 10 * run.slow, "the digits 1 to 8")
    expect(run.target.keys() == "12345678", f"key-send test typed {run.target.keys()!r}")
    run.wait_rows(lambda rows: rows[0] == "bell   count   last interval" and
                  rows[1:3] == ["   1       0", "   2       0"], 12, "the bells' counter at 0")
    pulse = 0.3 if run.wine else 0.06
    blows = 3 if run.wine else 6
    delays = {"f": 0.100, "j": 0.150}
    for blow in range(1, blows + 1):
        keys = run.target.keys()
        moments = {"f": run.sensor.set_lines("cts")}
        time.sleep(0.03)  # the second struck 30 ms after the treble: a clash
        moments["j"] = run.sensor.set_lines("cts", "dsr")
        time.sleep(pulse)
        run.sensor.set_lines()
        wait_for(lambda: len(run.target.keys()) >= len(keys) + 2, 5 * run.slow,
                 f"the f and j of blow {blow}")
        expect(run.target.keys() == keys + "fj", f"keys {run.target.keys()!r} after blow {blow}")
        if presses := run.target.presses():
            # Each key's error against its own bell's delay, told as if every delay
            # were the treble's 100 ms, the one report_strikes takes off.
            for when, key in presses[-2:]:
                run.strikes.append(when - moments[key] - delays[key] + 0.1)
        run.wait_rows(lambda rows: rows[1].startswith(f"   1{blow:8}") and
                      rows[2].startswith(f"   2{blow:8}"), 5, f"both bells at {blow}")
        time.sleep(0.25)
    rows = run.screen()
    expect(count_line(rows)[0] == 2 * blows, f"the total is not {2 * blows}: {rows[20]!r}")
    run.report_strikes(100, "a pair on CTS and DSR, each blow's own delay")
    run.quit("q")


def scenario_calibrate_cts(run):
    """First run on a CTS sensor (modem lines through the shim); no window is titled
    Ringing Room, so the run ends at the target search."""
    run.setup(target=False)
    run.start(shim=True)
    run.calibrate(box=False, delay=180)
    run.wait_text(NOT_FOUND[1])
    run.enter_ends()


def scenario_chromium_target(run):
    """A real browser page titled Ringing Room receives the test round and the blows."""
    run.setup(target=False)
    run.target = Chromium(run)
    run.start(run.box_settings())
    run.reuse_calibration()
    run.ring(3)
    run.quit()


def scenario_simulate_window(run):
    """--simulate=1500 with no sensor and no settings file: the bell delay asked, the
    key-send test, then a blow every 750 ms or so, each keyed at its time; about 13 blows
    in 10 s; Q ends with 0 and the settings file is still missing."""
    run.setup()
    folder = run.path("practice")
    run.start(args=f"--simulate=1500 --record {'Z:' * run.wine}{folder}")
    run.wait_text("Simulated bell: a handstroke every 1.50 s whole pull; no serial port is used.", 15)
    run.wait_text("Give the delay in milliseconds")
    run.type("100")
    run.type("Enter")
    run.key_send_test(SIMULATED_NOTE)
    started = time.monotonic()
    time.sleep(max(0.0, started + 10 - time.monotonic()))
    # Under Wine a redraw can be caught half done.
    counted = count_line(run.wait_rows(lambda rows: count_line(rows)[0] is not None, 2,
                                       "the count line"))[0]
    expect(12 <= counted <= 14, f"{counted} blows in 10 s, want about 13")
    run.quit(port=False)
    keys = run.target.keys()
    expect(keys.startswith("12345678") and set(keys[8:]) <= {"j"} and
           len(keys) - 8 in (counted, counted + 1),
           f"keys {keys!r} for {counted} blows counted before Q")
    # The blows alternate the backstroke gap (hand to back, 8/17 of the whole pull) and
    # the handstroke gap (9/17), each blow within 5 ms of the rhythm (and a millisecond of
    # rounding); each key is due the bell delay after its blow, and sent then.
    records = os.listdir(folder)
    expect(len(records) == 1 and records[0].endswith("-simulated.csv"), f"records: {records}")
    with open(os.path.join(folder, records[0])) as f:
        lines = [line.split(",") for line in f.read().splitlines()[2:]]
    expect(len(lines) == len(keys) - 8 and all(
        int(key) - int(sensor) == 100 and outcome == "sent" for _, sensor, key, outcome in lines),
           f"the record does not match the keys: {lines}")
    gaps = [int(b[1]) - int(a[1]) for a, b in zip(lines, lines[1:])]
    for n, gap in enumerate(gaps):
        want = 1500 * (8 if n % 2 == 0 else 9) / 17
        expect(abs(gap - want) <= 11, f"gap {n + 1} between blows is {gap} ms, want "
               f"{want:.0f} ms: {gaps}")
    # The keys as the target saw them: figures, and a sanity check only (a key a second
    # out means the keys do not follow the blows at all); speed is for scripts/bench.
    if presses := [t for t, key in run.target.presses()[8:]]:
        key_gaps = [round((b - a) * 1000) for a, b in zip(presses, presses[1:])]
        print(f"simulated bell: gaps between blows {gaps} ms, between keys {key_gaps} ms")
        expect(all(abs(k - g) <= 1000 for k, g in zip(key_gaps, gaps)),
               f"gaps between keys {key_gaps} ms, between blows {gaps} ms")
    expect(run.saved() is None, "a settings file was written")


def scenario_simulate_no_display(run):
    """--simulate with no X display at all: counting only at once, the counter moving; Q
    ends with 0 and the file is as it was. The record says simulated, and its key times
    show the bell delay of the stored calibration."""
    run.setup(target=False)
    saved = run.box_settings(delay=120)
    folder = run.path("practice")
    run.start(saved, args=f"--simulate --record {'Z:' * run.wine}{folder}", display=False)
    run.counter_at_zero(SIMULATED_ONLY_NOTE)
    run.wait_rows(lambda rows: (count_line(rows)[0] or 0) >= 3 and rows[23] == SIMULATED_ONLY_NOTE,
                  10, "three blows, the note still under the counter")
    run.quit(port=False)
    expect(run.saved() == saved, "the settings file changed")
    records = os.listdir(folder)
    expect(len(records) == 1 and re.fullmatch(r"strikewell-\d{8}-\d{6}-simulated\.csv",
                                              records[0]), f"record files: {records}")
    with open(os.path.join(folder, records[0])) as f:
        lines = f.read().splitlines()
    expect(lines[:2] == ["# simulated bell", "blow,sensor_ms,key_ms,key"] and len(lines) >= 5,
           f"record: {lines!r}")
    for n, line in enumerate(lines[2:], 1):
        blow, sensor_ms, key_ms, key = line.split(",")
        expect(int(blow) == n and int(key_ms) - int(sensor_ms) == 120 and key == "none",
               f"record line {n}: {line!r}")


def scenario_count_only_record(run):
    """--count-only with a real (pty) sensor and --record: no window search, no key-send
    test, no key; every blow counted and recorded, its key column none."""
    run.setup()
    folder = run.path("practice")
    run.start(run.box_settings(delay=100),
              args=f"--count-only --record {'Z:' * run.wine}{folder}")
    run.wait_text(REUSE, 15)
    run.type("y")
    run.counter_at_zero(COUNT_ONLY_NOTE)
    blows = 6
    for blow in range(1, blows + 1):
        run.sensor.send(b"A")
        run.wait_count(blow)
        time.sleep(0.3)
    run.quit()
    expect(run.target.keys() == "", f"keys were sent: {run.target.keys()!r}")
    records = os.listdir(folder)
    expect(len(records) == 1 and re.fullmatch(r"strikewell-\d{8}-\d{6}\.csv", records[0]),
           f"record files: {records}")
    with open(os.path.join(folder, records[0])) as f:
        lines = f.read().splitlines()
    expect(lines[0] == "blow,sensor_ms,key_ms,key" and len(lines) == blows + 1,
           f"record: {lines!r}")
    for n, line in enumerate(lines[1:], 1):
        blow, sensor_ms, key_ms, key = line.split(",")
        expect(int(blow) == n and int(key_ms) - int(sensor_ms) == 100 and key == "none",
               f"record line {n}: {line!r}")


# ------------------------------------------------------- ringing a tower directly

STANDIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ringingroom_standin.py")
EMAIL, USERNAME, PASSWORD = "ann@example.org", "ann", "bell-rope"
TOWER, TOWER_NAME, BELL = 123456789, "St Mary's", 2
LOST = "Ringing Room connection lost - reconnecting; blows are counted, strokes are not sent"
BACK = "Ringing Room connection is back"
DIRECT_DELAY = 250
# A ring reaching the stand-in later than this after its due time is late: loopback and
# a busy shared machine take milliseconds, a stroke held back over an outage seconds.
LATE_S = 0.2


class Standin:
    """The stand-in Ringing Room server on 127.0.0.1 over HTTPS with a test certificate
    authority, knowing ann's account and tower 123456789 with bell 2 given to ann. Its
    log has every client event with its arrival on CLOCK_MONOTONIC (time.monotonic())."""

    def __init__(self, run):
        sys.path.insert(0, os.path.dirname(STANDIN))
        import test_ca
        self.certs = run.path("certs")
        test_ca.make_all(self.certs)
        self.log = run.path("standin_events.jsonl")
        run.logs["standin"] = run.path("standin.log")
        self.errors = run.stack.enter_context(open(run.logs["standin"], "w"))
        self.port, self.proc = 0, None
        run.stack.callback(self.stop)
        self.start()

    def start(self):
        """Starts it (again, on the same port); returns the moment it listens."""
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", STANDIN, "--port", str(self.port), "--stop-on-eof",
             "--cert", os.path.join(self.certs, "localhost.crt"),
             "--key", os.path.join(self.certs, "localhost.key"), "--log", self.log,
             "--user", f"{EMAIL}:{USERNAME}:{PASSWORD}", "--tower", f"{TOWER}:8:{TOWER_NAME}",
             "--assign", f"{TOWER}:{BELL}:{USERNAME}"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        expect(select.select([self.proc.stdout], [], [], 30)[0], "the stand-in did not start")
        line = self.proc.stdout.readline()
        expect(line.startswith("PORT "), f"the stand-in said {line!r}")
        self.port = int(line.split()[1])
        return time.monotonic()

    def stop(self):
        """Ends it as a failing server ends: every connection goes at once."""
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc.stdin.close()
            self.proc.stdout.close()
            self.proc = None

    def url(self):
        return f"https://localhost:{self.port}"

    def events(self, name):
        """The events of that name received so far, t in monotonic seconds."""
        import json
        found = []
        with contextlib.suppress(FileNotFoundError), open(self.log) as f:
            for line in f:
                with contextlib.suppress(ValueError):
                    event = json.loads(line)
                    if event.get("event") == name:
                        found.append(dict(event, t=event["t_ns"] / 1e9))
        return found


def trusted_certs(run, ca):
    """A copy of the system's /etc/ssl/certs with the test CA added, for Wine to take as
    the host's store in the program's own mount namespace; nothing else sees it."""
    local, hooks, certs = run.path("ca-local"), run.path("ca-hooks"), run.path("etc-ssl-certs")
    os.makedirs(local)
    os.makedirs(hooks)
    shutil.copyfile(ca, os.path.join(local, "strikewell-test-ca.crt"))
    subprocess.run(["cp", "-a", "/etc/ssl/certs", certs], check=True)
    update = subprocess.run(["update-ca-certificates", "--localcertsdir", local,
                             "--etccertsdir", certs, "--hooksdir", hooks],
                            capture_output=True, text=True)
    expect(update.returncode == 0, "update-ca-certificates failed: " + update.stdout + update.stderr)
    return certs


def wine_direct_prefix(run):
    """Under Wine the direct scenarios have a prefix of their own: its wineserver must
    start where the test CA is trusted, and is stopped before and after, which would end
    other tests' programs in a shared prefix. No login is kept in it from before."""
    run.args.wine_dir += "-direct"
    stop = [run.args.wine_run, "--stop", run.args.wine_dir]
    subprocess.run(stop, capture_output=True, timeout=60)
    run.stack.callback(subprocess.run, stop, capture_output=True, timeout=60)
    for folder in kept_login_folders_wine(run):
        shutil.rmtree(folder, True)


def kept_login_folders_wine(run):
    import glob
    return glob.glob(os.path.join(run.args.wine_dir, "prefix", "drive_c", "users", "*",
                                  "AppData", "Roaming", "strikewell"))


def start_direct(run, args="", tower=TOWER, bells=None):
    """The program with a calibration, ringing the stand-in's tower with no X display.
    On Linux it trusts the test CA through OpenSSL's own variable; under Wine through
    the host's store, a copy bind-mounted in the program's mount namespace. bells: the
    text of a several bells' set-up, rung with --bells instead of one bell."""
    if run.wine:
        wine_direct_prefix(run)
    run.setup(target=False)
    run.standin = Standin(run)
    ca = os.path.join(run.standin.certs, "ca.crt")
    env, preamble = f"SSL_CERT_FILE={ca} ", ""
    if run.wine:
        env, preamble = "", (f"mount --bind {trusted_certs(run, ca)} /etc/ssl/certs || exit 1\n"
                             f"{run.args.wine_run} --stop {run.args.wine_dir}\n")
    if bells:
        write(run.path("work", "bells_strikewell.ini"), bells.encode())
        args = "--bells " + args
    run.start(None if bells else run.box_settings(delay=DIRECT_DELAY), display=False,
              args=f"--tower {tower} --server {run.standin.url()} {args}", env=env,
              preamble=preamble)
    # A new prefix is made first.
    run.wait_text("Use the existing set-up of" if bells else REUSE, 30 if run.wine else 15)
    run.type("y")


def log_in(run, password, attempt=1):
    """Answers the login questions the attempt-th time they are asked; an email already
    offered is taken with Enter. Nothing of the password may show."""
    def asked(text):
        return run.wait_rows(lambda rows: sum(text in row for row in rows) >= attempt, 15,
                             f"'{text}' asked {attempt} time(s)")

    rows = asked("Ringing Room account email:")
    if not any(row.endswith("email: " + EMAIL) for row in rows):
        run.type(EMAIL)
    run.type("Enter")
    asked("Ringing Room password (not shown):")
    run.type(password)
    run.type("Enter")
    time.sleep(0.2)
    rows = run.screen()
    expect(not any(password in row or ("(not shown):" in row and not row.endswith("(not shown):"))
                   for row in rows), f"the password shows: {rows}")


def ring_direct(run, blows, gap=0.8, during=None):
    """Rings blows gap seconds apart by the clock on the interface box; during(i, moment)
    runs after blow i's event. Returns the moments of the events."""
    moments, start = [], time.monotonic() + 0.1
    for i in range(blows):
        time.sleep(max(0.0, start + i * gap - time.monotonic()))
        moments.append(run.sensor.send(b"A"))
        if during:
            during(i, moments[-1])
    run.wait_count(blows, 5)
    return moments


def scenario_direct_blows(run):
    """Thirty blows with no display, rung through the stand-in: each c_bell_rung for bell
    2 at event + bell delay, strokes alternating from handstroke as the tower has them;
    the login kept in a file only its owner can read, without the password."""
    start_direct(run)
    log_in(run, PASSWORD)
    run.counter_at_zero(f"ringing bell {BELL}")
    cpu = run.cpu_percent(3)
    moments = ring_direct(run, 30)
    wait_for(lambda: len(run.standin.events("c_bell_rung")) >= 30, 5 * run.slow, "30 rings")
    time.sleep(0.3)  # a doubled ring would show by now
    rings = run.standin.events("c_bell_rung")
    expect(len(rings) == 30, f"{len(rings)} rings for 30 blows")
    expect([r["bell"] for r in rings] == [BELL] * 30, f"bells {[r['bell'] for r in rings]}")
    strokes = [r["stroke"] for r in rings]
    expect(strokes == [True, False] * 15 and not any(r["disagree"] for r in rings),
           f"strokes {strokes}")
    # Ring i must belong to blow i: none early, none so late it passes for the next.
    per_blow = [(r["t"] - m) * 1000 - DIRECT_DELAY for r, m in zip(rings, moments)]
    expect(all(-1.0 <= e <= LATE_S * 1000 for e in per_blow),
           f"rings outside [due, due + {LATE_S * 1000:.0f} ms]: {per_blow}")
    ms = sorted(per_blow)
    system = "wine" if run.wine else "linux"
    print(f"direct ({system}): arrival at the stand-in minus event minus {DIRECT_DELAY} ms over "
          f"30 blows: p50 {statistics.median(ms):.2f} ms, p95 {percentile(ms, 95):.2f} ms, "
          f"max {ms[-1]:.2f} ms; CPU while connected and idle {cpu:.2f} % of a core")
    print(f"BENCH {system} direct delay={DIRECT_DELAY} blows={len(ms)} "
          f"p50={statistics.median(ms):.2f} p95={percentile(ms, 95):.2f} max={ms[-1]:.2f} "
          f"min={ms[0]:.2f} cpu_idle={cpu:.2f}")
    run.quit()
    expect(not run.standin.events("c_user_left"), "quitting announced the ringer's departure")
    check_kept_login(run)


def scenario_direct_eight_bells(run):
    """An eight-bell box (the multi-bell convention, bell n's own delay 200 + 10n ms)
    through a pty ringing bells 1-8 of the stand-in's tower directly in six rounds whose
    characters come 12 ms apart: each bell's rings carry its own number, come at its own
    event + delay and alternate from handstroke, whatever bell the ringer was given."""
    ring_eight_bells_directly(run, 6)


def scenario_bench_direct_eight_bells(run):
    """Figures for scripts/bench: the same in 30 rounds, 240 rings."""
    ring_eight_bells_directly(run, 30)


def ring_eight_bells_directly(run, rounds):
    spread = 0.012
    delays = {bell: 200 + 10 * bell for bell in range(1, 9)}
    start_direct(run, bells=f"port {run.device}\r\nconvention yes\r\n" + "".join(
        f"bell {bell} char {bell} pulses 1 delay {delays[bell]}\r\n" for bell in range(1, 9)))
    log_in(run, PASSWORD)
    run.wait_rows(lambda rows: rows[0] == "bell   count   last interval"
                  and any(row.strip() == "ringing bells 1-8" for row in rows),
                  15, "the bells' counter ringing bells 1-8")
    moments, start = {bell: [] for bell in delays}, time.monotonic() + 0.1
    for r in range(rounds):
        for bell in range(1, 9):
            time.sleep(max(0.0, start + r * 0.8 + (bell - 1) * spread - time.monotonic()))
            moments[bell].append(run.sensor.send(str(bell).encode()))
    want = 8 * rounds
    wait_for(lambda: len(run.standin.events("c_bell_rung")) >= want, 5 * run.slow,
             f"{want} rings")
    time.sleep(0.3)  # a doubled ring would show by now
    rings = run.standin.events("c_bell_rung")
    expect(len(rings) == want, f"{len(rings)} rings for {want} blows")
    expect(not any(r["disagree"] for r in rings), "a stroke disagreed with the tower's")
    errors = []
    for bell, delay in delays.items():
        own = [r for r in rings if r["bell"] == bell]
        expect(len(own) == rounds, f"bell {bell} rang {len(own)} times for {rounds} blows")
        strokes = [r["stroke"] for r in own]
        expect(strokes == [True, False] * (rounds // 2), f"bell {bell}'s strokes {strokes}")
        per_blow = [(r["t"] - m) * 1000 - delay for r, m in zip(own, moments[bell])]
        expect(all(-1.0 <= e <= LATE_S * 1000 for e in per_blow),
               f"bell {bell}'s rings outside [due, due + {LATE_S * 1000:.0f} ms]: {per_blow}")
        errors += per_blow
    ms = sorted(errors)
    system = "wine" if run.wine else "linux"
    print(f"direct eight bells ({system}): arrival at the stand-in "
          f"minus event minus the bell's own delay over {len(ms)} rings: "
          f"p50 {statistics.median(ms):.2f} ms, p95 {percentile(ms, 95):.2f} ms, "
          f"max {ms[-1]:.2f} ms")
    print(f"BENCH {system} direct8 delay=210-280 blows={len(ms)} "
          f"p50={statistics.median(ms):.2f} p95={percentile(ms, 95):.2f} max={ms[-1]:.2f} "
          f"min={ms[0]:.2f} cpu_idle=-")
    run.quit()


def check_kept_login(run):
    """The kept login: on Linux under XDG's config folder, folder 0700 and file 0600;
    under Wine under APPDATA. Neither holds the password; Windows' file not the token."""
    if run.wine:
        return check_kept_login_wine(run)
    folder = run.path(".config", "strikewell")
    path = os.path.join(folder, "ringingroom")
    expect(os.path.exists(path), f"no kept login at {path}")
    modes = (os.stat(folder).st_mode & 0o777, os.stat(path).st_mode & 0o777)
    expect(modes == (0o700, 0o600), f"modes folder {modes[0]:o}, file {modes[1]:o}")
    with open(path, "rb") as f:
        kept = f.read()
    expect(PASSWORD.encode() not in kept, "the password is kept")
    expect(EMAIL.encode() in kept, "the email is not kept")


def check_kept_login_wine(run):
    folders = kept_login_folders_wine(run)
    files = [os.path.join(f, name) for f in folders for name in os.listdir(f)]
    expect(files, f"no kept login under APPDATA ({folders})")
    token = run.standin.events("c_join")[0]["payload"]["user_token"].encode()
    for path in files:
        with open(path, "rb") as f:
            kept = f.read()
        expect(token not in kept and PASSWORD.encode() not in kept,
               f"{path} holds the token or the password in clear")


def scenario_direct_reconnect(run):
    """The stand-in goes for 3 s mid-practice and comes back: every blow counted, the
    loss and the return said, strokes again after the rejoin, and none late: no ring for
    a blow that fell due while the tower could not be reached."""
    start_direct(run)
    log_in(run, PASSWORD)
    run.counter_at_zero(f"ringing bell {BELL}")
    seen, stop = set(), threading.Event()

    def watch():
        while not stop.wait(0.05):
            with contextlib.suppress(Exception):
                seen.update(row for row in run.screen() if "Ringing Room connection" in row)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    times = {}

    def outage():
        times["stop"] = time.monotonic()
        run.standin.stop()
        time.sleep(max(0.0, times["stop"] + 3 - time.monotonic()))
        times["back"] = run.standin.start()

    outage_thread = threading.Thread(target=outage, daemon=True)
    blows = 20
    moments = ring_direct(run, blows, during=lambda i, _: i == 5 and outage_thread.start())
    time.sleep(0.5)
    stop.set()
    watcher.join()
    outage_thread.join()
    # The loss's sentence is longer than the terminal's 80 columns: its row shows as much
    # as fits on one line.
    expect(any(len(row) >= 79 and LOST.startswith(row) for row in seen) and
           any(row.startswith(BACK) for row in seen), f"seen on the screen: {seen}")
    joins = [e for e in run.standin.events("c_join") if e["t"] > times["back"]]
    expect(joins, "no join after the stand-in came back")
    rejoined = run.standin.events("c_request_global_state")[-1]["t"]
    rings = run.standin.events("c_bell_rung")
    expect(all(r["bell"] == BELL and not r["disagree"] for r in rings),
           f"rings {[(r['bell'], r['stroke'], r['disagree']) for r in rings]}")
    due = [m + DIRECT_DELAY / 1000 for m in moments]
    rung = {}
    for ring in rings:
        blow = max((i for i, d in enumerate(due) if d <= ring["t"] + 0.001), default=None)
        expect(blow is not None and ring["t"] - due[blow] <= LATE_S and blow not in rung,
               f"a ring at {ring['t'] - due[0]:.3f} s after the first due time belongs to no "
               f"blow on time (due times {[round(d - due[0], 3) for d in due]})")
        rung[blow] = (ring["t"] - due[blow]) * 1000
    in_outage = [i for i, d in enumerate(due) if times["stop"] <= d <= rejoined]
    expect(not set(in_outage) & set(rung), f"blows {sorted(set(in_outage) & set(rung))} due "
           "during the outage were rung")
    before = [i for i, d in enumerate(due) if d < times["stop"] - 0.05]
    after = [i for i, d in enumerate(due) if d > rejoined + 0.1]
    missing = [i for i in before + after if i not in rung]
    expect(after and not missing, f"blows {missing} not rung (rung: {sorted(rung)})")
    back_ms = (joins[0]["t"] - times["back"]) * 1000
    first_ms = (min(r["t"] for r in rings if r["t"] > times["back"]) - times["back"]) * 1000
    system = "wine" if run.wine else "linux"
    print(f"direct ({system}): joined again {back_ms:.0f} ms after the stand-in came back, "
          f"first stroke {first_ms:.0f} ms after (a blow every 800 ms); {len(rung)} of "
          f"{blows} blows rung, {len(in_outage)} due in the outage")
    print(f"BENCH {system} direct-back back_ms={back_ms:.0f} first_ring_ms={first_ms:.0f}")
    run.quit()


def scenario_direct_login_refused(run):
    """A wrong password is refused and asked again with the email offered; the right one
    then joins."""
    start_direct(run)
    log_in(run, "not-the-rope")
    run.wait_text("Ringing Room did not accept that email and password", 15)
    log_in(run, PASSWORD, attempt=2)
    run.counter_at_zero(f"ringing bell {BELL}")
    expect(len(run.standin.events("c_join")) == 1, "not joined once")
    run.quit()
    check_kept_login(run)


def scenario_direct_unknown_tower(run):
    """A tower the site does not know is told in one sentence; Enter ends with 0."""
    start_direct(run, tower=987654321)
    log_in(run, PASSWORD)
    run.wait_text("Ringing Room has no tower 987654321", 15)
    run.enter_ends()
    expect(not run.standin.events("c_join"), "joined something")

BENCH_SCENARIOS = ["bench_box", "bench_line", "bench_box_seen", "bench_line_seen",
                   "bench_box_record", "bench_eight_bells", "bench_direct_eight_bells"]
LINUX_SCENARIOS = ["first_run_interface_box", "cts_two_pulses", "focus_lost",
                   "zero_quit_release", "absent_port", "no_target", "chromium_target",
                   "race_box", "race_line", "unplug", "window_closed", "x_lost",
                   "resize", "record_report", "chattering_cts",
                   "window_id_reused", "simulate_window", "simulate_no_display",
                   "count_only_record", "direct_blows", "direct_reconnect",
                   "direct_login_refused", "direct_unknown_tower",
                   "direct_eight_bells", "pair_cts_dsr"] + BENCH_SCENARIOS
WINE_SCENARIOS = {"wine_first_run_box": "first_run_interface_box",
                  "wine_focus_lost": "focus_lost", "wine_cts_two_pulses": "cts_two_pulses",
                  "wine_calibrate_cts": "calibrate_cts", "wine_absent_port": "absent_port",
                  "wine_no_target": "no_target", "wine_race_box": "race_box",
                  "wine_race_line": "race_line", "wine_unplug": "unplug",
                  "wine_window_closed": "window_closed",
                  "wine_chattering_cts": "chattering_cts",
                  "wine_simulate_window": "simulate_window",
                  "wine_simulate_no_display": "simulate_no_display",
                  "wine_count_only_record": "count_only_record",
                  "wine_pair_cts_dsr": "pair_cts_dsr"}
WINE_SCENARIOS.update({"wine_" + name: name for name in BENCH_SCENARIOS})
WINE_SCENARIOS.update({"wine_" + name: name for name in [
    "direct_blows", "direct_reconnect", "direct_login_refused", "direct_unknown_tower",
    "direct_eight_bells"]})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--strikewell", required=True)
    for option in ["--key-logger", "--modem-shim", "--wine-run", "--wine-dir", "--key-window"]:
        parser.add_argument(option, default="")
    parser.add_argument("scenario", choices=LINUX_SCENARIOS + list(WINE_SCENARIOS))
    args = parser.parse_args()
    if (args.scenario in WINE_SCENARIOS) != bool(args.wine_run):
        parser.error(f"{args.scenario} is not a scenario of this build")
    scenario = globals()["scenario_" + WINE_SCENARIOS.get(args.scenario, args.scenario)]
    missing = [t for t in ["Xvfb", "openbox", "tmux", "xdotool", "xprop", "unshare"]
               if not shutil.which(t)]
    if missing or os.geteuid() != 0:
        print(f"SKIPPED: {missing} not installed (scripts/setup test installs them)" if missing
              else "SKIPPED: the private mount namespace for the port list needs root")
        return 77

    # End by ourselves, cleaning up, before CTest's time-out kills this process alone
    # and leaves the X server and the tmux server (daemons) behind.
    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, lambda signum, _: expect(
            False, f"stopped by signal {signum} (alarm: the {SCENARIO_LIMIT_S} s limit)"))
    signal.alarm(SCENARIO_LIMIT_S)
    run = Run(args)
    started = time.monotonic()
    try:
        scenario(run)
    except Skipped as e:
        print(f"SKIPPED: {e}")
        return 77
    except Exception as e:  # every failure, expected or not, shows the screen and logs
        print(f"FAILED: {args.scenario}: {e}")
        run.dump()
        return 1
    finally:
        signal.alarm(0)
        run.stack.close()
    print(f"passed: {args.scenario} in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
