#!/usr/bin/env python3
"""Runs a command with DISPLAY set to a private Xvfb, which ends with it.

Windows programs under Wine need an X server for their windows and key input; the
Windows build's tests open none on the caller's screen, so this one is theirs.

  with_xvfb.py [--openbox] -- COMMAND [ARG...]

Exits with the command's status (125 when the server does not come up).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

OPENBOX_RC = """<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
</openbox_config>
"""


def start_xvfb():
    """Xvfb on a display it picks itself; returns (process, ":N")."""
    read_end, write_end = os.pipe()
    # -noreset: the server would otherwise reset (and refuse connections meanwhile)
    # whenever its last client leaves, as happens between two Wine programs.
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    os.close(write_end)
    reported = b""
    with os.fdopen(read_end, "rb") as pipe:
        while not reported.endswith(b"\n"):
            chunk = pipe.read(1)
            if not chunk:
                break
            reported += chunk
    if not reported.strip().isdigit():
        xvfb.kill()
        xvfb.wait()
        return None, None
    return xvfb, ":" + reported.strip().decode()


def stop(process):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--openbox", action="store_true", help="run openbox on the display")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")

    xvfb, display = start_xvfb()
    if xvfb is None:
        print("with_xvfb: Xvfb did not start", file=sys.stderr)
        return 125
    wm = None
    env = dict(os.environ, DISPLAY=display)
    try:
        with tempfile.TemporaryDirectory(prefix="strikewell-openbox-") as config:
            if args.openbox:
                rc = os.path.join(config, "rc.xml")
                with open(rc, "w") as f:
                    f.write(OPENBOX_RC)
                wm = subprocess.Popen(
                    ["openbox", "--sm-disable", "--config-file", rc],
                    env=dict(env, XDG_CONFIG_HOME=config), stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(1)
            return subprocess.call(command, env=env)
    finally:
        stop(wm)
        stop(xvfb)


if __name__ == "__main__":
    sys.exit(main())
