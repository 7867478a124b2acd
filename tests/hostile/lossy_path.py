#!/usr/bin/env python3
"""Transfers over a hostile path: random loss both ways, duplicated and late datagrams.

    lossy_path.py QBUPDATE VIRTUAL_QUIBBLEBOX

Each namespace drops LOSS_PERCENT % of what arrives (nftables, input hook). The virtual device
also sends its read request twice, repeats every third acknowledgement and follows every
acknowledgement with the one before it, as a path that duplicates and reorders would. A real client (tftp-hpa) runs the same loss.
The image must arrive intact, the progress trail stay well-formed and QBupdate exit 0.
Needs root; exits 77 without it.
"""

import json
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))

from checks import success_problem, trail_problem, wait_for_udp_port  # noqa: E402
from netlab import Checks, Lab, require_root  # noqa: E402

LOSS_PERCENT = 2
IMAGE_SIZE = 100 * 1024 + 321  # about 200 blocks: some ten losses, a second each
RUN_LIMIT = 90  # seconds; a healthy run takes 5 to 20


def finish(proc, timeout):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        return None, out, err
    return proc.returncode, out, err


def check_qbupdate(v, name, status, out, err):
    v.check(status == 0, f"{name}: QBupdate exit {status} (stderr {err[-200:]!r})")
    problem = trail_problem(out)
    v.check(problem is None, f"{name}: {problem}")
    problem = success_problem(err)
    v.check(problem is None, f"{name}: {problem}")


def virtual_device_run(lab, qbupdate, device_tool, work, v):
    name = "virtual device"
    image = os.path.join(work, "image.bin")
    received = os.path.join(work, "device.bin")
    log = os.path.join(work, "device.json")
    data = random.randbytes(IMAGE_SIZE)
    with open(image, "wb") as f:
        f.write(data)
    lab.drop_incoming(lab.host, LOSS_PERCENT)
    lab.drop_incoming(lab.device, LOSS_PERCENT)
    device = lab.popen(lab.device, [
        sys.executable, device_tool, "--iface", lab.device_if, "--addr", lab.device_addr,
        "--out", received, "--log", log, "--rrq-twice", "--duplicate-every", "3", "--stale-acks",
        "--retries", "20", "--linger", "30"])
    start = time.monotonic()
    status, out, err = finish(lab.popen(lab.host, [qbupdate, image, lab.device_addr]),
                              RUN_LIMIT)
    took = time.monotonic() - start
    device.terminate()
    device.wait(timeout=10)

    check_qbupdate(v, name, status, out, err)
    got = open(received, "rb").read() if os.path.exists(received) else None
    v.check(got == data, f"{name}: the device holds {len(got) if got is not None else 'no'} "
                         f"bytes, not the {IMAGE_SIZE}-byte image")
    record = json.load(open(log)) if os.path.exists(log) else {}
    v.check(record.get("result") == "done", f"{name}: device result {record.get('result')}")
    lost = lab.dropped(lab.host) + lab.dropped(lab.device)
    v.check(lost > 0, f"{name}: no datagram was dropped; the path was not lossy")
    print(f"{name}: {IMAGE_SIZE} bytes, {LOSS_PERCENT}% loss each way ({lost} dropped), "
          f"{record.get('acks_sent', 0)} ACKs sent with every third repeated and each followed "
          f"by the one before, {record.get('own_retries', 0)} device time-outs, "
          f"{took:.1f} s", flush=True)


def real_client_run(lab, qbupdate, work, v):
    """tftp-hpa under the same loss, except its last acknowledgement (doc/design.md, "Generic TFTP clients")."""
    name = "tftp-hpa"
    image = os.path.join(work, "image.bin")
    received = os.path.join(work, "client.bin")
    data = random.randbytes(IMAGE_SIZE)
    with open(image, "wb") as f:
        f.write(data)
    last_ack = (4 << 16) | ((IMAGE_SIZE // 512 + 1) & 0xFFFF)
    rules = ("table inet qblab {\n chain input {\n  type filter hook input priority 0;\n"
             f"  meta l4proto udp @th,64,32 0x{last_ack:08x} accept\n"
             f"  numgen random mod 100 < {LOSS_PERCENT} counter drop\n }}\n}}\n")
    subprocess.run(lab.command(lab.host, ["nft", "-f", "-"]), input=rules.encode(), check=True)
    lab.drop_incoming(lab.device, LOSS_PERCENT)

    start = time.monotonic()
    qb = lab.popen(lab.host, [qbupdate, image, lab.device_addr])
    client = None
    if v.check(wait_for_udp_port(lab, lab.host, 69), f"{name}: QBupdate never bound port 69"):
        try:
            client = lab.run(lab.device, ["tftp", "-m", "binary", lab.host_addr, "-c", "get",
                                          "firmware.bin", received], timeout=RUN_LIMIT)
        except subprocess.TimeoutExpired:
            pass
    status, out, err = finish(qb, 15)
    took = time.monotonic() - start

    v.check(client is not None and client.returncode == 0,
            f"{name}: client failed: {client.stdout[-300:] if client else 'timed out'!r}")
    check_qbupdate(v, name, status, out, err)
    got = open(received, "rb").read() if os.path.exists(received) else None
    v.check(got == data, f"{name}: received {len(got) if got is not None else 'no'} bytes, "
                         f"not the {IMAGE_SIZE}-byte image")
    lost = lab.dropped(lab.host) + lab.dropped(lab.device)
    v.check(lost > 0, f"{name}: no datagram was dropped; the path was not lossy")
    print(f"{name}: {IMAGE_SIZE} bytes, {LOSS_PERCENT}% loss each way ({lost} dropped), "
          f"{took:.1f} s", flush=True)


def main(qbupdate, device_tool):
    require_root()
    v = Checks("lossy path")
    with tempfile.TemporaryDirectory(prefix="qb-lossy-") as work:
        with Lab("lossy") as lab:
            virtual_device_run(lab, qbupdate, device_tool, work, v)
        with Lab("lossy") as lab:
            real_client_run(lab, qbupdate, work, v)
    return v.status()


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
