#!/usr/bin/env python3
"""Transfer benchmark: how fast an image crosses a veth to a real TFTP client.

Two network namespaces joined by a veth (host 198.51.100.1, device 198.51.100.10). The same
client in the device namespace fetches the same random image from, in turn:

  QBupdate        a fresh run per fetch (it serves one transfer and exits)
  in.tftpd        tftpd-hpa, a fresh `in.tftpd -L -s DIR` per fetch
  minimal-server  bench_minimal_tftpd: blocking socket, no timers, no output
  raw-limit       bench_raw_server/bench_raw_client: one 516-byte datagram and one 4-byte answer
                  per block, no protocol: the lock-step limit of the path

Runs alternate (a b c d, a b c d, ...); every copy's checksum is verified. Server and client are
pinned to the same CPU with taskset, the driver and its wrappers to another one. Time is the
client's, from its start to its exit; CPU and peak RSS are the server's (its whole process tree,
collected by bench_reap, which also catches in.tftpd's transfer child).

Run as root from the source tree after building (exit 77 when it cannot run here):

    python3 bench/run_bench.py --build-dir build
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import netlab  # noqa: E402

BLOCK = 512
RAW_PORT = 6969
CONTENDERS = ["QBupdate", "in.tftpd", "minimal-server", "raw-limit"]
BEFORE = "QBupdate-before"  # another build, measured in the same rounds (--before)
IN_TFTPD = "/usr/sbin/in.tftpd"


def client_argv(client, host_addr):
    """The client's command line: fetches "x" from the host into "out" in the current folder."""
    if client == "atftp":
        return ["atftp", "-g", "-r", "x", "-l", "out", host_addr]
    if client == "tftp":
        # tftp-hpa's default mode is ascii, which would alter the image.
        return ["tftp", "-m", "binary", host_addr, "-c", "get", "x", "out"]
    if client == "curl":
        return ["curl", "-sS", "--tftp-no-options", "-o", "out", f"tftp://{host_addr}/x"]
    raise ValueError(client)


CLIENT_PROGRAMS = {"atftp": "atftp", "tftp": "tftp", "curl": "curl"}


def read_report(path):
    values = {}
    with open(path) as f:
        for line in f:
            key, value = line.split()
            values[key] = float(value)
    return values


def same_namespace(pid, ns):
    try:
        return os.stat(f"/proc/{pid}/ns/net").st_ino == os.stat(f"/run/netns/{ns}").st_ino
    except OSError:
        return False


def wait_bound(proc, ns, port, timeout=10.0):
    """Waits until a UDP socket in the namespace is bound to `port`; False if never."""
    needle = f":{port:04X} "
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        if same_namespace(proc.pid, ns):
            try:
                with open(f"/proc/{proc.pid}/net/udp") as f:
                    next(f)
                    if any(line.split()[1].endswith(needle.strip()) for line in f):
                        return True
            except OSError:
                pass
        time.sleep(0.002)
    return False


