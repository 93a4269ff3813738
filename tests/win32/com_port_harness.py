#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a pseudo-terminal as its COM port.

The program's output lines "@harness REQUEST" are answered with one line on its input;
other lines are passed through, and the harness exits with the program's status.

  send 41 0d         write the bytes on the pty; "ok" once they wait in the input queue
  send-after 200 41  "ok" at once; the bytes follow 200 ms later
  later 20 REQUEST   "ok" at once; REQUEST (send, lines) is done 20 ms later
  flush-input        discard the bytes that wait for the program; "ok"
  when               the time at which the last "later" request was done (see clock)
  clock              now, in microseconds of CLOCK_MONOTONIC_RAW, Wine's performance
                     counter and so the program's monotonic clock under Wine
  lines cts=1 ri=1   new contents of the file the preloaded shim serves TIOCMGET from
  termios            what a pty keeps of the line settings: "speed=2400 stopbits=1"
  outputs            RTS and DTR as last set by the program: "rts=1 dtr=0"
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

SPEEDS = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n[:1] == "B" and n[1:].isdigit()}


class Port:
    """A pty behind WINEDIR/ports/comN (the prefix's COMN) until close(). A slave
    descriptor of its own keeps the pty up while the program reopens the port."""

    def __init__(self, wine_dir, number):
        self.wine_dir, self.number = wine_dir, number
        ports = os.path.join(wine_dir, "ports")
        os.makedirs(ports, exist_ok=True)
        self.link = os.path.join(ports, "com%d" % number)
        # One user per port at a time, also when CTest runs tests in parallel.
        self.lock = open(self.link + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.master, self.slave = os.openpty()
        # Raw: bytes from the master reach the reader at once, not at a line end.
        tty.setraw(self.slave)
        self.slave_name = os.ttyname(self.slave)
        if os.path.lexists(self.link + ".new"):
            os.unlink(self.link + ".new")
        os.symlink(self.slave_name, self.link + ".new")
        os.replace(self.link + ".new", self.link)

    def close(self):
        if os.path.islink(self.link) and os.readlink(self.link) == self.slave_name:
            os.unlink(self.link)
        if self.master is not None:
            os.close(self.master)
        os.close(self.slave)
        self.lock.close()

    def send(self, data):
        def queued():
            size = fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0")
            return int.from_bytes(size, sys.byteorder)

        want = queued() + len(data)
        os.write(self.master, data)
        # The tty layer hands written bytes over to the reader's queue a little later.
        deadline = time.monotonic() + 5
        while queued() < want:
            if time.monotonic() > deadline:
                return "error: bytes did not reach the input queue"
            time.sleep(0.001)
        return "ok"


def clock_us():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 1000


def answer(port, request, scratch, timers, done_at):
    command, _, rest = request.partition(" ")
    if command == "send":
        return port.send(bytes.fromhex(rest))
    if command == "send-after":
        delay_ms, _, data = rest.partition(" ")
        timers.append(threading.Timer(int(delay_ms) / 1000, port.send, [bytes.fromhex(data)]))
        timers[-1].start()
        return "ok"
    if command == "later":
        delay_ms, _, later_request = rest.partition(" ")

        def later():
            done_at.append(clock_us())
            answer(port, later_request, scratch, timers, done_at)

        timers.append(threading.Timer(int(delay_ms) / 1000, later))
        timers[-1].start()
        return "ok"
    if command == "hangup":  # the adapter pulled out: the pty's other side goes
        os.close(port.master)
        port.master = None
        return "ok"
    if command == "replug":  # a new pty behind the same COM port
        port.close()
        port.__init__(port.wine_dir, port.number)
        return "ok"
    if command == "flush-input":
        termios.tcflush(port.slave, termios.TCIFLUSH)
        return "ok"
    if command == "when":
        return str(done_at[-1]) if done_at else "error: no later request done yet"
    if command == "clock":
        return str(clock_us())
    if command == "lines":
        # The shim reads the file at every TIOCMGET: it must never see half of it.
        with open(os.path.join(scratch, "lines.new"), "w") as new:
            new.write(rest + "\n")
        os.replace(os.path.join(scratch, "lines.new"), os.path.join(scratch, "lines"))
        return "ok"
    if command == "termios":
        attributes = termios.tcgetattr(port.slave)
        stop_bits = 2 if attributes[2] & termios.CSTOPB else 1
        return "speed=%d stopbits=%d" % (SPEEDS.get(attributes[5], -1), stop_bits)
    if command == "outputs":
        try:
            with open(os.path.join(scratch, "outputs.log")) as log:
                sets = [line.split()[2:] for line in log if line.startswith(port.slave_name + " ")]
        except FileNotFoundError:
            sets = []
        return " ".join(sets[-1]) if sets else "none"
    return "error: unknown request " + command


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True, help="scripts/wine-run")
    parser.add_argument("--wine-dir", required=True, help="the build's Wine directory")
    parser.add_argument("--port", type=int, required=True, help="test port number, 5 or 6")
    parser.add_argument("--shim", help="modem-line shim to preload into the program")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program

    port = Port(args.wine_dir, args.port)
    scratch = tempfile.TemporaryDirectory(prefix="strikewell-com-")
    env = dict(os.environ, STRIKEWELL_TEST_PORT="COM%d" % args.port)
    if args.shim:
        env.update(STRIKEWELL_WINE_PRELOAD=os.path.abspath(args.shim),
                   STRIKEWELL_SHIM_DEVICE=port.slave_name,
                   STRIKEWELL_SHIM_LINES=os.path.join(scratch.name, "lines"),
                   STRIKEWELL_SHIM_LOG=os.path.join(scratch.name, "outputs.log"),
                   STRIKEWELL_TEST_SHIM="1")
    timers = []
    done_at = []
    try:
        child = subprocess.Popen([args.wine_run, args.wine_dir] + program, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, env=env)
        for raw in child.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            if not line.startswith("@harness "):
                print(line, flush=True)
                continue
            reply = answer(port, line[len("@harness "):], scratch.name, timers, done_at)
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
