#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a pseudo-terminal as its COM port.

The harness makes a pty, points the prefix's test port (WINEDIR/ports/comN, which
the prefix maps to COMN) at the pty's slave, and runs the program through
scripts/wine-run. It keeps the master, and a slave descriptor of its own so that
the pty stays up while the program closes and reopens the port.

The program asks for what it cannot do from the Windows side with lines on its
standard output, each answered by one line on its standard input:

  @harness send 41 0d        write these bytes on the master; answered once they
                             wait in the port's input queue
  @harness send-after 200 41 answered at once; the bytes follow 200 ms later, while
                             the program waits in a read
  @harness lines cts=1 ri=1  new contents of the modem-line control file that the
                             preloaded shim serves TIOCMGET from
  @harness termios           the line settings that a pty keeps: "speed=2400
                             stopbits=1" (Linux's pty driver forces 8 data bits
                             and no parity whatever the program sets)
  @harness outputs           RTS and DTR as last set, "rts=1 dtr=0" ("none" before
                             any change)

Every other line is passed through. The harness exits with the program's status.
"""

import argparse
import fcntl
import os
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

PREFIX = "@harness "
QUEUE_WAIT_S = 5.0

SPEEDS = {
    getattr(termios, name): int(name[1:])
    for name in dir(termios)
    if name.startswith("B") and name[1:].isdigit()
}


class Port:
    """A pty behind WINEDIR/ports/comN for as long as the harness runs."""

    def __init__(self, wine_dir, number):
        ports = os.path.join(wine_dir, "ports")
        os.makedirs(ports, exist_ok=True)
        self.link = os.path.join(ports, "com%d" % number)
        # One harness per port at a time, also when CTest runs tests in parallel.
        self.lock = open(self.link + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.master, self.slave = os.openpty()
        # Raw: bytes from the master reach the reader at once, not at a line end.
        tty.setraw(self.slave)
        self.slave_name = os.ttyname(self.slave)
        temporary = self.link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(self.slave_name, temporary)
        os.replace(temporary, self.link)

    def close(self):
        if os.path.islink(self.link) and os.readlink(self.link) == self.slave_name:
            os.unlink(self.link)
        os.close(self.master)
        os.close(self.slave)
        self.lock.close()

    def queued(self):
        return int.from_bytes(
            fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder
        )

    def send(self, data):
        before = self.queued()
        os.write(self.master, data)
        # The tty layer hands written bytes over to the reader's queue a little later.
        deadline = time.monotonic() + QUEUE_WAIT_S
        while self.queued() < before + len(data):
            if time.monotonic() > deadline:
                return "error: bytes did not reach the input queue"
            time.sleep(0.001)
        return "ok"

    def termios_text(self):
        attributes = termios.tcgetattr(self.slave)
        cflag, ospeed = attributes[2], attributes[5]
        return "speed=%d stopbits=%d" % (
            SPEEDS.get(ospeed, -1),
            2 if cflag & termios.CSTOPB else 1,
        )


def last_outputs(log_path, device):
    try:
        with open(log_path) as log:
            lines = [line.split() for line in log if line.startswith(device + " ")]
    except FileNotFoundError:
        return "none"
    return " ".join(lines[-1][2:]) if lines else "none"


def write_atomically(path, text):
    with open(path + ".new", "w") as new:
        new.write(text)
    # The shim reads the file on every TIOCMGET: it must never see half of it.
    os.replace(path + ".new", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True, help="scripts/wine-run")
    parser.add_argument("--wine-dir", required=True, help="the build's Wine directory")
    parser.add_argument("--port", type=int, required=True, help="test port number, 5 or 6")
    parser.add_argument("--shim", help="modem-line shim to preload into the program")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program to run")

    port = Port(args.wine_dir, args.port)
    scratch = tempfile.TemporaryDirectory(prefix="strikewell-com-")
    lines_path = os.path.join(scratch.name, "lines")
    log_path = os.path.join(scratch.name, "outputs.log")
    env = dict(os.environ, STRIKEWELL_TEST_PORT="COM%d" % args.port)
    if args.shim:
        env.update(
            STRIKEWELL_WINE_PRELOAD=os.path.abspath(args.shim),
            STRIKEWELL_SHIM_DEVICE=port.slave_name,
            STRIKEWELL_SHIM_LINES=lines_path,
            STRIKEWELL_SHIM_LOG=log_path,
            STRIKEWELL_TEST_SHIM="1",
        )
    timers = []
    try:
        child = subprocess.Popen(
            [args.wine_run, args.wine_dir] + program,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=env,
        )
        for raw in child.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            if not line.startswith(PREFIX):
                print(line, flush=True)
                continue
            command, _, rest = line[len(PREFIX) :].partition(" ")
            if command == "send":
                reply = port.send(bytes.fromhex(rest))
            elif command == "send-after":
                delay_ms, _, data = rest.partition(" ")
                later = threading.Timer(int(delay_ms) / 1000, port.send, [bytes.fromhex(data)])
                later.start()
                timers.append(later)
                reply = "ok"
            elif command == "lines":
                write_atomically(lines_path, rest + "\n")
                reply = "ok"
            elif command == "termios":
                reply = port.termios_text()
            elif command == "outputs":
                reply = last_outputs(log_path, port.slave_name)
            else:
                reply = "error: unknown request " + command
            child.stdin.write((reply + "\r\n").encode())
            child.stdin.flush()
        return child.wait()
    finally:
        for timer in timers:
            timer.cancel()
            timer.join()
        port.close()
        scratch.cleanup()


if __name__ == "__main__":
    sys.exit(main())
