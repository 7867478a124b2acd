#!/usr/bin/env python3
"""U-Boot, a real boot loader on an emulated board, fetches images from QBupdate.

    uboot_test.py QBUPDATE BOARD        (BOARD: aarch64 or x86-64)

The board boots once (tools/uboot_board.py); every case is a fresh QBupdate run in the host
namespace and a `tftpboot` typed at U-Boot's prompt. U-Boot's CRC-32 of what it loaded must be
the image's, QBupdate must exit 0 with its banner and a whole trail, and say nothing on standard
error. Needs root and the boards' packages; exits 77 without them.
"""

import hashlib
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(ROOT, "tests"), os.path.join(ROOT, "tests", "hostile"),
                os.path.join(ROOT, "tests", "clients"), os.path.join(ROOT, "tools")]

import uboot_board  # noqa: E402
from checks import FIRMWARE_BANNER, trail_problem, wait_for_udp_port  # noqa: E402
from netlab import Checks, Lab, SKIP, require_root  # noqa: E402
from real_clients import wire_problems  # noqa: E402

UDP_WATCH = os.path.join(ROOT, "tests", "clients", "udp_watch.py")
BOOT_BANNER = b" Updating QuibbleBox Boot Area\n"
WRAP_SIZE = 65536 * 512 + 777  # block numbers pass 65535 and the last bytes go in blocks 0 to 2
LOSS_EVERY = 50  # one UDP datagram in 50 dropped each way: 2 %


def case(name, size, boot=False, setup=(), loss=False, untagged_bootp=False, timeout=40):
    """One fetch; `setup` is U-Boot settings (the wire is then watched for how QBupdate
    answers them), `untagged_bootp` runs U-Boot's own bootp first (the wire watched too)."""
    return dict(name=name, size=size, boot=boot, setup=setup, loss=loss,
                untagged_bootp=untagged_bootp, watch=bool(setup) or untagged_bootp,
                timeout=timeout)


CASES = [
    case("empty image", 0),
    case("one byte short of a block", 511),
    case("one whole block", 512),
    case("one byte past a block", 513),
    case("some hundred kilobytes", 300_001),
    case("boot area", 70_001, boot=True),
    case("U-Boot asks for blksize 1468 and windowsize 8", 100_000,
         setup=("tftpblocksize 1468", "tftpwindowsize 8")),
    case("2 % loss each way", 64_000, loss=True),
    case("U-Boot's own untagged BOOTP first", 20_000, untagged_bootp=True),
    # About 7 s on the aarch64 board and 8 s on the x86-64 board here.
    case("block numbers wrap", WRAP_SIZE, timeout=120),
]


def lose_datagrams(lab, on):
    """Drops every LOSS_EVERY-th UDP datagram crossing the device's bridge, each way."""
    if not on:
        subprocess.run(lab.command(lab.device, ["nft", "delete", "table", "bridge", "qbloss"]),
                       check=True)
        return
    rules = "".join(f'  iifname "{i}" meta l4proto udp numgen inc mod {LOSS_EVERY} == '
                    f'{LOSS_EVERY - 1} counter drop\n' for i in (uboot_board.TAP, lab.device_if))
    subprocess.run(lab.command(lab.device, ["nft", "-f", "-"]), check=True, input=(
        "table bridge qbloss {\n chain forward {\n  type filter hook forward priority 0;\n"
        f"{rules} }}\n}}\n").encode())


def dropped(lab):
    listing = subprocess.run(lab.command(lab.device, ["nft", "list", "table", "bridge", "qbloss"]),
                             check=True, capture_output=True, text=True).stdout
    return [int(n) for n in re.findall(r"counter packets (\d+)", listing)]


def start_watch(lab, work):
    capture = os.path.join(work, "wire.jsonl")
    watch = lab.popen(lab.device, [sys.executable, UDP_WATCH, lab.device_if, capture],
                      stdin=subprocess.PIPE)
    if watch.stdout.readline() != b"ready\n":
        raise RuntimeError("udp_watch did not start")
    return watch, capture


