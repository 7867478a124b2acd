"""What the end-to-end tests share: running one update between the host and the virtual
device, and checking what crossed the wire against what the device must see. Each test runs as
`python3 NAME_test.py PATH-TO-QBupdate`, as root (it exits 77, skipped, otherwise)."""

import fcntl
import hashlib
import json
import os
import random
import select
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import types
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from netlab import Checks, Lab, require_root, SKIP  # noqa: E402,F401

DEVICE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "virtual_quibblebox.py")

BANNER_FIRMWARE = b" Updating QuibbleBox Firmware\n"
BANNER_BOOT = b" Updating QuibbleBox Boot Area\n"
SUCCESS_PREFIX = b"QBupdate: updated "  # the line a success ends with, on stderr
START_PREFIX = b"QBupdate: serving "  # the line every update starts its network part with
TFTP_ERROR_ONLY_RRQ = b"\x00\x05\x00\x04Only RRQ is supported!\x00"
DATA_PORTS = range(32768, 40960)


def qbupdate_path():
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        print(f"usage: {sys.argv[0]} PATH-TO-QBupdate", file=sys.stderr)
        sys.exit(2)
    return os.path.abspath(sys.argv[1])


def run_test(name, body):
    """A test's whole run: QBupdate from the command line, root or the skip status, then
    `body(qbupdate, checks)`, and the exit status its checks give."""
    qbupdate = qbupdate_path()
    require_root()
    c = Checks(name)
    body(qbupdate, c)
    c.finish()


def workdir(topic):
    return tempfile.TemporaryDirectory(prefix=f"qb-e2e-{topic}-")


def make_image(directory, size, seed):
    path = os.path.join(directory, f"image-{size}.bin")
    with open(path, "wb") as f:
        f.write(random.Random(seed).randbytes(size))
    return path


HOLD_PORT = ("import socket, sys, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
             "s.bind((sys.argv[1], int(sys.argv[2]))); print('bound', flush=True); time.sleep(600)")


def hold_port(lab, addr, port):
    """Another program holding a UDP port in the host namespace, bound without any option, until
    it is killed or the lab closes."""
    proc = lab.popen(lab.host, [sys.executable, "-c", HOLD_PORT, addr, str(port)])
    bound = proc.stdout.readline()
    if bound != b"bound\n":
        proc.kill()
        raise RuntimeError(f"cannot hold {addr}:{port}: {bound!r} {proc.stderr.read()!r}")
    return proc


Run = types.SimpleNamespace  # the outcome of one update: QBupdate's side and the device's


def start_device(lab, ns, iface, addr, directory, name, device_args):
    out, log = (os.path.join(directory, f"{name}.{kind}") for kind in ("received", "json"))
    for path in filter(os.path.exists, (out, log)):
        os.remove(path)
    proc = lab.popen(ns, [sys.executable, DEVICE, "--iface", iface, "--addr", addr,
                          "--out", out, "--log", log, *device_args])
    ready = proc.stdout.readline()
    if ready != b"listening\n":
        proc.kill()
        raise RuntimeError(f"virtual device did not start: {ready!r} {proc.stderr.read()!r}")
    return proc, out, log


def finish_device(proc, out, log, timeout=30):
    """Waits for the device (ending it if it outlives the timeout) and reads its record."""
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.terminate()
        proc.wait(timeout=10)
    received = open(out, "rb").read() if os.path.exists(out) else None
    with open(log) as f:
        return proc.returncode, json.load(f), received


