#!/usr/bin/env python3
"""Bad input from the operator: odd bytes, very long paths, images that are not files.

    operator_input.py QBUPDATE

Every case must end within seconds in one of three clear ways: the usage text (exit 1), a
one-line "QBupdate: cannot load image" report (exit 2), or, for an image that loads, the
report that port 9 is taken (exit 3): the test holds that port so nothing is ever sent.
Runs in a network namespace of its own with only loopback up; needs root, exits 77 without.
"""

import os
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))

from checks import Verdicts, one_line_problem  # noqa: E402

SKIP = 77
INSIDE = "QB_OPERATOR_INPUT_NETNS"
USAGE_TEXT = (b"\n\nusage: QBupdate filename targetIP\n\n\t where\tfilename is the name of the file "
              b"containing the image to upload\n\t\t targetIP is IP address of target in "
              b"ddd.ddd.ddd.ddd format\n")
FIRMWARE_BANNER = b" Updating QuibbleBox Firmware\n"
BOOT_BANNER = b" Updating QuibbleBox Boot Area\n"


def outcome_problem(result, expected, banner=FIRMWARE_BANNER):
    """None when the run ended as `expected` ("usage", "no image", "loaded") says it must."""
    rc, out, err = result.returncode, result.stdout, result.stderr
    if expected in ("usage", "help"):
        if rc != 1 or out != USAGE_TEXT:
            return f"expected the usage text and exit 1, got exit {rc}, {out[:40]!r}, {err[:200]!r}"
        # Asked for, the usage text comes alone; otherwise one line names the refused argument.
        if expected == "help":
            return f"help came with {err[:200]!r}" if err else None
        return one_line_problem(err)
    want_rc, want_text = (2, b"cannot load image") if expected == "no image" else \
        (3, b"cannot open UDP port 9 on 127.0.0.1")
    if rc != want_rc or want_text not in err:
        return f"expected exit {want_rc} and {want_text!r}, got exit {rc}, stderr {err[:300]!r}"
    if out not in (b"", banner):
        return f"stdout is not the banner alone: {out[:80]!r}"
    return one_line_problem(err)


def make_files(work):
    """The file system the cases point at; returns the names used by cases()."""
    image = os.path.join(work, "image.bin")
    with open(image, "wb") as f:
        f.write(os.urandom(3000))
    open(os.path.join(work, "empty.bin"), "wb").close()
    odd_image = os.path.join(work.encode(), b"\xff\xfe odd \x1b[31m\t\n.bin")
    with open(odd_image, "wb") as f:
        f.write(os.urandom(2000))
    # A regular file whose length (0) is not what reading it yields.
    odd_link = os.path.join(work.encode(), b"status \x1b]0;owned\x07 \xc3(\n.bin")
    os.symlink("/proc/self/status", odd_link)
    os.mkfifo(os.path.join(work, "fifo"))
    os.symlink("nowhere", os.path.join(work, "dangling"))
    os.symlink("loop", os.path.join(work, "loop"))
    unix = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    unix.bind(os.path.join(work, "unix.sock"))
    locked = os.path.join(work, "locked.bin")
    with open(locked, "wb") as f:
        f.write(b"x" * 100)
    os.chmod(locked, 0)
    return {"image": image, "odd_image": odd_image, "odd_link": odd_link, "locked": locked,
            "keep": unix}