class Bench:
    def __init__(self, lab, args, work):
        self.lab = lab
        self.args = args
        self.work = work
        self.reap = os.path.join(args.build_dir, "bench", "bench_reap")
        self.helpers = os.path.join(args.build_dir, "bench")
        self.qbupdate = os.path.abspath(args.qbupdate or os.path.join(args.build_dir, "QBupdate"))
        self.before = os.path.abspath(args.before) if args.before else None
        self.pin = ["taskset", "-c", str(args.cpu)]
        if args.nice:
            self.pin += ["nice", "-n", str(args.nice)]
        self.serve_dir = os.path.join(work, "serve")
        self.client_dir = os.path.join(work, "client")
        self.image = os.path.join(self.serve_dir, "x")
        self.blocks = args.size // BLOCK + 1
        self.failures = []

    def make_image(self):
        os.makedirs(self.serve_dir)
        os.makedirs(self.client_dir)
        # in.tftpd drops to an unprivileged user before it reads the image.
        for d in (self.work, self.serve_dir):
            os.chmod(d, 0o755)
        with open(self.image, "wb") as f:
            f.write(os.urandom(self.args.size))
        os.chmod(self.image, 0o644)
        with open(self.image, "rb") as f:
            self.image_sha = hashlib.sha256(f.read()).hexdigest()

    def reaped(self, ns, report, argv, detach=False):
        """The argv that runs `argv` pinned, inside `ns`, under bench_reap."""
        return netlab.Lab.command(ns, [self.reap, "-o", report] + (["-d"] if detach else [])
                                  + ["--"] + self.pin + argv)

    def server_argv(self, contender, report):
        host = self.lab.host
        if contender in ("QBupdate", BEFORE):
            binary = self.before if contender == BEFORE else self.qbupdate
            return self.reaped(host, report, [binary, self.image, self.lab.device_addr]), 69
        if contender == "in.tftpd":
            return self.reaped(host, report, [IN_TFTPD, "-L", "-a", f"{self.lab.host_addr}:69",
                                              "-s", self.serve_dir], detach=True), 69
        if contender == "minimal-server":
            return self.reaped(host, report, [os.path.join(self.helpers, "bench_minimal_tftpd"),
                                              self.image, self.lab.host_addr]), 69
        return self.reaped(host, report, [os.path.join(self.helpers, "bench_raw_server"),
                                          self.lab.host_addr, str(RAW_PORT),
                                          str(self.blocks)]), RAW_PORT

    def fetch(self, client, contender, run):
        """One fetch; returns (wall, server cpu, server peak KiB) or None after a failure."""
        tag = f"{client}-{contender}-{run}"
        server_report = os.path.join(self.work, f"{tag}.server")
        client_report = os.path.join(self.work, f"{tag}.client")
        console = os.path.join(self.work, f"{tag}.console")
        out = os.path.join(self.client_dir, "out")
        if os.path.exists(out):
            os.remove(out)
        argv, port = self.server_argv(contender, server_report)
        with open(console, "wb") as console_file:
            # QBupdate's console goes to a file, as an operator's redirected console would.
            server = subprocess.Popen(argv, stdout=console_file, stderr=subprocess.PIPE,
                                      stdin=subprocess.DEVNULL)
        try:
            if not wait_bound(server, self.lab.host, port):
                return self.fail(tag, "the server did not open its port",
                                 server.stderr.read().decode(errors="replace"))
            if contender == "raw-limit":
                fetch_argv = [os.path.join(self.helpers, "bench_raw_client"),
                              self.lab.host_addr, str(RAW_PORT), str(self.blocks)]
            else:
                fetch_argv = client_argv(client, self.lab.host_addr)
            res = subprocess.run(self.reaped(self.lab.device, client_report, fetch_argv),
                                 cwd=self.client_dir, capture_output=True,
                                 timeout=self.args.timeout)
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            return self.fail(tag, "timed out")
        finally:
            if server.poll() is None:
                server.terminate()  # bench_reap passes it on to the server it started
                server.wait()
        if res.returncode != 0:
            return self.fail(tag, "bench_reap failed", res.stderr.decode(errors="replace"))
        cr = read_report(client_report)
        sr = read_report(server_report)
        if cr["status"] != 0:
            return self.fail(tag, f"the client exited with status {int(cr['status'])}",
                             res.stdout.decode(errors="replace")
                             + res.stderr.decode(errors="replace"))
        # in.tftpd is ended on purpose once it has forked its transfer child.
        if contender != "in.tftpd" and sr["status"] != 0:
            return self.fail(tag, f"the server exited with status {int(sr['status'])}",
                             server.stderr.read().decode(errors="replace"))
        if contender == "in.tftpd" and sr["handed_over"] != 1:
            return self.fail(tag, "in.tftpd forked no transfer child")
        if contender != "raw-limit":
            with open(out, "rb") as f:
                got = hashlib.sha256(f.read()).hexdigest()
            if got != self.image_sha:
                return self.fail(tag, "the copy differs from the image")
        if contender in ("QBupdate", BEFORE):
            with open(console, "rb") as f:
                trail = f.read()
            if not trail.startswith(b" Updating QuibbleBox Firmware\n") or \
                    not trail.endswith(b"100%\n"):
                return self.fail(tag, "unexpected console output", trail[-200:].decode())
        return cr["wall"], sr["cpu"], sr["peak_kib"], cr["cpu"]

    def fail(self, tag, why, detail=""):
        self.failures.append(f"{tag}: {why}" + (f"\n{detail.strip()}" if detail.strip() else ""))
        return None

    def run_client(self, client):
        contenders = CONTENDERS[:1] + ([BEFORE] if self.before else []) + CONTENDERS[1:]
        results = {c: [] for c in contenders}
        for run in range(self.args.rounds):
            for contender in contenders:
                r = self.fetch(client, contender, run)
                if r is not None:
                    results[contender].append(r)
        return results


