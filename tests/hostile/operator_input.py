#!/usr/bin/env python3
"""Bad input from the operator: odd bytes, very long paths, images that are not files; and an
operator's console that stops, closes or hangs up while an update runs.

    operator_input.py QBUPDATE

Every bad-input case must end within seconds in one of three clear ways: the usage text
(exit 1), a one-line "QBupdate: cannot load image" report (exit 2), or, for an image that loads,
the report that port 9 is taken (exit 3): the test holds that port so nothing is ever sent.
These run in a network namespace of their own with only loopback up.

The console cases update the virtual device (which gives up after about 13 s without a block)
in a lab of namespaces: Ctrl+S on the terminal, and on a terminal that has only standard error
(standard output to a file); Ctrl+Z then fg; a pipe nobody reads for 20 s; `| head -c 300`;
standard output to a file under `ulimit -f`; Ctrl+C, SIGTERM, SIGUSR1 and SIGALRM; and the
terminal closed during a transfer, before the device goes silent and after a stall has been
told. Whatever the console does, the device must get the whole image, the trail must stay byte
for byte as it is, and the terminal's settings are never changed. Needs root, exits 77 without.
"""

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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from netlab import Checks  # noqa: E402
from checks import (one_line_problem, success_problem,  # noqa: E402
                    without_start_line)
from e2e_support import (Lab, Terminal, console_trail, finish_device, make_image,  # noqa: E402
                         progress_calls, start_device)

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
    if expected in ("--help", "--version"):
        # Asked as GNU tools are asked: the answer on standard output, status 0.
        want = USAGE_TEXT if expected == "--help" else None
        # --help names the other forms in one line on standard error: the usage text stays.
        more = b"QBupdate: also QBupdate filename targetIP boot" if want else None
        err_ok = (err.startswith(more) and err.count(b"\n") == 1) if more else not err
        if rc != 0 or not err_ok or (out != want if want else not re.fullmatch(
                rb"QBupdate \d+\.\d+\.\d+\n", out)):
            return f"{expected}: exit {rc}, {out[:80]!r}, {err[:200]!r}"
        return None
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
        ("--help", [b"--help"], "--help", {}),
        ("--version", [b"--version"], "--version", {}),
        ("--help spelt otherwise", [b"--HELP"], "usage", {}),
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
    v = Checks("operator input")
    with tempfile.TemporaryDirectory(prefix="qb-operator-") as work:
        files = make_files(work)
        for label, args, expected, extra in cases(work, files):
            check_case(v, qbupdate, work, label, args, expected, extra)
        check_swapped_image(v, qbupdate, work)
    return v.status()


# --- the operator's console during an update ---

CONSOLE_IMAGE_SIZE = 4 << 20  # 8,193 blocks: a trail of some 7,700 bytes, over a few seconds
EXIT_ABANDONED = 6
PIPE_SIZE = 4096  # the smallest a pipe can be: a few thousand blocks fill it
READER_STOPS = 20.0


def console_case(lab, work, name, device_args=()):
    """The virtual device for one case, started and listening."""
    return start_device(lab, lab.device, lab.device_if, lab.device_addr, work, name,
                        list(device_args))


def device_problem(device, image):
    """None when the device got the whole image."""
    status, record, received = finish_device(*device, timeout=30)
    if status == 0 and received == image:
        return None
    got = None if received is None else len(received)
    return f"the device ended with {status} ({record['result']}), {got} of {len(image)} bytes"


def ports_held(lab):
    """The UDP ports among 9, 67 and 69 still bound in the host's namespace."""
    table = lab.run(lab.host, ["cat", "/proc/net/udp"], timeout=10).stdout.splitlines()[1:]
    local = {int(line.split()[1].split(b":")[1], 16) for line in table}
    return sorted(local & {9, 67, 69})


def on_terminal(lab, qbupdate, path, stdout=None):
    return Terminal(lab.command(lab.host, [qbupdate, path, lab.device_addr]), stdout=stdout)


