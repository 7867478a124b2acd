#!/usr/bin/env python3
"""Under valgrind: a complete update and every set-up failure leave nothing behind.

    valgrind_clean.py QBUPDATE VIRTUAL_QUIBBLEBOX

Each run must end with the expected exit status, no memory error, no leak and no descriptor
open at exit that QBupdate opened itself (only those inherited from the test). Runs in
namespaces of its own; needs root, exits 77 without it.
"""

import os
import random
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))

from checks import trail_problem  # noqa: E402
from netlab import Checks, Lab, require_root  # noqa: E402

VALGRIND_ERROR = 99
HOLD_PORT = ("import socket, sys, time\n"
             "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
             "s.bind(('0.0.0.0', int(sys.argv[1])))\n"
             "print('held', flush=True)\n"
             "time.sleep(600)\n")


def valgrind(log):
    # Not quiet: valgrind 3.19 lists the open descriptors only then.
    return ["valgrind", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all", f"--error-exitcode={VALGRIND_ERROR}",
            "--track-fds=yes", f"--log-file={log}"]


def log_problems(log):
    """Errors, leaks and descriptors QBupdate left open, as valgrind's log tells them."""
    text = open(log).read() if os.path.exists(log) else ""
    problems = []
    if "FILE DESCRIPTORS:" not in text:
        problems.append("valgrind listed no descriptors")
    if "in use at exit: 0 bytes in 0 blocks" not in text:
        problems.append("memory still allocated at exit: " +
                        " | ".join(re.findall(r"in use at exit: .*|.* lost in loss record .*",
                                              text)))
    if "ERROR SUMMARY: 0 errors" not in text:
        problems.append("memory errors: " + " | ".join(re.findall(r"ERROR SUMMARY: .*", text)))
    # Each open descriptor is an "Open ..." line and its origin, up to a blank line.
    entries, current = [], None
    for line in text.splitlines():
        line = re.sub(r"^==\d+== ?", "", line)
        if line.startswith("Open "):
            current = [line]
            entries.append(current)
        elif not line.strip():
            current = None
        elif current is not None:
            current.append(line)
    for entry in entries:
        if not any("<inherited from parent>" in line for line in entry):
            problems.append("left open: " + " | ".join(entry[:4]))
    return problems


def check_run(v, name, argv_prefix, run, args, want_status, log, want_text=None):
    """Runs QBupdate under valgrind through `run`; returns its stdout."""
    if os.path.exists(log):
        os.remove(log)
    result = run(argv_prefix + valgrind(log) + args)
    if result is None:
        v.check(False, f"{name}: did not finish")
        return b""
    v.check(result.returncode != VALGRIND_ERROR, f"{name}: valgrind found errors")
    v.check(result.returncode == want_status,
            f"{name}: exit {result.returncode}, expected {want_status}: {result.stderr[-300:]!r}")
    if want_text is not None:
        v.check(want_text in result.stderr, f"{name}: {want_text!r} not in {result.stderr!r}")
    for problem in log_problems(log):
        v.check(False, f"{name}: {problem}")
    print(f"{name}: exit {result.returncode}", flush=True)
    return result.stdout


def lab_runner(lab, ns):
    def run(argv):
        try:
            return lab.run(ns, argv, timeout=120)
        except subprocess.TimeoutExpired:
            return None
    return run


def main(qbupdate, device_tool):
    require_root()
    v = Checks("valgrind")
    with tempfile.TemporaryDirectory(prefix="qb-valgrind-") as work:
        image = os.path.join(work, "image.bin")
        data = random.randbytes(60_000)
        with open(image, "wb") as f:
            f.write(data)
        log = os.path.join(work, "valgrind.log")

        with Lab("valgr") as lab:
            received = os.path.join(work, "device.bin")
            lab.popen(lab.device, [sys.executable, device_tool, "--iface", lab.device_if,
                                   "--addr", lab.device_addr, "--out", received,
                                   "--linger", "5"])
            out = check_run(v, "complete update", [], lab_runner(lab, lab.host),
                            [qbupdate, image, lab.device_addr], 0, log)
            problem = trail_problem(out)
            v.check(problem is None, f"complete update: {problem}")
            got = open(received, "rb").read() if os.path.exists(received) else None
            v.check(got == data, "complete update: the device did not get the image")

            unreadable = os.path.join(work, "status.bin")
            os.symlink("/proc/self/status", unreadable)
            check_run(v, "image not readable in full", [], lab_runner(lab, lab.host),
                      [qbupdate, unreadable, lab.device_addr], 2, log, b"cannot load image")
            for port in (9, 67, 69):
                holder = lab.popen(lab.host, [sys.executable, "-c", HOLD_PORT, str(port)])
                if v.check(holder.stdout.readline() == b"held\n", f"port {port} not held"):
                    check_run(v, f"port {port} taken", [], lab_runner(lab, lab.host),
                              [qbupdate, image, lab.device_addr], 3, log,
                              f"cannot open UDP port {port}".encode())
                holder.kill()
                holder.wait()

        def bare_netns(argv):
            try:
                return subprocess.run(argv, capture_output=True, timeout=120)
            except subprocess.TimeoutExpired:
                return None
        check_run(v, "no usable local address", ["unshare", "-n"], bare_netns,
                  [qbupdate, image, "198.51.100.10"], 1, log, b"no usable IPv4 address")
        os.mkfifo(os.path.join(work, "fifo"))
        check_run(v, "usage: a FIFO for an image", ["unshare", "-n"], bare_netns,
                  [qbupdate, os.path.join(work, "fifo"), "198.51.100.10"], 1, log)
    return v.status()


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
