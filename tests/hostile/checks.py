"""What every run of QBupdate against a peer must show, whatever the network did to it."""

import re
import time

FIRMWARE_BANNER = b" Updating QuibbleBox Firmware\n"


def trail_problem(stdout, banner=FIRMWARE_BANNER):
    """None when stdout is the banner and then a well-formed progress trail ending in 100%."""
    if not stdout.startswith(banner):
        return f"stdout does not start with the banner: {stdout[:60]!r}"
    trail = stdout[len(banner):]
    if not re.fullmatch(rb"(\.*\d+%\n)*", trail):
        return f"stray bytes in the progress trail: {trail[-120:]!r}"
    numbers = [int(n) for n in re.findall(rb"(\d+)%\n", trail)]
    if not numbers or numbers[-1] != 100:
        return f"the trail does not end in 100%: {trail[-60:]!r}"
    if any(n % 20 != 0 or n == 0 for n in numbers):
        return f"a percentage line that is not a multiple of 20: {numbers}"
    if any(a >= b for a, b in zip(numbers, numbers[1:])):
        return f"percentages not increasing: {numbers}"
    return None


def one_line_problem(stderr):
    """None when stderr is a single "QBupdate: " line free of control characters."""
    if not stderr.startswith(b"QBupdate: ") or not stderr.endswith(b"\n"):
        return f"not a QBupdate: line: {stderr[:200]!r}"
    if re.search(rb"[\x00-\x1f\x7f]", stderr[:-1]):
        return f"control characters inside the message: {stderr[:200]!r}"
    return None


START_PREFIX = b"QBupdate: serving "  # the line every update's network part begins with


def without_start_line(text):
    """The text without the start line (the image, its checksums, the addresses), which comes
    once, on standard error, before the first wake beacon."""
    lines = text.splitlines(keepends=True)
    for i, line in enumerate(lines):
        if line.startswith(START_PREFIX):
            return b"".join(lines[:i] + lines[i + 1:])
    return text


def success_problem(stderr):
    """None when stderr is, besides the start line, the one line that says an update is done."""
    stderr = without_start_line(stderr)
    if stderr.startswith(b"QBupdate: updated ") and b" bytes acknowledged in " in stderr and \
            stderr.count(b"\n") == 1 and stderr.endswith(b"\n"):
        return None
    return f"standard error is not the line of a success: {stderr[-300:]!r}"


def wait_for_udp_port(lab, ns, port, timeout=20.0):
    """Waits until something in namespace `ns` has bound UDP `port`; False on time-out."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        table = lab.run(ns, ["cat", "/proc/net/udp"], timeout=10).stdout
        if any(line.split()[1].endswith(b":%04X" % port) for line in table.splitlines()[1:]):
            return True
        time.sleep(0.02)
    return False
