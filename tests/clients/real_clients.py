#!/usr/bin/env python3
"""Real TFTP clients fetch images from QBupdate and must get them byte for byte.

    real_clients.py QBUPDATE

QBupdate runs in the host namespace with the client's namespace address as its target (it
beacons there until the client's read request arrives, which the client ignores). Each client
fetches a random image; clients that ask for options must get plain 512-byte blocks and no
option acknowledgement. Needs root; exits 77 without it.
"""

import json
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "hostile"))

from checks import success_problem, trail_problem, wait_for_udp_port  # noqa: E402
from netlab import Checks, Lab, require_root  # noqa: E402

SERVER = "198.51.100.1"
DATA_PORTS = range(32768, 40960)


def client_commands(out):
    """(name, argv, image size): sizes vary the final block, one ends on a whole block."""
    url = f"tftp://{SERVER}/firmware.bin"
    return [
        ("tftp-hpa", ["tftp", "-m", "binary", SERVER, "-c", "get", "firmware.bin", out], 307_323),
        ("atftp", ["atftp", "-g", "-r", "firmware.bin", "-l", out, SERVER], 600 * 512),
        ("atftp, blksize and tsize asked",
         ["atftp", "--option", "blksize 1024", "--option", "tsize", "-g", "-r", "firmware.bin",
          "-l", out, SERVER], 250_001),
        ("busybox tftp", ["busybox", "tftp", "-g", "-r", "firmware.bin", "-l", out, SERVER],
         280_111),
        ("busybox tftp, blksize asked",
         ["busybox", "tftp", "-b", "1024", "-g", "-r", "firmware.bin", "-l", out, SERVER],
         200_700),
        ("curl", ["curl", "-sS", "-o", out, url], 333_333),
        ("curl, blksize 1428 asked", ["curl", "-sS", "--tftp-blksize", "1428", "-o", out, url],
         222_222),
        ("curl --tftp-no-options", ["curl", "-sS", "--tftp-no-options", "-o", out, url], 310_000),
        ("curl, empty image", ["curl", "-sS", "-o", out, url], 0),
    ]


def wire_problems(capture_path, image_size):
    """What the host's side of the wire got wrong, judged from udp_watch's record."""
    problems = []
    blocks = set()
    with open(capture_path) as f:
        for line in f:
            d = json.loads(line)
            if d["src"] != SERVER or d["sport"] in (9, 67, 69):
                continue
            opcode = int(d["head"][:4] or "0", 16)
            if opcode == 6:
                problems.append("an option acknowledgement was sent")
            elif opcode != 3:
                problems.append(f"opcode {opcode} sent from a data port")
            elif d["sport"] not in DATA_PORTS:
                problems.append(f"DATA from port {d['sport']}")
            elif d["len"] > 4 + 512:
                problems.append(f"a DATA packet of {d['len'] - 4} bytes")
            else:
                blocks.add(int(d["head"][4:8], 16))
    expected = image_size // 512 + 1
    if blocks != set(range(1, expected + 1)):
        problems.append(f"DATA blocks {min(blocks, default=0)}..{max(blocks, default=0)} "
                        f"({len(blocks)} distinct) instead of 1..{expected}")
    return sorted(set(problems))


def run_client(lab, qbupdate, work, out, name, argv, size, v):
    image = os.path.join(work, "image.bin")
    capture = os.path.join(work, "wire.jsonl")
    data = random.randbytes(size)
    with open(image, "wb") as f:
        f.write(data)
    if os.path.exists(out):
        os.remove(out)

    watch = lab.popen(lab.host, [sys.executable, os.path.join(HERE, "udp_watch.py"),
                                 lab.host_if, capture], stdin=subprocess.PIPE)
    if watch.stdout.readline().strip() != b"ready":
        v.check(False, f"{name}: the wire watcher did not start")
        return
    qb = lab.popen(lab.host, [qbupdate, image, lab.device_addr])
    client = None
    if v.check(wait_for_udp_port(lab, lab.host, 69), f"{name}: QBupdate never bound port 69"):
        try:
            client = lab.run(lab.device, argv, timeout=60)
        except subprocess.TimeoutExpired:
            pass
    try:
        stdout, stderr = qb.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        qb.kill()
        stdout, stderr = qb.communicate()
    watch.stdin.close()
    watch.wait(timeout=30)

    ok = v.check(client is not None, f"{name}: the client did not finish within 60 s")
    if client is not None:
        ok &= v.check(client.returncode == 0,
                      f"{name}: client exit {client.returncode}: {client.stderr[-300:]!r}")
    got = open(out, "rb").read() if os.path.exists(out) else None
    ok &= v.check(got == data, f"{name}: received {len(got) if got is not None else 'no'} "
                               f"bytes, not the {size}-byte image")
    ok &= v.check(qb.returncode == 0, f"{name}: QBupdate exit {qb.returncode} "
                                      f"(stderr {stderr[-200:]!r})")
    problem = trail_problem(stdout)
    ok &= v.check(problem is None, f"{name}: {problem}")
    problem = success_problem(stderr)
    ok &= v.check(problem is None, f"{name}: {problem}")
    for problem in wire_problems(capture, size):
        ok &= v.check(False, f"{name}: {problem}")
    print(f"{'ok  ' if ok else 'FAIL'} {name} ({size} bytes)", flush=True)


def main(qbupdate):
    require_root()
    v = Checks("clients")
    with tempfile.TemporaryDirectory(prefix="qb-clients-") as work, Lab("client") as lab:
        out = os.path.join(work, "received.bin")
        for name, argv, size in client_commands(out):
            run_client(lab, qbupdate, work, out, name, argv, size, v)
    return v.status()


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
