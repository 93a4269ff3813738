#!/usr/bin/env python3
"""Runs a Windows test program under Wine against stand-in Ringing Room servers on
loopback, with a test certificate authority that Wine trusts.

  network_harness.py --wine-run WINE_RUN --wine-dir DIR --standin STANDIN -- PROGRAM [ARG...]

Wine trusts what the host's store holds when its wineserver starts, so the harness
runs in a private mount namespace of its own, where /etc/ssl/certs is a copy with
the test CA added (update-ca-certificates into the copy, bind-mounted over the
original); nothing outside the namespace sees the test CA. WINE_DIR must be a prefix
for this harness alone: its wineserver is stopped before and after the run, so that
it starts (and copies the roots) inside this namespace and keeps nothing afterwards.

Servers, all on 127.0.0.1 and named by URL in the program's environment:
  STRIKEWELL_TEST_WSS        the stand-in over HTTPS/WSS, certificate for localhost
  STRIKEWELL_TEST_WS         the stand-in over plain HTTP/WS
  STRIKEWELL_TEST_OTHER      the stand-in with a certificate for other.example only
  STRIKEWELL_TEST_UNTRUSTED  the stand-in with a certificate from an unknown authority
  STRIKEWELL_TEST_IMPATIENT  the stand-in over HTTPS/WSS, pinging every 0.5 s and
                             dropping a client that has not answered 0.5 s later
  STRIKEWELL_TEST_BYTES      HTTPS: GET /bytes/N answers 200 with N bytes of "x"
  STRIKEWELL_TEST_SILENT     takes connections and never answers
  STRIKEWELL_TEST_CLOSED     a port where nothing listens
  STRIKEWELL_TEST_RINGS_WSS, STRIKEWELL_TEST_RINGS_WS
                             the rings log (--log) of the wss and ws stand-ins, as a
                             Windows path
The stand-ins know the account ann@example.org (user "ann", password "bell-rope")
and tower 123456789 ("St Mary's", 8 bells, bell 2 assigned to ann).

The program's output lines "@harness REQUEST" are answered with one line on its input:
  stop NAME    the stand-in NAME (wss, ws) is killed as a failing server is; "ok"
  start NAME   it is started again on its port; "ok" once it listens
  clock-offset CLOCK_MONOTONIC (the rings log's times) minus CLOCK_MONOTONIC_RAW
               (Wine's performance counter, the program's clock), in nanoseconds
Other lines are passed through; the harness exits with the program's status.
"""

import argparse
import http.server
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

