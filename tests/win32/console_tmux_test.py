#!/usr/bin/env python3
"""The Windows console backend under Wine in a real terminal (a tmux pane).

Runs tests/win32/console_probe.cc through scripts/wine-run in an 80x25 tmux pane,
compares the screen it draws (text, colours, cursor) with the expected one, then
types keys with tmux and checks the codes the probe reads.

Wine renders its console into the terminal with escape sequences and turns the
terminal's input back into key events; tmux rewrites colour codes, so text and
colours are compared, not bytes.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT = 80, 25
START_TIMEOUT_S = 90
STEP_TIMEOUT_S = 10

YELLOW_ON_BLUE = 0x1E
WHITE_ON_RED = 0x4F

# The screen after drawing: the probe wrote two lines more than fit at the bottom,
# so everything moved up two rows and its first line is gone.
EXPECTED_SCREEN = {
    1: " " * 29 + "at 30,3+",
    3: " " * 74 + "wrap-a",
    4: "round",
    6: "white on red back to yellow",
    8: "LINEline",
    22: "last but one",
    23: "last",
    24: "scrolled 1",
    12: "keys:",
    25: "scrolled 2",
}
KEYS_ROW = 12
COLOURED_CELLS = {(6, column): WHITE_ON_RED for column in range(1, 13)}

# Keys typed one at a time, each with the codes ReadKey returns for it. Not typed:
# Home and End, which Wine 8 reads from a terminal as keys without a key code, and
# Escape, which it reports without its character (it reads as 0 1 here; Windows
# gives 27).
KEYS = [
    (["a"], "97"),
    (["C-a"], "1"),
    (["M-a"], "0 30"),
    (["Tab"], "9"),
    (["BTab"], "0 15"),
    (["C-Left"], "0 115"),
    (["S-F1"], "0 84"),
    (["F12"], "0 134"),
    (["Left"], "0 75"),
    (["Right"], "0 77"),
    (["F1"], "0 59"),
    (["Up"], "0 72"),
    (["PageDown"], "0 81"),
    (["DC"], "0 83"),
    (["Enter"], "13"),
    (["BSpace"], "8"),
    (["Z"], "90"),
    (["q"], "113"),
]

# ANSI colour numbers to the console's palette (blue and red swap places).
ANSI_TO_CONSOLE = [0, 4, 2, 6, 1, 5, 3, 7]


class Tmux:
    def __init__(self):
        self.socket = "strikewell-wine-%d" % os.getpid()

    def __call__(self, *args):
        return subprocess.run(
            ["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args),
            check=True,
            capture_output=True,
            text=True,
        ).stdout

    def rows(self, escapes=False):
        args = ["capture-pane", "-p", "-N", "-t", "probe"] + (["-e"] if escapes else [])
        return self(*args).split("\n")[:HEIGHT]

    def text(self):
        return [row.rstrip() for row in self.rows()]

    def cursor(self):
        x, y = self("display-message", "-p", "-t", "probe", "#{cursor_x} #{cursor_y}").split()
        return int(x) + 1, int(y) + 1

    def kill(self):
        subprocess.run(
            ["tmux", "-L", self.socket, "kill-server"], capture_output=True, check=False
        )


def attribute_grid(rows):
    """The console attribute of every cell (tmux -e; a colour set on one row holds
    for the rows after it until changed)."""
    grid = []
    fg, bg = 7, 0
    for row in rows:
        cells = []
        for params, char in re.findall(r"\x1b\[([0-9;]*)m|([^\x1b])", row):
            if char:
                cells.append(bg << 4 | fg)
                continue
            numbers = [int(n) if n else 0 for n in params.split(";")]
            i = 0
            while i < len(numbers):
                n = numbers[i]
                if n == 0:
                    fg, bg = 7, 0
                elif 30 <= n <= 37:
                    fg = ANSI_TO_CONSOLE[n - 30]
                elif 90 <= n <= 97:
                    fg = ANSI_TO_CONSOLE[n - 90] + 8
                elif n == 39:
                    fg = 7
                elif 40 <= n <= 47:
                    bg = ANSI_TO_CONSOLE[n - 40]
                elif 100 <= n <= 107:
                    bg = ANSI_TO_CONSOLE[n - 100] + 8
                elif n == 49:
                    bg = 0
                elif n in (38, 48) and i + 2 < len(numbers) and numbers[i + 1] == 5:
                    colour = numbers[i + 2]
                    colour = ANSI_TO_CONSOLE[colour % 8] + (8 if 8 <= colour < 16 else 0)
                    if n == 38:
                        fg = colour
                    else:
                        bg = colour
                    i += 2
                i += 1
        grid.append(cells)
    return grid


def key_codes(tmux):
    """The key row and the row it wraps onto, as one text."""
    rows = tmux.rows()
    return (rows[KEYS_ROW - 1] + rows[KEYS_ROW]).rstrip()


def wait_for(what, check, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.1)


def compare(name, got, want, failures):
    if got != want:
        failures.append("%s:\n  got  %r\n  want %r" % (name, got, want))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--wine-dir", required=True)
    parser.add_argument("probe")
    args = parser.parse_args()

    tmux = Tmux()
    failures = []
    with tempfile.TemporaryDirectory(prefix="strikewell-console-") as scratch:
        status_path = os.path.join(scratch, "status")
        # The shell outlives the probe so that the pane, and the screen the probe
        # left, stay for the last capture.
        command = '"$0" "$1" "$2"; echo $? >"$3"; exec sleep 600'
        tmux(
            "new-session", "-d", "-s", "probe", "-x", str(WIDTH), "-y", str(HEIGHT),
            "sh", "-c", command, args.wine_run, args.wine_dir, args.probe, status_path,
        )
        try:
            wait_for(
                "the probe's screen",
                lambda: tmux.text()[KEYS_ROW - 1] == "keys:",
                START_TIMEOUT_S,
            )
            want = [EXPECTED_SCREEN.get(y, "") for y in range(1, HEIGHT + 1)]
            compare("screen", tmux.text(), want, failures)
            want_attrs = [
                [COLOURED_CELLS.get((y, x), YELLOW_ON_BLUE) for x in range(1, WIDTH + 1)]
                for y in range(1, HEIGHT + 1)
            ]
            got_attrs = [row[:WIDTH] for row in attribute_grid(tmux.rows(escapes=True))]
            for y in range(HEIGHT):
                compare("colours of row %d" % (y + 1), got_attrs[y], want_attrs[y], failures)
            compare("cursor", tmux.cursor(), (6, KEYS_ROW), failures)

            typed = "keys:"
            for keys, codes in KEYS:
                tmux("send-keys", "-t", "probe", *keys)
                typed += " " + codes
                try:
                    wait_for(
                        "the codes of %s" % keys,
                        lambda: key_codes(tmux).startswith(typed),
                        STEP_TIMEOUT_S,
                    )
                except TimeoutError:
                    # The rest would only wait as long again; q cannot end the probe.
                    compare("codes after %s" % keys, key_codes(tmux), typed, failures)
                    raise

            status = wait_for(
                "the probe's end", lambda: os.path.exists(status_path) and open(status_path).read(),
                STEP_TIMEOUT_S,
            )
            compare("exit status", status.strip(), "0", failures)
            compare("first row at the end", tmux.text()[0][:4], "done", failures)
        except TimeoutError as error:
            failures.append("timed out waiting for %s; the pane shows:\n%s"
                            % (error, "\n".join(tmux.text())))
        finally:
            tmux.kill()

    for failure in failures:
        print("FAILED " + failure)
    print("%d checks failed" % len(failures) if failures else "console under Wine: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
