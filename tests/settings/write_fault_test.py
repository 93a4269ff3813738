#!/usr/bin/env python3
"""The settings writer under write faults: the old file stays byte for byte.

Runs the real settings writer (settings_writer, linking the program's settings code)
in a fresh folder that holds an old settings file, with a fault made for each case:
the write-fault shim preloaded to make write, fsync, close or rename fail with
ENOSPC, EIO or EROFS (at the first byte or part-way), and the folder made read-only by a
read-only bind mount in a private mount namespace (permission bits do not stop
root). Each failed write must print one sentence naming the file and the system's
reason, end with status 1, leave the old file as it was and leave no temporary file
behind; the shim's log proves that the fault was met.

With --wine-run the Windows writer runs under Wine, the shim preloaded into Wine's
process: Wine's WriteFile ends in the shim's write() and FlushFileBuffers in its
fsync(). Wine's server process opens, renames and closes files, out of the shim's
reach, so those cases are Linux's only; the read-only folder reaches the server by
starting it inside the namespace.

Exit status 77 (skipped) when no private mount namespace can be made.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

NAME = "serialport_strikewell.ini"
OLD = b"\\\\.\\COM4\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n"
NEW = b"\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n"
SENTENCE = "The settings file " + NAME + " cannot be written: {}."

ON_LINUX = "linux"
UNDER_WINE = "wine"

# call: the shim's STRIKEWELL_FAULT_CALL; after: bytes the file takes before writes
# fail; reason: the sentence's reason, by platform.
CASES = [
    dict(name="disk full at the first byte", call="write", errno="ENOSPC", after=0,
         reason={ON_LINUX: "No space left on device", UNDER_WINE: "No space left on device"}),
    # Wine reports the error of a write that went part-way as "invalid argument".
    dict(name="disk full part-way through the third line", call="write", errno="ENOSPC",
         after=17, reason={ON_LINUX: "No space left on device", UNDER_WINE: None}),
    # As Windows' C runtime reports a write that the disk took only part of.
    dict(name="a write cut short with no reason given", call="write", errno="0", after=17,
         reason={ON_LINUX: "only part of it reached the disk"}),
    dict(name="I/O error part-way", call="write", errno="EIO", after=30,
         reason={ON_LINUX: "Input/output error", UNDER_WINE: None}),
    # Only Windows' C runtime commits a file to disk (the writer's fopen mode "c");
    # Linux's standard library has no call for it.
    dict(name="I/O error when the data is committed to disk", call="fsync", errno="EIO",
         after=0, reason={UNDER_WINE: None}),
    dict(name="I/O error on close", call="close", errno="EIO", after=0,
         reason={ON_LINUX: "Input/output error"}),
    dict(name="file system turned read-only before the rename", call="rename",
         errno="EROFS", after=0, reason={ON_LINUX: "Read-only file system"}),
]


class Runner:
    def __init__(self, args):
        self.writer = os.path.abspath(args.writer)
        self.shim = os.path.abspath(args.shim)
        self.wine_run = args.wine_run
        self.wine_dir = args.wine_dir
        self.platform = UNDER_WINE if args.wine_run else ON_LINUX

    def command(self):
        if self.wine_run:
            return [self.wine_run, self.wine_dir, self.writer]
        return [self.writer]

    def run(self, folder, env=None, wrap=None):
        """Runs the writer in folder; wrap, if given, turns the command into another."""
        command = self.command()
        if wrap:
            command = wrap(command)
        return subprocess.run(command, cwd=folder, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)

    def fault_env(self, folder, case, log):
        env = dict(os.environ)
        env.update(STRIKEWELL_FAULT_PATH=os.path.join(folder, NAME),
                   STRIKEWELL_FAULT_CALL=case["call"], STRIKEWELL_FAULT_ERRNO=case["errno"],
                   STRIKEWELL_FAULT_AFTER=str(case["after"]), STRIKEWELL_FAULT_LOG=log)
        if self.wine_run:
            env["STRIKEWELL_WINE_PRELOAD"] = self.shim
        else:
            env["LD_PRELOAD"] = self.shim
        return env

    def stop_wine(self):
        if self.wine_run:
            subprocess.run([self.wine_run, "--stop", self.wine_dir], check=False)


def fresh_folder():
    folder = tempfile.mkdtemp(prefix="strikewell-write-faults-")
    with open(os.path.join(folder, NAME), "wb") as old:
        old.write(OLD)
    return folder


def check_failed_write(result, folder, reason, failures, label):
    """A failed write: status 1, one sentence, the old file whole, nothing else left."""
    out = result.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    problems = []
    if result.returncode != 1:
        problems.append("exit status %d, not 1" % result.returncode)
    lines = [line for line in out.split("\n") if line]
    if reason is not None:
        if lines != [SENTENCE.format(reason)]:
            problems.append("printed %r, not %r" % (out, SENTENCE.format(reason)))
    else:
        # Under Wine the reason is what the C runtime makes of Windows' error code:
        # any reason will do, but there must be one.
        prefix = SENTENCE.format("")[:-1]
        if (len(lines) != 1 or not lines[0].startswith(prefix) or not lines[0].endswith(".")
                or len(lines[0]) <= len(prefix) + 1 or "No error" in lines[0]
                or "Success" in lines[0]):
            problems.append("printed %r, not one sentence with a reason" % out)
    with open(os.path.join(folder, NAME), "rb") as kept:
        if kept.read() != OLD:
            problems.append("the old settings file was changed")
    left = sorted(set(os.listdir(folder)) - {NAME, "faults.log"})
    if left:
        problems.append("left behind: %s" % ", ".join(left))
    for problem in problems:
        failures.append("%s: %s (stderr: %s)" % (label, problem,
                                                   result.stderr.decode(errors="replace")[-400:]))
    if not problems:
        print("ok: %s: %s" % (label, lines[0] if lines else ""))


def shim_cases(runner, failures):
    for case in CASES:
        if runner.platform not in case["reason"]:
            continue
        folder = fresh_folder()
        try:
            log = os.path.join(folder, "faults.log")
            result = runner.run(folder, env=runner.fault_env(folder, case, log))
            met = open(log).read() if os.path.exists(log) else ""
            if not any(line.split(" ")[0] in (case["call"], "fdatasync")
                       for line in met.splitlines()):
                failures.append("%s: the shim never failed a %s call (log: %r, output: %r)"
                                % (case["name"], case["call"], met, result.stdout))
                continue
            check_failed_write(result, folder, case["reason"][runner.platform], failures,
                               case["name"])
        finally:
            shutil.rmtree(folder, ignore_errors=True)


def no_fault_case(runner, failures):
    """The same run with the shim loaded and nothing failing replaces the file."""
    folder = fresh_folder()
    try:
        env = runner.fault_env(folder, dict(call="none", errno="EIO", after=0),
                               os.path.join(folder, "faults.log"))
        result = runner.run(folder, env=env)
        with open(os.path.join(folder, NAME), "rb") as written:
            bytes_now = written.read()
        if result.returncode != 0 or bytes_now != NEW or sorted(os.listdir(folder)) != [NAME]:
            failures.append("no fault: status %d, file %r, folder %r, output %r"
                            % (result.returncode, bytes_now, os.listdir(folder), result.stdout))
        else:
            print("ok: no fault: the new record replaced the old file")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def read_only_folder_case(runner, failures):
    """The folder mounted read-only in a private mount namespace: the new file cannot
    even be made. Under Wine the prefix's server is started inside that namespace,
    since it is the server that creates the file."""
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        print("skipped: no private mount namespace (needs root or user namespaces)")
        return False
    folder = fresh_folder()
    # The writer's working folder must be entered after the mount: a folder entered
    # before stays on the writable mount beneath.
    script = ('mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && cd "$1" || exit 99\n'
              'shift\n')
    if runner.wine_run:
        script += ('"$1" --stop "$2"\n'
                   '"$@"; status=$?\n'
                   '"$1" --stop "$2"\n'
                   'exit $status\n')
    else:
        script += 'exec "$@"\n'
    try:
        runner.stop_wine()
        result = runner.run(folder, wrap=lambda command: [
            "unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", folder
        ] + command)
        if result.returncode == 99:
            failures.append("read-only folder: the bind mount failed: %s" % result.stderr)
        else:
            # Under Wine the reason is Windows' error for a write-protected medium as
            # the C runtime words it.
            reason = None if runner.wine_run else "Read-only file system"
            check_failed_write(result, folder, reason, failures, "read-only folder")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--writer", required=True, help="the settings_writer program")
    parser.add_argument("--shim", required=True, help="the write-fault shim (.so)")
    parser.add_argument("--wine-run", help="scripts/wine-run, to run a Windows writer")
    parser.add_argument("--wine-dir", help="the Wine directory for wine-run")
    args = parser.parse_args()
    runner = Runner(args)
    failures = []
    try:
        no_fault_case(runner, failures)
        shim_cases(runner, failures)
        ran_read_only = read_only_folder_case(runner, failures)
    finally:
        runner.stop_wine()
    for failure in failures:
        print("FAILED: " + failure)
    if failures:
        return 1
    return 0 if ran_read_only else 77


if __name__ == "__main__":
    sys.exit(main())
