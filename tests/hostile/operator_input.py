#!/usr/bin/env python3
"""Bad input from the operator: odd bytes, very long paths, images that are not files; and an
operator's console that stops, closes or hangs up while an update runs.

    operator_input.py QBUPDATE

Every bad-input case must end within seconds in one of three clear ways: the usage text
(exit 1), a one-line "QBupdate: cannot load image" report (exit 2), or, for an image that loads,
the report that port 9 is taken (exit 3): the test holds that port so nothing is ever sent.
These run in a network namespace of their own with only loopback up.

The console cases (check_* below, one each) update the virtual device (which gives up after
about 13 s without a block) in a lab of namespaces. Whatever the console does, the device must
get the whole image, the trail must stay byte for byte as it is, and the terminal's settings
are never changed. Needs root, exits 77 without.
"""

import contextlib
import fcntl
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from netlab import Checks, require_root  # noqa: E402
from checks import (FIRMWARE_BANNER, one_line_problem, success_problem,  # noqa: E402
                    without_start_line)
from e2e_support import (Lab, Terminal, console_trail, finish_device, make_image,  # noqa: E402
                         progress_calls, start_device)

USAGE_TEXT = (b"\n\nusage: QBupdate filename targetIP\n\n\t where\tfilename is the name of the file "
              b"containing the image to upload\n\t\t targetIP is IP address of target in "
              b"ddd.ddd.ddd.ddd format\n")
BOOT_BANNER = b" Updating QuibbleBox Boot Area\n"


def outcome_problem(result, expected, banner=FIRMWARE_BANNER):
    """None when the run ended as `expected` ("usage", "no image", "loaded") says it must."""
    rc, out, err = result.returncode, result.stdout, result.stderr
    got = f"exit {rc}, {out[:80]!r}, {err[:300]!r}"
    # Asked as GNU tools are asked: the answer on standard output, status 0; --help names the
    # other forms in one line on standard error: the usage text stays.
    if expected == "--help":
        return None if rc == 0 and out == USAGE_TEXT and err.count(b"\n") == 1 and \
            err.startswith(b"QBupdate: also QBupdate filename targetIP boot") else f"--help: {got}"
    if expected == "--version":
        return None if rc == 0 and not err and re.fullmatch(rb"QBupdate \d+\.\d+\.\d+\n", out) \
            else f"--version: {got}"
    if expected in ("usage", "help"):
        if rc != 1 or out != USAGE_TEXT:
            return f"expected the usage text and exit 1, got {got}"
        # Asked for, the usage text comes alone; otherwise one line names the refused argument.
        if expected == "help":
            return f"help came with {err[:200]!r}" if err else None
        return one_line_problem(err)
    want_rc, want_text = (2, b"cannot load image") if expected == "no image" else \
        (3, b"cannot open UDP port 9 on 127.0.0.1")
    if rc != want_rc or want_text not in err:
        return f"expected exit {want_rc} and {want_text!r}, got {got}"
    if out not in (b"", banner):
        return f"stdout is not the banner alone: {out[:80]!r}"
    return one_line_problem(err)


