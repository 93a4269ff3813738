#!/usr/bin/env python3
"""Runs a command with DISPLAY set to a private Xvfb, which ends with it.

Windows programs under Wine need an X server for their windows and key input; the
Windows build's tests open none on the caller's screen, so this one is theirs.

  with_xvfb.py -- COMMAND [ARG...]

Exits with the command's status (125 when the server does not come up).
"""

import os
import subprocess
import sys


def main():
    command = sys.argv[2:] if sys.argv[1:2] == ["--"] else sys.argv[1:]
    if not command:
        sys.exit(__doc__)
    read_end, write_end = os.pipe()
    # -noreset: the server would otherwise reset (and refuse connections meanwhile)
    # whenever its last client leaves, as happens between two Wine programs.
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
         "-noreset"],
        pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        display = pipe.readline().strip()
    try:
        if not display.isdigit():
            print("with_xvfb: Xvfb did not start", file=sys.stderr)
            return 125
        return subprocess.call(command, env=dict(os.environ, DISPLAY=":" + display.decode()))
    finally:
        xvfb.terminate()
        try:
            xvfb.wait(timeout=5)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()


if __name__ == "__main__":
    sys.exit(main())
