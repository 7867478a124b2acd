"""End to end: QBupdate --check, ready or not, with nothing sent; and two interfaces on the
device's subnet. The check reports the image's size, SHA-256 and CRC-32 as this test computes
them and the address it would serve from, and exits 0; with port 67 held by another program it
exits 3, with a named image missing 1 (the usage text and its line), with the default image
missing 2 (its line saying where it was looked for); none of them waits, and a watcher on each
end of the cable records no datagram from any of them (but does record the one this test sends
afterwards). With a Wi-Fi-like second interface on the same subnet, whose address shares more
with the device's, the system's route to the device picks the interface facing it: the update
serves from there, and says which two interfaces hold the subnet.

    python3 check_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

import hashlib
import os
import subprocess
import sys
import time
import zlib

from e2e_support import (Checks, Lab, check_bootp, check_transfer, hold_port, make_image,
                         qbupdate_path, require_root, update, workdir)

HERE = os.path.dirname(os.path.abspath(__file__))
UDP_WATCH = os.path.join(os.path.dirname(HERE), "clients", "udp_watch.py")
USAGE_TEXT = (b"\n\nusage: QBupdate filename targetIP\n\n\t where\tfilename is the name of the file "
              b"containing the image to upload\n\t\t targetIP is IP address of target in "
              b"ddd.ddd.ddd.ddd format\n")
PROBE = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.sendto(b"probe", (sys.argv[1], 4321))
"""


def watch(lab, ns, iface, path):
    proc = lab.popen(ns, [sys.executable, UDP_WATCH, iface, path], stdin=subprocess.PIPE)
    if proc.stdout.readline().strip() != b"ready":
        raise RuntimeError(f"udp_watch on {iface} did not start")
    return proc


def watched(proc, path):
    proc.stdin.close()
    proc.wait(timeout=30)
    with open(path) as f:
        return [line for line in f if line.strip()]


def check_run(c, lab, argv, cwd, case, status, out_words, err_words, out_exact=None):
    began = time.monotonic()
    res = lab.run(lab.host, argv, timeout=30, cwd=cwd)
    took = time.monotonic() - began
    out = res.stdout.decode(errors="replace")
    err = res.stderr.decode(errors="replace")
    c.equal(res.returncode, status, f"{case}: exit status")
    c.check(took < 3.0, f"{case}: took {took:.1f} s: the check must not wait")
    if out_exact is not None:
        c.equal(res.stdout, out_exact, f"{case}: standard output")
    for word in out_words:
        c.check(word in out, f"{case}: the report {out!r} does not say {word!r}")
    c.check(err.count("\n") == (1 if err_words else 0), f"{case}: standard error {err!r}")
    for word in err_words:
        c.check(word in err, f"{case}: {err!r} does not name {word!r}")
    print(f"   {case}: exit {res.returncode} after {took:.2f} s", flush=True)
    return out


def main():
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e check")
    with workdir("check") as tmp, Lab("e2echk") as lab:
        path = make_image(tmp, 70000, 31)
        image = open(path, "rb").read()
        host_wire, device_wire = os.path.join(tmp, "host.jsonl"), os.path.join(tmp, "dev.jsonl")
        watchers = [watch(lab, lab.host, lab.host_if, host_wire),
                    watch(lab, lab.device, lab.device_if, device_wire)]

        c.start("ready: exit 0, the image's checksums and the address it would serve from")
        out = check_run(c, lab, [qbupdate, "--check", path, lab.device_addr], tmp, "ready", 0,
                        [f"image: '{path}', {len(image)} bytes, SHA-256 "
                         f"{hashlib.sha256(image).hexdigest()}, CRC-32 "
                         f"{zlib.crc32(image):08x}\n",
                         f"target: {lab.device_addr}, firmware\n",
                         f"serving from: {lab.host_addr} on {lab.host_if}\n",
                         f"ports: UDP 9, 67 and 69 opened on {lab.host_addr} and closed again\n",
                         "\nready: nothing stands in the way of the update"], [])
        c.check("warning:" not in out, f"ready: a warning in {out!r}")

        c.start("port 67 held by another program: exit 3")
        holder = hold_port(lab, "0.0.0.0", 67)
        check_run(c, lab, [qbupdate, "--check", path, lab.device_addr, "boot"], tmp,
                  "port 67 held", 3,
                  ["ports: UDP port 67 cannot be opened", "target: 198.51.100.10, boot area",
                   "not ready: the update would end with exit status 3"],
                  [f"cannot open UDP port 67 on {lab.host_addr}: another program"])
        holder.kill()
        holder.wait()

        c.start("a named image missing: the usage text, its line, exit 1")
        check_run(c, lab, [qbupdate, "--check", "missing.bin", lab.device_addr], tmp,
                  "named image missing", 1, [], ["cannot open image 'missing.bin': no such file"],
                  out_exact=USAGE_TEXT)

        c.start("the default image missing, the default target off every subnet: exit 2")
        check_run(c, lab, [qbupdate, "--check"], tmp, "default image missing", 2,
                  ["image: 'quibble_box.bin' cannot be loaded: no such file",
                   "target: 192.168.1.10 (the default), firmware",
                   "warning: waiting up to 20 s for an address on the subnet of 192.168.1.10",
                   "warning: no target address given",
                   "not ready: the update would end with exit status 2"],
                  ["quibble_box.bin, the default image name, from the working directory"])

        c.start("nothing crossed the cable, though the watchers see what does")
        lab.run(lab.host, [sys.executable, "-c", PROBE, lab.device_addr], timeout=10)
        time.sleep(0.3)
        for name, proc, wire in (("host", watchers[0], host_wire),
                                 ("device", watchers[1], device_wire)):
            seen = watched(proc, wire)
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
        check_run(c, lab, [qbupdate, "--check", path, lab.device_addr], tmp, "check", 0,
                  [f"serving from: {lab.host_addr} on {lab.host_if}\n",
                   f"warning: two interfaces hold the subnet of {lab.device_addr}"], [])
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
    c.finish()


if __name__ == "__main__":
    main()