def check_ctrl_s(v, lab, qbupdate, work, path, want):
    """Ctrl+S at 20 %, Ctrl+Q only once the device has finished: the display pauses, the update
    does not, and Ctrl+Q shows all that was held."""
    image = open(path, "rb").read()
    device = console_case(lab, work, "ctrl-s")
    term = on_terminal(lab, qbupdate, path)
    try:
        if v.check(term.wait_for(b"20%", 30), "Ctrl+S: no 20% on the terminal"):
            term.type(b"\x13")
        v.check(term.settings() == term.settings_before, "Ctrl+S: the terminal's settings changed")
        problem = device_problem(device, image)
        v.check(problem is None, f"Ctrl+S: {problem}")
        v.check(len(without_start_line(term.shown())) < len(want), "Ctrl+S: the display did not pause")
        term.type(b"\x11")
        status = term.finish(30)
        v.check(status == 0, f"Ctrl+S: exit status {status}")
        shown = without_start_line(term.shown())
        v.check(shown.startswith(want) and success_problem(shown[len(want):]) is None,
                f"Ctrl+S: the terminal showed {len(shown)} bytes, not the trail's {len(want)} "
                f"and the last line: {shown[-200:]!r}")
    finally:
        term.close()


def check_stopped_error_terminal(v, lab, qbupdate, work, path, want):
    """Ctrl+S on a terminal that has only standard error, standard output to a log file, while
    a notice (the device's TFTP error) is due: the update goes on."""
    image = open(path, "rb").read()
    device = console_case(lab, work, "stderr-ctrl-s", ["--error-at", "100"])
    log_path = os.path.join(work, "stderr-ctrl-s.log")
    with open(log_path, "wb") as log:
        term = on_terminal(lab, qbupdate, path, stdout=log)
    try:
        term.type(b"\x13")
        problem = device_problem(device, image)
        v.check(problem is None, f"Ctrl+S on standard error: {problem}")
        deadline = time.monotonic() + 10
        while open(log_path, "rb").read() != want and time.monotonic() < deadline:
            time.sleep(0.1)
        v.check(open(log_path, "rb").read() == want, "Ctrl+S on standard error: the log file "
                "does not hold the whole trail")
        v.check(b"Disk full" not in term.shown(), "Ctrl+S on standard error: not paused")
        term.type(b"\x11")
        status = term.finish(30)
        v.check(status == 0, f"Ctrl+S on standard error: exit status {status}")
        lines = without_start_line(term.shown()).splitlines(keepends=True)
        v.check(len(lines) == 2 and b'TFTP error 3 "Disk full"' in lines[0] and
                success_problem(lines[1]) is None,
                f"Ctrl+S on standard error: the terminal showed {term.shown()[-400:]!r}")
        v.check(term.settings() == term.settings_before,
                "Ctrl+S on standard error: the terminal's settings changed")
    finally:
        term.close()


def check_stop_and_continue(v, lab, qbupdate, work, path, want):
    """Stopped at 20 % and continued 2 s later, as Ctrl+Z and fg do to a job (SIGSTOP: the
    terminal's own Ctrl+Z is discarded for a session leader's group, which nothing would
    continue)."""
    image = open(path, "rb").read()
    device = console_case(lab, work, "stop-continue")
    term = on_terminal(lab, qbupdate, path)
    try:
        if v.check(term.wait_for(b"20%", 30), "Ctrl+Z: no 20% on the terminal"):
            term.proc.send_signal(signal.SIGSTOP)  # ip netns exec runs QBupdate in its place
            time.sleep(2)
            term.proc.send_signal(signal.SIGCONT)
        v.check(term.wait_for(b"40%", 30), "Ctrl+Z: no 40% after fg")
        v.check(term.settings() == term.settings_before, "Ctrl+Z: the terminal's settings changed")
        problem = device_problem(device, image)
        v.check(problem is None, f"Ctrl+Z: {problem}")
        status = term.finish(30)
        v.check(status == 0, f"Ctrl+Z: exit status {status}")
        shown = without_start_line(term.shown())
        v.check(shown.startswith(want) and success_problem(shown[len(want):]) is None,
                f"Ctrl+Z: the terminal showed {shown[-200:]!r}")
    finally:
        term.close()