def stop_watch(watch, capture):
    watch.stdin.close()
    watch.wait(timeout=30)
    with open(capture) as f:
        return [json.loads(line) for line in f]


def bootp_problems(wire):
    """U-Boot's untagged requests must get no reply while the beacon goes on after them."""
    problems = []
    requests = [i for i, d in enumerate(wire) if d["dport"] == 67 and d["sport"] == 68]
    if len(requests) < 2:
        problems.append(f"{len(requests)} BOOTP request(s) from U-Boot seen, not 2 or more")
    if any(d["sport"] == 67 for d in wire):
        problems.append("QBupdate answered an untagged BOOTP request")
    beacons_after = [i for i, d in enumerate(wire)
                     if d["dport"] == 9 and requests and i > requests[0]]
    if len(beacons_after) < 2:
        problems.append(f"{len(beacons_after)} beacon(s) after U-Boot's first request, not 2+")
    return problems


def run_case(lab, board, qbupdate, work, c, v):
    name = f"{board.name}: {c['name']}"
    started = time.monotonic()
    image = os.path.join(work, "image.bin")
    data = random.Random(c["size"]).randbytes(c["size"])
    with open(image, "wb") as f:
        f.write(data)
    # No case inherits another's settings, nor the size of what it loaded.
    for var in ("filesize", *{s.split()[0] for other in CASES for s in other["setup"]}):
        board.command(f"setenv {var}", 10)
    for setting in c["setup"]:
        board.command(f"setenv {setting}", 10)
    watch, capture = start_watch(lab, work) if c["watch"] else (None, None)
    if c["loss"]:
        lose_datagrams(lab, True)
    out_path, err_path = os.path.join(work, "stdout"), os.path.join(work, "stderr")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        qb = lab.popen(lab.host, [qbupdate, image, uboot_board.DEVICE_ADDR]
                       + (["boot"] if c["boot"] else []), stdout=out, stderr=err)
    ok = v.check(wait_for_udp_port(lab, lab.host, 69), f"{name}: QBupdate did not bind port 69")
    if c["untagged_bootp"]:
        # U-Boot's own BOOTP (untagged) for at least its second request and five beacon
        # ticks, then Ctrl+C.
        asked, mark = time.monotonic(), len(board.output)
        board.type("bootp\r")
        ok &= v.check(board.wait_for(rb"BOOTP broadcast 2", 20, mark) is not None,
                      f"{name}: U-Boot did not send its BOOTP requests")
        time.sleep(max(0.0, asked + 2.5 - time.monotonic()))
        ok &= v.check(board.interrupt() and board.set_addresses(),
                      f"{name}: U-Boot's prompt did not come back after Ctrl+C")
    file_name = "bootboot.bin" if c["boot"] else "firmware.bin"
    status, output = board.command(f"tftpboot {board.load_addr:#x} {file_name}", c["timeout"])
    ok &= v.check(status == 0, f"{name}: tftpboot status {status}: {output[-300:]!r}")
    loader_crc = None
    if c["size"] == 0:
        # An empty file: U-Boot says "done" and leaves filesize unset, so there is no CRC.
        ok &= v.check(b"done" in output and b"Bytes transferred" not in output,
                      f"{name}: U-Boot did not load an empty file: {output[-300:]!r}")
        ok &= v.check(board.command("printenv filesize", 10)[0] == 1,
                      f"{name}: U-Boot set filesize for an empty file")
    else:
        ok &= v.check(f"Bytes transferred = {c['size']} ".encode() in output,
                      f"{name}: U-Boot did not count {c['size']} bytes: {output[-300:]!r}")
        crc = board.crc32()
        loader_crc = crc
        want = zlib.crc32(data)
        ok &= v.check(crc == want, f"{name}: U-Boot's CRC-32 "
                                   f"{'none' if crc is None else f'{crc:#010x}'} is not the "
                                   f"image's {want:#010x}")
    try:
        qb.wait(timeout=15)
    except subprocess.TimeoutExpired:
        qb.kill()
        qb.wait()
        v.check(False, f"{name}: QBupdate did not exit after the transfer")
    with open(out_path, "rb") as f:
        stdout = f.read()
    with open(err_path, "rb") as f:
        stderr = f.read()
    ok &= v.check(qb.returncode == 0, f"{name}: QBupdate exit {qb.returncode}")
    problem = trail_problem(stdout, BOOT_BANNER if c["boot"] else FIRMWARE_BANNER)
    ok &= v.check(problem is None, f"{name}: {problem}")
    # U-Boot is given its address, so no BOOTP request tells QBupdate its hardware address.
    # The start line's CRC-32 is what U-Boot's crc32 command prints for the bytes it took.
    start = rb"QBupdate: serving '%s' \(%d bytes, SHA-256 %s, CRC-32 (?P<crc>[0-9a-f]{8})\) from " \
        rb"[0-9.]+ on \S+ to the device at %s\n" % (
            re.escape(image.encode()), c["size"], hashlib.sha256(data).hexdigest().encode(),
            re.escape(uboot_board.DEVICE_ADDR.encode()))
    success = rb"QBupdate: updated %s: %d bytes acknowledged in \d+\.\d s\n" % (
        re.escape(uboot_board.DEVICE_ADDR.encode()), c["size"])
    told = re.fullmatch(start + success, stderr)
    ok &= v.check(told is not None, f"{name}: QBupdate's stderr is not the start line and the "
                                    f"success line: {stderr[-400:]!r}")
    if told is not None and loader_crc is not None:
        ok &= v.check(int(told["crc"], 16) == loader_crc,
                      f"{name}: the start line's CRC-32 {told['crc']!r} is not U-Boot's "
                      f"{loader_crc:#010x}")
    if c["loss"]:
        counts = dropped(lab)
        lose_datagrams(lab, False)
        ok &= v.check(len(counts) == 2 and min(counts) > 0,
                      f"{name}: not a datagram dropped each way: {counts}")
    if watch:
        wire = stop_watch(watch, capture)
        if c["untagged_bootp"]:
            problems = bootp_problems(wire)
        else:
            problems = wire_problems_of(wire, work, c["size"])
            # Only the length is recorded: long enough for both options asked, at least.
            asked = len(b"\0\1firmware.bin\0octet\0blksize\0001468\0windowsize\08\0")
            rrq = [d for d in wire if d["dport"] == 69]
            if not rrq or rrq[0]["len"] < asked:
                problems.append(f"U-Boot's read request is too short for its options: {rrq}")
        for problem in problems:
            ok &= v.check(False, f"{name}: {problem}")
    print(f"{'ok  ' if ok else 'FAIL'} {name} ({c['size']} bytes, "
          f"{time.monotonic() - started:.1f} s)", flush=True)


def wire_problems_of(wire, work, size):
    path = os.path.join(work, "wire-host.jsonl")
    with open(path, "w") as f:
        f.writelines(json.dumps(d) + "\n" for d in wire)
    return wire_problems(path, size)


def main(qbupdate, board_name):
    require_root()
    lacks = uboot_board.missing(board_name)
    if lacks:
        print(f"SKIPPED: the {board_name} board needs {' '.join(lacks)}", flush=True)
        return SKIP
    v = Checks("uboot")
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="qb-uboot-") as work, Lab("uboot") as lab:
        board = uboot_board.boot(lab, board_name)
        if not v.check(board is not None, f"{board_name}: U-Boot's prompt did not come"):
            return v.status()
        print(f"{board_name}: U-Boot at its prompt after {time.monotonic() - started:.1f} s",
              flush=True)
        try:
            for c in CASES:
                run_case(lab, board, qbupdate, work, c, v)
        finally:
            board.stop()
    print(f"{board_name}: {time.monotonic() - started:.1f} s in all", flush=True)
    return v.status()


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in uboot_board.BOARDS:
        print(f"usage: {sys.argv[0]} QBUPDATE {'|'.join(uboot_board.BOARDS)}", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2]))