def cases(work):
    """Makes the files the cases point at; returns the socket that must stay open while they
    run, and the cases: (label, argv after the program name, expected outcome, run options)."""
    image, locked = os.path.join(work, "image.bin"), os.path.join(work, "locked.bin")
    odd_image = os.path.join(work.encode(), b"\xff\xfe odd \x1b[31m\t\n.bin")
    for path, data in ((image, os.urandom(3000)), (odd_image, os.urandom(2000)),
                       (os.path.join(work, "empty.bin"), b""), (locked, b"x" * 100)):
        with open(path, "wb") as f:
            f.write(data)
    os.chmod(locked, 0)
    # A regular file whose length (0) is not what reading it yields.
    odd_link = os.path.join(work.encode(), b"status \x1b]0;owned\x07 \xc3(\n.bin")
    os.symlink("/proc/self/status", odd_link)
    os.mkfifo(os.path.join(work, "fifo"))
    os.symlink("nowhere", os.path.join(work, "dangling"))
    os.symlink("loop", os.path.join(work, "loop"))
    unix = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    unix.bind(os.path.join(work, "unix.sock"))
    long_prefix = b"./" * 1990  # with the names below: long, but under PATH_MAX (4096)
    over = b"./" * 2100         # over PATH_MAX
    rel = os.path.relpath
    return unix, [
        ("empty path", [b""], "usage", {}),
        ("dash only", [b"-"], "usage", {}),
        ("help with odd byte", [b"-H\xff"], "help", {}),
        ("question mark and control bytes", [b"?\x1b[2J"], "help", {}),
        ("--help", [b"--help"], "--help", {}),
        ("--version", [b"--version"], "--version", {}),
        ("--help spelt otherwise", [b"--HELP"], "usage", {}),
        ("missing, not UTF-8", [b"\xff\xfe\x80.bin"], "usage", {}),
        ("missing, control bytes", [b"ima\x1b[2J\nge.bin"], "usage", {}),
        ("name longer than NAME_MAX", [b"x" * 300], "usage", {}),
        ("existing image, path over PATH_MAX", [over + b"image.bin"], "usage", {}),
        ("missing, path over PATH_MAX", [b"a/" * 3000 + b"b"], "usage", {}),
        ("FIFO without a writer", [b"fifo"], "usage", {}),
        *[(dev.decode(), [dev], "usage", {})
          for dev in (b"/dev/null", b"/dev/zero", b"/dev/tty")],
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
        ("unreadable in full, odd name", [odd_link, b"127.0.0.1"], "no image", {}),
        ("unreadable in full, long path",
         [long_prefix + rel(odd_link, os.fsencode(work)), b"127.0.0.1"], "no image", {}),
        ("image with an odd name", [odd_image, b"127.0.0.1"], "loaded", {}),
        ("image by a long path", [long_prefix + b"image.bin", b"127.0.0.1"], "loaded", {}),
        ("empty image", [b"empty.bin", b"127.0.0.1"], "loaded", {}),
        ("boot area", [image, b"127.0.0.1", b"boot"], "loaded", {"banner": BOOT_BANNER}),
    ]