def summary_lines(client, results, blocks, rounds, cpu, nice):
    lines = [f"client {client}: {blocks} blocks per fetch, {rounds} rounds, "
             f"server and client pinned to CPU {cpu}, nice {nice}",
             f"  {'contender':<15} {'median s':>9} {'min-max s':>15} {'blocks/s':>9} "
             f"{'CPU s/10k blk':>14} {'peak RSS MiB':>13} {'client CPU':>11}"]
    medians = {}
    for contender, rows in results.items():
        if not rows:
            lines.append(f"  {contender:<15} no successful fetch")
            continue
        walls = [r[0] for r in rows]
        median = statistics.median(walls)
        medians[contender] = median
        cpu_per = statistics.median(r[1] for r in rows) / blocks * 10000
        peak = max(r[2] for r in rows) / 1024
        client_cpu_per = statistics.median(r[3] for r in rows) / blocks * 10000
        lines.append(f"  {contender:<15} {median:>9.3f} {min(walls):>7.3f}-{max(walls):<7.3f} "
                     f"{blocks / median:>9.0f} {cpu_per:>14.4f} {peak:>13.1f} "
                     f"{client_cpu_per:>11.4f}")
    return lines, medians


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(here, "..", "build"))
    ap.add_argument("--qbupdate", help="the QBupdate to measure (default: the build folder's)")
    ap.add_argument("--before", help="another QBupdate build to measure in the same rounds, "
                                     "as QBupdate-before (the build before a change)")
    ap.add_argument("--size", type=int, default=32 * 1024 * 1024,
                    help="image size in bytes (default 32 MiB: 65,537 blocks, past the wrap)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--clients", default="atftp,tftp,curl",
                    help="comma-separated, first one gives the ratios (atftp, tftp, curl)")
    ap.add_argument("--cpu", type=int, default=0, help="the CPU server and client share")
    ap.add_argument("--nice", type=int, default=-20,
                    help="niceness of server and client, so that other work on the machine "
                         "disturbs them less (0: leave as is)")
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds per fetch")
    args = ap.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    clients = [c for c in args.clients.split(",") if c]

    netlab.require_root()
    missing = [p for p in [IN_TFTPD, "taskset"] + [CLIENT_PROGRAMS[c] for c in clients]
               if shutil.which(p) is None]
    if missing:
        print(f"SKIPPED: not installed: {', '.join(missing)}", flush=True)
        return netlab.SKIP
    # Keep the driver and the wrappers off the measured CPU where there is another one.
    others = sorted(os.sched_getaffinity(0) - {args.cpu})
    if others:
        os.sched_setaffinity(0, {others[0]})

    work = tempfile.mkdtemp(prefix="qbbench")
    report_lines = []
    ratio_line = None
    try:
        with netlab.Lab("bench") as lab:
            bench = Bench(lab, args, work)
            bench.make_image()
            print(f"image {args.size} bytes, {bench.blocks} blocks, sha256 "
                  f"{bench.image_sha[:16]}...; machine: {machine()}", flush=True)
            for i, client in enumerate(clients):
                results = bench.run_client(client)
                lines, medians = summary_lines(client, results, bench.blocks, args.rounds,
                                               args.cpu, args.nice)
                print("\n".join(lines), flush=True)
                report_lines += lines
                if i == 0 and all(c in medians for c in ("QBupdate", "in.tftpd",
                                                         "minimal-server")):
                    q = medians["QBupdate"]
                    ratio_line = (f"ratios ({client}): QBupdate/in.tftpd = "
                                  f"{q / medians['in.tftpd']:.3f}, QBupdate/minimal-server = "
                                  f"{q / medians['minimal-server']:.3f}")
                    if BEFORE in medians:
                        ratio_line += (f", {BEFORE}/minimal-server = "
                                       f"{medians[BEFORE] / medians['minimal-server']:.3f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for f in bench.failures:
        print(f"FAILED {f}", file=sys.stderr)
    if ratio_line is None:
        print("FAILED: no ratios for the first client", file=sys.stderr)
        return 1
    print(ratio_line, flush=True)
    return 1 if bench.failures else 0


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, Linux {os.uname().release}"


if __name__ == "__main__":
    sys.exit(main())