INSIDE = "STRIKEWELL_NETWORK_NAMESPACE"
DEBIAN_PYTHON = "/usr/bin/python3"  # the one that sees Debian's python3-socketio
STANDIN_ARGS = ["--user", "ann@example.org:ann:bell-rope", "--tower", "123456789:8:St Mary's",
                "--assign", "123456789:2:ann"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Standin:
    """One stand-in process; stop() kills it, start() brings it back on its port."""

    def __init__(self, script, certs, cert_name, log, extra=()):
        self.script, self.log, self.extra = script, log, list(extra)
        self.tls = []
        if cert_name:
            self.tls = ["--cert", os.path.join(certs, cert_name + ".crt"),
                        "--key", os.path.join(certs, cert_name + ".key")]
        self.port = 0
        self.process = None
        self.start()

    def start(self):
        # A pipe it never gets to read from: it ends with the harness, however that ends.
        self.process = subprocess.Popen(
            [DEBIAN_PYTHON, self.script, "--port", str(self.port), "--stop-on-eof", *self.tls,
             *STANDIN_ARGS, *self.extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("PORT "):
            raise RuntimeError("the stand-in did not start: %r" % line)
        self.port = int(line.split()[1])

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=10)
            self.process.stdout.close()
            self.process.stdin.close()
            self.process = None


class Bytes(http.server.BaseHTTPRequestHandler):
    """GET /bytes/N: N bytes, for the response size limit."""

    def do_GET(self):
        parts = self.path.split("/")
        if len(parts) != 3 or parts[1] != "bytes" or not parts[2].isdigit():
            self.send_error(404)
            return
        body = b"x" * int(parts[2])
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def trust(ca, work):
    """/etc/ssl/certs with ca added, in this namespace only."""
    local = os.path.join(work, "local")
    hooks = os.path.join(work, "hooks")
    certs = os.path.join(work, "etc-ssl-certs")
    os.makedirs(local)
    os.makedirs(hooks)
    shutil.copyfile(ca, os.path.join(local, "strikewell-test-ca.crt"))
    subprocess.run(["cp", "-a", "/etc/ssl/certs", certs], check=True)
    update = subprocess.run(["update-ca-certificates", "--localcertsdir", local, "--etccertsdir",
                             certs, "--hooksdir", hooks], capture_output=True, text=True)
    if update.returncode != 0:
        raise RuntimeError("update-ca-certificates failed: " + update.stdout + update.stderr)
    subprocess.run(["mount", "--bind", certs, "/etc/ssl/certs"], check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--wine-dir", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program given")

    if os.environ.get(INSIDE) != "1":
        unshare = ["unshare", "--mount", "--propagation", "private"]
        if os.getuid() != 0:
            unshare.append("--map-root-user")
        os.environ[INSIDE] = "1"
        os.execvp(unshare[0], unshare + ["--", sys.executable] + sys.argv)

    # CTest ends a test that runs too long with SIGTERM: the servers and the prefix's
    # wineserver are still stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.path.insert(0, os.path.dirname(os.path.abspath(args.standin)))
    import test_ca  # beside the stand-in

    work = tempfile.mkdtemp(prefix="strikewell-network-")
    servers = []
    status = 1
    try:
        certs = os.path.join(work, "certs")
        test_ca.make_all(certs)
        trust(os.path.join(certs, "ca.crt"), work)
        stop_wine = [args.wine_run, "--stop", args.wine_dir]
        subprocess.run(stop_wine, check=True)

        log = open(os.path.join(work, "standin.log"), "w")
        rings = {name: os.path.join(work, name + "-rings.log") for name in ("wss", "ws")}
        kinds = {
            "wss": ("localhost", ["--log", rings["wss"]]),
            "ws": (None, ["--log", rings["ws"]]),
            "other": ("otherhost", []),
            "untrusted": ("untrusted", []),
            "impatient": ("localhost", ["--ping-interval", "0.5", "--ping-timeout", "0.5"]),
        }
        standins = {}
        for name, (cert, extra) in kinds.items():
            standins[name] = Standin(args.standin, certs, cert, log, extra)
            servers.append(standins[name])

        bytes_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Bytes)
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(os.path.join(certs, "localhost.crt"),
                            os.path.join(certs, "localhost.key"))
        bytes_server.socket = tls.wrap_socket(bytes_server.socket, server_side=True)
        threading.Thread(target=bytes_server.serve_forever, daemon=True).start()
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)

        env = dict(os.environ)
        for name, standin in standins.items():
            scheme = "http" if name == "ws" else "https"
            env["STRIKEWELL_TEST_" + name.upper()] = "%s://localhost:%d" % (scheme, standin.port)
        env["STRIKEWELL_TEST_BYTES"] = "https://localhost:%d" % bytes_server.server_address[1]
        env["STRIKEWELL_TEST_SILENT"] = "https://localhost:%d" % silent.getsockname()[1]
        env["STRIKEWELL_TEST_CLOSED"] = "https://localhost:%d" % free_port()
        for name, path in rings.items():
            env["STRIKEWELL_TEST_RINGS_" + name.upper()] = "Z:" + path.replace("/", "\\")

        child = subprocess.Popen([args.wine_run, args.wine_dir, *program], env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for line in child.stdout:
            if not line.startswith("@harness "):
                sys.stdout.write(line)
                sys.stdout.flush()
                continue
            request = line.split()[1:]
            answer = "error: unknown request"
            if request == ["clock-offset"]:
                before = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
                monotonic = time.monotonic_ns()
                after = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
                answer = str(monotonic - (before + after) // 2)
            if len(request) == 2 and request[0] in ("stop", "start") and request[1] in standins:
                getattr(standins[request[1]], request[0])()
                answer = "ok"
            child.stdin.write(answer + "\n")
            child.stdin.flush()
        status = child.wait()
        silent.close()
        bytes_server.shutdown()
        if status != 0:
            log.flush()
            with open(log.name) as f:
                sys.stdout.write("--- stand-in output\n" + f.read())
    finally:
        for server in servers:
            server.stop()
        subprocess.run([args.wine_run, "--stop", args.wine_dir])
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(status)


if __name__ == "__main__":
    main()
