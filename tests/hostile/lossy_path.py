#!/usr/bin/env python3
"""Transfers over a hostile path: random loss both ways, duplicated and late datagrams.

    lossy_path.py QBUPDATE VIRTUAL_QUIBBLEBOX

Each namespace drops LOSS_PERCENT % of what arrives (nftables, input hook), for the virtual
device and for a real client (tftp-hpa). The virtual device also sends its read request twice,
repeats every third acknowledgement and follows every acknowledgement with the one before it,
as a path that duplicates and reorders would. The image must arrive intact, the progress trail
stay well-formed and QBupdate exit 0. Needs root; exits 77 without it.
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


def finish(proc, timeout, start):
    """QBupdate's exit status (None when it outlives `timeout`), standard output and error, and
    the seconds since `start`."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return (None, *proc.communicate(), time.monotonic() - start)
    return proc.returncode, out, err, time.monotonic() - start


def virtual_device_run(v, name, lab, qbupdate, device_tool, work, image):
    """Returns QBupdate's outcome, where the device's copy is, and what else to print."""
    received, log = os.path.join(work, "device.bin"), os.path.join(work, "device.json")
    lab.drop_incoming(lab.host, LOSS_PERCENT)
    device = lab.popen(lab.device, [
        sys.executable, device_tool, "--iface", lab.device_if, "--addr", lab.device_addr,
        "--out", received, "--log", log, "--rrq-twice", "--duplicate-every", "3", "--stale-acks",
        "--retries", "20", "--linger", "30"])
    start = time.monotonic()
    outcome = finish(lab.popen(lab.host, [qbupdate, image, lab.device_addr]), RUN_LIMIT, start)
    device.terminate()
    device.wait(timeout=10)
    record = json.load(open(log)) if os.path.exists(log) else {}
    v.check(record.get("result") == "done", f"{name}: device result {record.get('result')}")
    return outcome, received, (f"{record.get('acks_sent', 0)} ACKs sent with every third "
                               f"repeated and each followed by the one before, "
                               f"{record.get('own_retries', 0)} device time-outs, ")


def real_client_run(v, name, lab, qbupdate, device_tool, work, image):
    """tftp-hpa under the same loss, except its last acknowledgement (doc/design.md, "Generic
    TFTP clients")."""
    received = os.path.join(work, "client.bin")
    last_ack = (4 << 16) | ((IMAGE_SIZE // 512 + 1) & 0xFFFF)
    rules = ("table inet qblab {\n chain input {\n  type filter hook input priority 0;\n"
             f"  meta l4proto udp @th,64,32 0x{last_ack:08x} accept\n"
             f"  numgen random mod 100 < {LOSS_PERCENT} counter drop\n }}\n}}\n")
    subprocess.run(lab.command(lab.host, ["nft", "-f", "-"]), input=rules.encode(), check=True)

    start = time.monotonic()
    qb = lab.popen(lab.host, [qbupdate, image, lab.device_addr])
    client = None
    if v.check(wait_for_udp_port(lab, lab.host, 69), f"{name}: QBupdate never bound port 69"):
        try:
            client = lab.run(lab.device, ["tftp", "-m", "binary", lab.host_addr, "-c", "get",
                                          "firmware.bin", received], timeout=RUN_LIMIT)
        except subprocess.TimeoutExpired:
            pass
    outcome = finish(qb, 15, start)
    v.check(client is not None and client.returncode == 0,
            f"{name}: client failed: {client.stdout[-300:] if client else 'timed out'!r}")
    return outcome, received, ""


def main(qbupdate, device_tool):
    require_root()
    v = Checks("lossy path")
    with tempfile.TemporaryDirectory(prefix="qb-lossy-") as work:
        for name, run in (("virtual device", virtual_device_run), ("tftp-hpa", real_client_run)):
            image, data = os.path.join(work, "image.bin"), random.randbytes(IMAGE_SIZE)
            with open(image, "wb") as f:
                f.write(data)
            with Lab("lossy") as lab:
                lab.drop_incoming(lab.device, LOSS_PERCENT)  # the host's: as each run sets it
                (status, out, err, took), received, more = run(v, name, lab, qbupdate,
                                                                device_tool, work, image)
                lost = lab.dropped(lab.host) + lab.dropped(lab.device)
            v.check(status == 0, f"{name}: QBupdate exit {status} (stderr {err[-200:]!r})")
            for problem in (trail_problem(out), success_problem(err)):
                v.check(problem is None, f"{name}: {problem}")
            got = open(received, "rb").read() if os.path.exists(received) else None
            v.check(got == data, f"{name}: {len(got) if got is not None else 'no'} bytes "
                                 f"received, not the {IMAGE_SIZE}-byte image")
            v.check(lost > 0, f"{name}: no datagram was dropped; the path was not lossy")
            print(f"{name}: {IMAGE_SIZE} bytes, {LOSS_PERCENT}% loss each way ({lost} dropped), "
                  f"{more}{took:.1f} s", flush=True)
    return v.status()


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