def update(lab, qbupdate, image, directory, device_args=(), boot=False, timeout=40,
           name="device", device_wait=5, meanwhile=None, grace=10.0):
    """Starts the virtual device (`device_args` a list, or words in a string), runs QBupdate on
    the host against it, and collects both; QBupdate is ended, its status saying so, past
    `timeout` or `grace` s after the device ended. `meanwhile`, if given, runs in a thread of its
    own from QBupdate's start, with that time and the list of its (time, line) on standard error."""
    args = device_args.split() if isinstance(device_args, str) else list(device_args)
    proc, out, log = start_device(lab, lab.device, lab.device_if, lab.device_addr, directory,
                                  name, args)
    began = time.monotonic()
    qb = lab.popen(lab.host, [qbupdate, image, lab.device_addr] + (["boot"] if boot else []))
    stdout, stderr_lines = [], []
    # Read on all the while, so a long trail cannot block it and each line's time is known.
    threads = [threading.Thread(target=lambda: stdout.append(qb.stdout.read()), daemon=True),
               threading.Thread(target=lambda: stderr_lines.extend(
                   (time.monotonic(), line) for line in iter(qb.stderr.readline, b"")),
                   daemon=True),
               threading.Thread(target=meanwhile or (lambda *_: None),
                                args=(began, stderr_lines), daemon=True)]
    for thread in threads:
        thread.start()
    deadline, device_gone, qb_status = began + timeout, None, None
    while qb_status is None:
        try:
            qb_status = qb.wait(timeout=0.05)
        except subprocess.TimeoutExpired:
            now = time.monotonic()
            if device_gone is None and proc.poll() is not None:
                device_gone = now
            if now >= deadline or (device_gone is not None and now - device_gone > grace):
                qb.kill()
                qb.wait()
                qb_status = (f"still running {now - device_gone:.0f} s after the device ended"
                             if device_gone is not None else f"still running after {timeout} s")
    for reader in threads[:2]:
        reader.join(timeout=10)
    elapsed = time.monotonic() - began
    threads[2].join(timeout=30)
    # QBupdate has finished, so nothing more will come: a device still waiting is ended.
    status, record, received = finish_device(proc, out, log, timeout=device_wait)
    # A success ends with its own line and the network part starts with one; what is left is
    # the run's notices.
    success_line = None
    if qb_status == 0 and stderr_lines and stderr_lines[-1][1].startswith(SUCCESS_PREFIX):
        success_line = stderr_lines.pop()[1]
    start = [entry for entry in stderr_lines if entry[1].startswith(START_PREFIX)]
    start_line, start_time = (start[0][1], start[0][0]) if start else (None, None)
    stderr_lines[:] = [entry for entry in stderr_lines if entry not in start[:1]]
    return Run(status=qb_status, stdout=b"".join(stdout), stderr_lines=stderr_lines,
               stderr=b"".join(line for _, line in stderr_lines), success_line=success_line,
               start_line=start_line, start_time=start_time, image_path=image, elapsed=elapsed,
               device_status=status, log=record, received=received)


def ended(proc, timeout):
    """The exit status and standard error (text) of a command started with lab.popen, once it
    ends; it is killed when it outlives `timeout`."""
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate()
    return proc.returncode, err.decode(errors="replace")


def timeline(*steps):
    """A `meanwhile` for update() that takes each step (seconds after QBupdate's start, action)
    in its turn, and the list it fills: QBupdate's start, then (when the action began, when it
    ended, what it returned) for each step."""
    times = []

    def take_steps(began, _lines):
        times.append(began)
        for after, action in steps:
            time.sleep(max(0.0, began + after - time.monotonic()))
            start = time.monotonic()
            result = action()
            times.append((start, time.monotonic(), result))
    return take_steps, times


def first_notice(lab, qbupdate, image, target, timeout=5.0):
    """Starts QBupdate on the host and returns (seconds after start, first line on standard
    error) once that line has come, or (None, b"") after `timeout`; QBupdate is then ended."""
    began = time.monotonic()
    qb = lab.popen(lab.host, [qbupdate, image, target])
    line = qb.stderr.readline() if select.select([qb.stderr], [], [], timeout)[0] else b""
    elapsed = time.monotonic() - began if line else None
    qb.terminate()
    qb.wait(timeout=10)
    return elapsed, line


# --- an operator's terminal ---

LEAD_A_SESSION = ("import fcntl, os, sys, termios; os.setsid(); "
                  "fcntl.ioctl(0, termios.TIOCSCTTY, 0); os.execvp(sys.argv[1], sys.argv[1:])")


class Terminal:
    """A command on a pseudo-terminal of its own, as an operator's: the terminal is its standard
    input, output (unless given another) and error and its controlling terminal, and it leads a
    session, so closing the terminal hangs it up. What it writes is read all the while."""

    def __init__(self, argv, env=None, stdout=None):
        self.master, slave = os.openpty()
        # Wide enough that no line of the tests wraps.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 400, 0, 0))
        self.settings_before = self.settings()
        self.proc = subprocess.Popen([sys.executable, "-c", LEAD_A_SESSION, *argv], env=env,
                                     stdin=slave, stdout=slave if stdout is None else stdout,
                                     stderr=slave)
        os.close(slave)
        self.raw, self.stop = bytearray(), threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while not self.stop.is_set():
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    data = os.read(self.master, 65536)
                except OSError:  # EIO: nothing holds the terminal any more
                    return
                if not data:
                    return
                self.raw += data

    def settings(self):
        """The terminal's settings (on Linux the master's calls reach the terminal's)."""
        return termios.tcgetattr(self.master)

    def type(self, keys):
        os.write(self.master, keys)

    def shown(self):
        """What the terminal showed, without the CRs it adds before each newline."""
        return bytes(self.raw).replace(b"\r\n", b"\n")

    def wait_for(self, text, timeout):
        deadline = time.monotonic() + timeout
        while text not in self.raw:
            if time.monotonic() > deadline or not self.reader.is_alive():
                return False
            time.sleep(0.01)
        return True

    def hang_up(self):
        """Closes the terminal, as a closed window or a dropped connection does."""
        self.stop.set()
        self.reader.join()
        os.close(self.master)
        self.master = None

    def finish(self, timeout):
        """The command's exit status (killed when it outlives the timeout), once what it wrote
        has been read; helpers that keep the terminal open after it ended do not hold this up."""
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            status = f"still running after {timeout} s"
        if self.master is not None:
            # Whatever was still on its way; then the reader stops, even with the terminal held.
            seen = -1
            while self.reader.is_alive() and len(self.raw) != seen:
                seen = len(self.raw)
                time.sleep(0.2)
            self.stop.set()
            self.reader.join()
        return status

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.master is not None:
            self.hang_up()


