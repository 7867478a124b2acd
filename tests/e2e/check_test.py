"""End to end: QBupdate --check, ready or not, with nothing sent; and two interfaces on the device's
subnet. Ready, the check reports the image's size, SHA-256 and CRC-32 as this test computes them and
the address it would serve from, and exits 0; with port 67 held by another program it exits 3, with
a named image missing 1 (the usage text and its line), with the default image missing 2 (its line
saying where it was looked for). None of them waits, and a watcher on each end of the cable records
no datagram from them, only the one this test sends afterwards. With a second interface on the same
subnet whose address shares more with the device's, the route to the device picks the interface
facing it: the update serves from there and says which two interfaces hold the subnet."""

import hashlib
import os
import subprocess
import sys
import time
import zlib

from e2e_support import (HERE, Lab, check_at_once, check_bootp, check_transfer, hold_port,
                         make_image, run_test, update, workdir)

UDP_WATCH = os.path.join(os.path.dirname(HERE), "clients", "udp_watch.py")
USAGE_TEXT = (b"\n\nusage: QBupdate filename targetIP\n\n\t where\tfilename is the name of the file "
              b"containing the image to upload\n\t\t targetIP is IP address of target in "
              b"ddd.ddd.ddd.ddd format\n")
PROBE = ("import socket, sys; "
         "socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'probe', (sys.argv[1], 4321))")


def watch(lab, ns, iface, path):
    proc = lab.popen(ns, [sys.executable, UDP_WATCH, iface, path], stdin=subprocess.PIPE)
    if proc.stdout.readline().strip() != b"ready":
        raise RuntimeError(f"udp_watch on {iface} did not start")
    return proc


def main(qbupdate, c):
    with workdir("check") as tmp, Lab("e2echk") as lab:
        path = make_image(tmp, 70000, 31)
        image = open(path, "rb").read()
        host_wire, device_wire = os.path.join(tmp, "host.jsonl"), os.path.join(tmp, "dev.jsonl")
        watchers = [watch(lab, lab.host, lab.host_if, host_wire),
                    watch(lab, lab.device, lab.device_if, device_wire)]

        c.start("ready: exit 0, the image's checksums and the address it would serve from")
        out = check_at_once(c, "ready", lab, [qbupdate, "--check", path, lab.device_addr], 0, [],
                            [f"image: '{path}', {len(image)} bytes, SHA-256 "
                             f"{hashlib.sha256(image).hexdigest()}, CRC-32 "
                             f"{zlib.crc32(image):08x}\n",
                             f"target: {lab.device_addr}, firmware\n",
                             f"serving from: {lab.host_addr} on {lab.host_if}\n",
                             f"ports: UDP 9, 67 and 69 opened on {lab.host_addr} and closed "
                             "again\n", "\nready: nothing stands in the way of the update"],
                            cwd=tmp)
        c.check("warning:" not in out, f"ready: a warning in {out!r}")

        c.start("port 67 held by another program: exit 3")
        holder = hold_port(lab, "0.0.0.0", 67)
        check_at_once(c, "port 67 held", lab, [qbupdate, "--check", path, lab.device_addr, "boot"],
                      3, [f"cannot open UDP port 67 on {lab.host_addr}: another program"],
                      ["ports: UDP port 67 cannot be opened", "target: 198.51.100.10, boot area",
                       "not ready: the update would end with exit status 3"], cwd=tmp)
        holder.kill()
        holder.wait()

        c.start("a named image missing: the usage text, its line, exit 1")
        check_at_once(c, "named image missing", lab,
                      [qbupdate, "--check", "missing.bin", lab.device_addr], 1,
                      ["cannot open image 'missing.bin': no such file"], out_exact=USAGE_TEXT,
                      cwd=tmp)

        c.start("the default image missing, the default target off every subnet: exit 2")
        check_at_once(c, "default image missing", lab, [qbupdate, "--check"], 2,
                      ["quibble_box.bin, the default image name, from the working directory"],
                      ["image: 'quibble_box.bin' cannot be loaded: no such file",
                       "target: 192.168.1.10 (the default), firmware",
                       "warning: waiting up to 20 s for an address on the subnet of 192.168.1.10",
                       "warning: no target address given",
                       "not ready: the update would end with exit status 2"], cwd=tmp)

        c.start("nothing crossed the cable, though the watchers see what does")
        lab.run(lab.host, [sys.executable, "-c", PROBE, lab.device_addr], timeout=10)
        time.sleep(0.3)
        for name, proc, wire in (("host", watchers[0], host_wire),
                                 ("device", watchers[1], device_wire)):
            proc.stdin.close()
            proc.wait(timeout=30)
            with open(wire) as f:
                seen = [line for line in f if line.strip()]
            c.check(len(seen) == 1 and '"dport": 4321' in seen[0],
                    f"{name} side saw {seen[:3]} besides the probe, or not the probe")

    c.start("two interfaces on the device's subnet; the route goes through the one facing it")
    with workdir("check2") as tmp, Lab("e2echk2", second_segment=True,
                                       second_host_addr="198.51.100.26",
                                       stranger_addr="198.51.100.27") as lab:
        path = make_image(tmp, 20000, 32)
        image = open(path, "rb").read()
        # The score alone would take 198.51.100.26, the second interface's address.
        subprocess.run(["ip", "-n", lab.host, "route", "add", f"{lab.device_addr}/32", "dev",
                        lab.host_if, "src", lab.host_addr], check=True)
        check_at_once(c, "check", lab, [qbupdate, "--check", path, lab.device_addr], 0, [],
                      [f"serving from: {lab.host_addr} on {lab.host_if}\n",
                       f"warning: two interfaces hold the subnet of {lab.device_addr}"], cwd=tmp)
        run = update(lab, qbupdate, path, tmp)
        check_transfer(c, run, lab, image, quiet=False)
        check_bootp(c, run, lab)
        lines = [line.decode(errors="replace") for _, line in run.stderr_lines]
        want = (f"QBupdate: two interfaces hold the subnet of {lab.device_addr}, {lab.host_if} "
                f"({lab.host_addr}) and {lab.second_host_if} ({lab.second_host_addr}); serving "
                f"from {lab.host_addr} on {lab.host_if}, the one this host routes to the device: "
                f"if the device is on {lab.second_host_if}, unplug or disable {lab.host_if} and "
                "run QBupdate again\n")
        c.equal(lines, [want], "lines on standard error besides the start and the success")


if __name__ == "__main__":
    run_test("e2e check", main)