def run(qbupdate, args, work, expected=None, banner=FIRMWARE_BANNER,
        without_dac_override=False):
    """(outcome, problem): None when the run ended as `expected` says it must; without one, as
    the outcome its exit status names does."""
    # Root reads a file of mode 000 unless it gives up the capabilities that override modes.
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"] \
        if without_dac_override else []
    try:
        result = subprocess.run(prefix + [qbupdate, *args], cwd=work, capture_output=True,
                                timeout=10, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return expected, "still running after 10 s"
    if result.returncode < 0:
        return expected, f"killed by signal {-result.returncode}"
    expected = expected or {2: "no image", 3: "loaded"}.get(result.returncode, "usage")
    return expected, outcome_problem(result, expected, banner)


def check_swapped_image(v, qbupdate, work):
    """The image becomes a FIFO, vanishes and comes back while QBupdate starts, many times."""
    path = os.path.join(work, "swapped.bin")
    regular, fifo = path + ".file", path + ".fifo"
    stop = threading.Event()

    def swap():
        while not stop.is_set():
            with open(regular, "wb") as f:
                f.write(b"q" * 1000)
            os.replace(regular, path)
            os.mkfifo(fifo)
            os.replace(fifo, path)
            os.unlink(path)

    swapper = threading.Thread(target=swap)
    swapper.start()
    seen = {}
    try:
        for _ in range(60):
            kind, problem = run(qbupdate, [path, b"127.0.0.1"], work)
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
    v = Checks("operator input")
    with tempfile.TemporaryDirectory(prefix="qb-operator-") as work:
        keep, rows = cases(work)
        for label, args, expected, extra in rows:
            _, problem = run(qbupdate, args, work, expected, **extra)
            v.check(problem is None, f"{label}: {problem}")
        check_swapped_image(v, qbupdate, work)
    return v.status()


# --- the operator's console during an update: each case gets `c`, the checks, the lab,
# QBupdate, the work directory, the image's path and bytes, and `want`, its banner and trail ---

CONSOLE_IMAGE_SIZE = 4 << 20  # 8,193 blocks: a trail of some 7,700 bytes, over a few seconds
EXIT_ABANDONED = 6
PIPE_SIZE = 4096  # the smallest a pipe can be: a few thousand blocks fill it
READER_STOPS = 20.0


@contextlib.contextmanager
def updating(c, name, device_args=(), terminal=True, **popen_args):
    """The virtual device for one case, started and listening, and QBupdate updating it, on a
    terminal of its own (`popen_args` giving only another stdout) or started as they say; at the
    end QBupdate is closed or killed and the device ended."""
    device = start_device(c.lab, c.lab.device, c.lab.device_if, c.lab.device_addr, c.work, name,
                          list(device_args))
    argv = [c.qbupdate, c.path, c.lab.device_addr]
    qb = Terminal(c.lab.command(c.lab.host, argv), **popen_args) if terminal else \
        c.lab.popen(c.lab.host, argv, **popen_args)
    try:
        yield device, qb
    finally:
        if terminal:
            qb.close()
        elif qb.poll() is None:
            qb.kill()
            qb.wait()
        finish_device(*device, timeout=0.1)


def check(c, name, problem):
    """Records `problem` under the case's name unless it is None."""
    return c.v.check(problem is None, f"{name}: {problem}")


def device_problem(c, device):
    """None when the device got the whole image."""
    status, record, received = finish_device(*device, timeout=30)
    if status == 0 and received == c.image:
        return None
    return (f"the device ended with {status} ({record['result']}), "
            f"{None if received is None else len(received)} of {len(c.image)} bytes")


def ports_held(lab):
    """The UDP ports among 9, 67 and 69 still bound in the host's namespace."""
    table = lab.run(lab.host, ["cat", "/proc/net/udp"], timeout=10).stdout.splitlines()[1:]
    local = {int(line.split()[1].split(b":")[1], 16) for line in table}
    return sorted(local & {9, 67, 69})


def settings_kept(c, name, term, when=""):
    c.v.check(term.settings() == term.settings_before,
              f"{name}: the terminal's settings changed{when}")


def finished(c, name, term, timeout, want=0):
    status = term.finish(timeout)
    c.v.check(status == want, f"{name}: exit status {status}, want {want}")


def shown_problem(term, want):
    """None when the terminal showed `want` and then the line of a success."""
    shown = without_start_line(term.shown())
    if shown.startswith(want) and success_problem(shown[len(want):]) is None:
        return None
    return (f"the terminal showed {len(shown)} bytes, not the trail's {len(want)} and the last "
            f"line: {shown[-200:]!r}")


def ended_well(c, name, status, err, shown, want):
    """QBupdate on a pipe or a file: exit 0, the line of a success, and `want` on stdout."""
    c.v.check(status == 0, f"{name}: exit status {status}")
    check(c, name, success_problem(err))
    c.v.check(shown == want, f"{name}: {len(shown)} bytes on standard output, not the trail's "
                             f"first {len(want)}: {shown[-80:]!r}")


def check_paused(c):
    """The display paused at 20 %, the update not: Ctrl+S, with Ctrl+Q only once the device has
    finished, which shows all that was held; and the job stopped and continued 2 s later, as
    Ctrl+Z and fg do (SIGSTOP: the terminal's own Ctrl+Z is discarded for a session leader's
    group, which nothing would continue)."""
    def ctrl_q(term):
        c.v.check(len(without_start_line(term.shown())) < len(c.want),
                  "Ctrl+S: the display did not pause")
        term.type(b"\x11")

    def stop_and_continue(term):
        term.proc.send_signal(signal.SIGSTOP)  # ip netns exec runs QBupdate in its place
        time.sleep(2)
        term.proc.send_signal(signal.SIGCONT)
    # (name, what is done at 20 %, what is done and checked once the device has finished)
    for name, at_20, once_done in (
            ("Ctrl+S", lambda term: term.type(b"\x13"), ctrl_q),
            ("Ctrl+Z", stop_and_continue,
             lambda term: c.v.check(term.wait_for(b"40%", 30), "Ctrl+Z: no 40% after fg"))):
        with updating(c, name) as (device, term):
            if c.v.check(term.wait_for(b"20%", 30), f"{name}: no 20% on the terminal"):
                at_20(term)
            settings_kept(c, name, term)
            check(c, name, device_problem(c, device))
            once_done(term)
            finished(c, name, term, 30)
            check(c, name, shown_problem(term, c.want))


def check_stopped_error_terminal(c):
    """Ctrl+S on a terminal that has only standard error, standard output to a log file, while
    a notice (the device's TFTP error) is due: the update goes on."""
    name, log_path = "Ctrl+S on standard error", os.path.join(c.work, "stderr-ctrl-s.log")
    with open(log_path, "wb") as log, \
            updating(c, "stderr-ctrl-s", ["--error-at", "100"], stdout=log) as (device, term):
        term.type(b"\x13")
        check(c, name, device_problem(c, device))
        deadline = time.monotonic() + 10
        while open(log_path, "rb").read() != c.want and time.monotonic() < deadline:
            time.sleep(0.1)
        c.v.check(open(log_path, "rb").read() == c.want,
                  f"{name}: the log file does not hold the whole trail")
        c.v.check(b"Disk full" not in term.shown(), f"{name}: not paused")
        term.type(b"\x11")
        finished(c, name, term, 30)
        lines = without_start_line(term.shown()).splitlines(keepends=True)
        c.v.check(len(lines) == 2 and b'TFTP error 3 "Disk full"' in lines[0] and
                  success_problem(lines[1]) is None,
                  f"{name}: the terminal showed {term.shown()[-400:]!r}")
        settings_kept(c, name, term)


def check_interrupts(c):
    """Ctrl+C, SIGTERM, SIGUSR1 and SIGALRM end the run at once, as any signal's default does,
    and the terminal's settings are the operator's all along."""
    for name, way_out, want in (
            ("Ctrl+C", lambda t: t.type(b"\x03"), -signal.SIGINT),
            *[(sig.name, lambda t, sig=sig: t.proc.send_signal(sig), -sig)
              for sig in (signal.SIGTERM, signal.SIGUSR1, signal.SIGALRM)]):
        with updating(c, name) as (device, term):
            if c.v.check(term.wait_for(b"20%", 30), f"{name}: no 20% on the terminal"):
                settings_kept(c, name, term, " during the update")
                way_out(term)
            finished(c, name, term, 5, want)
            settings_kept(c, name, term)


def check_stopped_pipe(c):
    """Standard output a pipe of 4 KiB whose reader stops for 20 s."""
    reader, writer = os.pipe()
    fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
    with updating(c, "pipe", terminal=False, stdout=writer) as (device, qb):
        began = time.monotonic()
        os.close(writer)
        check(c, "stopped pipe", device_problem(c, device))
        c.v.check(time.monotonic() - began < READER_STOPS,
                  "stopped pipe: the device took longer than the reader's stop")
        time.sleep(max(0.0, READER_STOPS - (time.monotonic() - began)))
        shown = []
        drain = threading.Thread(target=lambda: shown.append(os.fdopen(reader, "rb").read()))
        drain.start()
        drain.join(timeout=30)  # a QBupdate still resending to a device gone keeps it open
        try:
            status = qb.wait(timeout=5)  # the pipe's end comes a moment before the exit
        except subprocess.TimeoutExpired:
            status = None
        qb.kill()
        drain.join()
        ended_well(c, "stopped pipe", status, qb.stderr.read(), b"".join(shown), c.want)


def check_cut_short(c):
    """Standard output cut short: `QBupdate ... | head -c 300`, whose reader goes after 300
    bytes, and a file under `ulimit -f` that the trail outgrows (SIGXFSZ)."""
    head = subprocess.Popen(["head", "-c", "300"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    log_path = os.path.join(c.work, "ulimit-f.log")

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (2048, resource.RLIM_INFINITY))
    # (name, QBupdate's standard output, what its process does first, what got through, size)
    for name, stdout, preexec_fn, got, size in (
            ("| head -c 300", head.stdin, None, head.stdout.read, 300),
            ("ulimit -f", open(log_path, "wb"), limited, lambda: open(log_path, "rb").read(),
             2048)):
        with updating(c, name, terminal=False, stdout=stdout, preexec_fn=preexec_fn) as (
                device, qb):
            stdout.close()  # QBupdate's copy the only one: head sees the end when it exits
            _, err = qb.communicate(timeout=60)
            check(c, name, device_problem(c, device))
            ended_well(c, name, qb.returncode, err, got(), c.want[:size])
    head.wait()


def check_hang_ups(c):
    """The terminal closed at 20 %; then twice again with the device going silent, after the
    terminal closed and before (the stall told on the terminal first)."""
    with updating(c, "hang-up") as (device, term):
        if c.v.check(term.wait_for(b"20%", 30), "hang-up: no 20% on the terminal"):
            term.hang_up()
        finished(c, "hang-up at 20 %", term, 60)
        check(c, "hang-up at 20 %", device_problem(c, device))

    stall = ["--stall-at", str((len(c.image) // 512 + 1) // 2), "--stall-for", "60"]
    for told_first in (False, True):
        name = "stall told, then hang-up" if told_first else "hang-up, then silence"
        with updating(c, name, stall) as (device, term):
            seen = term.wait_for(b"unacknowledged for 10 s" if told_first else b"20%", 40)
            hung_up = time.monotonic()
            if c.v.check(seen, f"{name}: not seen on the terminal"):
                term.hang_up()
            finished(c, name, term, 40, EXIT_ABANDONED)
            ended = time.monotonic()
            c.v.check(not ports_held(c.lab), f"{name}: ports {ports_held(c.lab)} still held")
        _, record, _ = finish_device(*device, timeout=0.1)
        silent = record["t0"] + record["stalled"][0] if "stalled" in record else None
        if not c.v.check(silent is not None, f"{name}: the device never went silent"):
            continue
        if told_first:
            c.v.check(ended - hung_up < 2.0, f"{name}: ended {ended - hung_up:.1f} s after it")
        else:
            c.v.check(hung_up < silent, f"{name}: the transfer did not carry on after the hang-up")
            c.v.check(ended - silent < 20.0,
                      f"{name}: ended {ended - silent:.1f} s after the device went silent")


def console_cases(qbupdate):
    v = Checks("operator input")
    with tempfile.TemporaryDirectory(prefix="qb-console-") as work, Lab("console") as lab:
        path = make_image(work, CONSOLE_IMAGE_SIZE, 16)
        c = SimpleNamespace(v=v, lab=lab, qbupdate=qbupdate, work=work, path=path,
                            image=open(path, "rb").read(), want=FIRMWARE_BANNER + console_trail(
                                progress_calls(CONSOLE_IMAGE_SIZE)))
        for case in (check_paused, check_stopped_error_terminal, check_stopped_pipe,
                     check_cut_short, check_interrupts, check_hang_ups):
            v.start(case.__doc__.splitlines()[0])
            case(c)
    return v.status()


def main(qbupdate, in_own_netns):
    if in_own_netns:
        return inside(qbupdate)
    require_root()
    bad_input = subprocess.run(["unshare", "-n", sys.executable, os.path.abspath(__file__),
                                qbupdate, "--in-own-netns"]).returncode
    return console_cases(qbupdate) or bad_input


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2:] == ["--in-own-netns"]))
