#!/usr/bin/env python3
"""Real-loader round: U-Boot on an emulated board fetches the same image from QBupdate and from
in.tftpd (tftpd-hpa, `-B 512`), in alternating rounds.

The board boots once (tools/uboot_board.py) in the device namespace of a lab (host
198.51.100.1, device 198.51.100.10). Each fetch is a fresh QBupdate run, or a fresh
`in.tftpd -L -B 512`, bound before `tftpboot` is typed; its time is the host's, from the typed
command to U-Boot's prompt after it, and U-Boot's CRC-32 of every copy is checked. Both servers
send 512-byte blocks one at a time, so the ratio says whether QBupdate keeps the loader's pace.

Run as root from the source tree after building (exit 77 when it cannot run here):

    python3 bench/uboot_bench.py --build-dir build
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests"), os.path.join(HERE, "..", "tests", "hostile"),
                os.path.join(HERE, "..", "tools")]
import uboot_board  # noqa: E402
from checks import wait_for_udp_port  # noqa: E402
from netlab import Lab, SKIP, require_root  # noqa: E402

IN_TFTPD = "/usr/sbin/in.tftpd"
SERVERS = ["QBupdate", "in.tftpd"]
# A few seconds per fetch at each board's pace.
DEFAULT_SIZES = {"aarch64": 8 * 1024 * 1024, "x86-64": 8 * 1024 * 1024}


def fetch(lab, board, server, qbupdate, serve_dir, want_crc, timeout, pin):
    """One fetch; returns its time in seconds, or a string saying what went wrong."""
    image = os.path.join(serve_dir, "firmware.bin")
    if server == "QBupdate":
        argv = [qbupdate, image, uboot_board.DEVICE_ADDR]
    else:
        argv = [IN_TFTPD, "-L", "-B", "512", "-a", f"{uboot_board.HOST_ADDR}:69", "-s", serve_dir]
    proc = lab.popen(lab.host, pin + argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for_udp_port(lab, lab.host, 69):
            return "the server did not bind port 69"
        board.command("setenv filesize", 10)
        started = time.monotonic()
        status, output = board.command(f"tftpboot {board.load_addr:#x} firmware.bin", timeout)
        took = time.monotonic() - started
        if status != 0:
            return f"tftpboot status {status}: {output[-200:]!r}"
        if board.crc32() != want_crc:
            return "U-Boot's CRC-32 is not the image's"
        if server == "QBupdate" and proc.wait(timeout=15) != 0:
            return f"QBupdate exit {proc.returncode}"
        return took
    finally:
        if proc.poll() is None:  # in.tftpd -L serves on until it is ended
            proc.terminate()
            proc.wait(timeout=10)


def bench_board(board_name, args, work):
    size = args.size or DEFAULT_SIZES[board_name]
    serve_dir = os.path.join(work, board_name)
    os.makedirs(serve_dir)
    data = os.urandom(size)
    with open(os.path.join(serve_dir, "firmware.bin"), "wb") as f:
        f.write(data)
    # in.tftpd drops to an unprivileged user before it reads the image.
    for path in (work, serve_dir, os.path.join(serve_dir, "firmware.bin")):
        os.chmod(path, 0o755)
    times = {s: [] for s in SERVERS}
    failures = []
    with Lab("ubench") as lab:
        board = uboot_board.boot(lab, board_name, pin=args.pin)
        if board is None:
            return [f"{board_name}: U-Boot's prompt did not come"], None
        try:
            for run in range(args.rounds):
                for server in SERVERS:
                    got = fetch(lab, board, server, args.qbupdate, serve_dir, zlib.crc32(data),
                                args.timeout, args.pin)
                    if isinstance(got, str):
                        failures.append(f"{board_name}, {server}, round {run + 1}: {got}")
                    else:
                        times[server].append(got)
        finally:
            board.stop()
    print(f"board {board_name}: {size}-byte image, {args.rounds} rounds; "
          f"{uboot_board.BOARDS[board_name]['pace']}")
    print(f"  {'server':<10} {'median s':>9} {'min-max s':>15} {'KiB/s':>8}")
    for server, runs in times.items():
        if runs:
            median = statistics.median(runs)
            print(f"  {server:<10} {median:>9.3f} {min(runs):>7.3f}-{max(runs):<7.3f} "
                  f"{size / 1024 / median:>8.0f}")
    ratio = None
    if all(times.values()):
        # Other work on the machine slows single rounds; the fastest rounds show it least.
        ratio = statistics.median(times["QBupdate"]) / statistics.median(times["in.tftpd"])
        best = min(times["QBupdate"]) / min(times["in.tftpd"])
        print(f"ratio ({board_name}): QBupdate/in.tftpd = {ratio:.3f} (medians), "
              f"{best:.3f} (fastest rounds)", flush=True)
    return failures, ratio


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--qbupdate", help="the QBupdate to measure (default: the build folder's)")
    ap.add_argument("--boards", default="aarch64,x86-64")
    ap.add_argument("--size", type=int, help="image size in bytes (default: per board, "
                    + ", ".join(f"{b} {s}" for b, s in DEFAULT_SIZES.items()) + ")")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds per fetch")
    ap.add_argument("--cpu", type=int, default=0, help="the CPU QEMU and the server share")
    ap.add_argument("--nice", type=int, default=-20,
                    help="niceness of QEMU and the server, so that other work on the machine "
                         "disturbs them less (0: leave as is)")
    args = ap.parse_args()
    args.pin = ["taskset", "-c", str(args.cpu)] + (["nice", "-n", str(args.nice)]
                                                   if args.nice else [])
    args.qbupdate = os.path.abspath(args.qbupdate or os.path.join(args.build_dir, "QBupdate"))
    boards = [b for b in args.boards.split(",") if b]

    require_root()
    lacks = sorted({p for b in boards for p in uboot_board.missing(b)}
                   | (set() if os.path.exists(IN_TFTPD) else {"tftpd-hpa"}))
    if lacks:
        print(f"SKIPPED: not installed: {' '.join(lacks)}", flush=True)
        return SKIP
    failures, ratios = [], []
    work = tempfile.mkdtemp(prefix="qbubench")
    try:
        for board_name in boards:
            board_failures, ratio = bench_board(board_name, args, work)
            failures += board_failures
            ratios.append(ratio)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print(f"FAILED {f}", file=sys.stderr)
    return 1 if failures or None in ratios else 0


if __name__ == "__main__":
    sys.exit(main())