def check_interrupts(v, lab, qbupdate, work, path):
    """Ctrl+C, SIGTERM, SIGUSR1 and SIGALRM end the run at once, as any signal's default does,
    and the terminal's settings are the operator's all along."""
    for name, way_out, want in (
            ("Ctrl+C", lambda t: t.type(b"\x03"), -signal.SIGINT),
            ("SIGTERM", lambda t: t.proc.terminate(), -signal.SIGTERM),
            ("SIGUSR1", lambda t: t.proc.send_signal(signal.SIGUSR1), -signal.SIGUSR1),
            ("SIGALRM", lambda t: t.proc.send_signal(signal.SIGALRM), -signal.SIGALRM)):
        device = console_case(lab, work, name)
        term = on_terminal(lab, qbupdate, path)
        try:
            if v.check(term.wait_for(b"20%", 30), f"{name}: no 20% on the terminal"):
                v.check(term.settings() == term.settings_before,
                        f"{name}: the terminal's settings changed during the update")
                way_out(term)
            status = term.finish(5)
            v.check(status == want, f"{name}: exit status {status}, want {want}")
            v.check(term.settings() == term.settings_before,
                    f"{name}: the terminal's settings changed")
        finally:
            term.close()
            finish_device(*device, timeout=0.1)


def check_stopped_pipe(v, lab, qbupdate, work, path, want):
    """Standard output a pipe of 4 KiB whose reader stops for 20 s."""
    image = open(path, "rb").read()
    device = console_case(lab, work, "pipe")
    reader, writer = os.pipe()
    fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
    began = time.monotonic()
    qb = lab.popen(lab.host, [qbupdate, path, lab.device_addr], stdout=writer)
    os.close(writer)
    try:
        problem = device_problem(device, image)
        v.check(problem is None, f"stopped pipe: {problem}")
        v.check(time.monotonic() - began < READER_STOPS,
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
        shown = b"".join(shown)
        v.check(status == 0, f"stopped pipe: exit status {status}")
        v.check(shown == want, f"stopped pipe: {len(shown)} bytes read, not the trail's "
                               f"{len(want)}: {shown[-80:]!r}")
        problem = success_problem(qb.stderr.read())
        v.check(problem is None, f"stopped pipe: {problem}")
    finally:
        if qb.poll() is None:
            qb.kill()
            qb.wait()


def check_closed_pipe(v, lab, qbupdate, work, path, want):
    """`QBupdate ... | head -c 300`: the reader goes after 300 bytes."""
    image = open(path, "rb").read()
    device = console_case(lab, work, "head")
    head = subprocess.Popen(["head", "-c", "300"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    qb = lab.popen(lab.host, [qbupdate, path, lab.device_addr], stdout=head.stdin)
    head.stdin.close()
    try:
        shown = head.stdout.read()
        head.wait()
        _, err = qb.communicate(timeout=60)
        problem = device_problem(device, image)
        v.check(problem is None, f"| head -c 300: {problem}")
        v.check(qb.returncode == 0, f"| head -c 300: exit status {qb.returncode}")
        problem = success_problem(err)
        v.check(problem is None, f"| head -c 300: {problem}")
        v.check(shown == want[:300], f"| head -c 300: read {shown[-60:]!r}")
    finally:
        if qb.poll() is None:
            qb.kill()
            qb.wait()


def check_file_size_limit(v, lab, qbupdate, work, path, want):
    """Standard output to a file under `ulimit -f` that the trail outgrows (SIGXFSZ)."""
    image = open(path, "rb").read()
    device = console_case(lab, work, "ulimit-f")
    limit = 2048
    log_path = os.path.join(work, "ulimit-f.log")
    with open(log_path, "wb") as log:
        qb = lab.popen(lab.host, [qbupdate, path, lab.device_addr], stdout=log,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                             (limit, resource.RLIM_INFINITY)))
    try:
        _, err = qb.communicate(timeout=60)
        problem = device_problem(device, image)
        v.check(problem is None, f"ulimit -f: {problem}")
        v.check(qb.returncode == 0, f"ulimit -f: exit status {qb.returncode}")
        problem = success_problem(err)
        v.check(problem is None, f"ulimit -f: {problem}")
        v.check(open(log_path, "rb").read() == want[:limit], "ulimit -f: the file is not the "
                "trail's first bytes")
    finally:
        if qb.poll() is None:
            qb.kill()
            qb.wait()


def check_hang_ups(v, lab, qbupdate, work, path):
    """The terminal closed at 20 %; then twice again with the device going silent, after the
    terminal closed and before (the stall told on the terminal first)."""
    image = open(path, "rb").read()
    blocks = len(image) // 512 + 1
    device = console_case(lab, work, "hang-up")
    term = on_terminal(lab, qbupdate, path)
    try:
        if v.check(term.wait_for(b"20%", 30), "hang-up: no 20% on the terminal"):
            term.hang_up()
        status = term.finish(60)
        v.check(status == 0, f"hang-up at 20 %: exit status {status}")
        problem = device_problem(device, image)
        v.check(problem is None, f"hang-up at 20 %: {problem}")
    finally:
        term.close()

    for told_first in (False, True):
        name = "stall told, then hang-up" if told_first else "hang-up, then silence"
        device = console_case(lab, work, name, ["--stall-at", str(blocks // 2),
                                                "--stall-for", "60"])
        term = on_terminal(lab, qbupdate, path)
        try:
            seen = term.wait_for(b"unacknowledged for 10 s" if told_first else b"20%", 40)
            hung_up = time.monotonic()
            if v.check(seen, f"{name}: not seen on the terminal"):
                term.hang_up()
            status = term.finish(40)
            ended = time.monotonic()
            v.check(status == EXIT_ABANDONED, f"{name}: exit status {status}")
            v.check(not ports_held(lab), f"{name}: ports {ports_held(lab)} still held")
        finally:
            term.close()
        _, record, _ = finish_device(*device, timeout=0.1)
        silent = record["t0"] + record["stalled"][0] if "stalled" in record else None
        if not v.check(silent is not None, f"{name}: the device never went silent"):
            continue
        if told_first:
            v.check(ended - hung_up < 2.0, f"{name}: ended {ended - hung_up:.1f} s after it")
        else:
            v.check(hung_up < silent, f"{name}: the transfer did not carry on after the hang-up")
            v.check(ended - silent < 20.0,
                    f"{name}: ended {ended - silent:.1f} s after the device went silent")


def console_cases(qbupdate):
    v = Checks("operator input")
    with tempfile.TemporaryDirectory(prefix="qb-console-") as work, Lab("console") as lab:
        path = make_image(work, CONSOLE_IMAGE_SIZE, 16)
        want = b" Updating QuibbleBox Firmware\n" + console_trail(progress_calls(
            CONSOLE_IMAGE_SIZE))
        for case in (check_ctrl_s, check_stopped_error_terminal, check_stop_and_continue,
                     check_stopped_pipe, check_closed_pipe, check_file_size_limit):
            print(f"-- {case.__doc__.splitlines()[0]}", flush=True)
            case(v, lab, qbupdate, work, path, want)
        for case in (check_interrupts, check_hang_ups):
            print(f"-- {case.__doc__.splitlines()[0]}", flush=True)
            case(v, lab, qbupdate, work, path)
    return v.status()


def main(qbupdate):
    if os.environ.get(INSIDE) == "1":
        return inside(qbupdate)
    if os.geteuid() != 0:
        print("SKIPPED: needs root for a network namespace of its own", flush=True)
        return SKIP
    env = dict(os.environ, **{INSIDE: "1"})
    bad_input = subprocess.run(["unshare", "-n", sys.executable, os.path.abspath(__file__),
                                qbupdate], env=env).returncode
    return console_cases(qbupdate) or bad_input


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
