#!/usr/bin/env python3
"""The terminal console backend in a real terminal (tmux, 80x25): colours, text, cursor,
control bytes shown as '?', key codes, a lone Escape, line editing and scrolling; the
terminal's modes restored after a normal end, Ctrl+C, SIGTERM and SIGHUP; piped input.

Usage: terminal_console_test.py PROBE
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

PROBE = os.path.abspath(sys.argv[1])
YELLOW, BLUE = 93, 44  # console colours 14 and 1
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


class Pane:
    """A private tmux server with one 80x25 pane: a shell records the terminal modes and
    the probe's status, then prints text that must come out in the terminal's own colours.
    "trap : INT" outlives Ctrl+C without the probe inheriting an ignored SIGINT."""

    def __init__(self, workdir):
        socket = f"strikewell-console-{os.getpid()}-{os.path.basename(workdir)}"
        self.base = ["tmux", "-L", socket, "-f", "/dev/null"]
        self.workdir = workdir
        self.tmux("new-session", "-d", "-x", "80", "-y", "25", "-c", workdir,
                  "sh -c 'trap : INT; stty -g > before; \"$0\" screen pid; echo $? > status; "
                  "stty -g > after; printf AFTER; sleep 600' " + PROBE)
        self.socket_path = self.display("#{socket_path}")
        self.ready = self.wait_for(lambda: "Ready" in self.rows()[10], "the test screen")

    def tmux(self, *argv):
        result = subprocess.run(self.base + list(argv), capture_output=True, text=True,
                                timeout=20)
        if result.returncode != 0:
            raise RuntimeError(f"tmux {argv[0]}: {result.stderr.strip()}")
        return result.stdout

    def rows(self):
        return self.tmux("capture-pane", "-p").split("\n")[:25]

    def cells(self):
        """Rows of (character, foreground, background); None is the default colour."""
        grid = []
        fg = bg = None
        for line in self.tmux("capture-pane", "-p", "-e").split("\n")[:25]:
            grid.append([])
            for sgr, char in re.findall(r"\x1b\[([0-9;]*)m|(.)", line):
                if char:
                    grid[-1].append((char, fg, bg))
                    continue
                for code in [int(p or 0) for p in sgr.split(";")]:
                    if code in (0, 39):
                        fg = None
                    elif 30 <= code <= 37 or 90 <= code <= 97:
                        fg = code
                    if code in (0, 49):
                        bg = None
                    elif 40 <= code <= 47 or 100 <= code <= 107:
                        bg = code
        return grid

    def display(self, fmt):
        return self.tmux("display", "-p", fmt).strip()

    def keys(self, *names):
        self.tmux("send-keys", *names)

    def wait_for(self, predicate, what, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.05)
        check(False, f"timed out waiting for {what}; screen:\n" + "\n".join(self.rows()))
        return False

    def file(self, name):
        path = os.path.join(self.workdir, name)
        return open(path).read().strip() if os.path.exists(path) else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        subprocess.run(self.base + ["kill-server"], capture_output=True, timeout=20)
        if self.socket_path and os.path.exists(self.socket_path):
            os.unlink(self.socket_path)  # the server leaves it behind

    def check_restored(self, expected_status, how):
        if not self.wait_for(lambda: self.file("after") is not None and
                             "AFTER" in "".join(self.rows()), f"the end of the probe ({how})"):
            return
        check(self.file("status") == str(expected_status),
              f"{how}: exit status {self.file('status')}, expected {expected_status}")
        check(self.file("before") == self.file("after"),
              f"{how}: terminal modes changed: {self.file('before')} -> {self.file('after')}")
        check(self.display("#{cursor_flag},#{wrap_flag}") == "1,1",
              f"{how}: cursor left hidden or line wrapping left off")
        after = [cell for row in self.cells() for cell in row]
        start = "".join(c for c, _, _ in after).find("AFTER")
        colours = {(fg, bg) for _, fg, bg in after[start:start + 5]}
        check(start >= 0 and colours == {(None, None)}, f"{how}: text after the end in {colours}")


def test_screen_keys_and_line(workdir):
    with Pane(workdir) as pane:
        if not pane.ready:
            return
        screen = {1: " " * 79 + "|", 5: " " * 9 + "Hello", 7: "ctl:?]0;pwned|?2J|??|end",
                  8: " " * 74 + "wrap-a", 9: "round", 11: "Ready", 24: " " * 79 + "|"}
        rows = [row.rstrip() for row in pane.rows()]
        check(rows == [screen.get(y, "") for y in range(1, 26)], f"test screen: {rows}")
        check(pane.display("#{cursor_x},#{cursor_y}") == "19,11", "cursor not at (20, 12)")
        check(pane.display("#{pane_title}") != "pwned", "text changed the terminal's title")
        check(pane.display("#{wrap_flag}") == "0", "line wrapping is on while drawing")
        cells = pane.cells()
        text = cells[4][9:14] + cells[7][74:80]
        check(all(fg == YELLOW and bg == BLUE for _, fg, bg in text),
              f"text not yellow on blue: {set((fg, bg) for _, fg, bg in text)}")
        for y in (0, 7, 23):
            check(len(cells[y]) >= 74 and all(bg == BLUE for _, _, bg in cells[y][:74]),
                  f"row {y + 1}: cleared cells not blue")

        pane.keys("Left", "Right", "Up", "Down", "Home", "End", "PPage", "NPage", "IC", "DC",
                  "F1", "F5", "F10", "F11", "F12", "C-Left", "C-Right", "BTab")
        # A lone Escape is told from a sequence only by the quiet gap after it.
        pane.keys("Escape")
        time.sleep(0.3)
        pane.keys("Enter", "BSpace", "a", "Tab", "C-a")
        expected_keys = ("keys: 0,75 0,77 0,72 0,80 0,71 0,79 0,73 0,81 0,82 0,83 0,59 0,63 "
                         "0,68 0,133 0,134 0,115 0,116 0,15 27 13 8 97 9 1")
        keys_row = lambda: (pane.rows()[13] + pane.rows()[14]).rstrip()
        pane.wait_for(lambda: keys_row() == expected_keys, f"key codes, last {keys_row()!r}")

        pane.keys("q")
        pane.wait_for(lambda: pane.rows()[15].startswith("Line?"), "the line prompt")
        pane.keys("-l", "hellx")
        pane.keys("BSpace", "o", "Home", "Right", "a", "End", "!", "Left", "Left", "BSpace")
        pane.wait_for(lambda: pane.rows()[15].rstrip() == "Line? hallo!", "the edited line")
        check(pane.display("#{cursor_x},#{cursor_y}") == "10,15", "cursor not in the line")
        pane.keys("Escape")
        time.sleep(0.3)
        pane.keys("-l", "12")
        pane.keys("Enter")
        if not pane.wait_for(lambda: "Bye" in pane.rows()[24], "the end of the line read"):
            return
        # The probe has written a line end on the bottom row: one row of scrolling.
        rows = [row.rstrip() for row in pane.rows()]
        check(rows[14:16] + rows[22:24] == ["Line? 12", "line=[12]", " " * 79 + "|", "last"],
              f"after scrolling: {rows}")
        # The shell's "AFTER" may already follow on the bottom row.
        check(pane.rows()[24].startswith(" " * 9 + "Bye"), f"bottom row {pane.rows()[24]!r}")
        check(all(bg == BLUE for _, _, bg in pane.cells()[24][:12]), "scrolled-in row not blue")
        pane.check_restored(0, "normal end")


def test_signals(workdir):
    for how, signum in [("Ctrl+C", signal.SIGINT), ("SIGTERM", signal.SIGTERM),
                        ("SIGHUP", signal.SIGHUP)]:
        with tempfile.TemporaryDirectory(dir=workdir) as probe_dir, Pane(probe_dir) as pane:
            if not pane.ready:
                continue
            if signum == signal.SIGINT:
                pane.keys("C-c")
            else:
                os.kill(int(pane.file("pid")), signum)
            pane.check_restored(128 + signum, how)


def test_piped(workdir):
    # Control and high bytes typed into a line are kept in it and shown as '?'.
    for stdin, status, stdout in [(b"ab\x1b[Dc\r", 0, b"abc\nline=[ac]\n"),
                                  (b"x\x01\x07\x9by", 3, b"x???y\ninput ended\n")]:
        result = subprocess.run([PROBE, "line"], input=stdin, capture_output=True, timeout=20,
                                cwd=workdir)
        check((result.returncode, result.stdout) == (status, stdout),
              f"piped {stdin!r}: status {result.returncode}, output {result.stdout!r}")


def main():
    for case in (test_screen_keys_and_line, test_signals, test_piped):
        with tempfile.TemporaryDirectory(prefix="strikewell-console-") as workdir:
            before = len(failures)
            case(workdir)
            print(f"{case.__name__}: {'ok' if len(failures) == before else 'FAILED'}")
    if failures:
        print(f"{len(failures)} check(s) failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
