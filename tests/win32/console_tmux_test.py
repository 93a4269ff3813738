#!/usr/bin/env python3
"""The Windows console backend under Wine in a real terminal (a tmux pane).

Runs tests/win32/console_probe.cc in an 80x25 tmux pane, compares the screen it draws
(text, colours, cursor) with the expected one, then types keys and checks the codes the
probe reads. tmux rewrites Wine's escape sequences: text and colours are compared, not bytes.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT = 80, 25
SOCKET = "strikewell-wine-%d" % os.getpid()
YELLOW_ON_BLUE, WHITE_ON_RED = 0x1E, 0x4F

# The probe wrote two lines more than fit at the bottom, so everything moved up two
# rows and its first line is gone.
EXPECTED_SCREEN = {
    1: " " * 29 + "at 30,3+",
    3: " " * 74 + "wrap-a",
    4: "round",
    6: "white on red back to yellow",
    8: "LINEline",
    12: "keys:",
    22: "last but one",
    23: "last",
    24: "scrolled 1",
    25: "scrolled 2",
}
KEYS_ROW = 12
COLOURED_CELLS = {(6, column): WHITE_ON_RED for column in range(1, 13)}

# Keys typed one at a time, each with the codes ReadKey returns for it. Not typed:
# Home and End, which Wine 8 reads from a terminal as keys without a key code, and
# Escape, which it reports without its character (0 1 here; Windows gives 27).
KEYS = [("a", "97"), ("C-a", "1"), ("M-a", "0 30"), ("Tab", "9"), ("BTab", "0 15"),
        ("C-Left", "0 115"), ("S-F1", "0 84"), ("F12", "0 134"), ("Left", "0 75"),
        ("Enter", "13"), ("BSpace", "8"), ("q", "113")]

# ANSI colour numbers to the console's palette (blue and red swap places).
ANSI_TO_CONSOLE = [0, 4, 2, 6, 1, 5, 3, 7]


def tmux(*args):
    return subprocess.run(["tmux", "-L", SOCKET, "-f", "/dev/null"] + list(args), check=True,
                          capture_output=True, text=True).stdout


def rows(escapes=False):
    captured = tmux("capture-pane", "-p", "-N", "-t", "probe", *(["-e"] if escapes else []))
    return captured.split("\n")[:HEIGHT]


def attribute_grid(lines):
    """The console attribute of every cell (tmux -e; a colour holds until changed)."""
    grid, fg, bg = [], 7, 0
    for line in lines:
        cells = []
        for params, char in re.findall(r"\x1b\[([0-9;]*)m|([^\x1b])", line):
            if char:
                cells.append(bg << 4 | fg)
                continue
            for n in [int(p or 0) for p in params.split(";")]:
                bright = 8 if n >= 90 else 0
                if n == 0:
                    fg, bg = 7, 0
                elif n % 10 < 8 and n // 10 in (3, 9):
                    fg = ANSI_TO_CONSOLE[n % 10] + bright
                elif n % 10 < 8 and n // 10 in (4, 10):
                    bg = ANSI_TO_CONSOLE[n % 10] + bright
        grid.append(cells[:WIDTH])
    return grid


def wait_for(what, check, timeout=10):
    deadline = time.monotonic() + timeout
    while not (result := check()):
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.1)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--wine-dir", required=True)
    parser.add_argument("probe")
    args = parser.parse_args()

    failures = []

    def compare(name, got, want):
        if got != want:
            failures.append("%s:\n  got  %r\n  want %r" % (name, got, want))

    def text():
        return [row.rstrip() for row in rows()]

    def key_codes():  # the key row and the row it wraps onto
        return "".join(rows()[KEYS_ROW - 1:KEYS_ROW + 1]).rstrip()

    with tempfile.TemporaryDirectory(prefix="strikewell-console-") as scratch:
        status_path = os.path.join(scratch, "status")
        # The shell outlives the probe, so the screen it left stays for the last capture.
        tmux("new-session", "-d", "-s", "probe", "-x", str(WIDTH), "-y", str(HEIGHT), "sh", "-c",
             '"$0" "$1" "$2"; echo $? >"$3"; exec sleep 600', args.wine_run, args.wine_dir,
             args.probe, status_path)
        try:
            wait_for("the probe's screen", lambda: text()[KEYS_ROW - 1] == "keys:", 90)
            compare("screen", text(), [EXPECTED_SCREEN.get(y, "") for y in range(1, HEIGHT + 1)])
            got_attrs = attribute_grid(rows(escapes=True))
            for y in range(1, HEIGHT + 1):
                want = [COLOURED_CELLS.get((y, x), YELLOW_ON_BLUE) for x in range(1, WIDTH + 1)]
                compare("colours of row %d" % y, got_attrs[y - 1], want)
            x, y = tmux("display-message", "-p", "-t", "probe", "#{cursor_x} #{cursor_y}").split()
            compare("cursor", (int(x) + 1, int(y) + 1), (6, KEYS_ROW))

            typed = "keys:"
            for key, codes in KEYS:
                tmux("send-keys", "-t", "probe", key)
                typed += " " + codes
                wait_for("the codes %s after %s" % (typed, key),
                         lambda: key_codes().startswith(typed))
            status = wait_for("the probe's end",
                              lambda: os.path.exists(status_path) and open(status_path).read())
            compare("exit status", status.strip(), "0")
            # Written over the start of the row: the rest of it stays as it was.
            compare("first row at the end", text()[0], "done" + EXPECTED_SCREEN[1][4:])
        except TimeoutError as error:
            failures.append("timed out waiting for %s; the pane shows:\n%s"
                            % (error, "\n".join(text())))
        finally:
            subprocess.run(["tmux", "-L", SOCKET, "kill-server"], capture_output=True)

    for failure in failures:
        print("FAILED " + failure)
    print("%d checks failed" % len(failures) if failures else "console under Wine: checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
