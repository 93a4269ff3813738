#!/usr/bin/env python3
"""The terminal console backend on a real terminal.

Runs terminal_console_probe in a tmux pane of 80x25 and checks what a ringer would
see and type: yellow on blue after the clear, text and cursor where they were put,
control bytes from outside shown as '?', arrow, function and editing keys arriving
as the program's key codes, a lone Escape told from a sequence. Then checks that the
terminal's modes (stty -g), colours, line wrapping and cursor are back after the
program ends: normally, by Ctrl+C, and killed by SIGTERM and SIGHUP. Last, the probe
with piped input and output: plain text out, keys decoded from the pipe, and the
end of input reported.

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
YELLOW = 93  # bright yellow foreground: console colour 14
BLUE = 44  # blue background: console colour 1

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


class Pane:
    """One tmux server on a private socket with one 80x25 pane."""

    count = 0

    def __init__(self, workdir, command):
        Pane.count += 1
        self.base = ["tmux", "-L", f"strikewell-console-{os.getpid()}-{Pane.count}",
                     "-f", "/dev/null"]
        self.workdir = workdir
        self.tmux("new-session", "-d", "-x", "80", "-y", "25", "-c", workdir, command)
        self.socket_path = self.display("#{socket_path}")

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
            row = []
            i = 0
            while i < len(line):
                m = re.match(r"\x1b\[([0-9;]*)m", line[i:])
                if m:
                    fg, bg = apply_sgr(m.group(1), fg, bg)
                    i += m.end()
                    continue
                row.append((line[i], fg, bg))
                i += 1
            grid.append(row)
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

    def close(self):
        subprocess.run(self.base + ["kill-server"], capture_output=True, timeout=20)
        # The server leaves its socket behind.
        if self.socket_path and os.path.exists(self.socket_path):
            os.unlink(self.socket_path)


def apply_sgr(params, fg, bg):
    codes = [int(p) if p else 0 for p in params.split(";")] if params else [0]
    i = 0
    while i < len(codes):
        c = codes[i]
        if c == 0:
            fg = bg = None
        elif c == 39:
            fg = None
        elif c == 49:
            bg = None
        elif 30 <= c <= 37 or 90 <= c <= 97:
            fg = c
        elif 40 <= c <= 47 or 100 <= c <= 107:
            bg = c
        elif c in (38, 48):
            # 38;5;n or 38;2;r;g;b: a colour this backend never sends.
            value = ("extended", tuple(codes[i:i + 5]))
            if c == 38:
                fg = value
            else:
                bg = value
            i += 2 if i + 1 < len(codes) and codes[i + 1] == 5 else 4
        i += 1
    return fg, bg


def wrapper(probe_args):
    """The pane's command: terminal modes before and after the probe, its status,
    and text printed after it (which must come out in the terminal's own colours)."""
    # "trap : INT" keeps the wrapper alive through Ctrl+C without the probe
    # inheriting an ignored SIGINT.
    return ("sh -c 'trap : INT; stty -g > before; \"$0\" " + probe_args +
            "; echo $? > status; stty -g > after; printf AFTER; sleep 600' " + PROBE)


def check_restored(pane, expected_status, how):
    if not pane.wait_for(lambda: pane.file("after") is not None and "AFTER" in
                         "".join(pane.rows()), f"the end of the probe ({how})"):
        return
    check(pane.file("status") == str(expected_status),
          f"{how}: exit status {pane.file('status')}, expected {expected_status}")
    check(pane.file("before") == pane.file("after"),
          f"{how}: terminal modes changed: {pane.file('before')} -> {pane.file('after')}")
    check(pane.display("#{cursor_flag}") == "1", f"{how}: cursor left hidden")
    check(pane.display("#{wrap_flag}") == "1", f"{how}: line wrapping left off")
    after = [cell for row in pane.cells() for cell in row]
    text = "".join(c for c, _, _ in after)
    start = text.find("AFTER")
    if start >= 0:
        colours = {(fg, bg) for _, fg, bg in after[start:start + 5]}
        check(colours == {(None, None)}, f"{how}: text after the end in colours {colours}")


def test_screen_keys_and_line(workdir):
    pane = Pane(workdir, wrapper("screen pid"))
    try:
        if not pane.wait_for(lambda: "Ready" in pane.rows()[10], "the test screen"):
            return
        rows = pane.rows()
        expected = {
            1: " " * 79 + "|",
            5: " " * 9 + "Hello",
            7: "ctl:?]0;pwned|?2J|??|end",
            8: " " * 74 + "wrap-a",
            9: "round",
            11: "Ready",
            24: " " * 79 + "|",
        }
        for y in range(1, 26):
            check(rows[y - 1].rstrip() == expected.get(y, "").rstrip(),
                  f"row {y}: {rows[y - 1]!r}, expected {expected.get(y, '')!r}")
        check(pane.display("#{cursor_x},#{cursor_y}") == "19,11",
              f"cursor at {pane.display('#{cursor_x},#{cursor_y}')} (0-based), expected 19,11")
        check(pane.display("#{pane_title}") != "pwned", "text changed the terminal's title")
        check(pane.display("#{wrap_flag}") == "0", "line wrapping is on while drawing")

        cells = pane.cells()
        text_cells = [cells[4][9 + i] for i in range(5)] + [cells[7][74 + i] for i in range(6)]
        check(all(fg == YELLOW and bg == BLUE for _, fg, bg in text_cells),
              f"text not yellow on blue: {set((fg, bg) for _, fg, bg in text_cells)}")
        for y in (0, 7, 23):
            blanks = cells[y][:74]
            check(len(blanks) == 74 and all(bg == BLUE for _, _, bg in blanks),
                  f"row {y + 1}: cleared cells not blue: {set(bg for _, _, bg in blanks)}")

        pane.keys("Left", "Right", "Up", "Down", "Home", "End", "PPage", "NPage", "IC", "DC",
                  "F1", "F5", "F10", "F11", "F12", "C-Left", "C-Right", "BTab")
        # A lone Escape is told from a sequence only by the quiet gap after it.
        pane.keys("Escape")
        time.sleep(0.3)
        pane.keys("Enter", "BSpace", "a", "Tab", "C-a")
        expected_keys = ("keys: 0,75 0,77 0,72 0,80 0,71 0,79 0,73 0,81 0,82 0,83 0,59 0,63 "
                         "0,68 0,133 0,134 0,115 0,116 0,15 27 13 8 97 9 1")

        def keys_row():
            rows_now = pane.rows()
            return (rows_now[13] + rows_now[14]).rstrip()

        pane.wait_for(lambda: keys_row() == expected_keys,
                      f"key codes {expected_keys!r}, last seen {keys_row()!r}")

        pane.keys("q")
        pane.wait_for(lambda: pane.rows()[15].startswith("Line?"), "the line prompt")
        pane.keys("-l", "hellx")
        pane.keys("BSpace", "o", "Home", "Right", "a", "End", "!", "Left", "Left", "BSpace")
        pane.wait_for(lambda: pane.rows()[15].rstrip() == "Line? hallo!", "the edited line")
        check(pane.display("#{cursor_x},#{cursor_y}") == "10,15",
              f"cursor in the line at {pane.display('#{cursor_x},#{cursor_y}')}")
        pane.keys("Escape")
        time.sleep(0.3)
        pane.keys("-l", "12")
        pane.keys("Enter")
        if not pane.wait_for(lambda: "Bye" in pane.rows()[24], "the end of the line read"):
            return
        # The probe has written a line end on the bottom row: one row of scrolling.
        rows = pane.rows()
        expected = {15: "Line? 12", 16: "line=[12]", 23: " " * 79 + "|", 24: "last"}
        for y, text in expected.items():
            check(rows[y - 1].rstrip() == text, f"after scrolling, row {y}: {rows[y - 1]!r}")
        check(rows[24].startswith(" " * 9 + "Bye"), f"bottom row {rows[24]!r}")
        bottom = pane.cells()[24][:12]
        check(all(bg == BLUE for _, _, bg in bottom),
              f"scrolled-in row not blue: {[bg for _, _, bg in bottom]}")
        check_restored(pane, 0, "normal end")
    finally:
        pane.close()


def test_signal(workdir, how, send, expected_status):
    pane = Pane(workdir, wrapper("screen pid"))
    try:
        if not pane.wait_for(lambda: "Ready" in pane.rows()[10], f"the test screen ({how})"):
            return
        send(pane, int(pane.file("pid")))
        check_restored(pane, expected_status, how)
    finally:
        pane.close()


def test_piped(workdir):
    def run(stdin_bytes):
        return subprocess.run([PROBE, "line"], input=stdin_bytes, capture_output=True,
                              timeout=20, cwd=workdir)

    result = run(b"ab\x1b[Dc\r")
    check(result.returncode == 0, f"piped line: status {result.returncode}")
    check(result.stdout == b"abc\nline=[ac]\n", f"piped line: output {result.stdout!r}")
    result = run(b"12\n")
    check(result.stdout == b"12\nline=[12]\n", f"piped LF line: output {result.stdout!r}")
    # Control and high bytes typed into a line are kept in it and shown as '?'.
    result = run(b"x\x01\x07\x9by")
    check(result.returncode == 3, f"input ending mid-line: status {result.returncode}")
    check(result.stdout == b"x???y\ninput ended\n",
          f"input ending mid-line: output {result.stdout!r}")
    result = subprocess.run([PROBE, "line"], stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=20, cwd=workdir)
    check(result.returncode == 3 and result.stdout == b"input ended\n",
          f"no input: status {result.returncode}, output {result.stdout!r}")


def main():
    cases = [
        ("screen", test_screen_keys_and_line),
        ("ctrl-c", lambda d: test_signal(d, "Ctrl+C", lambda p, pid: p.keys("C-c"), 130)),
        ("sigterm", lambda d: test_signal(
            d, "SIGTERM", lambda p, pid: os.kill(pid, signal.SIGTERM), 128 + signal.SIGTERM)),
        ("sighup", lambda d: test_signal(
            d, "SIGHUP", lambda p, pid: os.kill(pid, signal.SIGHUP), 128 + signal.SIGHUP)),
        ("piped", test_piped),
    ]
    for name, case in cases:
        with tempfile.TemporaryDirectory(prefix=f"strikewell-console-{name}-") as workdir:
            before = len(failures)
            case(workdir)
            print(f"{name}: {'ok' if len(failures) == before else 'FAILED'}")
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