def cases(work, f):
    """(label, argv after the program name, expected outcome, extra run options)."""
    image = f["image"]
    long_prefix = b"./" * 1990  # with the names below: long, but under PATH_MAX (4096)
    over = b"./" * 2100         # over PATH_MAX
    rel = os.path.relpath
    return [
        ("empty path", [b""], "usage", {}),
        ("dash only", [b"-"], "usage", {}),
        ("help with odd byte", [b"-H\xff"], "help", {}),
        ("question mark and control bytes", [b"?\x1b[2J"], "help", {}),
        ("missing, not UTF-8", [b"\xff\xfe\x80.bin"], "usage", {}),
        ("missing, control bytes", [b"ima\x1b[2J\nge.bin"], "usage", {}),
        ("name longer than NAME_MAX", [b"x" * 300], "usage", {}),
        ("existing image, path over PATH_MAX", [over + b"image.bin"], "usage", {}),
        ("missing, path over PATH_MAX", [b"a/" * 3000 + b"b"], "usage", {}),
        ("FIFO without a writer", [b"fifo"], "usage", {}),
        ("/dev/null", [b"/dev/null"], "usage", {}),
        ("/dev/zero", [b"/dev/zero"], "usage", {}),
        ("/dev/tty", [b"/dev/tty"], "usage", {}),
        ("directory", [b"."], "usage", {}),
        ("UNIX socket", [b"unix.sock"], "usage", {}),
        ("dangling symlink", [b"dangling"], "usage", {}),
        ("symlink loop", [b"loop"], "usage", {}),
        ("no read permission", [b"locked.bin"], "usage", {"without_dac_override": True}),
        ("target not UTF-8", [image, b"198.51.100.10\xff"], "usage", {}),
        ("target control bytes", [image, b"\x1b[31m"], "usage", {}),
        ("target empty", [image, b""], "usage", {}),
        ("target very long", [image, b"1" * 100000], "usage", {}),
        ("target with leading zeros", [image, b"127.000.000.001"], "usage", {}),
        ("target in a short form", [image, b"127.1"], "usage", {}),
        ("mode with a newline", [image, b"127.0.0.1", b"boot\n"], "usage", {}),
        ("mode not UTF-8", [image, b"127.0.0.1", b"boot\xff"], "usage", {}),
        ("four arguments", [image, b"127.0.0.1", b"boot", b"\xff"], "usage", {}),
        ("unreadable in full, odd name", [f["odd_link"], b"127.0.0.1"], "no image", {}),
        ("unreadable in full, long path",
         [long_prefix + rel(f["odd_link"], os.fsencode(work)), b"127.0.0.1"], "no image", {}),
        ("image with an odd name", [f["odd_image"], b"127.0.0.1"], "loaded", {}),
        ("image by a long path", [long_prefix + b"image.bin", b"127.0.0.1"], "loaded", {}),
        ("empty image", [b"empty.bin", b"127.0.0.1"], "loaded", {}),
        ("boot area", [image, b"127.0.0.1", b"boot"], "loaded", {"banner": BOOT_BANNER}),
    ]


def run(qbupdate, args, work, without_dac_override=False):
    # Root reads a file of mode 000 unless it gives up the capabilities that override modes.
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"] \
        if without_dac_override else []
    try:
        return subprocess.run(prefix + [qbupdate, *args], cwd=work, capture_output=True,
                              timeout=10, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return None


def check_case(v, qbupdate, work, label, args, expected, extra):
    banner = extra.pop("banner", FIRMWARE_BANNER)
    result = run(qbupdate, args, work, **extra)
    if result is None:
        v.check(False, f"{label}: still running after 10 s")
        return
    if result.returncode < 0:
        v.check(False, f"{label}: killed by signal {-result.returncode}")
        return
    problem = outcome_problem(result, expected, banner)
    v.check(problem is None, f"{label}: {problem}")


def check_swapped_image(v, qbupdate, work):
    """The image becomes a FIFO, vanishes and comes back while QBupdate starts, many times."""
    path = os.path.join(work, "swapped.bin")
    regular, fifo = path + ".file", path + ".fifo"
    stop = threading.Event()

    def swap():
        while not stop.is_set():
            for make in ("file", "fifo", "none"):
                if make == "file":
                    with open(regular, "wb") as f:
                        f.write(b"q" * 1000)
                    os.replace(regular, path)
                elif make == "fifo":
                    os.mkfifo(fifo)
                    os.replace(fifo, path)
                elif os.path.lexists(path):
                    os.unlink(path)

    swapper = threading.Thread(target=swap)
    swapper.start()
    seen = {}
    try:
        for _ in range(60):
            result = run(qbupdate, [path, b"127.0.0.1"], work)
            if result is None or result.returncode < 0:
                v.check(False, "swapped image: a hang or a crash")
                break
            kind = {1: "usage", 2: "no image", 3: "loaded"}.get(result.returncode)
            problem = outcome_problem(result, kind) if kind else f"exit {result.returncode}"
            if not v.check(problem is None, f"swapped image: {problem}"):
                break
            seen[kind] = seen.get(kind, 0) + 1
    finally:
        stop.set()
        swapper.join()
    print(f"swapped image: outcomes {seen}", flush=True)


def inside(qbupdate):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    wake_holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    wake_holder.bind(("0.0.0.0", 9))
    v = Verdicts()
    with tempfile.TemporaryDirectory(prefix="qb-operator-") as work:
        files = make_files(work)
        for label, args, expected, extra in cases(work, files):
            check_case(v, qbupdate, work, label, args, expected, extra)
        check_swapped_image(v, qbupdate, work)
    return v.status()


def main(qbupdate):
    if os.environ.get(INSIDE) == "1":
        return inside(qbupdate)
    if os.geteuid() != 0:
        print("SKIPPED: needs root for a network namespace of its own", flush=True)
        return SKIP
    env = dict(os.environ, **{INSIDE: "1"})
    return subprocess.run(["unshare", "-n", sys.executable, os.path.abspath(__file__),
                           qbupdate], env=env).returncode


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