# --- what the device must see ---

def progress_calls(size, blocks_acked=None):
    """The percentages the engine reports for an image of `size` bytes, one per accepted ACK;
    with `blocks_acked`, only those of a transfer abandoned after that many blocks."""
    last = size // 512 + 1
    acked = last if blocks_acked is None else min(last, blocks_acked)
    return [100 if block == last else block * 512 * 100 // size for block in range(1, acked + 1)]


def console_trail(calls):
    """The progress trail: a dot for each call off a multiple of 20, the percentage on its own
    line when it differs from the last one printed, which starts as 0."""
    out, last = [], 0
    for percent in calls:
        if percent % 20:
            out.append(".")
        elif percent != last:
            out.append(f"{percent}%\n")
            last = percent
    return "".join(out).encode()


def data_sizes(size):
    """The payload sizes of DATA 1, 2, ... for an image of `size` bytes."""
    return [512] * (size // 512) + [size % 512]


def check_beacons(c, run, lab, minimum=1):
    beacons = run.log["beacons"]
    want = (b"\xaa" * 6 + b"pexlinsoundworks" + socket.inet_aton(lab.device_addr) * 2).hex()
    c.check(len(beacons) >= minimum, f"{len(beacons)} beacons heard, want at least {minimum}")
    c.check(not run.log["bad_beacons"], f"malformed beacons: {run.log['bad_beacons'][:2]}")
    c.check(all(b["hex"] == want for b in beacons), "a beacon differs from the 30 expected bytes")
    c.check(all(b["from"] == [lab.host_addr, 9] for b in beacons),
            f"beacons not all from {lab.host_addr}:9: {[b['from'] for b in beacons][:3]}")


def check_beacon_rhythm(c, run):
    """Beacons every half second: the median gap near 0.5 s, none wildly off (a loaded machine
    may delay one, but a beacon a second, or none for seconds, is a fault)."""
    times = [b["t"] for b in run.log["beacons"]]
    gaps = sorted(round(b - a, 3) for a, b in zip(times, times[1:]))
    if c.check(gaps, "fewer than two beacons"):
        c.check(0.4 <= gaps[len(gaps) // 2] <= 0.65 and 0.2 <= gaps[0] and gaps[-1] <= 2.0,
                f"beacons not every half second: gaps {gaps}")


def check_bootp(c, run, lab, boot=False):
    """One reply per request answered: 300 bytes broadcast from port 67, the request changed
    only in op, yiaddr, siaddr and the boot file name."""
    replies, requests = run.log["bootp_replies"], run.log["bootp_requests"]
    if not c.equal(len(replies), 1, "BOOTP replies"):
        return
    reply = replies[0]
    c.equal(reply["length"], 300, "BOOTP reply length")
    c.equal(reply["to"], "255.255.255.255", "BOOTP reply destination")
    c.equal(reply["from"], [lab.host_addr, 67], "BOOTP reply source")
    request = bytes.fromhex(requests[-1]["hex"])
    want = bytearray(request.ljust(300, b"\0"))
    want[0] = 2
    want[16:20] = socket.inet_aton(lab.device_addr)
    want[20:24] = socket.inet_aton(lab.host_addr)
    name = b"bootboot.bin\0" if boot else b"firmware.bin\0"
    want[108:108 + len(name)] = name
    c.equal(bytes.fromhex(reply["hex"]), bytes(want), "BOOTP reply bytes")
    c.equal(len(run.log["beacons"]), run.log.get("beacons_before_reply"),
            "beacons after the device was heard")


def check_transfer(c, run, lab, image, boot=False, trail=None, quiet=True, start_timed=True):
    """Exit status, console, the last and the start line, DATA and the device's copy of a
    completed update; with `quiet`, nothing else on standard error; with `start_timed`, the start
    line before the first beacon (on Windows a writer thread may take one a tick later)."""
    banner = BANNER_BOOT if boot else BANNER_FIRMWARE
    if trail is None:
        trail = console_trail(progress_calls(len(image)))
    c.equal(run.status, 0, "QBupdate exit status")
    c.equal(run.stdout, banner + trail, "console output")
    said = f"{SUCCESS_PREFIX.decode()}{lab.device_addr}"
    done = f": {len(image)} bytes acknowledged in "
    line = (run.success_line or b"").decode(errors="replace")
    c.check(line.startswith(said) and done in line, f"the last line {line!r} does not say "
                                                    f"{said!r} and {done!r}")
    # The start line names the image (a long name cut short, ending in "..."), its size and
    # checksums as this test computes them, and both addresses.
    text = (run.start_line or b"").decode(errors="replace").rstrip("\r\n")
    facts = (f"' ({len(image)} bytes, SHA-256 {hashlib.sha256(image).hexdigest()}, CRC-32 "
             f"{zlib.crc32(image):08x}) from {lab.host_addr} on ")
    head, tail = "QBupdate: serving '", f" to the device at {lab.device_addr}"
    name = text[len(head):text.find(facts)] if facts in text else None
    named = name == run.image_path or (name is not None and name.endswith("...") and
                                       run.image_path.startswith(name[:-3]))
    c.check(text.startswith(head) and named and text.endswith(tail),
            f"start line {text!r}, want {head + run.image_path + facts!r}...{tail!r}")
    if start_timed and run.log["beacons"] and run.start_time is not None:
        first = run.log["t0"] + run.log["beacons"][0]["t"]
        c.check(run.start_time <= first + 0.05,
                f"the start line came {run.start_time - first:.3f} s after the first beacon")
    if quiet:
        c.equal(run.stderr, b"", "QBupdate standard error")
    c.equal(run.device_status, 0, "device exit status")
    c.equal(run.log["result"], "done", "device result")
    c.equal(run.log["assigned"]["file"] if "assigned" in run.log else None,
            "bootboot.bin" if boot else "firmware.bin", "boot file the device was given")
    c.check(run.received == image,
            f"device copy differs: {None if run.received is None else len(run.received)} bytes "
            f"received, {len(image)} sent")
    c.check(not run.log["tftp_errors"], f"TFTP errors: {run.log['tftp_errors'][:2]}")
    data = run.log["data"]
    c.check(all(d[3] in DATA_PORTS for d in data),
            f"DATA from ports outside 32768-40959: {sorted({d[3] for d in data})[:5]}")
    c.check(not [d for d in data if d[4] in ("foreign", "other")],
            f"unexpected DATA packets: {[d for d in data if d[4] in ('foreign', 'other')][:3]}")


def new_blocks(run):
    return [d for d in run.log["data"] if d[4] == "new"]


def check_data_sizes(c, run, image):
    want = data_sizes(len(image))
    c.equal([d[2] for d in new_blocks(run)], want, "DATA payload sizes")
    c.equal([d[1] for d in new_blocks(run)], [(b + 1) & 0xFFFF for b in range(len(want))],
            "DATA block numbers")


def complete(c, title, lab, qbupdate, path, directory, device_args=(), boot=False, trail=None,
             quiet=True, bootp=False, beacons=0, sizes=False, **update_args):
    """A section of its own: one update of the image at `path` that must complete, with the
    checks of check_transfer and, as asked, of check_bootp, check_beacons (at least `beacons`)
    and check_data_sizes; returns the run for the section's own checks."""
    c.start(title)
    image = open(path, "rb").read()
    run = update(lab, qbupdate, path, directory, device_args, boot=boot, **update_args)
    check_transfer(c, run, lab, image, boot=boot, trail=trail, quiet=quiet)
    if bootp:
        check_bootp(c, run, lab, boot=boot)
    if beacons:
        check_beacons(c, run, lab, minimum=beacons)
    if sizes:
        check_data_sizes(c, run, image)
    return run


def check_at_once(c, case, lab, argv, status, err_words, out_words=(), out_exact=None, cwd=None):
    """QBupdate run on the host ends within 3 s with `status`; its standard output is `out_exact`
    when given and names each of `out_words`; its standard error is one line of its own (not a
    wait) naming each of `err_words`, or nothing when there are none. Returns the output."""
    began = time.monotonic()
    res = lab.run(lab.host, argv, timeout=30, cwd=cwd)
    took = time.monotonic() - began
    out, err = res.stdout.decode(errors="replace"), res.stderr.decode(errors="replace")
    c.equal(res.returncode, status, f"{case}: exit status")
    c.check(took < 3.0, f"{case}: ended after {took:.1f} s, want at once")
    if out_exact is not None:
        c.equal(res.stdout, out_exact, f"{case}: standard output")
    c.names(out, out_words, f"{case}: the report")
    one_line = (err.startswith("QBupdate: ") and err.endswith("\n") and len(err.splitlines()) == 1
                and "waiting" not in err)
    c.check(one_line if err_words else err == "", f"{case}: standard error {err!r}")
    c.names(err, err_words, f"{case}:")
    print(f"   {case}: exit {res.returncode} after {took:.2f} s", flush=True)
    return out
