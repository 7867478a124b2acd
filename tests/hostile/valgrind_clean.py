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
HOLD_PORT = ("import socket, sys, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
             "s.bind(('0.0.0.0', int(sys.argv[1]))); print('held', flush=True); time.sleep(600)")


def valgrind(log):
    # Not quiet: valgrind 3.19 lists the open descriptors only then.
    return ["valgrind", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all", f"--error-exitcode={VALGRIND_ERROR}",
            "--track-fds=yes", f"--log-file={log}"]


def log_problems(log):
    """Errors, leaks and descriptors QBupdate left open, as valgrind's log tells them."""
    text = open(log).read() if os.path.exists(log) else ""
    problems = []
    for sign, problem, details in (
            ("FILE DESCRIPTORS:", "valgrind listed no descriptors", None),
            ("in use at exit: 0 bytes in 0 blocks", "memory still allocated at exit: ",
             r"in use at exit: .*|.* lost in loss record .*"),
            ("ERROR SUMMARY: 0 errors", "memory errors: ", r"ERROR SUMMARY: .*")):
        if sign not in text:
            problems.append(problem + (" | ".join(re.findall(details, text)) if details else ""))
    # Each open descriptor is an "Open ..." line and its origin, up to a blank line.
    for entry in re.split(r"\n[ \t]*\n|\n(?=Open )", re.sub(r"(?m)^==\d+== ?", "", text)):
        if entry.startswith("Open ") and "<inherited from parent>" not in entry:
            problems.append("left open: " + " | ".join(entry.splitlines()[:4]))
    return problems


def check_run(v, name, where, args, want_status, log, want_text=None):
    """Runs QBupdate under valgrind, put in a namespace by the command `where`; returns its
    stdout."""
    if os.path.exists(log):
        os.remove(log)
    try:
        result = subprocess.run(where + valgrind(log) + args, capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
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


def main(qbupdate, device_tool):
    require_root()
    v = Checks("valgrind")
    with tempfile.TemporaryDirectory(prefix="qb-valgrind-") as work, Lab("valgr") as lab:
        image, received, log, unreadable, fifo = (os.path.join(work, name) for name in (
            "image.bin", "device.bin", "valgrind.log", "status.bin", "fifo"))
        data = random.randbytes(60_000)
        with open(image, "wb") as f:
            f.write(data)
        os.symlink("/proc/self/status", unreadable)
        os.mkfifo(fifo)
        in_lab, bare = lab.command(lab.host, []), ["unshare", "-n"]

        lab.popen(lab.device, [sys.executable, device_tool, "--iface", lab.device_if,
                               "--addr", lab.device_addr, "--out", received, "--linger", "5"])
        out = check_run(v, "complete update", in_lab, [qbupdate, image, lab.device_addr], 0, log)
        problem = trail_problem(out)
        v.check(problem is None, f"complete update: {problem}")
        got = open(received, "rb").read() if os.path.exists(received) else None
        v.check(got == data, "complete update: the device did not get the image")

        # Each set-up failure: where QBupdate runs (the lab's host or a bare namespace), its image
        # and target, exit status and words on standard error, and a UDP port held meanwhile.
        for name, where, args, want_status, want_text, port in [
                ("image not readable in full", in_lab, [unreadable, lab.device_addr], 2,
                 b"cannot load image", None),
                *[(f"port {p} taken", in_lab, [image, lab.device_addr], 3,
                   f"cannot open UDP port {p}".encode(), p) for p in (9, 67, 69)],
                ("no usable local address", bare, [image, "198.51.100.10"], 1,
                 b"no usable IPv4 address", None),
                ("usage: a FIFO for an image", bare, [fifo, "198.51.100.10"], 1, None, None)]:
            holder = port and lab.popen(lab.host, [sys.executable, "-c", HOLD_PORT, str(port)])
            if not port or v.check(holder.stdout.readline() == b"held\n", f"port {port} not held"):
                check_run(v, name, where, [qbupdate, *args], want_status, log, want_text)
            if holder:
                holder.kill()
                holder.wait()
    return v.status()


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
